"""Type stub for the vamra_rs extension module."""

from typing import Any

from _typeshed import ReadableBuffer, WriteableBuffer

__all__: list[str]

class InternalFailure(BaseException):
    """An internal failure: a condition the module treats as impossible."""

def get_packet_info_rs(data: ReadableBuffer) -> dict[str, Any]: ...
def dumps_rs(
    array: Any, check_integrity: bool = False, compress: bool = False, alignment: int = 64
) -> bytes: ...
def dumps_quantized_rs(qt: Any, check_integrity: bool = False, alignment: int = 64) -> bytes:
    """Encode a `QuantizedTensor` (extracted field-by-field) via `vamra`."""

def dumps_string_rs(
    offsets: bytes, payload: bytes, count: int, check_integrity: bool = False
) -> bytes:
    """Encode a `StringTensor` from raw `offsets` ((count+1) u64 LE) + `payload`."""

def encode_bundle_rs(entries: list[tuple[str, bytes]]) -> bytes:
    """Frame already-encoded `(key, value_packet)` entries into a bundle packet,
    Python orchestrates the recursion; the native module keeps the wire frame."""

def dump_to_buffer_rs(
    array: Any,
    buffer: WriteableBuffer,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> int: ...
def dump_to_fd_rs(
    array: Any, fd: int, check_integrity: bool = False, compress: bool = False, alignment: int = 64
) -> int: ...
def loads_rs(data: ReadableBuffer) -> Any: ...
def shm_mutex_init(buffer: WriteableBuffer, offset: int) -> None:
    """Init a POSIX process-shared mutex at `offset` in a shm-backed buffer
    (needs >= 64 bytes there)."""

def shm_mutex_lock(buffer: WriteableBuffer, offset: int, timeout_secs: float = 5.0) -> bool:
    """Lock a POSIX process-shared mutex. True if recovered from a dead owner."""

def shm_mutex_unlock(buffer: WriteableBuffer, offset: int) -> None:
    """Unlock a POSIX process-shared mutex."""

def shm_mutex_destroy(buffer: WriteableBuffer, offset: int) -> None:
    """Destroy a POSIX process-shared mutex."""

def shm_mutex_size() -> int:
    """Return the size in bytes needed for one POSIX process-shared mutex."""
