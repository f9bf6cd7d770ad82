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

def loads(data: ReadableBuffer, writable: bool = False, bfloat16: Any = None) -> Any:
    """loads_rs with options: `writable` leaves views of a writable buffer writable;
    `bfloat16` (a dtype, or anything numpy.dtype accepts, of 2 bytes) is used for bfloat16
    data instead of NumPy's type of that name."""

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
