"""Hand tensors from one process to another through a shared-memory segment.

A producer process writes 1 MiB float32 tensors as packets straight into the segment
with ``dump_to_buffer_rs``; a consumer process reads each one in place with
``loads_rs`` (a read-only NumPy view of the segment, no copy). The segment holds two
slots used in turn, so that the producer fills one while the consumer reads the
other. Each slot has its own process-shared mutex guarding its control block and
packet area:

    [0, 64)       mutex (shm_mutex_size() bytes)
    [64, 88)      control: sequence number, ready flag, packet length (u64 each)
    [4096, ...)   packet area

The ready flag says whose turn the slot is: 0, the producer may write the next
packet into it; 1, a packet waits for the consumer. Each side watches the flag
without the mutex (a cheap hint) and reads or changes anything only while holding it.

    python examples/shm_exchange.py [--count N]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from contextlib import contextmanager
from multiprocessing import shared_memory

import numpy as np

import vamra_rs

ELEMENTS = 1 << 18  # 1 MiB of float32
SLOTS = 2
CONTROL = 64
SEQ, READY, LENGTH = range(3)
PACKET = 4096
# Room for the packet's header and alignment padding, rounded to whole pages.
STRIDE = PACKET + ELEMENTS * 4 + 4096
PEER_TIMEOUT = 10.0  # seconds without progress before a side gives up


class Slot:
    """Views of one slot of the segment."""

    def __init__(self, buf, index: int):
        self.buf = buf
        self.offset = index * STRIDE  # the mutex sits at the slot's start
        self.control = buf[self.offset + CONTROL : self.offset + CONTROL + 24].cast("Q")
        self.area = buf[self.offset + PACKET : self.offset + STRIDE]

    @contextmanager
    def locked(self):
        if vamra_rs.shm_mutex_lock(self.buf, self.offset, PEER_TIMEOUT):
            # The other process died inside its critical section: a packet it was
            # writing may be torn. Drop it; the flag now offers the slot to the producer.
            self.control[READY] = 0
        try:
            yield self.control
        finally:
            vamra_rs.shm_mutex_unlock(self.buf, self.offset)

    def wait_for(self, ready: int) -> None:
        """Spins until the ready flag reads `ready`; the mutex is taken afterwards."""
        deadline = time.monotonic() + PEER_TIMEOUT
        while self.control[READY] != ready:
            if time.monotonic() > deadline:
                raise TimeoutError("the other process stopped answering")
            os.sched_yield()

    def release(self) -> None:
        self.control.release()
        self.area.release()


def producer(name: str, count: int, start) -> None:
    shm = shared_memory.SharedMemory(name=name)
    slots = [Slot(shm.buf, index) for index in range(SLOTS)]
    try:
        tensor = np.empty(ELEMENTS, np.float32)
        start.wait()
        for seq in range(1, count + 1):
            tensor.fill(seq)
            slot = slots[seq % SLOTS]
            written = False
            while not written:
                slot.wait_for(0)
                with slot.locked() as control:
                    if control[READY] == 0:
                        control[LENGTH] = vamra_rs.dump_to_buffer_rs(tensor, slot.area)
                        control[SEQ] = seq
                        control[READY] = 1
                        written = True
    finally:
        for slot in slots:
            slot.release()
        shm.close()


def consumer(name: str, count: int, start, finished) -> None:
    shm = shared_memory.SharedMemory(name=name)
    slots = [Slot(shm.buf, index) for index in range(SLOTS)]
    try:
        start.wait()
        for expected in range(1, count + 1):
            slot = slots[expected % SLOTS]
            good = None
            while good is None:
                slot.wait_for(1)
                with slot.locked() as control:
                    if control[READY] != 1:
                        continue  # dropped while the mutex was recovered
                    seq = control[SEQ]
                    packet = slot.area[: control[LENGTH]]
                    tensor = vamra_rs.loads_rs(packet)  # a view of the segment
                    good = (
                        seq == expected
                        and tensor.shape == (ELEMENTS,)
                        and bool((tensor[::4096] == seq).all())
                        and tensor[-1] == seq
                    )
                    # The view keeps the segment exported; it must go before close().
                    del tensor
                    packet.release()
                    control[READY] = 0
            if not good:
                raise RuntimeError(f"packet {expected} arrived damaged or out of order")
        finished.value = time.monotonic()
    finally:
        for slot in slots:
            slot.release()
        shm.close()


def exchange(count: int) -> float:
    """Runs one producer and one consumer over `count` tensors; returns the seconds taken."""
    ctx = multiprocessing.get_context("spawn")
    # A new segment is zero-filled: every slot starts free for the producer.
    shm = shared_memory.SharedMemory(create=True, size=SLOTS * STRIDE)
    try:
        for index in range(SLOTS):
            vamra_rs.shm_mutex_init(shm.buf, index * STRIDE)
        # Both children attach first; the clock starts when all three meet.
        start, finished = ctx.Barrier(3), ctx.Value("d", 0.0)
        children = [
            ctx.Process(target=producer, args=(shm.name, count, start)),
            ctx.Process(target=consumer, args=(shm.name, count, start, finished)),
        ]
        for child in children:
            child.start()
        start.wait(60)
        began = time.monotonic()
        for child in children:
            child.join()
        if any(child.exitcode != 0 for child in children):
            raise RuntimeError("a child process failed")
        for index in range(SLOTS):
            vamra_rs.shm_mutex_destroy(shm.buf, index * STRIDE)
        return finished.value - began
    finally:
        shm.close()
        shm.unlink()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=5000, help="tensors to send")
    args = parser.parse_args(argv)
    if args.count < 1:
        parser.error("--count must be at least 1")
    seconds = exchange(args.count)
    rate = args.count / seconds
    mib = ELEMENTS * 4 / (1 << 20)
    print(f"{args.count} tensors of {mib:g} MiB in {seconds:.3f} s")
    print(f"{rate:,.0f} messages/s, {rate * mib:,.0f} MiB/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
