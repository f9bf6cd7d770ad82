"""Which Python values the package can encode, checked before any encoder runs.

The extension module classifies what it is given by duck typing (a ``format``
attribute makes a sparse matrix, a ``dtype`` an array), so a value of the wrong
kind fails somewhere inside it with a message about an attribute. The entry
points of the package check here first and name the type they got instead.

PyTorch tensors are recognised only once torch is loaded (a tensor cannot
exist before), and :func:`prepare` swaps CPU tensors for NumPy arrays over
their memory, which the extension module encodes like any other array.
"""

from __future__ import annotations

import importlib
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
    "a NumPy array, a CPU torch tensor, a SciPy sparse matrix (COO, CSR or CSC), "
    "a StringTensor, a QuantizedTensor, or a dict with str keys of these"
)
_SPARSE_FORMATS: Final = frozenset({"coo", "csr", "csc"})

# What _scan found below a value, besides that it is encodable.
_COMPANION: Final = 1  # a StringTensor or QuantizedTensor
_TENSOR: Final = 2  # a torch tensor, to be swapped for an array before encoding

# Torch element types with a wire code, by the name after "torch.".
TORCH_DTYPES: Final = frozenset(
    {
        "float32", "float64", "float16", "bfloat16", "complex64", "complex128", "bool",
        "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
    }
)  # fmt: skip


class _Rejected(Exception):
    """A value of a kind that cannot be encoded; keys are collected on the way out.

    ``error`` is the exception raised for it: TypeError for a kind of value,
    ValueError for an element type without a wire code. A ``remedy`` replaces
    the list of accepted kinds in the message (a tensor that is only on the
    wrong device needs no list).
    """

    def __init__(
        self, reason: str, hint: str = "", error: type[Exception] = TypeError, remedy: str = ""
    ) -> None:
        super().__init__(reason)
        self.reason = reason
        self.hint = hint
        self.error = error
        self.remedy = remedy
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


def is_torch_tensor(obj: object) -> bool:
    """Whether ``obj`` is a ``torch.Tensor`` (never imports torch)."""
    tensor = getattr(sys.modules.get("torch"), "Tensor", None)
    return isinstance(tensor, type) and isinstance(obj, tensor)


_wire_torch_dtypes: frozenset[Any] = frozenset()


def _plain_tensor(tensor: Any) -> bool:
    """Whether a tensor is a strided CPU tensor of an element type with a wire
    code: the common case, told in a fraction of the full check's time."""
    global _wire_torch_dtypes
    torch = sys.modules["torch"]
    if not _wire_torch_dtypes:
        found = (getattr(torch, name, None) for name in TORCH_DTYPES)
        _wire_torch_dtypes = frozenset(d for d in found if d is not None)
    return bool(
        tensor.is_cpu
        and tensor.layout is torch.strided
        and not tensor.is_nested
        and tensor.dtype in _wire_torch_dtypes
    )


def _tensor_refusal(tensor: Any, check_dtype: bool = True) -> _Rejected | None:
    """Why a torch tensor cannot be encoded as it is, or None when it can."""
    if _plain_tensor(tensor):
        return None
    if tensor.is_nested:
        return _Rejected("a nested torch tensor", remedy="unbind() it into a dict of tensors first")
    device = tensor.device
    if device.type == "meta":
        return _Rejected("a meta torch tensor", remedy="it has a shape but no data")
    if device.type != "cpu":
        return _Rejected(f"a torch tensor on device {str(device)!r}", remedy="call .cpu() first")
    layout = str(tensor.layout)
    if layout != "torch.strided":
        kind = f"a sparse torch tensor ({layout})" if "sparse" in layout else f"a {layout} tensor"
        return _Rejected(kind, remedy="call .to_dense() first")
    if tensor.is_quantized:
        return _Rejected(
            f"a quantized torch tensor ({tensor.dtype})",
            remedy="call .dequantize() first",
        )
    name = str(tensor.dtype).removeprefix("torch.")
    if check_dtype and name not in TORCH_DTYPES:
        return _Rejected(
            f"Unsupported dtype: {tensor.dtype}",
            error=ValueError,
            remedy="packets hold " + ", ".join(sorted(TORCH_DTYPES)),
        )
    return None


def tensor_refusal(tensor: Any, verb: str = "encode") -> Exception | None:
    """The exception to raise for a torch tensor whose memory cannot be read as
    an array (on another device, sparse, quantized...), or None. Only
    encoding also refuses element types without a wire code."""
    refused = _tensor_refusal(tensor, check_dtype=verb == "encode")
    return None if refused is None else _exception(refused, verb)


def _scan(obj: Any, level: int) -> int:
    """Check ``obj``, a value ``level`` dictionaries below the top; returns what it
    holds at any depth: ``_COMPANION`` (string or quantized tensors), ``_TENSOR``
    (torch tensors), both or neither."""
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
        refused = _tensor_refusal(obj)
        if refused is not None:
            raise refused
        return _TENSOR
    if _is_sparse(obj):
        if obj.format not in _SPARSE_FORMATS:
            raise _Rejected(
                f"a SciPy sparse matrix in {str(obj.format).upper()} format ({_type_name(obj)})",
                "; convert it with .tocsr() or .tocoo() first",
            )
        # The three component arrays sit one level below the matrix.
        if level >= MAX_DEPTH:
            raise ValueError(NESTING_MESSAGE)
        return 0
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
    where = "".join(f"[{key!r}]" for key in reversed(rejected.keys))
    at = f" at {where}" if where else ""
    if rejected.error is not TypeError:
        return rejected.error(f"{rejected.reason}{at}: {rejected.remedy}")
    if rejected.remedy:
        return TypeError(f"cannot {verb} {rejected.reason}{at}: {rejected.remedy}")
    return TypeError(f"cannot {verb} {rejected.reason}{at}: expected {ACCEPTED}{rejected.hint}")


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


def _arrays(obj: Any, as_array: Any) -> Any:
    """``obj`` with every torch tensor replaced by ``as_array(tensor)``; dicts
    without tensors below them are kept as they are."""
    if isinstance(obj, dict):
        swapped = {key: _arrays(value, as_array) for key, value in obj.items()}
        if any(swapped[key] is not value for key, value in obj.items()):
            return swapped
        return obj
    if is_torch_tensor(obj):
        return as_array(obj)
    return obj


def prepare(obj: object) -> tuple[Any, bool]:
    """Check ``obj`` as :func:`scan` does and make it ready for the encoders.

    Returns ``obj`` with every torch tensor replaced by a NumPy array over the
    tensor's memory (see :func:`vamra.torch.as_array`; dicts holding tensors
    are rebuilt, nothing else is copied), and whether it holds a
    :class:`StringTensor` or :class:`QuantizedTensor`.
    """
    found = _flags(obj)
    if found & _TENSOR:
        adapter = importlib.import_module("vamra.torch")
        obj = _arrays(obj, adapter.encodable_array)
    return obj, bool(found & _COMPANION)


def check_encodable(obj: object) -> None:
    """Raise ``TypeError`` (or ``ValueError`` for too deep nesting) unless ``obj``
    is a value the package can encode; see :func:`scan`."""
    if type(obj) is not np.ndarray:
        _flags(obj)
