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

def verify(data: ReadableBuffer, offset: int, length: int, depth: int = 0) -> None:
    """Checks the packet at data[offset:offset + length], found `depth` bundle levels below
    the top, as loading it would: every bound, checksum and nesting limit, and every
    compressed body decompressed (into scratch memory, then dropped). Raises ValueError
    on damage."""

def extent(data: ReadableBuffer, offset: int, length: int) -> int | None:
    """The length of the packet starting at data[offset], read from its framing (bodies are
    not read), looking at no more than `length` bytes. A result larger than `length` is how
    many bytes must be there to tell; None when the framing does not tell (a damaged
    header), so the packet runs to the end of its input."""

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

def addresses(arrays: Sequence[Any]) -> list[int]:
    """The address of each array's data (an int each), read from NumPy's fields or from
    the buffer the object exports."""

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

class Lease:
    """The bytes of a received packet in a channel slot (read-only). The slot returns to
    the senders when the lease and every view of it are gone."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

ChannelRecord = tuple[int, int, int, int, int]

def channel_layout(header: ReadableBuffer, size: int) -> tuple[int, int, int, int]:
    """(slots, slot_bytes, stride, area) of the channel whose header (its first 64 bytes) is
    given, checked against a segment of `size` bytes. Raises ValueError otherwise."""

def channel_send(
    segment: WriteableBuffer,
    write: Callable[[Any, memoryview], int],
    value: Any,
    start: int,
    deadline: float | None = None,
    pending: list[ChannelRecord] | None = None,
) -> int | None:
    """Claims a free slot, calls write(value, area) with a writable view of it (which returns
    the packet's length) and publishes the packet; on any failure the slot is given back
    (to the list `pending` when the mutex cannot be had). None when sent; when no slot is
    free, the 'freed' event's counter as read before looking (bit 32: the records were
    repaired after a holder died). `start` is this process's start time, for the record;
    `deadline` (time.monotonic() seconds, None: none) bounds the wait for the mutex."""

def channel_take(
    segment: WriteableBuffer,
    start: int,
    deadline: float | None = None,
    copy_limit: int = 0,
    pending: list[ChannelRecord] | None = None,
) -> bytes | Lease | int:
    """Takes the oldest published packet: as bytes, freeing its slot at once, when it is at
    most `copy_limit` bytes; else as a Lease, a read-only buffer whose slot returns to
    the senders when the lease and its views are gone (to the list `pending` when the
    mutex cannot be had then). When none is published, the 'published' event's counter,
    as channel_send returns it. A packet whose recorded length cannot be is dropped
    (ValueError)."""

def channel_owners(segment: WriteableBuffer, deadline: float | None = None) -> list[ChannelRecord]:
    """The records of the slots being written or read: a list of (index, state, pid, start,
    generation). Records in no known state are freed on the way."""

def channel_release(
    segment: WriteableBuffer, records: Iterable[ChannelRecord], deadline: float | None = None
) -> int:
    """Frees each slot whose record is still exactly one of `records` (as channel_owners gives
    them) and being written or read; returns how many were freed."""

def strings_from_list(items: Iterable[str | bytes]) -> tuple[npt.NDArray[np.uint64], bytes]:
    """The offsets table (a uint64 array) and payload (bytes) of a StringTensor of `items`:
    str items as UTF-8, bytes-like items as they are."""

def strings_to_list(offsets: ReadableBuffer, payload: ReadableBuffer) -> list[str]:
    """The elements of a StringTensor's offsets table and payload as a list of str (UTF-8,
    strict)."""

def check_sparse(
    format: str,
    shape: Sequence[int],
    data: npt.NDArray[Any],
    first: npt.NDArray[Any],
    second: npt.NDArray[Any],
) -> None:
    """Checks that the arrays of a sparse matrix of `format` ('coo', 'csr' or 'csc') and `shape`
    (data, row, col or data, indices, indptr) index inside it, as readers of packets do:
    integer index arrays, indptr from 0 to nnz never decreasing, every index in range.
    Raises ValueError on any breach."""

def dlpack_array(capsule: Any, bfloat16: Any = None) -> npt.NDArray[Any]:
    """A read-only array over the memory of a CPU tensor's DLPack capsule (from __dlpack__,
    unversioned or version 1), with its strides; the capsule is consumed, and the array
    keeps the tensor alive. `bfloat16` (a dtype of 2 bytes) is used for bfloat16 data
    instead of NumPy's type of that name. TypeError for another device, ValueError for an
    element type without a wire code."""
