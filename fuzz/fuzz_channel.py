"""Fuzzes a channel's shared state as another process could leave it.

Usage: fuzz_channel.py [libFuzzer options] [corpus dir ...]   (see the Makefile's
run-channel target, which also builds the instrumented modules it loads).

Each input is the first page of a real channel segment in /dev/shm: the
header, the mutex, the two events and the slot records. The rest of the
segment is a healthy channel holding two messages. The target then attaches
to the channel and receives (as views and as copies) and sends, none of them
waiting. A finding is:
- a crash or a hang (libFuzzer reports those, and AddressSanitizer memory
  errors in the instrumented modules);
- any exception but ValueError (a damaged segment or packet) and
  TimeoutError (nothing to receive, no free slot, or a mutex that a record
  says is held).

An empty corpus directory is seeded with first pages of channels in
several states: empty, holding messages, with slots of dead writers and
readers, and with a mutex whose holder died.
"""

from __future__ import annotations

import mmap
import os
import sys
from typing import Any

import atheris

with atheris.instrument_imports(include=["vamra"]):
    import vamra.channel
    from vamra import _native
    from vamra.channel import Channel

import numpy as np

PAGE = mmap.PAGESIZE
NAME = f"vamra-fuzz-channel-{os.getpid()}"
PATH = f"/dev/shm/{NAME}"
SLOTS, SLOT_BYTES = 3, 4096
RECORD_WORDS, TABLE_WORD = 8, 24


def _dead_pid() -> int:
    child = os.fork()
    if child == 0:
        os._exit(0)
    os.waitpid(child, 0)
    return child


def _healthy() -> Channel:
    """The channel every input is laid over: two messages waiting."""
    channel = Channel.create(NAME, slots=SLOTS, slot_bytes=SLOT_BYTES)
    channel.send(np.arange(6, dtype=np.int32))
    channel.send({"a": np.ones((2, 3), np.float32), "b": np.zeros(0)}, check_integrity=True)
    return channel


def _seeds(channel: Channel) -> list[bytes]:
    """First pages of the channel in several states."""
    first = bytes(channel._bytes[:PAGE])
    seeds = [first]
    words = np.frombuffer(bytearray(first), np.uint64)
    dead = _dead_pid()
    for state in (1, 3):  # being written, being read, by a process that died
        changed = words.copy()
        at = TABLE_WORD + 2 * RECORD_WORDS
        changed[at : at + 3] = (state, dead, 1)
        seeds.append(changed.tobytes())
    lengths = words.copy()
    lengths[TABLE_WORD + 4] = 2**63  # a length no slot holds
    seeds.append(lengths.tobytes())
    # The mutex as a holder that died inside it leaves it.
    child = os.fork()
    if child == 0:
        import vamra_rs

        vamra_rs.shm_mutex_lock(channel._map, 64, 5.0)
        os._exit(0)
    os.waitpid(child, 0)
    seeds.append(bytes(channel._bytes[:PAGE]))
    _native.channel_owners(channel._map)  # takes it over, so the template stays usable
    empty = Channel.create(NAME + "-empty", slots=SLOTS, slot_bytes=SLOT_BYTES)
    seeds.append(bytes(empty._bytes[:PAGE]))
    empty.close()
    empty.unlink()
    return seeds


def _summary(value: Any) -> None:
    if isinstance(value, dict):
        for item in value.values():
            _summary(item)
    elif isinstance(value, np.ndarray):
        value.tobytes()


TEMPLATE = b""


def test_one_input(data: bytes) -> None:
    page = data[:PAGE]
    with open(PATH, "wb") as file:
        file.write(page + TEMPLATE[len(page) :])
    try:
        channel = Channel.attach(NAME)
    except ValueError:
        return
    finally:
        os.unlink(PATH)  # a killed run leaves nothing in /dev/shm
    try:
        for copy in (False, True):
            try:
                message = channel.recv(timeout=0, copy=copy)
            except (ValueError, TimeoutError):
                continue
            _summary(message.value)
            message.release()
            del message
        try:
            channel.send(np.arange(4), timeout=0)
        except (ValueError, TimeoutError):
            pass
    finally:
        channel.close()  # refuses (BufferError: a finding) if a lease outlived its message


def main() -> None:
    global TEMPLATE
    template = _healthy()
    TEMPLATE = bytes(template._bytes[:])
    corpus = [arg for arg in sys.argv[1:] if not arg.startswith("-")]
    if corpus and os.path.isdir(corpus[0]) and not os.listdir(corpus[0]):
        for index, seed in enumerate(_seeds(template)):
            with open(os.path.join(corpus[0], f"seed-{index}"), "wb") as file:
                file.write(seed)
    template.close()
    template.unlink()
    print(f"fuzz_channel: segments read with {vamra.channel.__file__}", flush=True)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
