"""Process-to-process tensor exchange: shared memory + mutex vs multiprocessing pipes.

Sends 1 MiB float32 tensors from a producer process to a consumer process three ways:

- ours: packets written into a shared segment with dump_to_buffer_rs under a mutex
  in the segment and read in place with loads_rs (the two-slot exchange of
  examples/shm_exchange.py);
- multiprocessing.Queue carrying the arrays (pickled);
- multiprocessing.Pipe with send_bytes(arr.tobytes()) and np.frombuffer.

The producers stamp the sequence number into the same sampled elements of each
tensor (every 4096th and the last), and every consumer checks exactly those: what is
timed is moving the whole 1 MiB across, not filling it. Also times an uncontended
shm_mutex_lock + shm_mutex_unlock pair.

    python bench/bench_shm.py [--count N] [--repeat R]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from multiprocessing import shared_memory

import numpy as np

import vamra_rs

ELEMENTS = 1 << 18  # 1 MiB of float32
# The segment's layout, as in examples/shm_exchange.py: two slots used in turn, each
# a mutex, a control block (sequence number, ready flag, packet length) and a packet area.
SLOTS, CONTROL, PACKET = 2, 64, 4096
SEQ, READY, LENGTH = range(3)
STRIDE = PACKET + ELEMENTS * 4 + 4096
CTX = multiprocessing.get_context("spawn")


def stamp(tensor, seq: int) -> None:
    tensor[::4096] = seq
    tensor[-1] = seq


def check(tensor, expected: int) -> None:
    if (
        tensor.shape != (ELEMENTS,)
        or tensor[-1] != expected
        or not (tensor[::4096] == expected).all()
    ):
        raise RuntimeError(f"tensor {expected} arrived damaged or out of order")


def spin_until(control, ready: int) -> None:
    deadline = time.monotonic() + 10.0
    while control[READY] != ready:
        if time.monotonic() > deadline:
            raise TimeoutError("the other process stopped answering")
        os.sched_yield()


# --- ours ----------------------------------------------------------------------------------


def slot_views(buf):
    return [
        (
            index * STRIDE,
            buf[index * STRIDE + CONTROL : index * STRIDE + CONTROL + 24].cast("Q"),
            buf[index * STRIDE + PACKET : (index + 1) * STRIDE],
        )
        for index in range(SLOTS)
    ]


def shm_producer(name, count, start, finished):
    shm = shared_memory.SharedMemory(name=name)
    buf = shm.buf
    slots = slot_views(buf)
    tensor = np.zeros(ELEMENTS, np.float32)
    start.wait()
    for seq in range(1, count + 1):
        stamp(tensor, seq)
        mutex, control, area = slots[seq % SLOTS]
        while True:
            spin_until(control, 0)
            vamra_rs.shm_mutex_lock(buf, mutex)
            if control[READY] == 0:
                control[LENGTH] = vamra_rs.dump_to_buffer_rs(tensor, area)
                control[SEQ] = seq
                control[READY] = 1
                vamra_rs.shm_mutex_unlock(buf, mutex)
                break
            vamra_rs.shm_mutex_unlock(buf, mutex)
    release(slots)
    shm.close()


def shm_consumer(name, count, start, finished):
    shm = shared_memory.SharedMemory(name=name)
    buf = shm.buf
    slots = slot_views(buf)
    start.wait()
    for expected in range(1, count + 1):
        mutex, control, area = slots[expected % SLOTS]
        spin_until(control, 1)
        vamra_rs.shm_mutex_lock(buf, mutex)
        packet = area[: control[LENGTH]]
        tensor = vamra_rs.loads_rs(packet)
        if control[SEQ] != expected:
            raise RuntimeError(f"expected tensor {expected}, found {control[SEQ]}")
        check(tensor, expected)
        del tensor  # releases its hold on the segment
        packet.release()
        control[READY] = 0
        vamra_rs.shm_mutex_unlock(buf, mutex)
    finished.value = time.monotonic()
    release(slots)
    shm.close()


def release(slots):
    for _, control, area in slots:
        control.release()
        area.release()


def run_shm(count: int) -> float:
    shm = shared_memory.SharedMemory(create=True, size=SLOTS * STRIDE)
    try:
        for index in range(SLOTS):
            vamra_rs.shm_mutex_init(shm.buf, index * STRIDE)
        return timed(shm_producer, shm_consumer, count, shm.name)
    finally:
        shm.close()
        shm.unlink()


# --- baselines -----------------------------------------------------------------------------


def queue_producer(queue, count, start, finished):
    tensor = np.zeros(ELEMENTS, np.float32)
    start.wait()
    for seq in range(1, count + 1):
        stamp(tensor, seq)
        # A copy: the queue pickles the array later, in its feeder thread.
        queue.put(tensor.copy())
    queue.close()
    queue.join_thread()


def queue_consumer(queue, count, start, finished):
    start.wait()
    for expected in range(1, count + 1):
        check(queue.get(), expected)
    finished.value = time.monotonic()


def run_queue(count: int) -> float:
    return timed(queue_producer, queue_consumer, count, CTX.Queue(maxsize=4))


def pipe_producer(ends, count, start, finished):
    connection = ends[1]
    tensor = np.zeros(ELEMENTS, np.float32)
    start.wait()
    for seq in range(1, count + 1):
        stamp(tensor, seq)
        connection.send_bytes(tensor.tobytes())


def pipe_consumer(ends, count, start, finished):
    connection = ends[0]
    start.wait()
    for expected in range(1, count + 1):
        check(np.frombuffer(connection.recv_bytes(), np.float32), expected)
    finished.value = time.monotonic()


def run_pipe(count: int) -> float:
    return timed(pipe_producer, pipe_consumer, count, CTX.Pipe(duplex=False))


def timed(producer, consumer, count: int, channel) -> float:
    """Seconds from the moment both sides are ready until the consumer has all tensors."""
    start, finished = CTX.Barrier(3), CTX.Value("d", 0.0)
    children = [
        CTX.Process(target=side, args=(channel, count, start, finished))
        for side in (producer, consumer)
    ]
    for child in children:
        child.start()
    start.wait(60)
    began = time.monotonic()
    for child in children:
        child.join()
    if any(child.exitcode != 0 for child in children):
        raise RuntimeError(f"{producer.__name__} or {consumer.__name__} failed")
    return finished.value - began


# --- the mutex alone -----------------------------------------------------------------------


def lock_unlock_ns(iterations: int) -> float:
    shm = shared_memory.SharedMemory(create=True, size=4096)
    buf = shm.buf
    lock, unlock = vamra_rs.shm_mutex_lock, vamra_rs.shm_mutex_unlock
    try:
        vamra_rs.shm_mutex_init(buf, 0)
        for _ in range(10_000):
            lock(buf, 0)
            unlock(buf, 0)
        began = time.perf_counter_ns()
        for _ in range(iterations):
            lock(buf, 0)
            unlock(buf, 0)
        elapsed = time.perf_counter_ns() - began
        vamra_rs.shm_mutex_destroy(buf, 0)
        return elapsed / iterations
    finally:
        del buf
        shm.close()
        shm.unlink()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="tensors per exchange")
    parser.add_argument("--repeat", type=int, default=3, help="runs per method; best is kept")
    parser.add_argument("--iterations", type=int, default=1_000_000, help="lock+unlock pairs")
    args = parser.parse_args(argv)
    if min(args.count, args.repeat, args.iterations) < 1:
        parser.error("--count, --repeat and --iterations must be at least 1")

    rates = {}
    for label, run in (("ours", run_shm), ("Queue", run_queue), ("Pipe", run_pipe)):
        best = min(run(args.count) for _ in range(args.repeat))
        rates[label] = args.count / best
        print(f"{label:>6}: {rates[label]:10,.0f} messages/s ({rates[label]:,.0f} MiB/s)")
    pair_ns = lock_unlock_ns(args.iterations)
    print(f"uncontended lock+unlock: {pair_ns:.0f} ns\n")

    rows = []
    for label in ("Queue", "Pipe"):
        ratio = rates["ours"] / rates[label]
        rows.append(
            (
                f"1 MiB messages/s vs multiprocessing.{label}",
                f"{rates[label]:,.0f}",
                f"{rates['ours']:,.0f}",
                f"{ratio:.1f}x",
                ">= 5x",
                ratio >= 5,
            )
        )
    rows.append(
        ("uncontended lock+unlock (ns)", "-", f"{pair_ns:.0f}", "-", "< 1000", pair_ns < 1000)
    )
    header = ("measure", "baseline", "ours", "ratio", "target", "result")
    table = [header] + [(*row[:5], "met" if row[5] else "missed") for row in rows]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for row in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)))
    return 0 if all(row[5] for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
