"""Flax parameter trees: vamra.save and vamra.jax.load against flax.serialization
(to_bytes / msgpack_restore) and orbax-checkpoint's plain PyTreeCheckpointer,
measured in one run on the same tree.

The tree has about 500 MB of float32 parameters shaped like a 10-layer
transformer in Flax's nesting (params / layers_i / attention / query / kernel).
The page cache is warm: every file is written and read before it is timed.
Loading is timed twice: as the call returns (a mapped file is read only when
touched), and with one byte of every page of every array read afterwards, so
lazy and eager readers are compared at the same point. Ratios are our figure
divided by the baseline's. JAX runs on the CPU.
Run: python bench/jax_bench.py [--quick]
"""

import os
import shutil
import sys
import tempfile

import numpy as np
from common import alternate_settled, report, row

try:
    import jax
    import vamra
    import vamra.jax as vj
    from flax import serialization
except ImportError:
    jax = None
try:
    import orbax.checkpoint as ocp
except ImportError:
    ocp = None

MiB = 1 << 20
QUICK = "--quick" in sys.argv
REPEAT = 2 if QUICK else 3
ROUNDS = 2 if QUICK else 3
BENCH_DIR = os.environ.get("BENCH_DIR") or tempfile.gettempdir()
LAYERS, WIDTH, HEADS, HIDDEN, VOCAB = 10, 1024, 16, 4096, 1024


def parameter_tree():
    """Flax's nesting for a transformer: attention kernels per head, MLP, norms."""
    rng = np.random.default_rng(0)

    def weights(*shape):
        return jax.numpy.asarray(rng.standard_normal(shape, dtype=np.float32) * 0.02)

    head = WIDTH // HEADS
    params = {"embed": {"embedding": weights(VOCAB, WIDTH)}}
    for i in range(LAYERS):
        attention = {
            name: {"kernel": weights(WIDTH, HEADS, head), "bias": weights(HEADS, head)}
            for name in ("query", "key", "value")
        }
        attention["out"] = {"kernel": weights(HEADS, head, WIDTH), "bias": weights(WIDTH)}
        params[f"layers_{i}"] = {
            "attention": attention,
            "norm1": {"scale": weights(WIDTH), "bias": weights(WIDTH)},
            "norm2": {"scale": weights(WIDTH), "bias": weights(WIDTH)},
            "mlp": {
                "up": {"kernel": weights(WIDTH, HIDDEN), "bias": weights(HIDDEN)},
                "down": {"kernel": weights(HIDDEN, WIDTH), "bias": weights(WIDTH)},
            },
        }
    params["final_norm"] = {"scale": weights(WIDTH), "bias": weights(WIDTH)}
    return {"params": params}


def touch(tree):
    """Reads one byte of every page of every array (as NumPy sees a CPU jax.Array)."""
    total = 0
    for leaf in jax.tree_util.tree_leaves(tree):
        if isinstance(leaf, jax.Array):
            leaf.block_until_ready()
        total += int(np.asarray(leaf).reshape(-1).view(np.uint8)[::4096].sum())
    return total


def ready(tree):
    for leaf in jax.tree_util.tree_leaves(tree):
        if isinstance(leaf, jax.Array):
            leaf.block_until_ready()
    return tree


def main():
    if jax is None:
        print("jax and flax are not installed: pip install 'vamra[jax]'")
        return 0
    if ocp is None:
        print("orbax-checkpoint is not installed: its rows show it as missing\n")
    tree = parameter_tree()
    leaves = jax.tree_util.tree_leaves(tree)
    total = sum(leaf.nbytes for leaf in leaves)
    print(
        f"parameter tree: {len(leaves)} float32 arrays, {total / MiB:.1f} MiB, "
        f"JAX {jax.__version__} on {jax.devices()[0].platform}, files in {BENCH_DIR}"
    )
    workdir = tempfile.mkdtemp(dir=BENCH_DIR)
    ours = os.path.join(workdir, "params.vmra")
    msgpack = os.path.join(workdir, "params.msgpack")
    orbax_dir = os.path.join(workdir, "orbax")
    checkpointer = ocp.PyTreeCheckpointer() if ocp is not None else None

    def save_ours():
        vamra.save(tree, ours)

    def save_flax():
        with open(msgpack, "wb") as out:
            out.write(serialization.to_bytes(tree))

    def save_orbax():
        checkpointer.save(orbax_dir, tree, force=True)

    def load_ours():
        return ready(vj.load(ours))

    def load_flax():
        with open(msgpack, "rb") as source:
            return serialization.msgpack_restore(source.read())

    def load_flax_jax():
        return ready(jax.device_put(load_flax()))

    def load_orbax():
        return ready(checkpointer.restore(orbax_dir))

    for fn in (save_ours, save_flax) + ((save_orbax,) if checkpointer else ()):
        fn()
    restored = [load_ours(), load_flax()] + ([load_orbax()] if checkpointer else [])
    for other in restored:  # every reader gives back the same values
        for a, b in zip(jax.tree_util.tree_leaves(other), leaves, strict=True):
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
    views = jax.tree_util.tree_leaves(vamra.load(ours))
    shared = sum(v.nbytes for v in views if v.ctypes.data % 64 == 0)
    print(
        f"vamra.jax.load shares {shared / MiB:.1f} of {total / MiB:.1f} MiB with the map "
        "(arrays whose body lies at a 64-byte boundary); the rest is copied once\n"
    )
    del restored, views

    def timed(*fns):
        return alternate_settled(*fns, rounds=ROUNDS, repeat=REPEAT)

    saves = [save_ours, save_flax] + ([save_orbax] if checkpointer else [])
    t_save, t_flax_save, *t_orbax_save = timed(*saves)
    row("save", "flax to_bytes + write", t_flax_save, t_save, "-", None)
    row("save", "orbax PyTreeCheckpointer", (t_orbax_save or [None])[0], t_save, "-", None)

    loads = [load_ours, load_flax, load_flax_jax] + ([load_orbax] if checkpointer else [])
    t_load, t_flax, t_flax_jax, *t_orbax = timed(*loads)
    row("load", "flax msgpack_restore", t_flax, t_load, "-", None)
    row("load", "  + jax.device_put", t_flax_jax, t_load, "-", None)
    row("load", "orbax PyTreeCheckpointer", (t_orbax or [None])[0], t_load, "-", None)

    touched = [lambda fn=fn: touch(fn()) for fn in loads]
    t_load, t_flax, t_flax_jax, *t_orbax = timed(*touched)
    name = "load + read every page"
    row(name, "flax msgpack_restore", t_flax, t_load, "-", None)
    row(name, "  + jax.device_put", t_flax_jax, t_load, "-", None)
    row(name, "orbax PyTreeCheckpointer", (t_orbax or [None])[0], t_load, "-", None)

    shutil.rmtree(workdir)
    return report()


if __name__ == "__main__":
    sys.exit(1 if main() else 0)
