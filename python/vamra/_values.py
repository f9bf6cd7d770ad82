"""Which Python values the package can encode, checked before any encoder runs.

The extension module classifies what it is given by duck typing (a ``format``
attribute makes a sparse matrix, a ``dtype`` an array), so a value of the wrong
kind fails somewhere inside it with a message about an attribute. The entry
points of the package check here first and name the type they got instead.

PyTorch tensors are recognised only once torch is loaded (a tensor cannot
exist before), other libraries' tensors by their ``__dlpack__`` method, and
:func:`prepare` swaps CPU tensors of either kind for NumPy arrays over their
memory, which the extension module encodes like any other array.
"""

from __future__ import annotations

import sys
from typing import Any, Final

import numpy as np

from vamra import _arrays
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

MAX_DEPTH: Final = 64
"""Values may sit at most this many dictionary levels below the top-level packet."""
NESTING_MESSAGE: Final = (
    f"Nesting exceeds the maximum depth of {MAX_DEPTH} levels below the top-level packet"
)
ACCEPTED: Final = (
    "a NumPy array, a CPU torch tensor or other CPU tensor with __dlpack__, "
    "a SciPy sparse matrix (COO, CSR or CSC), "
    "a StringTensor, a QuantizedTensor, or a dict with str keys of these"
)
_SPARSE_FORMATS: Final = frozenset({"coo", "csr", "csc"})

# What _scan found below a value, besides that it is encodable.
_COMPANION: Final = 1  # a StringTensor or QuantizedTensor
_TENSOR: Final = 2  # a torch or DLPack tensor, to be swapped for an array before encoding

_Rejected = _arrays.Refusal
is_torch_tensor = _arrays.is_torch_tensor


def _type_name(obj: object) -> str:
    cls = type(obj)
    if cls.__module__ == "builtins":
        return cls.__qualname__
    return f"{cls.__module__}.{cls.__qualname__}"


def is_sparse(obj: object) -> bool:
    # A SciPy matrix can only exist once scipy.sparse has been imported, so
    # looking in sys.modules keeps SciPy out of processes that never use it.
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and bool(sparse.issparse(obj))


def _scan(obj: Any, level: int) -> int:
    """Check ``obj``, a value ``level`` dictionaries below the top; returns what it
    holds at any depth: ``_COMPANION`` (string or quantized tensors), ``_TENSOR``
    (torch or DLPack tensors), both or neither. A DLPack tensor's element type
    is checked when :func:`prepare` takes its memory."""
    if level > MAX_DEPTH:
        raise ValueError(NESTING_MESSAGE)
    if isinstance(obj, dict):
        found = 0
        for key, value in obj.items():
            if not isinstance(key, str):
                raise _Rejected(f"a dict key of type {_type_name(key)} ({key!r})")
            try:
                if type(value) is not np.ndarray:
                    found |= _scan(value, level + 1)
                elif level >= MAX_DEPTH:
                    raise ValueError(NESTING_MESSAGE)
            except _Rejected as rejected:
                rejected.keys.append(key)
                raise
        return found
    if isinstance(obj, (StringTensor, QuantizedTensor)):
        return _COMPANION
    if isinstance(obj, (np.ndarray, np.generic)):
        return 0
    if is_torch_tensor(obj):
        refused = _arrays.torch_refusal(obj)
        if refused is not None:
            raise refused
        return _TENSOR
    if is_sparse(obj):
        if obj.format not in _SPARSE_FORMATS:
            raise _Rejected(
                f"a SciPy sparse matrix in {str(obj.format).upper()} format ({_type_name(obj)})",
                "; convert it with .tocsr() or .tocoo() first",
            )
        # The three component arrays sit one level below the matrix.
        if level >= MAX_DEPTH:
            raise ValueError(NESTING_MESSAGE)
        return 0
    if _arrays.is_dlpack(obj):
        refused = _arrays.dlpack_refusal(obj)
        if refused is not None:
            raise refused
        return _TENSOR
    raise _Rejected(f"a value of type {_type_name(obj)}", _conversion_hint(obj))


def _conversion_hint(obj: object) -> str:
    if isinstance(obj, (list, tuple)):
        return "; numpy.asarray() makes an array of a sequence"
    try:
        memoryview(obj).release()  # type: ignore[arg-type]
    except TypeError:
        return ""
    return "; numpy.frombuffer() makes an array of a buffer"


def _exception(rejected: _Rejected, verb: str = "encode") -> Exception:
    return _arrays.refusal_exception(rejected, verb, ACCEPTED)


def _flags(obj: object) -> int:
    try:
        return _scan(obj, 0)
    except _Rejected as rejected:
        raise _exception(rejected) from None


def scan(obj: object) -> bool:
    """Check that ``obj`` can be encoded; return whether it is a dict that holds a
    :class:`StringTensor` or :class:`QuantizedTensor` at any depth.

    Raises:
        TypeError: ``obj``, or a value or key inside it, is of a kind that the
            package does not encode; the message names the type and, inside
            dicts, the key path.
        ValueError: dicts nest deeper than the packet format allows, or a torch
            tensor has an element type without a wire code.
    """
    return bool(_flags(obj) & _COMPANION)


def _swap_tensors(obj: Any, as_array: Any) -> Any:
    """``obj`` with every torch or DLPack tensor replaced by ``as_array(tensor)``;
    dicts without tensors below them are kept as they are."""
    if isinstance(obj, dict):
        swapped = {}
        for key, value in obj.items():
            try:
                swapped[key] = _swap_tensors(value, as_array)
            except _Rejected as rejected:
                rejected.keys.append(key)
                raise
        if any(swapped[key] is not value for key, value in obj.items()):
            return swapped
        return obj
    if _arrays.bridged(obj):
        return as_array(obj)
    return obj


def prepare(obj: object) -> tuple[Any, bool]:
    """Check ``obj`` as :func:`scan` does and make it ready for the encoders.

    Returns ``obj`` with every torch or DLPack tensor replaced by a NumPy
    array over the tensor's memory (see :func:`vamra.torch.as_array`; a
    non-contiguous tensor is made contiguous first; dicts holding tensors are
    rebuilt, nothing else is copied), and whether it holds a
    :class:`StringTensor` or :class:`QuantizedTensor`.
    """
    found = _flags(obj)
    if found & _TENSOR:
        try:
            obj = _swap_tensors(obj, _arrays.encodable_array)
        except _Rejected as rejected:
            raise _exception(rejected) from None
    return obj, bool(found & _COMPANION)


def check_encodable(obj: object) -> None:
    """Raise ``TypeError`` (or ``ValueError`` for too deep nesting) unless ``obj``
    is a value the package can encode; see :func:`scan`."""
    if type(obj) is not np.ndarray:
        _flags(obj)
