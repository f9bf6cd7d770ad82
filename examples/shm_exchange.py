"""Hand tensors from one process to another through a shared-memory channel.

A producer process sends 1 MiB float32 tensors into a vamra channel; a consumer
process receives each one as a read-only view of the shared segment (no copy)
and checks it. The channel takes care of slots, locking, waiting and peers that
die; this script only says what goes in and what comes out.

    python examples/shm_exchange.py [--count N]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time

import numpy as np
from vamra.channel import Channel

ELEMENTS = 1 << 18  # 1 MiB of float32


def producer(name: str, count: int) -> None:
    with Channel.attach(name) as channel:
        tensor = np.empty(ELEMENTS, np.float32)
        for seq in range(1, count + 1):
            tensor.fill(seq)
            channel.send(tensor, timeout=30)  # waits while every slot is full


def consumer(name: str, count: int, finished) -> None:
    with Channel.attach(name) as channel:
        for expected in range(1, count + 1):
            with channel.recv(timeout=30) as message:  # the slot is freed on leaving
                tensor = message.value
                if tensor.shape != (ELEMENTS,) or tensor[0] != expected or tensor[-1] != expected:
                    raise RuntimeError(f"tensor {expected} arrived damaged or out of order")
                del tensor
    finished.value = time.monotonic()


def exchange(count: int) -> float:
    """Runs one producer and one consumer over `count` tensors; returns the seconds taken."""
    ctx = multiprocessing.get_context("spawn")
    name = f"shm-exchange-{os.getpid()}"
    # Four slots, each big enough for one tensor and its packet header.
    with Channel.create(name, slots=4, slot_bytes=ELEMENTS * 4 + 4096):
        finished = ctx.Value("d", 0.0)
        children = [
            ctx.Process(target=producer, args=(name, count)),
            ctx.Process(target=consumer, args=(name, count, finished)),
        ]
        began = time.monotonic()
        for child in children:
            child.start()
        for child in children:
            child.join()
        if any(child.exitcode != 0 for child in children):
            raise RuntimeError("a child process failed")
        return finished.value - began


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=5000, help="tensors to send")
    args = parser.parse_args(argv)
    if args.count < 1:
        parser.error("--count must be at least 1")
    seconds = exchange(args.count)
    rate = args.count / seconds
    mib = ELEMENTS * 4 / (1 << 20)
    print(f"{args.count} tensors of {mib:g} MiB in {seconds:.3f} s (process start included)")
    print(f"{rate:,.0f} messages/s, {rate * mib:,.0f} MiB/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
