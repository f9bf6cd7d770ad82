"""PyTorch checkpoints: vamra.save and vamra.torch.load against torch.save/torch.load
and safetensors.torch, measured in one run.

The state dict has 200 tensors of about 100 MiB shaped like a 20-layer
transformer, the layers alternately float32 and bfloat16. The page cache is
warm: every file is written and read before it is timed. Ratios are our
figure divided by the baseline's. Run: python bench/torch_bench.py [--quick]
"""

import os
import sys
import tempfile

from common import alternate_settled, best, report, row

try:
    import torch
    import vamra
    import vamra.torch as vt
except ImportError:
    torch = None
try:
    import safetensors.torch as st
except ImportError:
    st = None

MiB = 1 << 20
QUICK = "--quick" in sys.argv
REPEAT = 3 if QUICK else 7
BENCH_DIR = os.environ.get("BENCH_DIR") or tempfile.gettempdir()
LAYERS, WIDTH, HIDDEN = 20, 416, 1248


def state_dict():
    """200 tensors: per layer four attention and two MLP matrices, four vectors."""
    gen = torch.Generator().manual_seed(0)
    state = {}
    for i in range(LAYERS):
        dtype = torch.float32 if i % 2 == 0 else torch.bfloat16
        shapes = {
            "attn.q_proj.weight": (WIDTH, WIDTH),
            "attn.k_proj.weight": (WIDTH, WIDTH),
            "attn.v_proj.weight": (WIDTH, WIDTH),
            "attn.o_proj.weight": (WIDTH, WIDTH),
            "mlp.up.weight": (HIDDEN, WIDTH),
            "mlp.down.weight": (WIDTH, HIDDEN),
            "mlp.up.bias": (HIDDEN,),
            "mlp.down.bias": (WIDTH,),
            "norm1.weight": (WIDTH,),
            "norm2.weight": (WIDTH,),
        }
        for name, shape in shapes.items():
            state[f"layers.{i}.{name}"] = torch.randn(shape, generator=gen).to(dtype)
    return state


def tiny_groups():
    """1000 tensors of four float32 values, in 8 dicts of 125."""
    return {
        f"group{g}": {f"t{i}": torch.full((4,), float(i)) for i in range(125)} for g in range(8)
    }


def alternate(*fns, rounds=3):
    return alternate_settled(*fns, rounds=rounds, repeat=REPEAT)


def main():
    if torch is None:
        print("torch is not installed: pip install 'vamra[torch]'")
        return 0
    state = state_dict()
    total = sum(t.numel() * t.element_size() for t in state.values())
    print(
        f"state dict: {len(state)} tensors, {total / MiB:.1f} MiB "
        f"(float32 and bfloat16 layers alternate), files in {BENCH_DIR}\n"
    )
    workdir = tempfile.mkdtemp(dir=BENCH_DIR)
    ours = os.path.join(workdir, "model.vmra")
    pt = os.path.join(workdir, "model.pt")
    safe = os.path.join(workdir, "model.safetensors")
    vamra.save(state, ours)
    torch.save(state, pt)
    if st is not None:
        st.save_file(state, safe)

    # Save.
    t_pt_save = None
    if st is not None:
        t_save, t_st_save, t_pt_save = alternate(
            lambda: vamra.save(state, ours),
            lambda: st.save_file(state, safe),
            lambda: torch.save(state, pt),
        )
    else:
        t_save, t_pt_save = alternate(
            lambda: vamra.save(state, ours), lambda: torch.save(state, pt)
        )
        t_st_save = None
    row("save", "safetensors save_file", t_st_save, t_save, "<= 0.6x", lambda r: r <= 0.6)
    row("save", "torch.save", t_pt_save, t_save, "<= 0.6x", lambda r: r <= 0.6)

    # Load with the file mapped.
    def theirs_pt():
        return torch.load(pt, mmap=True, weights_only=True)

    fns = [lambda: vt.load(ours), theirs_pt]
    if st is not None:
        fns.append(lambda: st.load_file(safe))
    t_load, t_pt_load, *rest = alternate(*fns)
    row(
        "load (mmap)",
        "torch.load(mmap, weights_only)",
        t_pt_load,
        t_load,
        ">= 10x faster",
        lambda r: r <= 1 / 10,
    )
    row(
        "load (mmap)",
        "safetensors load_file",
        rest[0] if rest else None,
        t_load,
        ">= 2x faster",
        lambda r: r <= 1 / 2,
    )

    # Many tiny tensors.
    tiny = tiny_groups()
    tiny_ours = os.path.join(workdir, "tiny.vmra")
    tiny_pt = os.path.join(workdir, "tiny.pt")
    vamra.save(tiny, tiny_ours)
    torch.save(tiny, tiny_pt)
    count = sum(len(group) for group in tiny.values())
    t_tiny, t_tiny_pt = alternate(
        lambda: vt.load(tiny_ours), lambda: torch.load(tiny_pt, mmap=True, weights_only=True)
    )
    per, per_pt = t_tiny / count, t_tiny_pt / count
    row(
        f"load {count} tiny tensors, per tensor",
        "torch.load(mmap)",
        per_pt,
        per,
        "<= 2 us per tensor",
        lambda r, v=per: v <= 2e-6,
    )
    packet = open(tiny_ours, "rb").read()
    t_tiny_loads = best(lambda: vt.loads(packet), repeat=REPEAT)
    row("  loads(bytes), per tensor", "torch.load(mmap)", per_pt, t_tiny_loads / count, "-", None)

    for name in os.listdir(workdir):
        os.unlink(os.path.join(workdir, name))
    os.rmdir(workdir)
    return report()


if __name__ == "__main__":
    sys.exit(1 if main() else 0)
