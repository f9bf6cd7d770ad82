"""Fuzzes the packet readers as Python calls them: arbitrary bytes given to
vamra_rs.loads_rs and vamra_rs.get_packet_info_rs through several kinds of buffer.

Usage: fuzz_python.py [libFuzzer options] [corpus dir ...]   (see the Makefile's
run-python target, which also builds the instrumented module it loads).

Each input is also written over the index arrays of a sound sparse packet, and
the matrix that comes back is used as a caller would (toarray, sums), so that a
damaged index that got past the readers' checks shows as a crash.

Each input is read from every kind of buffer: bytes, bytearray, memoryview
slices at odd offsets with unrelated bytes around them, an anonymous mmap with
the packet ending on a page boundary, and NumPy uint8 arrays. A finding is:
- a crash or a hang (libFuzzer reports those, and AddressSanitizer memory errors
  when the module is built with it);
- an exception other than the ones the module's readers document (below);
- buffer kinds disagreeing: the same bytes must give the same result or the
  same error whatever holds them, which also exposes reads past the packet's
  end (the bytes after it differ between kinds).
"""

from __future__ import annotations

import mmap
import re
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import atheris

with atheris.instrument_imports(include=["vamra"]):
    import vamra.quantize
    import vamra.ragged

import numpy as np
import scipy.sparse as sp

import vamra_rs

# The readers' documented failures: codec errors are ValueError (so are the
# companion classes' refusals, UnicodeDecodeError included), unusable buffers
# BufferError. Element types that NumPy has no type for are handed to NumPy by
# name and NumPy's TypeError comes through unchanged: that is the module's
# contract (those codes belong to quantized and string packets, not dense ones).
NO_NUMPY_TYPE = re.compile(
    r"data type '(qint8|quint8|qint4|quint4|bfloat16|string)' not understood"
)
PAGE = mmap.PAGESIZE


def _raised_in(exc: BaseException, path_part: str) -> bool:
    """Whether the innermost frame of the exception's traceback is in a file whose
    path contains ``path_part``."""
    tb = exc.__traceback__
    if tb is None:
        return False
    while tb.tb_next is not None:
        tb = tb.tb_next
    return path_part in tb.tb_frame.f_code.co_filename


# Faults of the module that are known and reported but not mended yet: the
# first hit of each is printed and the run goes on. Remove an entry once the
# module is mended, so that a relapse is caught.
KNOWN_OPEN: dict[str, Callable[[str, BaseException], bool]] = {}
_known_seen: set[str] = set()


def _documented(call: str, exc: BaseException) -> bool:
    if isinstance(exc, (ValueError, BufferError)):
        return True
    if call == "loads_rs" and type(exc) is TypeError and NO_NUMPY_TYPE.fullmatch(str(exc)):
        return True
    for name, matches in KNOWN_OPEN.items():
        if matches(call, exc):
            if name not in _known_seen:
                _known_seen.add(name)
                print(f"fuzz_python: hit a known open fault: {name}: {exc!r}", flush=True)
            return True
    return False


@contextmanager
def _mmap_ending_at_page(data: bytes) -> Iterator[memoryview]:
    """The packet at the very end of an anonymous mapping."""
    size = max(PAGE, -(-len(data) // PAGE) * PAGE)
    region = mmap.mmap(-1, size)
    start = size - len(data)
    region[start:] = data
    view = memoryview(region)[start:]
    try:
        yield view
    finally:
        view.release()
        region.close()


@contextmanager
def _plain(buffer: Any) -> Iterator[Any]:
    yield buffer


def _kinds(data: bytes) -> Iterator[tuple[str, Callable[[], Any]]]:
    n = len(data)
    yield "bytes", lambda: _plain(data)
    yield "bytearray", lambda: _plain(bytearray(data))
    # Slices at odd offsets; where other bytes follow the packet, a read past
    # its end sees a different byte than in the other kinds.
    yield "memoryview+1", lambda: _plain(memoryview(b"\xa5" + data + b"\x5a")[1 : 1 + n])
    yield "bytearray view+3", lambda: _plain(memoryview(bytearray(b"\xff" * 3 + data))[3:])
    yield "mmap", lambda: _mmap_ending_at_page(data)
    yield "uint8 array", lambda: _plain(np.frombuffer(data, np.uint8).copy())
    padded = np.frombuffer(b"\x01" * 5 + data + b"\x02" * 3, np.uint8)
    yield "uint8 array+5", lambda: _plain(padded[5 : 5 + n])


def _fingerprint(value: Any) -> Any:
    """What a decoded value holds, comparable across buffer kinds."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, dict):
        return ("dict", tuple((k, _fingerprint(v)) for k, v in value.items()))
    if sp.issparse(value):
        parts = ("row", "col") if value.format == "coo" else ("indices", "indptr")
        return (value.format, value.shape, _fingerprint(value.data), _used(value)) + tuple(
            _fingerprint(getattr(value, p)) for p in parts
        )
    if isinstance(value, vamra.ragged.StringTensor):
        return ("strings", value.count, value.offsets.tobytes(), value.payload)
    if isinstance(value, vamra.quantize.QuantizedTensor):
        fields = ("dtype_code", "quant_scheme", "group_size", "axis", "shape")
        return ("quantized", tuple(getattr(value, f) for f in fields)) + tuple(
            getattr(value, f).tobytes() for f in ("data", "scales", "zero_points")
        )
    if value is None:
        return None
    raise AssertionError(f"loads_rs returned an unexpected {type(value).__name__}")


# Sparse matrices are used as a caller would, which is what a damaged index
# would turn into a write out of bounds; sizes stay small, as a damaged shape
# may name billions of elements.
_USE_LIMIT = 1 << 20


def _used(value: Any) -> Any:
    """What toarray and the sums give for a sparse matrix, where SciPy computes on its type."""
    rows, cols = value.shape
    if rows > _USE_LIMIT or cols > _USE_LIMIT or value.dtype.char not in "?bBhHiIlLqQfdgFDG":
        return None
    try:
        sums = value.sum(axis=0).tobytes() + value.sum(axis=1).tobytes()
        dense = value.toarray().tobytes() if rows * cols <= _USE_LIMIT else None
    except ValueError as exc:  # index types SciPy's kernels do not take (uint64)
        return ("scipy refused", str(exc))
    return sums, dense


def _sparse_bases() -> list[tuple[bytes, int, int]]:
    """Sound sparse packets and where each one's index arrays lie: (packet,
    offset, length) of the region the input overwrites."""
    bases = []
    for fmt in ("csr", "csc", "coo"):
        for index_dtype in (np.int32, np.int64, np.uint8):
            m = sp.random(9, 7, density=0.3, format=fmt, random_state=4, dtype=np.float64)
            first = m.row if fmt == "coo" else m.indices
            second = m.col if fmt == "coo" else m.indptr
            packet = vamra_rs.dumps_rs(m)
            if index_dtype is not np.int32:

                class Matrix:
                    pass

                fake = Matrix()
                fake.format, fake.shape, fake.data = fmt, m.shape, m.data
                names = ("row", "col") if fmt == "coo" else ("indices", "indptr")
                for name, part in zip(names, (first, second), strict=True):
                    setattr(fake, name, part.astype(index_dtype))
                packet = vamra_rs.dumps_rs(fake)
                first = first.astype(index_dtype)
            start = packet.index(first.tobytes())
            bases.append((packet, start, len(packet) - start))
    return bases


SPARSE_BASES = _sparse_bases()


def _damaged_sparse(data: bytes) -> bytes | None:
    """A sound sparse packet whose index arrays (and what lies between them) the
    input overwrites from its second byte on; its first byte picks the packet."""
    if len(data) < 2:
        return None
    packet, start, length = SPARSE_BASES[data[0] % len(SPARSE_BASES)]
    patch = data[1 : 1 + length]
    return packet[:start] + patch + packet[start + len(patch) :]


def _info(info: dict[str, Any]) -> Any:
    # Key order is part of the result.
    return tuple(info.items())


CALLS = (
    ("loads_rs", vamra_rs.loads_rs, _fingerprint),
    ("get_packet_info_rs", vamra_rs.get_packet_info_rs, _info),
)


def _outcome(call: str, function: Callable[[Any], Any], summary: Any, buffer: Any) -> Any:
    try:
        result = function(buffer)
    except Exception as exc:
        if not _documented(call, exc):
            raise
        return ("raised", type(exc).__name__, str(exc))
    try:
        return ("returned", summary(result))
    finally:
        del result  # views into an mmap must go before it is closed


def test_one_input(data: bytes) -> None:
    damaged = _damaged_sparse(data)
    if damaged is not None:
        # Damaged indices in an otherwise sound packet: refused, or used safely.
        _outcome("loads_rs", vamra_rs.loads_rs, _fingerprint, damaged)
    for call, function, summary in CALLS:
        first: Any = None
        for kind, make in _kinds(data):
            with make() as buffer:
                got = _outcome(call, function, summary, buffer)
            if first is None:
                first = (kind, got)
            elif got != first[1]:
                raise AssertionError(
                    f"{call} gives different results from {first[0]} and {kind}:\n"
                    f"  {str(first[1])[:300]}\n  {str(got)[:300]}"
                )


def main() -> None:
    print(f"fuzz_python: reading packets with {vamra_rs.__file__}", flush=True)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
