"""vamra._native: the package's internal native module, built on vamra_rs's door."""

import array
import importlib
import mmap
import struct
import sys

import numpy as np
import pytest
from vamra import _native

import vamra_rs


def test_module_is_registered_like_vamra_rs():
    assert _native.__name__ == "vamra._native"
    assert _native.__all__ == [
        "xxh3_64",
        "pieces",
        "write",
        "write_value",
        "layout_plan",
        "layout_digests",
        "layout_write",
        "start_writeback",
        "preallocate",
        "index",
        "describe",
        "verify",
        "extent",
        "loads",
        "views",
        "addresses",
        "futex_wait",
        "futex_wake",
        "channel_layout",
        "channel_send",
        "channel_take",
        "channel_owners",
        "channel_release",
        "strings_from_list",
        "strings_to_list",
        "check_sparse",
        "dlpack_array",
    ]
    for name in _native.__all__:
        function = getattr(_native, name)
        assert function.__module__ == "vamra._native"
        assert function.__self__ is _native
    # One internal-failure class serves both modules.
    assert _native.InternalFailure is vamra_rs.InternalFailure


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("vamra._native")
    try:
        assert importlib.import_module("vamra._native") is first
    finally:
        sys.modules["vamra._native"] = first


# Lengths on both sides of each of XXH3's input-size classes.
@pytest.mark.parametrize("length", [0, 1, 3, 4, 8, 9, 16, 17, 128, 129, 240, 241, 1024, 100_003])
def test_xxh3_64_matches_the_packet_footer(length):
    # A uint8 packet's integrity footer is XXH3-64 (seed 0) of exactly its elements.
    data = np.random.default_rng(length).integers(0, 256, length, dtype=np.uint8)
    footer = struct.unpack("<Q", vamra_rs.dumps_rs(data, check_integrity=True)[-8:])[0]
    assert _native.xxh3_64(data) == footer
    assert _native.xxh3_64(data.tobytes()) == footer


def test_xxh3_64_of_nothing():
    assert _native.xxh3_64(b"") == 0x2D06800538D394C2


@pytest.mark.parametrize(
    "make",
    [
        bytes,
        bytearray,
        lambda b: memoryview(b)[:],
        lambda b: np.frombuffer(b, np.uint8),
        lambda b: array.array("B", b),
    ],
)
def test_xxh3_64_reads_any_byte_buffer(make):
    raw = bytes(range(200))
    assert _native.xxh3_64(make(raw)) == _native.xxh3_64(raw)


def test_xxh3_64_reads_an_mmap():
    with mmap.mmap(-1, 4096) as region:
        region[:5] = b"hello"
        assert _native.xxh3_64(region) == _native.xxh3_64(b"hello" + bytes(4091))


@pytest.mark.parametrize(
    "buffer, error, message",
    [
        ("text", TypeError, None),
        (np.arange(4, dtype=np.int16), BufferError, "buffer contents are not compatible with u8"),
        (memoryview(bytes(8))[::2], BufferError, "buffer is not C-contiguous"),
    ],
)
def test_xxh3_64_refuses_what_is_not_one_run_of_bytes(buffer, error, message):
    with pytest.raises(error) as info:
        _native.xxh3_64(buffer)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _native.xxh3_64(), "xxh3_64() missing 1 required positional argument: 'data'"),
        (
            lambda: _native.xxh3_64(b"", b""),
            "xxh3_64() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: _native.xxh3_64(b"", seed=1),
            "xxh3_64() got an unexpected keyword argument 'seed'",
        ),
    ],
)
def test_xxh3_64_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert _native.xxh3_64(data=b"ab") == _native.xxh3_64(b"ab")


def test_preallocate_and_start_writeback_work_on_files_and_decline_on_pipes(tmp_path):
    import os

    with open(tmp_path / "f", "wb") as handle:
        fd = handle.fileno()
        assert _native.preallocate(fd, 1 << 20) is True
        assert os.fstat(fd).st_size == 1 << 20
        assert _native.preallocate(fd, 0) is False  # nothing to allocate
        os.write(fd, b"x" * 4096)
        assert _native.start_writeback(fd) is True
        assert _native.start_writeback(fd, 0, 4096) is True
    read, write = os.pipe()
    try:
        assert _native.preallocate(write, 4096) is False
        assert _native.start_writeback(write) is False
    finally:
        os.close(read)
        os.close(write)
    with pytest.raises(OSError):
        _native.preallocate(read, 4096)  # closed
