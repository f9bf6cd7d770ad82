"""vamra._native.futex_wait / futex_wake: waiting across processes on a shared word."""

import mmap
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from vamra import _native


@pytest.fixture
def shared():
    with mmap.mmap(-1, 4096) as memory:
        yield memory


def counter(memory, offset=0):
    return int(np.frombuffer(memory, np.uint32, 2, offset)[0])


@pytest.mark.parametrize("spin", [0.0, 0.001])
def test_wait_times_out_while_nothing_changes(shared, spin):
    began = time.monotonic()
    assert _native.futex_wait(shared, 8, 0, 0.1, spin) is False
    assert 0.1 <= time.monotonic() - began < 1.0


@pytest.mark.parametrize("timeout", [0.0, 1.0, None])
def test_wait_returns_at_once_when_the_counter_already_moved(shared, timeout):
    assert _native.futex_wake(shared, 16) == 0  # nobody asleep: no system call
    assert counter(shared, 16) == 1
    began = time.monotonic()
    assert _native.futex_wait(shared, 16, 0, timeout) is True
    assert time.monotonic() - began < 0.5


@pytest.mark.parametrize("spin", [0.0, 0.5], ids=["sleeping", "spinning"])
def test_a_wake_from_another_thread_ends_the_wait(shared, spin):
    # The waiter is not the main thread, which also wakes now and then for
    # the signal handlers: it stays asleep until woken.
    results = []
    waiter = threading.Thread(
        target=lambda: results.append(_native.futex_wait(shared, 0, 0, 10.0, spin))
    )
    waiter.start()
    time.sleep(0.1)
    woken = _native.futex_wake(shared, 0)
    waiter.join(10.0)
    assert results == [True]
    assert counter(shared) == 1
    if spin == 0.0:
        assert woken == 1


def test_a_wake_from_another_process_ends_the_wait(tmp_path):
    path = tmp_path / "segment"
    path.write_bytes(bytes(4096))
    with open(path, "r+b") as file, mmap.mmap(file.fileno(), 4096) as memory:
        waker = subprocess.Popen(
            [
                sys.executable,
                "-c",
                textwrap.dedent(
                    f"""
                    import mmap, time
                    from vamra import _native
                    with open({str(path)!r}, "r+b") as f, mmap.mmap(f.fileno(), 4096) as m:
                        time.sleep(0.3)
                        print(_native.futex_wake(m, 64))
                    """
                ),
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert _native.futex_wait(memory, 64, 0, 30.0) is True
            assert waker.communicate(timeout=30)[0].strip() == "1"
        finally:
            waker.kill()
            waker.wait()
        assert counter(memory, 64) == 1


def test_a_raising_signal_handler_ends_the_wait(shared):
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            _native.futex_wait(shared, 0, 0, 30.0)
        assert time.monotonic() - began < 5.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_a_quiet_signal_handler_lets_the_wait_go_on(shared):
    calls = []
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        began = time.monotonic()
        assert _native.futex_wait(shared, 0, 0, 0.3) is False
        assert time.monotonic() - began >= 0.3
        assert calls == [signal.SIGALRM]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: _native.futex_wait(m, 4092, 0, 0), ValueError, "needs 8 bytes"),
        (lambda m: _native.futex_wake(m, 2**40), ValueError, "needs 8 bytes"),
        (lambda m: _native.futex_wait(m, 4, 0, 0), ValueError, "aligned"),
        (lambda m: _native.futex_wake(bytes(16), 0), ValueError, "read-only"),
        (lambda m: _native.futex_wait(m, 0, 0, -1.0), ValueError, "timeout"),
        (lambda m: _native.futex_wait(m, 0, 0, float("nan")), ValueError, "timeout"),
        (lambda m: _native.futex_wait(m, 0, 0, 0, -1.0), ValueError, "spin"),
        (lambda m: _native.futex_wait(m, 0, 2**32, 0), OverflowError, "out of range"),
        (lambda m: _native.futex_wait(m, 0, 0, "soon"), TypeError, "timeout"),
    ],
)
def test_bad_arguments(shared, call, error, message):
    with pytest.raises(error, match=message):
        call(shared)
