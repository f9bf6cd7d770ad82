"""Type stub for vamra._native, the package's internal native functions."""

from _typeshed import ReadableBuffer

from vamra_rs import InternalFailure as InternalFailure

__all__: list[str]

def xxh3_64(data: ReadableBuffer) -> int:
    """The XXH3-64 hash (seed 0) of a C-contiguous byte buffer, as an int."""
