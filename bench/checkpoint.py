"""Checkpoints at model scale: vamra.save against safetensors' save_file and
torch.save, sharded against single-file saving, and loading into a model.

The state dict is a 32-layer Llama-style model's (embedding, attention and
MLP projections, norms, output head), sized to about 500 MiB and 2 GiB in
float32 and in bfloat16. Every figure is one call timed in a fresh process
(this script runs itself with ``--child``), so no run inherits another's
allocator or page-cache state: dirty pages are written out (``os.sync``)
before the timed call. The compared calls take turns in an order rotated
from run to run, and each row gives the median of ``--runs`` runs (at least
5), with its baseline and the ratio ours / baseline. Saving is measured over
an existing file (the previous run's, as when a training job saves every few
hundred steps) and to a new path.

Rows and their targets:

* ``save`` vs safetensors ``save_file``: at most 0.6 of its time;
* ``save`` vs ``torch.save``: at most 0.8;
* sharded ``save`` (4 shards, 2 threads) vs single-file ``save``: at most 0.8;
* ``vamra.torch.load`` + ``load_state_dict`` + first forward vs safetensors
  ``load_file`` + the same: at most 0.9;
* peak extra RSS while saving 2 GiB: at most 64 MiB.

A peer that is not installed is printed as missing. The machine's load
average is printed before and after each group: on a shared machine, read
the ratios with it.

Run: python bench/checkpoint.py [--quick] [--runs N] [--sizes 500MiB,2GiB]
[--dtypes float32,bfloat16] [--dir DIR]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

from common import report, row

MiB = 1 << 20
# (hidden, intermediate, vocabulary) of 32-layer models of about each size.
SHAPES = {
    ("500MiB", "float32"): (512, 1408, 32000),
    ("500MiB", "bfloat16"): (768, 2048, 32000),
    ("2GiB", "float32"): (1024, 3072, 64000),
    ("2GiB", "bfloat16"): (1536, 4096, 64000),
}
LAYERS = 32
SAVERS = ("vamra", "safetensors", "torch", "vamra-sharded")
LOADERS = ("vamra", "safetensors")


def installed(name: str) -> bool:
    return importlib.util.find_spec(name) is not None


# ---------------------------------------------------------------- the child


def state_dict(size: str, dtype: str) -> dict[str, Any]:
    import torch

    hidden, inter, vocab = SHAPES[(size, dtype)]
    kind = getattr(torch, dtype)
    made = [0]

    def t(*shape: int) -> Any:
        # Every page touched, cheaply: the values do not matter to a file
        # written without compression, nor to the time of a forward pass.
        made[0] += 1
        return torch.full(shape, 0.01 * (made[0] % 7 - 3), dtype=kind)

    state = {"model.embed_tokens.weight": t(vocab, hidden)}
    for i in range(LAYERS):
        p = f"model.layers.{i}."
        for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
            state[f"{p}self_attn.{name}.weight"] = t(hidden, hidden)
        state[f"{p}mlp.gate_proj.weight"] = t(inter, hidden)
        state[f"{p}mlp.up_proj.weight"] = t(inter, hidden)
        state[f"{p}mlp.down_proj.weight"] = t(hidden, inter)
        state[f"{p}input_layernorm.weight"] = torch.ones(hidden, dtype=kind)
        state[f"{p}post_attention_layernorm.weight"] = torch.ones(hidden, dtype=kind)
    state["model.norm.weight"] = torch.ones(hidden, dtype=kind)
    state["lm_head.weight"] = t(vocab, hidden)
    return state


def model(size: str, dtype: str) -> Any:
    """A Llama-style module whose state dict has the keys and shapes above."""
    import torch
    from torch import nn

    hidden, inter, vocab = SHAPES[(size, dtype)]

    class Norm(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.weight = nn.Parameter(torch.ones(hidden))

        def forward(self, x: Any) -> Any:
            return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + 1e-6) * self.weight

    class Attention(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
                setattr(self, name, nn.Linear(hidden, hidden, bias=False))

        def forward(self, x: Any) -> Any:
            q, k, v = self.q_proj(x), self.k_proj(x), self.v_proj(x)
            weights = torch.softmax(q @ k.transpose(-1, -2) / hidden**0.5, dim=-1)
            return self.o_proj(weights @ v)

    class Mlp(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.gate_proj = nn.Linear(hidden, inter, bias=False)
            self.up_proj = nn.Linear(hidden, inter, bias=False)
            self.down_proj = nn.Linear(inter, hidden, bias=False)

        def forward(self, x: Any) -> Any:
            return self.down_proj(nn.functional.silu(self.gate_proj(x)) * self.up_proj(x))

    class Layer(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.self_attn = Attention()
            self.mlp = Mlp()
            self.input_layernorm = Norm()
            self.post_attention_layernorm = Norm()

        def forward(self, x: Any) -> Any:
            x = x + self.self_attn(self.input_layernorm(x))
            return x + self.mlp(self.post_attention_layernorm(x))

    class Decoder(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.embed_tokens = nn.Embedding(vocab, hidden)
            self.layers = nn.ModuleList(Layer() for _ in range(LAYERS))
            self.norm = Norm()

        def forward(self, ids: Any) -> Any:
            x = self.embed_tokens(ids)
            for layer in self.layers:
                x = layer(x)
            return self.norm(x)

    class Llama(nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.model = Decoder()
            self.lm_head = nn.Linear(hidden, vocab, bias=False)

        def forward(self, ids: Any) -> Any:
            return self.lm_head(self.model(ids))

    with torch.device("meta"):
        built = Llama()
    # Memory of its own, not yet holding the weights (as a model is before loading).
    return built.to_empty(device="cpu").to(getattr(torch, dtype))


def _status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # resets the peak resident size to the current one
        return True
    except OSError:
        return False


def _shard_limit(state: dict[str, Any], count: int) -> int:
    """The smallest shard size limit that splits ``state`` into ``count`` shards."""
    from vamra import shards

    total = sum(t.nbytes for t in state.values())
    limit = total // count
    while len(shards._groups(state, limit, 64)) > count:
        limit = int(limit * 1.01) + 1
    return limit


def child_save(lib: str, size: str, dtype: str, target: str, path: str) -> dict[str, Any]:
    state = state_dict(size, dtype)
    if lib == "vamra":
        import vamra

        def run() -> None:
            vamra.save(state, path)
    elif lib == "vamra-sharded":
        import vamra

        limit = _shard_limit(state, 4)

        def run() -> None:
            vamra.save(state, path, max_shard_size=limit, workers=2)
    elif lib == "safetensors":
        from safetensors.torch import save_file

        def run() -> None:
            save_file(state, path)
    else:
        import torch

        def run() -> None:
            torch.save(state, path)

    if target == "existing" and not os.path.exists(path):
        run()  # the file this run saves over, as the previous save left it
    elif target == "new" and os.path.exists(path):
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    os.sync()
    time.sleep(0.2)
    before = _status("VmRSS")
    peak_known = _reset_peak()
    cpu, start = _cpu(), time.perf_counter()
    run()
    seconds, cpu = time.perf_counter() - start, _cpu() - cpu
    extra = (_status("VmHWM") - before) / MiB if peak_known else float("nan")
    return {"seconds": seconds, "cpu": cpu, "extra_mib": extra}


def _cpu() -> float:
    """CPU time of the process, every thread of it, in and out of the kernel."""
    times = os.times()
    return times.user + times.system


def child_load(lib: str, size: str, dtype: str, path: str) -> dict[str, Any]:
    import torch

    module = model(size, dtype)
    # One token: the forward pass reads every weight once, and its own
    # arithmetic (the same for both) stays small beside the loading.
    ids = torch.zeros((1, 1), dtype=torch.int64)
    if lib == "vamra":
        import vamra.torch

        def read() -> Any:
            return vamra.torch.load(path)
    else:
        from safetensors.torch import load_file

        def read() -> Any:
            return load_file(path)

    os.sync()
    time.sleep(0.2)
    cpu, start = _cpu(), time.perf_counter()
    module.load_state_dict(read())
    with torch.no_grad():
        module(ids)
    return {"seconds": time.perf_counter() - start, "cpu": _cpu() - cpu}


# ---------------------------------------------------------------- the parent


def run_child(*args: str) -> dict[str, Any]:
    done = subprocess.run(
        [sys.executable, __file__, "--child", *args],
        capture_output=True,
        text=True,
        timeout=900,
    )
    if done.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{done.stderr[-3000:]}")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def rotated(items: list[str], turn: int) -> list[str]:
    turn %= len(items)
    return items[turn:] + items[:turn]


def load_average() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.1f} (5 min {five:.1f})"


def spread(values: list[float]) -> str:
    middle = statistics.median(values)
    return (
        f"{min(values):.3f}-{max(values):.3f} s (±{(max(values) - min(values)) / 2 / middle:.0%})"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--child", nargs="+")
    parser.add_argument("--quick", action="store_true", help="500MiB float32 only, 5 runs")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="500MiB,2GiB")
    parser.add_argument("--dtypes", default="float32,bfloat16")
    parser.add_argument("--targets", default="existing,new")
    parser.add_argument("--rows", default="save,load", help="save, load or both")
    parser.add_argument("--dir", default=None, help="where files are written (a temporary dir)")
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        result = child_save(*rest) if kind == "save" else child_load(*rest)
        print(json.dumps(result))
        return 0
    if not installed("torch"):
        print("bench/checkpoint.py builds its state dicts with torch, which is not installed")
        return 1
    runs = max(5, args.runs)
    sizes = ["500MiB"] if args.quick else args.sizes.split(",")
    dtypes = ["float32"] if args.quick else args.dtypes.split(",")
    targets = args.targets.split(",")
    savers = [s for s in SAVERS if s != "safetensors" or installed("safetensors")]
    loaders = [s for s in LOADERS if s != "safetensors" or installed("safetensors")]
    print(f"{os.cpu_count()} CPUs; {load_average()}; {runs} runs per figure")
    work = tempfile.mkdtemp(prefix="vamra-bench-", dir=args.dir)
    try:
        for size in sizes:
            for dtype in dtypes:
                measure(work, size, dtype, targets, savers, loaders, runs, args.rows)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print()
    print(f"finished; {load_average()}")
    return 1 if report() else 0


def _runs(kind: str, libs: list[str], runs: int, *args: str, paths: dict[str, str]) -> Any:
    """Each lib's results over ``runs`` rounds, the libs taking turns in rotated order."""
    found: dict[str, list[dict[str, float]]] = {lib: [] for lib in libs}
    for turn in range(runs):
        for lib in rotated(libs, turn):
            found[lib].append(run_child(kind, lib, *args, paths[lib]))
    for lib in libs:
        wall = [r["seconds"] for r in found[lib]]
        cpu = [r["cpu"] for r in found[lib]]
        peak = max(r.get("extra_mib", float("nan")) for r in found[lib])
        extra = f", peak extra RSS {peak:.1f} MiB" if kind == "save" else ""
        print(
            f"  {lib:<14} wall median {statistics.median(wall):.3f} s, runs {spread(wall)}; "
            f"CPU median {statistics.median(cpu):.3f} s{extra}"
        )
    print(f"  {load_average()}")
    return found


def _median(found: dict[str, list[dict[str, float]]], lib: str, field: str) -> float | None:
    return statistics.median(r[field] for r in found[lib]) if lib in found else None


def _compare(
    name: str, base_name: str, found: Any, base: str, ours: str, target: str, limit: float
) -> None:
    """A row of wall times, and one of CPU times (steadier on a busy machine)."""
    for field, label in (("seconds", ""), ("cpu", " [CPU time]")):
        mine = _median(found, ours, field)
        assert mine is not None
        row(f"{name}{label}", base_name, _median(found, base, field), mine, target,
            lambda r: r <= limit)  # fmt: skip


def measure(
    work: str,
    size: str,
    dtype: str,
    targets: list[str],
    savers: list[str],
    loaders: list[str],
    runs: int,
    rows: str = "save,load",
) -> None:
    paths = {lib: os.path.join(work, f"{lib}-{size}-{dtype}") for lib in SAVERS}
    label = f"{size} {dtype}"
    if "save" not in rows:
        # Only the files loading reads, saved once.
        targets = []
        for lib in loaders:
            run_child("save", lib, size, dtype, "new", paths[lib])
    for target in targets:
        how = "over an existing file" if target == "existing" else "to a new path"
        print(f"\n{label}, save {how}: {load_average()}")
        found = _runs("save", savers, runs, size, dtype, target, paths=paths)
        where = f"{label} {target}"
        _compare(f"save {where}", "safetensors save_file", found, "safetensors", "vamra",
                 "<= 0.6x", 0.6)  # fmt: skip
        _compare(f"save {where}", "torch.save", found, "torch", "vamra", "<= 0.8x", 0.8)
        _compare(f"sharded save (4 shards, 2 threads) {where}", "single-file save", found,
                 "vamra", "vamra-sharded", "<= 0.8x", 0.8)  # fmt: skip
        if size == "2GiB":
            peak = max(r["extra_mib"] for r in found["vamra"])
            row(f"peak extra RSS saving {where}", "limit", 64.0, peak, "<= 64 MiB",
                lambda r: r <= 1.0, unit="MiB")  # fmt: skip
    if "load" in rows:
        # Loading reads the files the last saves left.
        print(f"\n{label}, load + load_state_dict + first forward: {load_average()}")
        found = _runs("load", loaders, runs, size, dtype, paths=paths)
        _compare(f"load + load_state_dict + forward {label}", "safetensors load_file + same",
                 found, "safetensors", "vamra", "<= 0.9x", 0.9)  # fmt: skip
    for path in paths.values():
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.exists(path):
            os.unlink(path)


if __name__ == "__main__":
    sys.exit(main())
