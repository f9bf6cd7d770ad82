"""Bridges from other array libraries to NumPy arrays over the same memory.

The encoders read NumPy arrays. A tensor of another library whose memory is on
the CPU is handed to them as an array over that memory, so its bytes are
copied once, into the packet or the file, as an array's are. This module knows
nothing of packets or files: :mod:`vamra._values` asks it whether a value is
such a tensor and for its array, and the quantizer asks it for the values to
quantize.

Two bridges: torch tensors, read through torch's own API (which also tells
sparse, nested, quantized and meta tensors apart), and any other object that
exports DLPack (``__dlpack__``: JAX, CuPy, TensorFlow, MLX, Paddle...), read
through its capsule by :func:`vamra._native.dlpack_array`. NumPy's own
``numpy.from_dlpack`` refuses bfloat16, which JAX and torch tensors often hold.

No array library is imported here: a tensor can only exist once its library
is loaded, so each test looks the library up in ``sys.modules`` or asks the
object what it exports.
"""

from __future__ import annotations

import sys
from typing import Any, Final

import numpy as np
import numpy.typing as npt

# Element types with a wire code; torch's, by the name after "torch.".
TORCH_DTYPES: Final = frozenset(
    {
        "float32", "float64", "float16", "bfloat16", "complex64", "complex128", "bool",
        "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
    }
)  # fmt: skip


# Torch's and ml_dtypes' 8-bit float types, which packets hold as their bytes
# (the package records the type).
FLOAT8_NAMES: Final = (
    "float8_e4m3fn", "float8_e5m2", "float8_e4m3fnuz", "float8_e5m2fnuz", "float8_e8m0fnu",
)  # fmt: skip


class Refusal(Exception):
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


def refusal_exception(refusal: Refusal, verb: str = "encode", accepted: str = "") -> Exception:
    """The exception to raise for ``refusal``, naming the key path it was met at."""
    where = "".join(f"[{key!r}]" for key in reversed(refusal.keys))
    at = f" at {where}" if where else ""
    if refusal.error is not TypeError:
        return refusal.error(f"{refusal.reason}{at}: {refusal.remedy}")
    if refusal.remedy:
        return TypeError(f"cannot {verb} {refusal.reason}{at}: {refusal.remedy}")
    return TypeError(f"cannot {verb} {refusal.reason}{at}: expected {accepted}{refusal.hint}")


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


def torch_refusal(tensor: Any, check_dtype: bool = True) -> Refusal | None:
    """Why a torch tensor cannot be encoded as it is, or None when it can."""
    if _plain_tensor(tensor):
        return None
    if tensor.is_nested:
        return Refusal("a nested torch tensor", remedy="unbind() it into a dict of tensors first")
    device = tensor.device
    if device.type == "meta":
        return Refusal("a meta torch tensor", remedy="it has a shape but no data")
    if device.type != "cpu":
        return Refusal(f"a torch tensor on device {str(device)!r}", remedy="call .cpu() first")
    layout = str(tensor.layout)
    if layout != "torch.strided":
        kind = f"a sparse torch tensor ({layout})" if "sparse" in layout else f"a {layout} tensor"
        return Refusal(kind, remedy="call .to_dense() first")
    if tensor.is_quantized:
        return Refusal(
            f"a quantized torch tensor ({tensor.dtype})",
            remedy="call .dequantize() first",
        )
    name = str(tensor.dtype).removeprefix("torch.")
    if check_dtype and name not in TORCH_DTYPES:
        return Refusal(
            f"Unsupported dtype: {tensor.dtype}",
            error=ValueError,
            remedy="packets hold " + ", ".join(sorted(TORCH_DTYPES)),
        )
    return None


def tensor_refusal(tensor: Any, verb: str = "encode") -> Exception | None:
    """The exception to raise for a torch tensor whose memory cannot be read as
    an array (on another device, sparse, quantized...), or None. Only
    encoding also refuses element types without a wire code."""
    refused = torch_refusal(tensor, check_dtype=verb == "encode")
    return None if refused is None else refusal_exception(refused, verb)


class _BFloat16:
    """The dtype the encoder reads from a bfloat16 tensor's array: it classifies
    arrays by ``dtype.name`` and ``dtype.byteorder`` alone."""

    __slots__ = ()
    name: Final = "bfloat16"
    byteorder: Final = "="
    itemsize: Final = 2

    def __repr__(self) -> str:
        return "bfloat16"


_BFLOAT16: Final = _BFloat16()


class BFloat16Array(np.ndarray):
    """The int16 bits of a bfloat16 tensor, reporting a bfloat16 dtype.

    NumPy has no bfloat16 type of its own; this view lets the encoder write
    the tensor's memory as bfloat16 without a copy. Only the encoder sees it.
    """

    @property
    def dtype(self) -> Any:
        return _BFLOAT16


def torch_array(tensor: Any) -> npt.NDArray[Any]:
    """The array the encoders read for a torch tensor already checked by
    :func:`torch_refusal`: its memory, unless it is not contiguous or is a
    conjugate or negative view, whose values are materialised first."""
    torch = sys.modules["torch"]
    data = tensor.detach() if tensor.requires_grad else tensor
    if data.is_conj():
        data = data.resolve_conj()
    if data.is_neg():
        data = data.resolve_neg()
    if not data.is_contiguous():
        data = data.contiguous()
    if data.dtype is torch.bfloat16:
        result: npt.NDArray[Any] = data.view(torch.int16).numpy().view(BFloat16Array)
        return result
    array: npt.NDArray[Any] = data.numpy()
    return array


def torch_float8(tensor: Any) -> tuple[npt.NDArray[Any], str] | None:
    """The bytes of a float8 torch tensor as a uint8 array over its memory (a
    contiguous copy if need be) and the type's name; None for other tensors."""
    name = str(tensor.dtype).removeprefix("torch.")
    if name not in FLOAT8_NAMES:
        return None
    refused = torch_refusal(tensor, check_dtype=False)
    if refused is not None:
        raise refusal_exception(refused)
    torch = sys.modules["torch"]
    data = tensor.detach().contiguous()
    bits: npt.NDArray[Any] = data.view(torch.uint8).numpy()
    return bits, name


def quantization_input(array: Any) -> npt.NDArray[Any]:
    """The values of ``array`` as an array the quantizer reads: a torch tensor's
    or DLPack exporter's memory when NumPy has its type, else a float32 copy
    (bfloat16, float8); anything else through ``numpy.asarray``."""
    if not is_torch_tensor(array):
        if is_dlpack(array):
            return _dlpack_quantization_input(array)
        return np.asarray(array)
    refused = tensor_refusal(array, "quantize")
    if refused is not None:
        raise refused
    if array.is_complex():
        raise TypeError(f"cannot quantize an array of dtype {array.dtype}")
    torch = sys.modules["torch"]
    data = array.detach().resolve_neg()
    if data.is_floating_point() and data.dtype not in (torch.float16, torch.float32, torch.float64):
        data = data.float()
    values: npt.NDArray[Any] = data.numpy()
    return values


# DLPack device types by number, for messages; 1 is the CPU.
_DLPACK_CPU: Final = 1
_DLPACK_DEVICES: Final = {
    2: "cuda", 3: "cuda_host", 4: "opencl", 7: "vulkan", 8: "metal", 9: "vpi", 10: "rocm",
    11: "rocm_host", 12: "ext_dev", 13: "cuda_managed", 14: "oneapi", 15: "webgpu",
    16: "hexagon", 17: "maia",
}  # fmt: skip
_TO_CPU: Final = (
    "copy it to the CPU first, with its library's own call (jax.device_get(x), x.cpu(), "
    "cupy.asnumpy(x)...) or numpy.from_dlpack(x, device='cpu') where the library supports it"
)
# The dtype bfloat16 data is read as: its int16 bits, marked so that they are
# told apart from int16 data (NumPy keeps a dtype's metadata on views, and
# numpy.dtype returns this very object for it).
_BFLOAT16_BITS: Final = np.dtype(np.int16, metadata={"vamra": "bfloat16"})


def is_dlpack(obj: object) -> bool:
    """Whether ``obj`` exports DLPack and is not a NumPy array or scalar (which
    the encoders read as they are) or a torch tensor (which has its own bridge)."""
    return (
        hasattr(type(obj), "__dlpack__")
        and not isinstance(obj, (np.ndarray, np.generic))
        and not is_torch_tensor(obj)
    )


def _type_name(obj: object) -> str:
    cls = type(obj)
    return f"{cls.__module__}.{cls.__qualname__}"


def dlpack_refusal(obj: Any) -> Refusal | None:
    """Why a DLPack exporter cannot be encoded as it is (its memory is not the
    CPU's), or None; told by ``__dlpack_device__`` without taking its data.
    An exporter without that method is asked for its capsule, whose device
    :func:`dlpack_array` checks."""
    device_of = getattr(obj, "__dlpack_device__", None)
    if device_of is None:
        return None
    kind, number = device_of()
    if int(kind) == _DLPACK_CPU:
        return None
    name = _DLPACK_DEVICES.get(int(kind), f"of DLPack type {int(kind)}")
    return Refusal(f"a {_type_name(obj)} on device {name}:{number}", remedy=_TO_CPU)


def _capsule(obj: Any) -> Any:
    """The DLPack capsule of ``obj``: a versioned one where the exporter has
    them (they can say that memory is read-only), else the original kind."""
    try:
        return obj.__dlpack__(max_version=(1, 0))
    except TypeError:
        return obj.__dlpack__()


def _dlpack_view(obj: Any) -> npt.NDArray[Any]:
    """The array over a DLPack exporter's memory, with its strides; bfloat16
    as marked int16 bits. Element types without a wire code are refused."""
    # Imported here, as the extension modules are everywhere in the package:
    # its pure-Python classes work without them.
    from vamra import _native

    try:
        capsule = _capsule(obj)
    except Exception:
        # Exporters refuse element types that DLPack has no code for (JAX's
        # int4) in their own words; one that packets lack is named as such.
        name = getattr(getattr(obj, "dtype", None), "name", None)
        if isinstance(name, str) and name not in TORCH_DTYPES:
            raise _dtype_refusal(obj, "") from None
        raise
    try:
        view: npt.NDArray[Any] = _native.dlpack_array(capsule, bfloat16=_BFLOAT16_BITS)
        return view
    except TypeError as exc:
        # Another device, told by the capsule of an exporter without
        # __dlpack_device__.
        if "on device" not in str(exc):
            raise
        raise Refusal(str(exc).split(": ")[0], remedy=_TO_CPU) from None
    except ValueError as exc:
        if not str(exc).startswith("Unsupported dtype"):
            raise
        raise _dtype_refusal(obj, str(exc)) from None


def _dtype_refusal(obj: Any, told: str) -> Refusal:
    """The refusal of an exporter's element type: named by its ``dtype`` where
    it has one, else by what the capsule ``told``."""
    dtype = getattr(obj, "dtype", None)
    return Refusal(
        f"Unsupported dtype: {dtype}" if dtype is not None or not told else told,
        error=ValueError,
        remedy="packets hold " + ", ".join(sorted(TORCH_DTYPES)),
    )


def dlpack_array(obj: Any) -> npt.NDArray[Any]:
    """The array the encoders read for a DLPack exporter already checked by
    :func:`dlpack_refusal`: its memory, unless it is not C-contiguous, in
    which case it is copied once into an array that is.

    Raises :class:`Refusal` for an element type without a wire code (or a
    device that only the capsule tells)."""
    array = _dlpack_view(obj)
    bfloat16 = array.dtype is _BFLOAT16_BITS
    if not array.flags.c_contiguous:
        array = np.ascontiguousarray(array)
    if bfloat16:
        bits: npt.NDArray[Any] = array.view(np.int16).view(BFloat16Array)
        return bits
    return array


def bridged(obj: object) -> bool:
    """Whether ``obj`` is a tensor of another library that the encoders read
    through :func:`encodable_array`."""
    return is_torch_tensor(obj) or is_dlpack(obj)


def encodable_array(obj: Any) -> npt.NDArray[Any]:
    """The array the encoders read for a checked torch tensor or DLPack exporter."""
    if is_torch_tensor(obj):
        return torch_array(obj)
    return dlpack_array(obj)


def _dlpack_quantization_input(obj: Any) -> npt.NDArray[Any]:
    refused = dlpack_refusal(obj)
    try:
        if refused is not None:
            raise refused
        values = _dlpack_view(obj)
    except Refusal as refusal:
        raise refusal_exception(refusal, "quantize") from None
    if values.dtype is _BFLOAT16_BITS:
        # bfloat16 is the upper half of a float32: widened exactly.
        wide = values.view(np.uint16).astype(np.uint32) << 16
        return wide.view(np.float32)
    if values.dtype.kind == "c":
        raise TypeError(f"cannot quantize an array of dtype {values.dtype}")
    return values
