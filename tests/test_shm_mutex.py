"""The process-shared robust mutex: slot checks, timeouts, owner death, threads and processes.

A slot is 64 bytes; its start (buffer start + offset) must be 8-byte aligned. The
checks run in a fixed order: a read-only buffer first, then a slot that does not fit,
then a misaligned address.
"""

from __future__ import annotations

import ctypes
import errno
import math
import mmap
import multiprocessing
import os
import signal
import threading
import time
from contextlib import contextmanager
from multiprocessing import shared_memory

import numpy as np
import pytest

import vamra_rs

SLOT = 64
# Child processes are forked: they inherit the segment's mapping directly, and start
# in milliseconds.
FORK = multiprocessing.get_context("fork")
BUFFER_FUNCTIONS = [
    vamra_rs.shm_mutex_init,
    vamra_rs.shm_mutex_lock,
    vamra_rs.shm_mutex_unlock,
    vamra_rs.shm_mutex_destroy,
]


def address_of(buffer) -> int:
    view = (ctypes.c_char * len(buffer)).from_buffer(buffer)
    try:
        return ctypes.addressof(view)
    finally:
        del view


def aligned_offset(buffer, at_least: int) -> int:
    """The first offset >= at_least whose address is 8-byte aligned."""
    return at_least + (-(address_of(buffer) + at_least)) % 8


@pytest.fixture
def slot():
    """An initialised mutex in a private buffer: (buffer, offset)."""
    buffer = bytearray(256)
    offset = aligned_offset(buffer, 64)
    vamra_rs.shm_mutex_init(buffer, offset)
    yield buffer, offset
    vamra_rs.shm_mutex_destroy(buffer, offset)


@pytest.fixture
def segment():
    """A shared-memory segment with an initialised mutex at offset 0."""
    shm = shared_memory.SharedMemory(create=True, size=4096)
    vamra_rs.shm_mutex_init(shm.buf, 0)
    yield shm
    shm.close()
    shm.unlink()


@contextmanager
def held_by_thread(buffer, offset):
    """Holds the mutex from another thread of this process for the block's duration."""
    locked, release = threading.Event(), threading.Event()

    def hold():
        assert vamra_rs.shm_mutex_lock(buffer, offset) is False
        locked.set()
        release.wait()
        vamra_rs.shm_mutex_unlock(buffer, offset)

    holder = threading.Thread(target=hold, daemon=True)
    holder.start()
    assert locked.wait(5)
    try:
        yield
    finally:
        release.set()
        holder.join(5)


def run_child(target, *args) -> multiprocessing.Process:
    child = FORK.Process(target=target, args=args)
    child.start()
    return child


def join_ok(*children):
    for child in children:
        child.join(30)
        assert child.exitcode == 0


# --- children (run in forked processes) ---------------------------------------------------


def _hold_until(shm, locked, release):
    assert vamra_rs.shm_mutex_lock(shm.buf, 0) is False
    locked.set()
    release.wait(10)
    vamra_rs.shm_mutex_unlock(shm.buf, 0)


def _lock_and_die(shm):
    vamra_rs.shm_mutex_lock(shm.buf, 0)
    os._exit(0)  # dies holding the mutex


COUNTER, BUSY = 64, 72


def _increment(shm, rounds, start):
    buf = shm.buf
    counter = buf[COUNTER : COUNTER + 8].cast("Q")
    start.wait(10)
    for _ in range(rounds):
        assert vamra_rs.shm_mutex_lock(buf, 0) is False
        # Another process inside the critical section means the mutex let two in.
        assert buf[BUSY] == 0
        buf[BUSY] = 1
        value = counter[0]
        os.sched_yield()  # widens the window in which a second process would interfere
        counter[0] = value + 1
        buf[BUSY] = 0
        vamra_rs.shm_mutex_unlock(buf, 0)
    counter.release()


# --- size and argument handling ------------------------------------------------------------


def test_size_is_64_and_takes_no_arguments():
    assert vamra_rs.shm_mutex_size() == SLOT
    with pytest.raises(TypeError):
        vamra_rs.shm_mutex_size(1)


@pytest.mark.parametrize("function", BUFFER_FUNCTIONS)
@pytest.mark.parametrize(
    ("buffer", "offset", "error", "text"),
    [
        (bytes(256), 0, ValueError, "Buffer is read-only"),
        (memoryview(bytearray(256)).toreadonly(), 0, ValueError, "Buffer is read-only"),
        # Read-only is reported before the slot's fit.
        (bytes(8), 40, ValueError, "Buffer is read-only"),
        (memoryview(bytearray(256)).cast("I"), 0, BufferError, "not compatible with u8"),
        (memoryview(bytearray(256))[::2], 0, BufferError, "not C-contiguous"),
        ("not a buffer", 0, TypeError, None),
        (bytearray(256), -1, OverflowError, None),
        (bytearray(256), 1.0, TypeError, "argument 'offset'"),
    ],
    ids=[
        "bytes",
        "readonly-view",
        "readonly-before-fit",
        "u32-items",
        "strided",
        "str",
        "negative-offset",
        "float-offset",
    ],
)
def test_unusable_buffers_and_offsets(function, buffer, offset, error, text):
    with pytest.raises(error, match=text):
        function(buffer, offset)


def test_timeout_must_be_a_number(slot):
    with pytest.raises(TypeError, match="argument 'timeout_secs'"):
        vamra_rs.shm_mutex_lock(*slot, "soon")


# --- where the slot may go -----------------------------------------------------------------


@pytest.mark.parametrize("function", BUFFER_FUNCTIONS)
@pytest.mark.parametrize(
    ("size", "offset"),
    [
        (100, 40),  # 40 + 64 > 100
        (100, 37),  # also misaligned: the fit is reported first
        (100, 101),  # starts past the end
        (64, 8),
        (0, 0),
        # Offsets near 2^64: offset + 64 would wrap around.
        (256, 2**64 - 1),
        (256, 2**64 - 64),
        (256, 2**64 - 32),
    ],
)
def test_slot_must_fit(function, size, offset):
    expected = f"Insufficient space: need 64 bytes at offset {offset}, buffer is {size} bytes"
    with pytest.raises(ValueError) as raised:
        function(bytearray(size), offset)
    assert str(raised.value) == expected


@pytest.mark.parametrize("function", BUFFER_FUNCTIONS)
@pytest.mark.parametrize("skew", [1, 4, 7])
def test_mutex_address_must_be_8_byte_aligned(function, skew):
    buffer = bytearray(256)
    offset = aligned_offset(buffer, 64) + skew
    with pytest.raises(ValueError) as raised:
        function(buffer, offset)
    address = address_of(buffer) + offset
    assert str(raised.value) == (
        f"Mutex address must be 8-byte aligned: offset {offset} gives address {address:#x}"
    )


def test_slot_placement_in_a_small_bytearray():
    # The storage of a small bytearray is 16-byte aligned here, so within 100 bytes
    # offset 32 is the last aligned slot that fits; 36 would fit but is misaligned,
    # and 40 no longer fits.
    buffer = bytearray(100)
    if address_of(buffer) % 8:
        pytest.skip("bytearray storage is not 8-byte aligned on this interpreter")
    vamra_rs.shm_mutex_init(buffer, 32)
    assert vamra_rs.shm_mutex_lock(buffer, 32) is False
    vamra_rs.shm_mutex_unlock(buffer, 32)
    vamra_rs.shm_mutex_destroy(buffer, 32)
    with pytest.raises(ValueError, match="must be 8-byte aligned: offset 36 "):
        vamra_rs.shm_mutex_init(buffer, 36)
    with pytest.raises(ValueError, match="need 64 bytes at offset 40, buffer is 100 bytes"):
        vamra_rs.shm_mutex_init(buffer, 40)


def test_init_touches_only_the_slot():
    buffer = bytearray(b"\xaa" * 256)
    offset = aligned_offset(buffer, 64)
    vamra_rs.shm_mutex_init(buffer, offset)
    assert buffer[:offset] == b"\xaa" * offset
    assert buffer[offset + SLOT :] == b"\xaa" * (256 - offset - SLOT)
    vamra_rs.shm_mutex_destroy(buffer, offset)


# --- locking in one thread -----------------------------------------------------------------


def test_lock_unlock_cycle_and_keywords(slot):
    buffer, offset = slot
    for _ in range(3):
        assert vamra_rs.shm_mutex_lock(buffer, offset) is False
        vamra_rs.shm_mutex_unlock(buffer, offset)
    assert vamra_rs.shm_mutex_lock(buffer=buffer, offset=offset, timeout_secs=1) is False
    vamra_rs.shm_mutex_unlock(offset=offset, buffer=buffer)


def test_destroyed_mutex_can_be_initialised_again(slot):
    buffer, offset = slot
    vamra_rs.shm_mutex_destroy(buffer, offset)
    vamra_rs.shm_mutex_init(buffer, offset)
    assert vamra_rs.shm_mutex_lock(buffer, offset, 0) is False
    vamra_rs.shm_mutex_unlock(buffer, offset)


@pytest.mark.parametrize(
    ("timeout", "text"),
    [
        (-1, "cannot convert float seconds to Duration: value is negative"),
        (-1e-12, "cannot convert float seconds to Duration: value is negative"),
        (-math.inf, "cannot convert float seconds to Duration: value is negative"),
        (math.nan, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (math.inf, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
        # Fits a duration, but not the monotonic clock's range once added to now.
        (1e19, "overflow when adding duration to instant"),
    ],
)
def test_unusable_timeouts_are_internal_failures(slot, timeout, text):
    assert issubclass(vamra_rs.InternalFailure, BaseException)
    assert not issubclass(vamra_rs.InternalFailure, Exception)
    with pytest.raises(vamra_rs.InternalFailure) as raised:
        try:
            vamra_rs.shm_mutex_lock(*slot, timeout)
        except Exception:  # must not catch it
            pytest.fail("an internal failure was caught as Exception")
    assert str(raised.value) == text
    # The failure came before any attempt: the mutex is still free.
    assert vamra_rs.shm_mutex_lock(*slot, 0) is False
    vamra_rs.shm_mutex_unlock(*slot)


@pytest.mark.parametrize("locked_by_main", [False, True], ids=["unlocked", "held-by-other"])
def test_unlock_by_a_thread_that_does_not_hold_it(slot, locked_by_main):
    if locked_by_main:
        vamra_rs.shm_mutex_lock(*slot)
    failures = []

    def unlock():
        try:
            vamra_rs.shm_mutex_unlock(*slot)
        except RuntimeError as error:
            failures.append(str(error))

    worker = threading.Thread(target=unlock, daemon=True)
    worker.start()
    worker.join(5)
    assert failures == [f"pthread_mutex_unlock failed: {errno.EPERM}"]
    if locked_by_main:
        with pytest.raises(BufferError):
            slot[0].clear()  # still held, so its memory is still kept
        vamra_rs.shm_mutex_unlock(*slot)  # the owner still can


# --- timeouts ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("timeout", "shown"),
    [
        (0, "0ns"),
        (-0.0, "0ns"),
        (4e-10, "0ns"),  # below half a nanosecond
        (7e-9, "7ns"),
        (1.5e-7, "150ns"),
        (1e-4, "100µs"),
        (1.25e-6, "1.25µs"),
        (2**-10, "976.562µs"),  # exactly 976562.5 ns: the tie goes to the even neighbour
        (5 * 2**-10, "4.882812ms"),  # exactly 4882812.5 ns
        (1.5e-3, "1.5ms"),
        (0.0012345, "1.2345ms"),
        (0.01, "10ms"),
        (0.25, "250ms"),
    ],
)
def test_timeout_message_shows_the_timeout(slot, timeout, shown):
    with held_by_thread(*slot):
        started = time.monotonic()
        with pytest.raises(TimeoutError) as raised:
            vamra_rs.shm_mutex_lock(*slot, timeout)
        waited = time.monotonic() - started
    assert str(raised.value) == f"Mutex lock timed out after {shown}"
    assert waited >= timeout
    assert waited < timeout + 2.0


@pytest.mark.parametrize(("timeout", "shown"), [(0.01, "10ms"), (0, "0ns")])
def test_lock_held_by_another_process_times_out(segment, timeout, shown):
    locked, release = FORK.Event(), FORK.Event()
    child = run_child(_hold_until, segment, locked, release)
    try:
        assert locked.wait(10)
        with pytest.raises(TimeoutError, match=f"^Mutex lock timed out after {shown}$"):
            vamra_rs.shm_mutex_lock(segment.buf, 0, timeout)
    finally:
        release.set()
        join_ok(child)
    # Released by its owner, it is free again.
    assert vamra_rs.shm_mutex_lock(segment.buf, 0, 5) is False
    vamra_rs.shm_mutex_unlock(segment.buf, 0)


def test_dead_owner_is_recovered_by_another_process(segment):
    join_ok(run_child(_lock_and_die, segment))
    assert vamra_rs.shm_mutex_lock(segment.buf, 0, 1) is True
    # The recovering caller holds it: another thread cannot take it.
    outcome = []
    waiter = threading.Thread(
        target=lambda: outcome.append(_try_lock(segment.buf, 0, 0)), daemon=True
    )
    waiter.start()
    waiter.join(5)
    assert isinstance(outcome[0], TimeoutError)
    vamra_rs.shm_mutex_unlock(segment.buf, 0)
    assert vamra_rs.shm_mutex_lock(segment.buf, 0, 1) is False
    vamra_rs.shm_mutex_unlock(segment.buf, 0)


def _try_lock(buffer, offset, timeout):
    try:
        return vamra_rs.shm_mutex_lock(buffer, offset, timeout)
    except TimeoutError as error:
        return error


# --- waiting without starving the process's other threads -----------------------------------


def test_waiter_is_released_when_a_thread_of_the_same_process_unlocks(slot):
    locked = threading.Event()

    def hold_briefly():
        vamra_rs.shm_mutex_lock(*slot)
        locked.set()
        time.sleep(0.1)  # needs the interpreter lock back to return
        vamra_rs.shm_mutex_unlock(*slot)

    holder = threading.Thread(target=hold_briefly, daemon=True)
    holder.start()
    assert locked.wait(5)
    started = time.monotonic()
    assert vamra_rs.shm_mutex_lock(*slot, 5.0) is False
    waited = time.monotonic() - started
    vamra_rs.shm_mutex_unlock(*slot)
    holder.join(5)
    assert waited < 2.0  # well before the 5 s deadline


def test_other_threads_run_while_a_lock_waits(slot):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(None)
            time.sleep(0.001)

    with held_by_thread(*slot):
        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        time.sleep(0.02)
        before = len(ticks)
        with pytest.raises(TimeoutError, match="after 200ms$"):
            vamra_rs.shm_mutex_lock(*slot, 0.2)
        during = len(ticks) - before
        stop.set()
        ticker.join(5)
    assert during >= 5


# --- mutual exclusion across processes -----------------------------------------------------


def test_no_update_is_lost_between_processes(segment):
    workers, rounds = 4, 2000
    start = FORK.Event()
    children = [run_child(_increment, segment, rounds, start) for _ in range(workers)]
    start.set()
    join_ok(*children)
    counter = segment.buf[COUNTER : COUNTER + 8].cast("Q")
    try:
        assert counter[0] == workers * rounds
    finally:
        counter.release()


# --- the memory of a held mutex: kept (exported) until unlocked or destroyed ----------------


@contextmanager
def holder(kind):
    """(buffer, offset, free): a buffer of `kind` with a mutex, and a call that frees it."""
    if kind == "shared-memory":
        shm = shared_memory.SharedMemory(create=True, size=4096)
        vamra_rs.shm_mutex_init(shm.buf, 0)
        try:
            yield shm.buf, 0, shm.close
        finally:
            shm.close()
            shm.unlink()
    elif kind == "mmap":
        with mmap.mmap(-1, 4096) as region:
            vamra_rs.shm_mutex_init(region, 0)
            yield region, 0, region.close
    elif kind == "bytearray":
        buffer = bytearray(4096)
        offset = aligned_offset(buffer, 0)
        vamra_rs.shm_mutex_init(buffer, offset)
        yield buffer, offset, buffer.clear
    else:
        view = memoryview(bytearray(4096))
        vamra_rs.shm_mutex_init(view, 0)
        yield view, 0, view.release


HOLDER_KINDS = ["shared-memory", "mmap", "bytearray", "memoryview"]


@pytest.mark.parametrize("kind", HOLDER_KINDS)
@pytest.mark.parametrize("release", ["unlock", "destroy", "init"])
def test_held_memory_cannot_be_freed_until_the_hold_ends(kind, release):
    with holder(kind) as (buffer, offset, free):
        assert vamra_rs.shm_mutex_lock(buffer, offset) is False
        with pytest.raises(BufferError):
            free()
        # Other exports come and go without ending the hold.
        vamra_rs.dumps_rs(np.frombuffer(buffer, np.uint8, 8, offset + SLOT))
        with pytest.raises(BufferError):
            free()
        # Unlocking, destroying or initialising again by its holder ends the hold.
        getattr(vamra_rs, f"shm_mutex_{release}")(buffer, offset)
        if release == "destroy":
            vamra_rs.shm_mutex_init(buffer, offset)
        assert vamra_rs.shm_mutex_lock(buffer, offset, 0) is False
        vamra_rs.shm_mutex_unlock(buffer, offset)
        free()


def test_memory_outlives_an_owner_thread_that_ends_holding_it(segment):
    owner = threading.Thread(target=vamra_rs.shm_mutex_lock, args=(segment.buf, 0))
    owner.start()
    owner.join(5)
    # The kernel marked the owner dead when its thread ended; the memory is still held.
    with pytest.raises(BufferError):
        segment.close()
    assert vamra_rs.shm_mutex_lock(segment.buf, 0, 1) is True
    vamra_rs.shm_mutex_unlock(segment.buf, 0)
    segment.close()


@pytest.mark.parametrize("function", ["destroy", "init"])
def test_a_mutex_another_thread_holds_is_not_destroyed_or_reinitialised(slot, function):
    with held_by_thread(*slot):
        with pytest.raises(RuntimeError) as raised:
            getattr(vamra_rs, f"shm_mutex_{function}")(*slot)
        assert str(raised.value) == f"pthread_mutex_{function} failed: {errno.EBUSY}"
        with pytest.raises(TimeoutError):
            vamra_rs.shm_mutex_lock(*slot, 0)
    # The holder's unlock (leaving the block) worked: the mutex is intact and free.
    assert vamra_rs.shm_mutex_lock(*slot, 0) is False
    vamra_rs.shm_mutex_unlock(*slot)


def _inherit_a_held_mutex(shm):
    with pytest.raises(TimeoutError):
        vamra_rs.shm_mutex_lock(shm.buf, 0, 0)  # the parent holds it
    with pytest.raises(RuntimeError, match=f"failed: {errno.EPERM}$"):
        vamra_rs.shm_mutex_unlock(shm.buf, 0)
    shm.close()  # the parent's hold pins nothing here


def test_a_forked_child_holds_none_of_its_parents_mutexes(segment):
    assert vamra_rs.shm_mutex_lock(segment.buf, 0) is False
    join_ok(run_child(_inherit_a_held_mutex, segment))
    with pytest.raises(BufferError):
        segment.close()
    vamra_rs.shm_mutex_unlock(segment.buf, 0)


# --- faults that used to crash, corrupt or lose a lock (each in its own process) -------------


def test_closing_a_locked_segment_is_refused_and_the_process_survives(child):
    process = child("""
        from multiprocessing import shared_memory
        import vamra_rs

        a = shared_memory.SharedMemory(create=True, size=4096)
        b = shared_memory.SharedMemory(create=True, size=4096)
        try:
            for segment in (a, b):
                vamra_rs.shm_mutex_init(segment.buf, 0)
            vamra_rs.shm_mutex_lock(a.buf, 0)
            try:
                a.close()  # an error path that forgets to unlock
            except BufferError:
                print("refused", flush=True)
            vamra_rs.shm_mutex_lock(b.buf, 0)  # used to write into the unmapped segment
            vamra_rs.shm_mutex_unlock(b.buf, 0)
            vamra_rs.shm_mutex_unlock(a.buf, 0)
            a.close()
            b.close()
            print("alive", flush=True)
        finally:
            a.unlink()
            b.unlink()
    """)
    process.expect("refused")
    process.expect("alive")
    assert process.finish() == 0


def test_dropping_a_locked_bytearray_corrupts_nothing(child):
    process = child("""
        import vamra_rs

        box = [bytearray(4096)]
        vamra_rs.shm_mutex_init(box[0], 0)
        vamra_rs.shm_mutex_lock(box[0], 0)
        box.clear()  # the last reference; its storage may be reused below
        others = [bytearray(4096) for _ in range(64)]
        unrelated = bytearray(4096)
        vamra_rs.shm_mutex_init(unrelated, 0)
        vamra_rs.shm_mutex_lock(unrelated, 0)  # used to write into the dropped storage
        print("changed", sum(any(other) for other in others), flush=True)
    """)
    assert process.expect("changed") == ["0"]
    assert process.finish() == 0


def test_a_thread_that_ends_holding_a_dropped_buffer_still_frees_its_other_mutexes(child):
    # The kernel reaches the thread's earlier mutexes through the later ones' bytes.
    process = child("""
        import threading
        import vamra_rs

        kept, box = bytearray(4096), [bytearray(4096)]
        for buffer in (kept, box[0]):
            vamra_rs.shm_mutex_init(buffer, 0)
        locked, finish = threading.Event(), threading.Event()

        def hold():
            vamra_rs.shm_mutex_lock(kept, 0)
            vamra_rs.shm_mutex_lock(box[0], 0)
            locked.set()
            finish.wait(10)  # then ends holding both

        owner = threading.Thread(target=hold)
        owner.start()
        locked.wait(10)
        box.clear()
        others = [bytearray(4096) for _ in range(64)]
        finish.set()
        owner.join(10)
        print("recovered", vamra_rs.shm_mutex_lock(kept, 0, 1.0), flush=True)
    """)
    assert process.expect("recovered") == ["True"]
    assert process.finish() == 0


LOCK_AND_END = """
    import mmap, sys
    from multiprocessing import resource_tracker, shared_memory
    import vamra_rs

    if {kind!r} == "shared-memory":
        holder = shared_memory.SharedMemory(name={name!r})
        resource_tracker.unregister(holder._name, "shared_memory")  # the test owns it
        buffer = holder.buf
    else:
        holder = open({name!r}, "r+b")
        buffer = mmap.mmap(holder.fileno(), 4096)
    assert vamra_rs.shm_mutex_lock(buffer, 0) is False
    print("locked", flush=True)
    {ending}
"""


@pytest.mark.parametrize(
    "ending",
    ["sys.exit(1)", "raise RuntimeError('boom')", "raise KeyboardInterrupt", "pass"],
    ids=["sys.exit", "exception", "KeyboardInterrupt", "normal-end"],
)
@pytest.mark.parametrize("kind", ["shared-memory", "mmap"])
def test_a_process_that_ends_holding_the_lock_leaves_it_recoverable(
    child, segment, tmp_path, kind, ending
):
    if kind == "shared-memory":
        name, buffer = segment.name, segment.buf
    else:
        path = tmp_path / "mutex"
        path.write_bytes(bytes(4096))
        name = str(path)
        handle = open(path, "r+b")  # noqa: SIM115  # closed below
        buffer = mmap.mmap(handle.fileno(), 4096)
        vamra_rs.shm_mutex_init(buffer, 0)
    try:
        process = child(LOCK_AND_END.format(kind=kind, name=name, ending=ending))
        process.expect("locked")
        process.finish()
        assert vamra_rs.shm_mutex_lock(buffer, 0, 2.0) is True
        vamra_rs.shm_mutex_unlock(buffer, 0)
    finally:
        if kind == "mmap":
            buffer.close()
            handle.close()


# --- signals during a wait ------------------------------------------------------------------

WAIT_FOR_PARENT = """
    import signal, sys, time
    from multiprocessing import resource_tracker, shared_memory
    import vamra_rs

    shm = shared_memory.SharedMemory(name={name!r})
    resource_tracker.unregister(shm._name, "shared_memory")  # the test owns it
    # A handler that does not raise.
    signal.signal(signal.SIGUSR1, lambda *_: print("handled", time.monotonic(), flush=True))
    print("waiting", flush=True)
    try:
        recovered = vamra_rs.shm_mutex_lock(shm.buf, 0, 8.0)
        vamra_rs.shm_mutex_unlock(shm.buf, 0)
        print("locked", recovered, flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    sys.stdin.readline()  # the test has unlocked
    # The interrupted wait took nothing and keeps nothing.
    assert vamra_rs.shm_mutex_lock(shm.buf, 0, 0) is False
    vamra_rs.shm_mutex_unlock(shm.buf, 0)
    shm.close()
    print("usable", flush=True)
"""


def test_ctrl_c_interrupts_a_wait_for_another_process(child, segment):
    assert vamra_rs.shm_mutex_lock(segment.buf, 0) is False
    try:
        waiter = child(WAIT_FOR_PARENT.format(name=segment.name))
        waiter.expect("waiting")
        time.sleep(0.3)  # long enough to be polling
        sent = waiter.signal(signal.SIGINT)
        (arrived,) = waiter.expect("interrupted")
        assert float(arrived) - sent < 0.5
    finally:
        vamra_rs.shm_mutex_unlock(segment.buf, 0)
    waiter.send("unlocked")
    waiter.expect("usable")
    assert waiter.finish() == 0


def test_a_handler_that_does_not_raise_lets_the_wait_go_on(child, segment):
    assert vamra_rs.shm_mutex_lock(segment.buf, 0) is False
    try:
        waiter = child(WAIT_FOR_PARENT.format(name=segment.name))
        waiter.expect("waiting")
        time.sleep(0.3)
        sent = waiter.signal(signal.SIGUSR1)
        (handled,) = waiter.expect("handled")  # while still waiting
        assert float(handled) - sent < 0.5
    finally:
        vamra_rs.shm_mutex_unlock(segment.buf, 0)
    assert waiter.expect("locked") == ["False"]
    waiter.send("unlocked")
    waiter.expect("usable")
    assert waiter.finish() == 0


# The shutdown below lasts 0.5 s: the daemon's wait outlasts it, or ends during it.
@pytest.mark.parametrize("timeout", [5.0, 0.2])
def test_a_daemon_thread_left_waiting_does_not_crash_the_interpreters_exit(child, timeout):
    process = child(f"""
        import threading, time
        import vamra_rs

        buffer = bytearray(4096)
        vamra_rs.shm_mutex_init(buffer, 0)
        vamra_rs.shm_mutex_lock(buffer, 0)
        waiter = threading.Thread(target=vamra_rs.shm_mutex_lock, args=(buffer, 0, {timeout}))
        waiter.daemon = True
        waiter.start()

        class SlowToGo:  # keeps the shutdown going, without the interpreter lock, for a while
            def __del__(self, sleep=time.sleep):
                sleep(0.5)

        slow = SlowToGo()
        time.sleep(0.1)
        print("exiting", flush=True)
    """)
    process.expect("exiting")
    assert process.finish() == 0
