"""Moving values between two Dask workers: the "vamra" family against Dask's own.

One LocalCluster of two worker processes on loopback, both families on it in
the same run. Each value is made on worker A by a task; a task on worker B then
takes it as its argument, which makes B fetch it from A. The move is the time
of that task (seen from the client) minus the time of the same task on a tiny
value, which every task pays for scheduling. Values:

- a 64 MiB float32 array;
- a dict of 200 float32 arrays, about 100 MiB;
- a 10000 x 10000 CSR matrix at 1% (float64 data, int32 indices);
- a million short strings: a StringTensor for vamra, an object array for Dask.

Which family B asks A for is set on the workers between measurements; vamra
is measured with and without its checksum (set on A, the sender). The
configurations take turns for --repeat rounds; in each round a value's move is
its task's time minus the best of three tasks on a tiny value just before, and
the table shows the median move over the rounds.

    python bench/dask_bench.py [--quick] [--repeat R]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from typing import Any

import numpy as np

ROWS = {
    "64 MiB float32 array": ("dense", 0.9),
    "dict of 200 arrays (100 MiB)": ("dict", 1.0),
    "CSR 10000x10000 at 1%": ("csr", 1.0),
    "1M short strings": ("strings", 3.0),
}


def make(kind: str, family: str, seed: int) -> Any:
    """The value of `kind` as `family` moves it; runs on worker A."""
    rng = np.random.default_rng(seed)
    if kind == "tiny":
        return np.zeros(1)
    if kind == "dense":
        return rng.standard_normal(16 << 20, dtype=np.float32)
    if kind == "dict":
        return {
            f"layer{i}.weight": rng.standard_normal(131_072, dtype=np.float32) for i in range(200)
        }
    if kind == "csr":
        import scipy.sparse as sp

        return sp.random(10_000, 10_000, density=0.01, format="csr", random_state=seed)
    if kind == "strings":
        words = [f"w{seed}-{i % 9973}-{i}" for i in range(1_000_000)]
        if family == "vamra":
            from vamra.ragged import StringTensor

            return StringTensor.from_list(words)
        return np.array(words, dtype=object)
    raise ValueError(kind)


def take(value: Any) -> int:
    """The task on worker B: receiving its argument is the work."""
    return 1


def use_families(names: list[str], checksum: bool, dask_worker: Any = None) -> None:
    """Runs on every worker: which families to ask peers for, and the checksum."""
    import dask

    dask_worker.rpc.serializers = list(names)
    dask_worker.rpc.deserializers = list(names)
    dask.config.set({"vamra.checksum": checksum})


def last_transfer(dask_worker: Any = None) -> float:
    """Runs on B: how long its last fetch from a peer took, as the worker logged it."""
    return float(dask_worker.transfer_incoming_log[-1]["duration"])


def move_seconds(
    client: Any, a: str, b: str, kind: str, family: str, seed: int
) -> tuple[float, float]:
    """The task on B that fetches a fresh value of `kind` from A: its wall time
    seen from the client, and B's own record of the fetch."""
    made = client.submit(make, kind, family, seed, workers=[a], pure=False)
    made.result()
    began = time.perf_counter()
    client.submit(take, made, workers=[b], allow_other_workers=False, pure=False).result()
    elapsed = time.perf_counter() - began
    client.cancel(made)
    return elapsed, client.run(last_transfer, workers=[b])[b]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round (a smoke run)")
    parser.add_argument("--repeat", type=int, default=7, help="rounds; the median is shown")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    repeat = 1 if args.quick else args.repeat

    import vamra.dask
    from distributed import Client, LocalCluster

    # name: (families the workers ask for, checksum, which value to make)
    configs: dict[str, tuple[list[str], bool, str]] = {
        "dask": (["dask", "pickle"], False, "dask"),
        "vamra": (list(vamra.dask.SERIALIZERS), False, "vamra"),
        "checksum": (list(vamra.dask.SERIALIZERS), True, "vamra"),
    }
    moves: dict[tuple[str, str], list[float]] = {}
    fetches: dict[tuple[str, str], list[float]] = {}
    tiny: dict[str, list[float]] = {config: [] for config in configs}
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            preload=["vamra.dask"],
        ) as cluster,
        Client(cluster) as client,
    ):
        a, b = sorted(client.scheduler_info()["workers"])
        seed = 0
        for _ in range(repeat):
            for config, (names, checksum, family) in configs.items():
                client.run(use_families, names, checksum)
                for kind, _target in ROWS.values():
                    seed += 3
                    base = min(
                        move_seconds(client, a, b, "tiny", family, seed + i)[0] for i in range(3)
                    )
                    tiny[config].append(base)
                    seconds, fetch = move_seconds(client, a, b, kind, family, seed)
                    moves.setdefault((config, kind), []).append(seconds - base)
                    fetches.setdefault((config, kind), []).append(fetch)

    missed = 0
    for title, samples in (
        ("The move: the task on B minus the same task on a tiny value (median)", moves),
        ("B's own record of the fetch (median)", fetches),
    ):
        header = ("value", "dask", "vamra", "speed-up", "checksum", "speed-up", "target")
        table: list[tuple[str, ...]] = [header]
        for name, (kind, target) in ROWS.items():
            theirs, ours, checked = (
                max(statistics.median(samples[(config, kind)]), 1e-6) for config in configs
            )
            met = theirs / ours >= target
            missed += samples is moves and not met
            table.append(
                (
                    name,
                    f"{theirs * 1e3:.1f} ms",
                    f"{ours * 1e3:.1f} ms",
                    f"{theirs / ours:.2f}x",
                    f"{checked * 1e3:.1f} ms",
                    f"{theirs / checked:.2f}x",
                    f">= {target:g}x ({'met' if met else 'missed'})",
                )
            )
        widths = [max(len(line[i]) for line in table) for i in range(len(header))]
        print(title)
        for line in table:
            print("  ".join(cell.ljust(width) for cell, width in zip(line, widths, strict=True)))
        print()
    shown = {config: statistics.median(times) * 1e3 for config, times in tiny.items()}
    print("task on a tiny value: " + ", ".join(f"{c} {t:.1f} ms" for c, t in shown.items()))
    print("vamra: the family as it comes (no checksum); checksum: with vamra.checksum on")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
