"""One-dimensional tensors of variable-length strings.

A :class:`StringTensor` stores ``count`` strings as one concatenated ``payload``
and an ``offsets`` table of ``count + 1`` unsigned 64-bit integers: element ``i``
is ``payload[offsets[i]:offsets[i + 1]]``. The offsets start at 0, never
decrease, and end at ``len(payload)``.

The payload is raw bytes; packets do not record whether the elements were text.
The tensor is text-first: indexing, iteration and :meth:`~vamra.StringTensor.tolist`
decode each element as UTF-8 (strictly, so invalid data raises
:class:`UnicodeDecodeError`), while :meth:`~vamra.StringTensor.get_bytes` and
:meth:`~vamra.StringTensor.to_bytes_list` return the raw bytes. A tensor built from
``bytes`` items therefore round-trips through :meth:`~vamra.StringTensor.to_bytes_list`.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator
from itertools import pairwise
from types import ModuleType
from typing import Any, Final, cast, overload

import numpy as np
import numpy.typing as npt

__all__ = ["StringTensor"]

MAX_COUNT: Final = 2**32 - 1
"""Largest number of elements a string packet can carry."""

_REPR_ITEMS: Final = 6


def _to_bytes(item: Any) -> bytes:
    """UTF-8 encoding of a ``str``, or the bytes of a bytes-like item."""
    if isinstance(item, str):
        return item.encode("utf-8")
    if isinstance(item, (bytes, bytearray, memoryview)):
        return bytes(item)
    raise TypeError(f"StringTensor items must be str or bytes, not {type(item).__name__}")


def _offsets_from_lengths(lengths: npt.NDArray[np.int64]) -> npt.NDArray[np.uint64]:
    """Offsets table (a leading 0, then the running sums) for the given element lengths."""
    offsets = np.zeros(lengths.size + 1, dtype=np.uint64)
    np.cumsum(lengths, out=offsets[1:], dtype=np.uint64)
    return offsets


def _from_list_python(seq: list[Any] | tuple[Any, ...]) -> tuple[npt.NDArray[np.uint64], bytes]:
    """Offsets table and payload of ``seq``: the fallback of the native conversion."""
    try:
        joined: str | None = "".join(seq)
    except TypeError:
        joined = None
    if joined is not None and joined.isascii():
        payload = joined.encode("ascii")
        lengths = np.fromiter(map(len, seq), dtype=np.int64, count=len(seq))
    else:
        if joined is not None:
            parts = [s.encode("utf-8") for s in seq]
        else:
            parts = [_to_bytes(item) for item in seq]
        payload = b"".join(parts)
        lengths = np.fromiter(map(len, parts), dtype=np.int64, count=len(parts))
    return _offsets_from_lengths(lengths), payload


def _tolist_python(offsets: npt.NDArray[np.uint64], payload: bytes) -> list[str]:
    """Elements decoded as UTF-8 (strict): the fallback of the native conversion."""
    bounds = pairwise(offsets.tolist())
    if payload.isascii():
        text = payload.decode("ascii")
        return [text[a:b] for a, b in bounds]
    return [payload[a:b].decode("utf-8") for a, b in bounds]


_native_module: ModuleType | None = None
_native_missing = False


def _native() -> ModuleType | None:
    """vamra._native, imported on first use; None when the extension is not built."""
    global _native_module, _native_missing
    if _native_module is None and not _native_missing:
        try:
            from vamra import _native as module
        except ImportError:
            _native_missing = True
        else:
            _native_module = module
    return _native_module


class StringTensor:
    """An immutable one-dimensional tensor of strings stored as offsets plus payload.

    Attributes:
        offsets: Read-only uint64 array of ``count + 1`` entries.
        payload: The concatenated element bytes.
        count: Number of elements.
    """

    __slots__ = ("count", "offsets", "payload")
    __hash__ = None  # type: ignore[assignment]

    offsets: npt.NDArray[np.uint64]
    payload: bytes
    count: int

    def __init__(self, offsets: npt.ArrayLike, payload: bytes, count: int | None = None) -> None:
        """Build a tensor from an offsets table and a payload, validating both.

        Args:
            offsets: ``count + 1`` non-negative integers, starting at 0, never
                decreasing, ending at ``len(payload)``. Copied.
            payload: Concatenated element bytes (any bytes-like object).
            count: Number of elements; defaults to ``len(offsets) - 1``.

        Raises:
            ValueError: offsets that break the rules above, or too many elements.
            TypeError: non-integer offsets.
        """
        raw = np.asarray(offsets)
        if raw.size and raw.dtype.kind not in "iu":
            raise TypeError(f"offsets must be integers, not {raw.dtype}")
        if raw.dtype.kind == "i" and raw.size and raw.min() < 0:
            raise ValueError("offsets must be non-negative")
        if raw.ndim != 1 or raw.size == 0:
            raise ValueError(f"offsets must be a non-empty 1-D sequence, got shape {raw.shape}")
        table = np.array(raw, dtype=np.uint64, copy=True)
        if count is None:
            count = table.size - 1
        self._assign(table, bytes(payload), operator.index(count))
        if np.any(table[1:] < table[:-1]):
            raise ValueError("offsets must not decrease")

    @classmethod
    def _from_raw(cls, offsets: npt.ArrayLike, payload: bytes, count: int) -> StringTensor:
        """Wrap an already-checked offsets table and payload, as packet decoding produces.

        Takes ownership of ``offsets`` (a uint64 array of ``count + 1`` entries,
        marked read-only here) without copying it. Only constant-time checks run:
        the entry count, the first offset and the last offset against the payload.
        """
        table = np.asarray(offsets, dtype=np.uint64).reshape(-1)
        obj = cls.__new__(cls)
        obj._assign(table, payload if type(payload) is bytes else bytes(payload), int(count))
        return obj

    def _assign(self, offsets: npt.NDArray[np.uint64], payload: bytes, count: int) -> None:
        """Run the constant-time checks and set the three fields."""
        if not 0 <= count <= MAX_COUNT:
            raise ValueError(f"count must be between 0 and {MAX_COUNT}, got {count}")
        if offsets.size != count + 1:
            raise ValueError(
                f"offsets must hold count + 1 = {count + 1} entries, got {offsets.size}"
            )
        if offsets[0] != 0:
            raise ValueError(f"first offset must be 0, got {int(offsets[0])}")
        if offsets[-1] != len(payload):
            raise ValueError(
                f"last offset ({int(offsets[-1])}) must equal the payload length ({len(payload)})"
            )
        offsets.flags.writeable = False
        self.offsets = offsets
        self.payload = payload
        self.count = count

    @classmethod
    def from_list(cls, items: Iterable[str | bytes]) -> StringTensor:
        """Build a tensor from ``str`` items (stored as UTF-8) and/or bytes-like items.

        The items are converted in one native pass (in Python when the extension
        module is not built, with the same results).

        Raises:
            TypeError: an item that is neither ``str`` nor bytes-like.
            UnicodeEncodeError: a ``str`` that is not valid Unicode (lone surrogates).
        """
        seq = items if isinstance(items, (list, tuple)) else list(items)
        native = _native()
        parts = native.strings_from_list(seq) if native is not None else None
        # The native pass declines items whose types only the Python code handles.
        offsets, payload = parts if parts is not None else _from_list_python(seq)
        return cls._from_raw(offsets, payload, len(seq))

    # ------------------------------------------------------------------ access

    @property
    def nbytes(self) -> int:
        """Length of the payload in bytes."""
        return len(self.payload)

    def lengths(self) -> npt.NDArray[np.int64]:
        """Byte length of each element."""
        return np.diff(self.offsets).astype(np.int64)

    def _index(self, index: Any) -> int:
        i = operator.index(index)
        if i < 0:
            i += self.count
        if not 0 <= i < self.count:
            raise IndexError(f"index {index} is out of range for {self.count} elements")
        return i

    def get_bytes(self, index: int) -> bytes:
        """Raw bytes of one element (negative indices count from the end)."""
        i = self._index(index)
        return self.payload[int(self.offsets[i]) : int(self.offsets[i + 1])]

    def to_bytes_list(self) -> list[bytes]:
        """All elements as raw ``bytes``."""
        p = self.payload
        return [p[a:b] for a, b in pairwise(self.offsets.tolist())]

    def tolist(self) -> list[str]:
        """All elements decoded as UTF-8 (strict).

        Raises:
            UnicodeDecodeError: an element that is not valid UTF-8.
        """
        native = _native()
        if native is not None:
            return cast(list[str], native.strings_to_list(self.offsets, self.payload))
        return _tolist_python(self.offsets, self.payload)

    def __len__(self) -> int:
        return self.count

    def __iter__(self) -> Iterator[str]:
        p = self.payload
        for a, b in pairwise(self.offsets.tolist()):
            yield p[a:b].decode("utf-8")

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> StringTensor: ...

    def __getitem__(self, index: int | slice) -> str | StringTensor:
        """An element as ``str`` (UTF-8, strict), or a slice as a new tensor."""
        if isinstance(index, slice):
            start, stop, step = index.indices(self.count)
            if step == 1:
                stop = max(start, stop)
                lo = int(self.offsets[start])
                offsets = self.offsets[start : stop + 1] - np.uint64(lo)
                payload = self.payload[lo : int(self.offsets[stop])]
                return type(self)._from_raw(offsets, payload, stop - start)
            return type(self).from_list([self.get_bytes(i) for i in range(start, stop, step)])
        return self.get_bytes(index).decode("utf-8")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, StringTensor):
            return NotImplemented
        return (
            self.count == other.count
            and self.payload == other.payload
            and bool(np.array_equal(self.offsets, other.offsets))
        )

    def __repr__(self) -> str:
        def show(i: int) -> str:
            raw = self.get_bytes(i)
            try:
                return repr(raw.decode("utf-8"))
            except UnicodeDecodeError:
                return repr(raw)

        if self.count <= _REPR_ITEMS:
            body = ", ".join(show(i) for i in range(self.count))
        else:
            half = _REPR_ITEMS // 2
            head = ", ".join(show(i) for i in range(half))
            tail = ", ".join(show(i) for i in range(self.count - half, self.count))
            body = f"{head}, ..., {tail}"
        return f"StringTensor([{body}], count={self.count})"
