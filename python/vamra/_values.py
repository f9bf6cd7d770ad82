"""Which Python values the package can encode, checked before any encoder runs.

The extension module classifies what it is given by duck typing (a ``format``
attribute makes a sparse matrix, a ``dtype`` an array), so a value of the wrong
kind fails somewhere inside it with a message about an attribute. The entry
points of the package check here first and name the type they got instead.
"""

from __future__ import annotations

import sys
from typing import Any, Final

import numpy as np

from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

MAX_DEPTH: Final = 64
"""Values may sit at most this many dictionary levels below the top-level packet."""
NESTING_MESSAGE: Final = (
    f"Nesting exceeds the maximum depth of {MAX_DEPTH} levels below the top-level packet"
)
ACCEPTED: Final = (
    "a NumPy array, a SciPy sparse matrix (COO, CSR or CSC), a StringTensor, "
    "a QuantizedTensor, or a dict with str keys of these"
)
_SPARSE_FORMATS: Final = frozenset({"coo", "csr", "csc"})


class _Rejected(Exception):
    """A value of a kind that cannot be encoded; keys are collected on the way out."""

    def __init__(self, reason: str, hint: str = "") -> None:
        super().__init__(reason)
        self.reason = reason
        self.hint = hint
        self.keys: list[str] = []


def _type_name(obj: object) -> str:
    cls = type(obj)
    if cls.__module__ == "builtins":
        return cls.__qualname__
    return f"{cls.__module__}.{cls.__qualname__}"


def _is_sparse(obj: object) -> bool:
    # A SciPy matrix can only exist once scipy.sparse has been imported, so
    # looking in sys.modules keeps SciPy out of processes that never use it.
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and bool(sparse.issparse(obj))


def _scan(obj: Any, level: int) -> bool:
    """Check ``obj``, a value ``level`` dictionaries below the top; True if it holds
    a string or quantized tensor at any depth."""
    if level > MAX_DEPTH:
        raise ValueError(NESTING_MESSAGE)
    if isinstance(obj, dict):
        found = False
        for key, value in obj.items():
            if not isinstance(key, str):
                raise _Rejected(f"a dict key of type {_type_name(key)} ({key!r})")
            try:
                if type(value) is not np.ndarray:
                    found = _scan(value, level + 1) or found
                elif level >= MAX_DEPTH:
                    raise ValueError(NESTING_MESSAGE)
            except _Rejected as rejected:
                rejected.keys.append(key)
                raise
        return found
    if isinstance(obj, (StringTensor, QuantizedTensor)):
        return True
    if isinstance(obj, (np.ndarray, np.generic)):
        return False
    if _is_sparse(obj):
        if obj.format not in _SPARSE_FORMATS:
            raise _Rejected(
                f"a SciPy sparse matrix in {str(obj.format).upper()} format ({_type_name(obj)})",
                "; convert it with .tocsr() or .tocoo() first",
            )
        # The three component arrays sit one level below the matrix.
        if level >= MAX_DEPTH:
            raise ValueError(NESTING_MESSAGE)
        return False
    raise _Rejected(f"a value of type {_type_name(obj)}", _conversion_hint(obj))


def _conversion_hint(obj: object) -> str:
    if isinstance(obj, (list, tuple)):
        return "; numpy.asarray() makes an array of a sequence"
    try:
        memoryview(obj).release()  # type: ignore[arg-type]
    except TypeError:
        return ""
    return "; numpy.frombuffer() makes an array of a buffer"


def scan(obj: object) -> bool:
    """Check that ``obj`` can be encoded; return whether it is a dict that holds a
    :class:`StringTensor` or :class:`QuantizedTensor` at any depth.

    Raises:
        TypeError: ``obj``, or a value or key inside it, is of a kind that the
            package does not encode; the message names the type and, inside
            dicts, the key path.
        ValueError: dicts nest deeper than the packet format allows.
    """
    try:
        return _scan(obj, 0)
    except _Rejected as rejected:
        where = "".join(f"[{key!r}]" for key in reversed(rejected.keys))
        at = f" at {where}" if where else ""
        raise TypeError(
            f"cannot encode {rejected.reason}{at}: expected {ACCEPTED}{rejected.hint}"
        ) from None


def check_encodable(obj: object) -> None:
    """Raise ``TypeError`` (or ``ValueError`` for too deep nesting) unless ``obj``
    is a value the package can encode; see :func:`scan`."""
    if type(obj) is not np.ndarray:
        scan(obj)
