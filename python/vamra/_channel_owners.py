"""Who owns a channel slot, and whether it still runs.

A slot being written or read names its owner: a process id together with
the process's start time, so that an id the kernel reused is not mistaken
for the process that died. A slot whose owner has died is taken back: a
half-written packet is dropped, never delivered, and a receiver's slot is
freed. Owners are told apart by process id, so the processes sharing a
channel must see one another's ids (one pid namespace: not containers with
namespaces of their own).
"""

from __future__ import annotations

import mmap
import os

from vamra import _native


def stat(pid: int) -> tuple[bytes, int] | None:
    """State letter and start time (clock ticks after boot) of process `pid`, or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            data = file.read()
    except OSError:
        return None
    # The command name (field 2) may hold spaces and parentheses: the fields
    # after it start behind the last ')'.
    fields = data[data.rindex(b")") + 2 :].split()
    return fields[0], int(fields[19])


def _own_identity() -> tuple[int, int]:
    pid = os.getpid()
    found = stat(pid)
    return pid, found[1] if found is not None else 0


# This process's (pid, start time), as slot records name their owners; a
# forked child finds its own.
identity: tuple[int, int] = _own_identity()


def _after_fork() -> None:
    global identity
    identity = _own_identity()


os.register_at_fork(after_in_child=_after_fork)


def alive(pid: int, start: int) -> bool:
    """Whether the process that recorded itself as (pid, start) still runs."""
    found = stat(pid)
    # A zombie has died, even though its parent has not collected it yet; a
    # different start time means the id now belongs to another process.
    return found is not None and found[0] not in (b"Z", b"X") and found[1] == start


def reclaim(segment: mmap.mmap, deadline: float | None = None) -> int:
    """Frees the slots of `segment` whose owners died; returns how many.

    The owners are read under the mutex, judged outside it (reading /proc
    takes microseconds each), and each slot is freed only if its record has
    not changed since: a live process never loses a slot to this.
    """
    dead = [
        record
        for record in _native.channel_owners(segment, deadline)
        if not alive(record[2], record[3])
    ]
    return _native.channel_release(segment, dead, deadline) if dead else 0
