"""Timing helpers shared by the benchmark scripts."""

import time
from collections.abc import Callable

ROWS: list[tuple[str, str, float, str, str, bool | None]] = []


def best(fn: Callable[[], object], repeat: int = 7, number: int = 1) -> float:
    """Best wall time of `number` calls, over `repeat` rounds, in seconds per call."""
    fn()  # warm up
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def alternate(
    baseline: Callable[[], object],
    ours: Callable[[], object],
    rounds: int = 5,
    repeat: int = 3,
    number: int = 1,
) -> tuple[float, float]:
    """Best times of two functions measured in alternating rounds, in seconds per call.

    Small calls swing by tens of percent with the allocator's state and the
    machine's load; alternating gives both sides their best conditions.
    """
    base = mine = float("inf")
    for _ in range(rounds):
        base = min(base, best(baseline, repeat=repeat, number=number))
        mine = min(mine, best(ours, repeat=repeat, number=number))
    return base, mine


def alternate_settled(*fns: Callable[[], object], rounds: int = 3, repeat: int = 7) -> list[float]:
    """Best time of each function, measured in alternating rounds, with a pause
    after each: vamra.save releases replaced files on a background thread, and
    the pause lets that finish outside the next function's time."""
    bests = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            bests[i] = min(bests[i], best(fn, repeat=repeat))
            time.sleep(0.3)
    return bests


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def row(
    name: str,
    baseline_name: str,
    baseline: float | None,
    ours: float,
    target: str,
    check: Callable[[float], bool] | None,
    unit: str = "s",
) -> None:
    """Records one comparison; ratio = ours / baseline (lower is better for times).

    `unit` other than "s" shows both figures as plain numbers of that unit (MiB).
    """
    show = fmt if unit == "s" else (lambda v: f"{v:.1f} {unit}")
    if baseline is None:
        ROWS.append((name, f"{baseline_name}: missing", float("nan"), show(ours), target, None))
        return
    ratio = ours / baseline
    ROWS.append(
        (
            name,
            f"{baseline_name}: {show(baseline)}",
            ratio,
            show(ours),
            target,
            None if check is None else check(ratio),
        )
    )


def report() -> int:
    """Prints the table; returns the number of missed targets."""
    width = max(len(r[0]) for r in ROWS)
    bwidth = max(len(r[1]) for r in ROWS)
    print(
        f"{'benchmark':<{width}}  {'baseline':<{bwidth}}  {'ours':>10}  {'ratio':>8}  "
        f"{'target':<22} result"
    )
    missed = 0
    for name, base, ratio, ours, target, met in ROWS:
        verdict = {True: "met", False: "MISSED", None: "-"}[met]
        missed += met is False
        print(
            f"{name:<{width}}  {base:<{bwidth}}  {ours:>10}  {ratio:>8.3f}  {target:<22} {verdict}"
        )
    return missed
