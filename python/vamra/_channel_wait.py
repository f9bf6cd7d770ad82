"""How a channel call waits: for a slot to come free, or for a message.

A step (``vamra._native.channel_send`` or ``channel_take``) that finds
nothing returns the counter of the event it needs ("freed" or "published"),
as read before it looked. The waiter sleeps while the counter still reads
so (a futex in the segment), after a short spin, then tries the step again.
It wakes at least every few tenths of a second to look for slot owners that
died, and at once when the step reports that it found the mutex's last
holder dead.
"""

from __future__ import annotations

import math
import mmap
import numbers
import time
from collections.abc import Callable
from typing import Any, Final

from vamra import _channel_owners, _native

# How often a waiting process looks for owners that died.
PEER_CHECK: Final = 0.2
# The shortest spin an adapting waiter uses (below it, none), and how often
# a waiter that stopped spinning tries it again.
MIN_SPIN: Final = 2e-6
PROBE_EVERY: Final = 64
_SEEN: Final = 0xFFFF_FFFF
_RECOVERED: Final = 1 << 32


def seconds(value: object, what: str, negative: bool = False) -> float:
    """`value` as a number of seconds (infinite allowed).

    Raises TypeError for a value that is not a real number, ValueError for
    NaN and, unless `negative`, for a negative number.
    """
    if type(value) is not float and type(value) is not int:
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    secs = float(value)
    if math.isnan(secs) or (secs < 0 and not negative):
        raise ValueError(f"{what} must be a non-negative number of seconds, not {value!r}")
    return secs


def deadline_of(timeout: object) -> float | None:
    """The time.monotonic() at which a call with `timeout` gives up; None: never.

    A negative timeout has passed already, as a computed remainder can be.
    """
    if timeout is None:
        return None
    secs = seconds(timeout, "timeout", negative=True)
    return None if secs == math.inf else time.monotonic() + secs


class Waiter:
    """The waiting state of one handle: the spin before each sleep adapts.

    It grows while the awaited change tends to come within it, and shrinks
    while it does not (a busy machine, a slow peer), where spinning only
    takes the processor from others.
    """

    __slots__ = ("_segment", "_spin", "_spin_now", "_unspun")

    def __init__(self, segment: mmap.mmap, spin: float) -> None:
        self._segment = segment
        self._spin = spin
        self._spin_now = spin
        self._unspun = 0

    def until_done(
        self,
        step: Callable[[float | None], Any],
        event: int,
        deadline: float | None,
        failure: Callable[[], Exception],
    ) -> Any:
        """Runs `step(deadline)` until it returns something other than an int
        (the event counter it read), sleeping on `event` in between; raises
        `failure()` once `deadline` passes."""
        result = step(deadline)
        if type(result) is not int:
            return result
        segment = self._segment
        look_again = time.monotonic() + PEER_CHECK
        while True:
            now = time.monotonic()
            if result & _RECOVERED or now >= look_again:
                # Slots of owners that died come back before the next try.
                look_again = now + PEER_CHECK
                try:
                    reclaimed = _channel_owners.reclaim(segment, deadline)
                except TimeoutError:
                    reclaimed = 0  # the mutex stayed held: the deadline speaks below
                if reclaimed or result & _RECOVERED:
                    result = step(deadline)
                    if type(result) is not int:
                        return result
                    now = time.monotonic()
            if deadline is not None and now >= deadline:
                raise failure()
            limit = look_again - now if deadline is None else min(look_again, deadline) - now
            spin = self._spin_now
            if spin == 0.0:
                # Now and then a short spin, to notice when spinning pays again.
                self._unspun += 1
                if self._unspun % PROBE_EVERY == 0:
                    spin = MIN_SPIN
            _native.futex_wait(segment, event, result & _SEEN, max(limit, 0.0), spin)
            if spin:
                if time.monotonic() - now <= spin:
                    self._spin_now = min(self._spin, 2 * spin)
                else:
                    self._spin_now = spin / 2 if spin / 2 >= MIN_SPIN else 0.0
            result = step(deadline)
            if type(result) is not int:
                return result
