"""Type stub for vamra._native, the package's internal native functions."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from _typeshed import ReadableBuffer, WriteableBuffer

from vamra_rs import InternalFailure as InternalFailure

__all__: list[str]

def xxh3_64(data: ReadableBuffer) -> int:
    """The XXH3-64 hash (seed 0) of a C-contiguous byte buffer, as an int."""

def pieces(
    value: Any,
    companion_types: type | tuple[type, ...] | None,
    encode_companion: Callable[[Any], bytes] | None,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> list[bytes | memoryview]:
    """The packet dumps would return for `value`, as a list of buffers: bytes for headers,
    framing and footers, one-byte memoryviews of the arrays for their bodies. Values that
    are instances of `companion_types` (None for none) are encoded by
    `encode_companion(value)`, which returns their packet."""

def write(fd: int, pieces: Sequence[ReadableBuffer]) -> int:
    """Writes a sequence of buffers to a file descriptor with vectored writes, the
    interpreter lock released while it blocks; returns the number of bytes written."""

def write_value(
    fd: int,
    value: Any,
    companion_types: type | tuple[type, ...] | None,
    encode_companion: Callable[[Any], bytes] | None,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> int:
    """Streams the packet of `value` to a file descriptor (as `pieces` plans it); compressed
    bodies are compressed one at a time as they are written. Returns the bytes written."""

def layout_plan(
    value: Any,
    companion_types: type | tuple[type, ...] | None,
    encode_companion: Callable[[Any], Any] | None,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> tuple[Any, int, list[tuple[int, int, int]]]:
    """Plans the packet of `value` laid out for a file: every leaf packet (and sparse
    component) starts at a multiple of `alignment`, padded at the end of the value before
    it, and compressed bodies are measured now. Companion encoders may return any buffer.
    Returns (plan, size, leaves): leaves are (start, length, body) per leaf packet in
    stream order, body being where an uncompressed dense body starts (else 0)."""

def layout_digests(plan: Any, ranges: Sequence[tuple[int, int]]) -> list[int]:
    """The XXH3-64 (seed 0) of each (start, end) range of a planned stream's bytes; the
    ranges are sorted and disjoint."""

def layout_write(plan: Any, destination: int | Callable[[Any], Any] | None, chunk: int = 8388608) -> Any:
    """Writes a planned stream: to a file descriptor (int; returns the bytes written), to a
    callable given buffers of at most `chunk` bytes (returns the size), or into a new bytes
    object (None; returns it). Compressed bodies are compressed a block at a time."""

def start_writeback(fd: int, offset: int = 0, length: int = 0) -> bool:
    """Starts writing the dirty pages of a file's byte range (to its end when `length` is 0)
    to the device without waiting for it (sync_file_range), the interpreter lock released.
    Returns False where the system or the file does not support it, else True."""

def preallocate(fd: int, size: int) -> bool:
    """Allocates a file's first `size` bytes on the device before they are written
    (fallocate), so that writing them reserves nothing more. Returns False where the
    system or the file system does not support it; a full disk raises OSError."""

def index(data: ReadableBuffer, offset: int, length: int) -> list[tuple[str, int, int, bool]]:
    """The entries of the bundle packet at data[offset:offset + length], read from its
    framing alone: a list of (key, offset, length, is_bundle), offsets into `data`."""

def describe(data: ReadableBuffer, offset: int, length: int) -> dict[str, Any]:
    """What the header of the packet at data[offset:offset + length] says: kind, dtype,
    shape, sizes and whether it carries a checksum. Bodies are not read."""

def verify(data: ReadableBuffer, offset: int, length: int) -> None:
    """Checks the packet at data[offset:offset + length]: every bound and every checksum,
    without decompressing anything. Raises ValueError on damage."""

def loads(
    data: ReadableBuffer, writable: bool = False, bfloat16: Any = None, aligned: bool = False
) -> Any:
    """loads_rs with options: `writable` leaves views of a writable buffer writable;
    `bfloat16` (a dtype, or anything numpy.dtype accepts, of 2 bytes) is used for bfloat16
    data instead of NumPy's type of that name; `aligned` replaces views whose address is
    not a multiple of their element size by aligned copies."""

def views(
    data: ReadableBuffer,
    items: Sequence[tuple[int, int, Sequence[int]]],
    writable: bool = False,
    bfloat16: Any = None,
    aligned: bool = False,
) -> list[npt.NDArray[Any]]:
    """Arrays over the byte buffer `data`, one per (offset, wire dtype code, shape) of
    `items`, checked to lie inside it; options as for `loads`."""

def futex_wait(
    buffer: WriteableBuffer, offset: int, seen: int, timeout: float | None, spin: float = 0.0
) -> bool:
    """Waits until the event at buffer[offset:offset + 8] (a 32-bit counter, then a 32-bit
    count of sleepers) no longer counts `seen`, or `timeout` seconds pass (None: no limit).
    Spins up to `spin` seconds before sleeping. Works across processes that share the
    buffer's mapping. True when the counter moved, False on timeout."""

def futex_wake(buffer: WriteableBuffer, offset: int) -> int:
    """Advances the counter of the event at buffer[offset:offset + 8] and wakes every
    thread asleep on it, in any process; returns how many were woken."""

def strings_from_list(items: Iterable[str | bytes]) -> tuple[npt.NDArray[np.uint64], bytes]:
    """The offsets table (a uint64 array) and payload (bytes) of a StringTensor of `items`:
    str items as UTF-8, bytes-like items as they are."""

def strings_to_list(offsets: ReadableBuffer, payload: ReadableBuffer) -> list[str]:
    """The elements of a StringTensor's offsets table and payload as a list of str (UTF-8,
    strict)."""
