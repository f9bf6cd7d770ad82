"""Packets written in place: dump_to_buffer_rs and dump_to_fd_rs."""

import mmap
import os
import signal
import threading
import time
from multiprocessing import shared_memory

import numpy as np
import pytest
import scipy.sparse as sp

import vamra_rs

ARRAY = np.arange(24, dtype=np.float32).reshape(4, 6)

OPTIONS = [
    {},
    {"check_integrity": True},
    {"alignment": 16},
    {"alignment": 1, "check_integrity": True},
    {"compress": True},
]
VALUES = [
    ARRAY,
    {"a": ARRAY, "b": {"c": np.arange(3, dtype=np.int8)}},
    sp.random(20, 10, density=0.3, format="csr", random_state=0),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("value", VALUES, ids=["dense", "bundle", "csr"])
def test_buffer_prefix_equals_dumps_and_tail_is_untouched(value, options):
    expected = vamra_rs.dumps_rs(value, **options)
    target = bytearray(b"\xaa" * (len(expected) + 100))
    n = vamra_rs.dump_to_buffer_rs(value, target, **options)
    assert n == len(expected)
    assert target[:n] == expected
    assert target[n:] == b"\xaa" * 100


@pytest.mark.parametrize("value", VALUES, ids=["dense", "bundle", "csr"])
def test_one_byte_short_changes_nothing(value):
    size = len(vamra_rs.dumps_rs(value))
    target = bytearray(b"\x55" * (size - 1))
    with pytest.raises(ValueError, match="^Buffer too small$"):
        vamra_rs.dump_to_buffer_rs(value, target)
    assert target == bytearray(b"\x55" * (size - 1))


NOT_U8 = "buffer contents are not compatible with u8"


@pytest.mark.parametrize(
    "target, kwargs, error, message",
    [
        (b"x" * 200, {}, ValueError, "Buffer is read-only"),
        (b"x" * 200, {"alignment": 3}, ValueError, "Buffer is read-only"),
        (bytearray(200), {"alignment": 3}, ValueError, "Alignment must be a power of two"),
        (memoryview(np.zeros(64, np.float32)), {}, BufferError, NOT_U8),
        (7, {}, TypeError, None),
    ],
)  # fmt: skip
def test_buffer_refusals(target, kwargs, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dump_to_buffer_rs(ARRAY, target, **kwargs)
    if message:
        assert str(info.value) == message


def test_mmap_and_shared_memory_targets():
    expected = vamra_rs.dumps_rs(ARRAY, check_integrity=True)
    with mmap.mmap(-1, 4096) as region:
        n = vamra_rs.dump_to_buffer_rs(ARRAY, region, check_integrity=True)
        assert region[:n] == expected
        view = vamra_rs.loads_rs(region)
        assert np.array_equal(view, ARRAY)
        del view
    segment = shared_memory.SharedMemory(create=True, size=4096)
    try:
        n = vamra_rs.dump_to_buffer_rs(ARRAY, segment.buf, check_integrity=True)
        assert bytes(segment.buf[:n]) == expected
    finally:
        segment.close()
        segment.unlink()


# -- values that view the buffer they are written into ----------------------------

BIG = np.random.default_rng(1).random(100_000).astype(np.float32)
BIG_SPARSE = sp.random(300, 200, density=0.2, format="csr", random_state=1, dtype=np.float64)


def deep_copy(value):
    if isinstance(value, dict):
        return {key: deep_copy(item) for key, item in value.items()}
    return value.copy()


@pytest.mark.parametrize(
    "first, rewrite, options",
    [
        # The body moves forward onto bytes not yet read, or back over read ones.
        (BIG, lambda v: v, {"alignment": 4096}),
        (BIG, lambda v: v, {"alignment": 4096, "check_integrity": True}),
        (BIG, lambda v: v, {"compress": True}),
        # Read back with 4096-byte alignment, written with the default.
        ((BIG, {"alignment": 4096}), lambda v: v, {}),
        ({"a": BIG, "b": {"c": BIG[::-1].copy()}}, lambda v: v, {"check_integrity": True}),
        ({"a": BIG, "b": {"c": BIG[::-1].copy()}}, lambda v: v, {"alignment": 4096}),
        ({"a": BIG}, lambda v: {"longer key": v["a"], "b": v["a"]}, {}),
        (BIG_SPARSE, lambda v: v, {}),
        # Inside a bundle the components move by the bundle's own framing.
        (BIG_SPARSE, lambda v: {"m": v}, {"check_integrity": True}),
        (BIG_SPARSE, lambda v: {"m": v, "n": v}, {"alignment": 4096}),
    ],
    ids=[
        "dense-4096",
        "dense-4096-integrity",
        "dense-compressed",
        "dense-from-4096",
        "bundle-integrity",
        "bundle-4096",
        "bundle-rekeyed",
        "csr-in-place",
        "csr-in-bundle-integrity",
        "csr-twice-4096",
    ],
)
def test_writing_loaded_values_back_over_their_buffer(first, rewrite, options):
    value, first_options = first if isinstance(first, tuple) else (first, {})
    segment = bytearray(4 << 20)
    vamra_rs.dump_to_buffer_rs(value, segment, **first_options)
    loaded = rewrite(vamra_rs.loads_rs(segment))
    expected = vamra_rs.dumps_rs(deep_copy(loaded), **options)
    n = vamra_rs.dump_to_buffer_rs(loaded, segment, **options)
    assert n == len(expected)
    assert segment[:n] == expected


def test_a_source_past_the_packet_is_read_in_place():
    # The array lies in the same buffer, just after where the packet ends.
    segment = bytearray(1 << 20)
    start = 1 << 19
    segment[start : start + BIG.nbytes] = BIG.tobytes()
    view = np.frombuffer(segment, np.float32, BIG.size, start)
    n = vamra_rs.dump_to_buffer_rs(view, segment, alignment=4096)
    assert n <= start
    assert segment[:n] == vamra_rs.dumps_rs(BIG, alignment=4096)
    assert np.array_equal(view, BIG)


def read_all(fd, sink):
    while chunk := os.read(fd, 65536):
        sink.append(chunk)


@pytest.mark.parametrize("options", OPTIONS)
def test_fd_writes_the_packet_to_a_file(tmp_path, options):
    path = tmp_path / "packet"
    with open(path, "wb") as handle:
        handle.write(b"head")
        handle.flush()
        n = vamra_rs.dump_to_fd_rs(ARRAY, handle.fileno(), **options)
        assert handle.tell() == 4 + n  # the position advanced; the descriptor stays open
    data = path.read_bytes()
    assert data[4:] == vamra_rs.dumps_rs(ARRAY, **options)
    assert len(data) == 4 + n


def test_fd_continues_partial_writes_to_a_small_pipe():
    array = np.random.default_rng(0).random(1 << 18)  # 2 MiB, far above the pipe's capacity
    read_end, write_end = os.pipe()
    chunks = []
    reader = threading.Thread(target=read_all, args=(read_end, chunks))
    reader.start()
    try:
        n = vamra_rs.dump_to_fd_rs(array, write_end, compress=True)
    finally:
        os.close(write_end)
        reader.join()
        os.close(read_end)
    data = b"".join(chunks)
    assert len(data) == n
    assert np.array_equal(vamra_rs.loads_rs(data), array)


def test_other_threads_run_while_the_write_blocks():
    read_end, write_end = os.pipe()
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    def drain_later():
        time.sleep(0.3)
        read_all(read_end, [])

    threads = [threading.Thread(target=ticker), threading.Thread(target=drain_later)]
    for thread in threads:
        thread.start()
    try:
        start = time.monotonic()
        vamra_rs.dump_to_fd_rs(np.zeros(1 << 20, np.uint8), write_end)
        blocked = [t for t in ticks if t > start + 0.05]
    finally:
        done.set()
        os.close(write_end)
        for thread in threads:
            thread.join()
        os.close(read_end)
    assert len(blocked) >= 5  # the ticker kept running while the pipe was full


@pytest.mark.parametrize(
    "value, message",
    [
        (ARRAY.T, "Array must be C-Contiguous"),
        (np.zeros((4, 4), dtype=object).T, "Array must be C-Contiguous"),
        (np.zeros(3, dtype=object), "Unsupported dtype: object"),
    ],
)
def test_fd_refusals_write_nothing(tmp_path, value, message):
    path = tmp_path / "packet"
    with open(path, "wb") as handle:
        with pytest.raises(ValueError) as info:
            vamra_rs.dump_to_fd_rs(value, handle.fileno())
    assert str(info.value) == message
    assert path.read_bytes() == b""


def test_fd_error_cases():
    with pytest.raises(AttributeError):
        vamra_rs.dump_to_fd_rs({"a": ARRAY}, 1)
    with pytest.raises(vamra_rs.InternalFailure, match="^fd != -1$"):
        vamra_rs.dump_to_fd_rs(ARRAY, -1)
    with pytest.raises(OSError) as info:
        vamra_rs.dump_to_fd_rs(ARRAY, -2)
    assert str(info.value) == f"{os.strerror(9)} (os error 9)"
    assert info.value.errno is None
    with pytest.raises(OverflowError):
        vamra_rs.dump_to_fd_rs(ARRAY, 2**31)
    with pytest.raises(TypeError, match="^argument 'fd': "):
        vamra_rs.dump_to_fd_rs(ARRAY, "1")


def test_fd_to_a_closed_pipe_reports_broken_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        with pytest.raises(OSError) as info:
            vamra_rs.dump_to_fd_rs(ARRAY, write_end)
    finally:
        os.close(write_end)
    assert str(info.value) == f"{os.strerror(32)} (os error 32)"


# -- signals while the descriptor blocks ---------------------------------------------

STALLED_PIPE = """
    import os, signal, threading, time
    import numpy as np
    import vamra_rs

    def drain(fd, counts):
        while chunk := os.read(fd, 1 << 16):
            counts.append(len(chunk))

    array = np.arange(1 << 20, dtype=np.float32)  # 4 MiB, far above a pipe's capacity
    expected = len(vamra_rs.dumps_rs(array))
    read_end, write_end = os.pipe()
    counts, draining = [], threading.Event()
    reader = threading.Thread(target=lambda: draining.wait() and drain(read_end, counts))
    reader.start()
    # A handler that does not raise: the write resumes once the reader starts.
    signal.signal(signal.SIGUSR1, lambda *_: draining.set())
    print("writing", flush=True)
    try:
        print("wrote", vamra_rs.dump_to_fd_rs(array, write_end), expected, flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    draining.set()
    os.close(write_end)
    reader.join()
    print("drained", sum(counts), flush=True)

    # The process goes on working: a whole packet through a fresh pipe.
    read_end, write_end = os.pipe()
    chunks = []
    reader = threading.Thread(target=lambda: drain(read_end, chunks))
    reader.start()
    n = vamra_rs.dump_to_fd_rs(array, write_end, check_integrity=True)
    os.close(write_end)
    reader.join()
    assert n == sum(chunks) == len(vamra_rs.dumps_rs(array, check_integrity=True))
    print("usable", flush=True)
"""


def test_ctrl_c_interrupts_a_write_to_a_stalled_pipe(child):
    writer = child(STALLED_PIPE)
    writer.expect("writing")
    time.sleep(0.3)  # long enough to block on the full pipe
    sent = writer.signal(signal.SIGINT)
    (arrived,) = writer.expect("interrupted")
    assert float(arrived) - sent < 0.5
    (drained,) = writer.expect("drained")
    assert 0 < int(drained) < (1 << 22)  # the part written before the interrupt stays written
    writer.expect("usable")
    assert writer.finish() == 0


def test_a_handler_that_does_not_raise_lets_the_write_finish(child):
    writer = child(STALLED_PIPE)
    writer.expect("writing")
    time.sleep(0.3)
    writer.signal(signal.SIGUSR1)
    written, expected = writer.expect("wrote")
    assert written == expected
    assert writer.expect("drained") == [expected]
    writer.expect("usable")
    assert writer.finish() == 0
