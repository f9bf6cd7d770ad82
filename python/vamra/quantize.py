"""Affine integer quantization of float tensors.

A :class:`QuantizedTensor` holds integer codes together with the scales and zero
points that map them back to real values::

    real = (code - zero_point) * scale

Four code types are supported, each with its wire element-type code:

==========  ====  ===========  ======================================
name        code  code range   storage
==========  ====  ===========  ======================================
``qint8``   16    -128..127    one byte per element, two's complement
``quint8``  17    0..255       one byte per element
``qint4``   18    -8..7        two elements per byte, two's complement
``quint4``  19    0..15        two elements per byte
==========  ====  ===========  ======================================

4-bit packing: element ``2k`` sits in the low nibble and element ``2k + 1`` in
the high nibble of byte ``k`` (elements counted in C order over the flattened
tensor). With an odd element count the high nibble of the last byte is 0, and
the data holds ``ceil(n / 2)`` bytes.

Quantization schemes (the ``quant_scheme`` attribute):

* :data:`SCHEME_PER_TENSOR` (0): one scale and zero point for the whole tensor.
* :data:`SCHEME_PER_AXIS` (1): one pair per index along ``axis``.
* :data:`SCHEME_PER_GROUP` (2): the tensor is flattened in C order and cut into
  groups of ``group_size`` consecutive elements, one pair per group; the last
  group may be shorter. For a tensor whose last dimension is a multiple of
  ``group_size`` this is the same as grouping along the last axis row by row.

The quantized range always contains 0.0, so zero is represented exactly and the
zero points are whole numbers inside the code range (stored as float32). Each
dequantized value lies within half a quantization step (``scale / 2``) of the
original, up to float32 rounding, and is always finite: where a range reaches
the float32 limit and the code beyond it would dequantize to infinity, the value
takes the neighbouring code, within one step. A slice whose values are all zero gets scale
0.0 and zero point 0; its codes are all 0 and dequantize to exactly 0.0.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Iterable, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from vamra import _arrays

__all__ = [
    "DTYPE_CODES",
    "DTYPE_NAMES",
    "SCHEME_PER_AXIS",
    "SCHEME_PER_GROUP",
    "SCHEME_PER_TENSOR",
    "QuantizedTensor",
]

SCHEME_PER_TENSOR: Final = 0
"""One scale and zero point for the whole tensor."""
SCHEME_PER_AXIS: Final = 1
"""One scale and zero point per index along ``axis``."""
SCHEME_PER_GROUP: Final = 2
"""One scale and zero point per ``group_size`` consecutive elements (C order)."""

_SCHEME_NAMES: Final = {
    SCHEME_PER_TENSOR: "per_tensor",
    SCHEME_PER_AXIS: "per_axis",
    SCHEME_PER_GROUP: "per_group",
}

DTYPE_CODES: Final[dict[str, int]] = {"qint8": 16, "quint8": 17, "qint4": 18, "quint4": 19}
"""Wire element-type code of each quantized type name."""
DTYPE_NAMES: Final[dict[int, str]] = {code: name for name, code in DTYPE_CODES.items()}
"""Quantized type name of each wire element-type code."""

# (smallest code, largest code, bits per element) for each wire code.
_CODE_RANGES: Final[dict[int, tuple[int, int, int]]] = {
    16: (-128, 127, 8),
    17: (0, 255, 8),
    18: (-8, 7, 4),
    19: (0, 15, 4),
}

_LE_F32: Final = np.dtype("<f4")
_F32_MAX: Final = float(np.finfo(np.float32).max)


def _packed_length(count: int, bits: int) -> int:
    """Number of data bytes that hold ``count`` codes of ``bits`` bits each."""
    return (count + 1) // 2 if bits == 4 else count


def _pack_nibbles(nibbles: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """Pack 4-bit values (0..15), two per byte, the even-indexed one in the low nibble."""
    if nibbles.size % 2:
        nibbles = np.concatenate([nibbles, np.zeros(1, np.uint8)])
    low = nibbles[0::2]
    high = nibbles[1::2]
    return low | (high << np.uint8(4))


def _unpack_nibbles(packed: npt.NDArray[np.uint8], count: int) -> npt.NDArray[np.uint8]:
    """Inverse of :func:`_pack_nibbles`: the first ``count`` 4-bit values, each as 0..15."""
    nibbles = np.empty(packed.size * 2, np.uint8)
    nibbles[0::2] = packed & np.uint8(0x0F)
    nibbles[1::2] = packed >> np.uint8(4)
    return nibbles[:count]


def _as_int(value: Any, name: str) -> int:
    """Convert an integer-like value (``int``, NumPy integer) to ``int``."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _as_byte_array(value: Any) -> npt.NDArray[np.uint8]:
    """Flat uint8 view or copy of ``value`` (bytes-like or array-like)."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return np.frombuffer(value, dtype=np.uint8)
    return np.ascontiguousarray(value, dtype=np.uint8).reshape(-1)


def _affine_params(
    lo: npt.NDArray[Any], hi: npt.NDArray[Any], qmin: int, qmax: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Scales, zero points and code bounds for slices whose ranges are ``[lo, hi]``
    with lo <= 0 <= hi.

    Computed in float64 and stored as float32; zero points are whole numbers.
    Each scale is rounded up to float32, never down, so ``qmax - qmin`` steps
    always cover the slice's range (rounding down could lose most of a step
    of a subnormal scale, and a non-zero range never gets scale 0).

    The bounds are the smallest and largest code of each slice whose
    dequantized value ``(code - zero_point) * scale`` is a finite float32. For
    ranges near the float32 limit the zero point's rounding can put an end of
    the code range half a step beyond it; that code is not used, so such a
    value lands one step inside instead (within one step of the input).
    """
    lo64 = lo.astype(np.float64)
    hi64 = hi.astype(np.float64)
    exact = (hi64 - lo64) / float(qmax - qmin)
    scales = exact.astype(_LE_F32)
    short = scales < exact
    scales[short] = np.nextafter(scales[short], np.float32(np.inf))
    degenerate = scales == 0
    scales64 = scales.astype(np.float64)
    safe = np.where(degenerate, 1.0, scales64)
    zero_points = np.clip(qmin - np.rint(lo64 / safe), qmin, qmax)
    zero_points[degenerate] = 0.0
    # The largest whole number of steps whose value is a finite float32; the
    # products are exact in float64 wherever the limit binds (at most 255 steps).
    steps = np.floor(_F32_MAX / safe)
    steps = np.where(steps * safe > _F32_MAX, steps - 1, steps)
    low = np.maximum(zero_points - steps, qmin)
    high = np.minimum(zero_points + steps, qmax)
    return scales, zero_points.astype(_LE_F32), np.stack([low, high]).astype(np.float32)


def _as_array(array: npt.ArrayLike) -> npt.NDArray[Any]:
    """``array`` as a NumPy array; a torch tensor (bfloat16 included) is read
    through the tensor bridge, which refuses tensors whose memory it cannot read."""
    return _arrays.quantization_input(array)


def _as_float32(x: npt.NDArray[Any]) -> npt.NDArray[np.float32]:
    """``x`` as float32, or ValueError when a value is not finite or not in float32's range."""
    if x.dtype == np.float32:
        converted = x
    else:
        # Overflow is reported below as an error, not as a warning from the cast.
        with np.errstate(over="ignore"):
            converted = x.astype(np.float32)
    if not np.isfinite(converted).all():
        if x.dtype.kind == "f" and np.isfinite(x).all():
            peak = float(np.abs(x).max())
            raise ValueError(
                f"cannot quantize values beyond the float32 range (largest magnitude {peak:g}, "
                f"float32 holds at most {_F32_MAX:g}); quantization computes in float32"
            )
        raise ValueError("cannot quantize non-finite values (inf or nan)")
    return converted


class QuantizedTensor:
    """A tensor of 8- or 4-bit integer codes with affine dequantization parameters.

    Build one from float data with :meth:`quantize`; get float values back with
    :meth:`dequantize`. The constructor takes the stored fields as they are (it
    is also what packet decoding calls), converting array-likes but not checking
    that the scheme parameters fit the shape; :meth:`dequantize` checks that.

    Attributes:
        data: Packed codes, flat uint8 array (see the module docstring for layout).
        scales: Flat little-endian float32 array of scales.
        zero_points: Flat little-endian float32 array of zero points, as long as ``scales``.
        shape: Logical shape of the tensor.
        dtype_code: Wire element-type code, one of 16 to 19.
        quant_scheme: One of the ``SCHEME_*`` constants.
        group_size: Elements per group for :data:`~vamra.quantize.SCHEME_PER_GROUP`, else 0.
        axis: Channel axis for :data:`~vamra.quantize.SCHEME_PER_AXIS` as given at quantization
            time (may be negative); after a round trip through a packet only its
            low 8 bits survive, so -1 comes back as 255. Unused by other schemes.
    """

    __slots__ = (
        "axis",
        "data",
        "dtype_code",
        "group_size",
        "quant_scheme",
        "scales",
        "shape",
        "zero_points",
    )

    data: npt.NDArray[np.uint8]
    scales: npt.NDArray[np.float32]
    zero_points: npt.NDArray[np.float32]
    shape: tuple[int, ...]
    dtype_code: int
    quant_scheme: int
    group_size: int
    axis: int

    def __init__(
        self,
        *,
        data: Any,
        scales: Any,
        zero_points: Any,
        shape: Iterable[int],
        dtype_code: int,
        quant_scheme: int,
        group_size: int,
        axis: int,
    ) -> None:
        """Store the fields; array-likes are converted to flat uint8 / float32 arrays.

        Raises:
            ValueError: unknown ``dtype_code``, a negative extent, scales and
                zero points of different lengths, or ``data`` too short for ``shape``.
            TypeError: a non-integer ``shape`` extent or integer field.
        """
        self.dtype_code = _as_int(dtype_code, "dtype_code")
        if self.dtype_code not in _CODE_RANGES:
            raise ValueError(
                f"dtype_code must be one of {sorted(_CODE_RANGES)} "
                f"({', '.join(DTYPE_CODES)}), got {self.dtype_code}"
            )
        self.quant_scheme = _as_int(quant_scheme, "quant_scheme")
        self.group_size = _as_int(group_size, "group_size")
        self.axis = _as_int(axis, "axis")
        self.shape = tuple(_as_int(d, "shape extent") for d in shape)
        if any(d < 0 for d in self.shape):
            raise ValueError(f"shape extents must be non-negative, got {self.shape}")
        self.scales = np.ascontiguousarray(scales, dtype=_LE_F32).reshape(-1)
        self.zero_points = np.ascontiguousarray(zero_points, dtype=_LE_F32).reshape(-1)
        if self.scales.size != self.zero_points.size:
            raise ValueError(
                f"scales ({self.scales.size}) and zero_points ({self.zero_points.size}) "
                "must have the same length"
            )
        self.data = _as_byte_array(data)
        needed = _packed_length(math.prod(self.shape), _CODE_RANGES[self.dtype_code][2])
        if self.data.size < needed:
            raise ValueError(
                f"data holds {self.data.size} bytes; shape {self.shape} of {self.dtype} "
                f"needs {needed}"
            )

    # ------------------------------------------------------------------ creation

    @classmethod
    def quantize(
        cls,
        array: npt.ArrayLike,
        dtype: str = "qint8",
        axis: int | None = None,
        group_size: int = 0,
    ) -> QuantizedTensor:
        """Quantize a real-valued array.

        Args:
            array: Real values (bool, integer or float array-like, a CPU
                torch tensor, or another CPU tensor with ``__dlpack__``); all
                finite and within the float32 range.
                Values are processed as float32.
            dtype: ``"qint8"``, ``"quint8"``, ``"qint4"`` or ``"quint4"``.
            axis: Quantize per axis along this dimension (negative values count
                from the end and are stored as given). ``None`` for no axis.
            group_size: If positive, quantize per group of this many consecutive
                elements of the C-order flattened array. Cannot be combined with
                ``axis``.

        Returns:
            A per-tensor, per-axis or per-group :class:`QuantizedTensor`.

        Raises:
            ValueError: unknown ``dtype``, axis out of range, negative
                ``group_size``, both ``axis`` and ``group_size`` given,
                non-finite values, or values beyond the float32 range.
            TypeError: a non-real input array, or a torch or DLPack tensor
                that is not on the CPU, or a torch tensor that is sparse, meta
                or torch-quantized.
        """
        if dtype not in DTYPE_CODES:
            raise ValueError(f"dtype must be one of {list(DTYPE_CODES)}, got {dtype!r}")
        code = DTYPE_CODES[dtype]
        qmin, qmax, bits = _CODE_RANGES[code]
        group_size = _as_int(group_size, "group_size")
        if group_size < 0:
            raise ValueError(f"group_size must be non-negative, got {group_size}")
        if group_size and axis is not None:
            raise ValueError("axis and group_size cannot be combined")

        x = _as_array(array)
        if x.dtype.kind not in "biuf":
            raise TypeError(f"cannot quantize an array of dtype {x.dtype}")
        x = _as_float32(x)
        shape = x.shape
        stored_axis = 0

        if group_size:
            scheme = SCHEME_PER_GROUP
            flat = x.reshape(-1)
            groups = -(-flat.size // group_size)
            if flat.size != groups * group_size:
                # Zero padding leaves the ranges unchanged: they include 0 anyway.
                flat = np.concatenate([flat, np.zeros(groups * group_size - flat.size, np.float32)])
            work: npt.NDArray[np.float32] = flat.reshape(groups, group_size)
            lo = work.min(axis=1, initial=0.0)
            hi = work.max(axis=1, initial=0.0)
            param_shape: tuple[int, ...] = (groups, 1)
        elif axis is not None:
            scheme = SCHEME_PER_AXIS
            stored_axis = _as_int(axis, "axis")
            ax = stored_axis + x.ndim if stored_axis < 0 else stored_axis
            if not 0 <= ax < x.ndim:
                raise ValueError(f"axis {stored_axis} is out of range for {x.ndim} dimensions")
            others = tuple(i for i in range(x.ndim) if i != ax)
            work = x
            lo = x.min(axis=others, initial=0.0)
            hi = x.max(axis=others, initial=0.0)
            param_shape = tuple(shape[ax] if i == ax else 1 for i in range(x.ndim))
        else:
            scheme = SCHEME_PER_TENSOR
            work = x.reshape(-1)
            lo = np.array([work.min(initial=0.0)])
            hi = np.array([work.max(initial=0.0)])
            param_shape = (1,)

        scales, zero_points, bounds = _affine_params(lo, hi, qmin, qmax)
        safe = np.where(scales == 0, np.float32(1), scales).reshape(param_shape)
        q = np.divide(work, safe, dtype=np.float32)
        q += zero_points.reshape(param_shape)
        np.rint(q, out=q)
        np.clip(q, bounds[0].reshape(param_shape), bounds[1].reshape(param_shape), out=q)
        codes = q.reshape(-1)[: math.prod(shape)]
        if qmin < 0:
            stored = codes.astype(np.int8).view(np.uint8)
        else:
            stored = codes.astype(np.uint8)
        if bits == 4:
            stored = _pack_nibbles(stored & np.uint8(0x0F))

        return cls(
            data=stored,
            scales=scales,
            zero_points=zero_points,
            shape=shape,
            dtype_code=code,
            quant_scheme=scheme,
            group_size=group_size,
            axis=stored_axis,
        )

    # ------------------------------------------------------------------ reading

    @property
    def dtype(self) -> str:
        """The quantized type's name, ``"qint8"``, ``"quint8"``, ``"qint4"`` or ``"quint4"``."""
        return DTYPE_NAMES[self.dtype_code]

    @property
    def nbytes(self) -> int:
        """Bytes held by the packed codes, the scales and the zero points together."""
        return int(self.data.nbytes + self.scales.nbytes + self.zero_points.nbytes)

    @property
    def size(self) -> int:
        """Number of elements of the logical tensor."""
        return math.prod(self.shape)

    def int_repr(self) -> npt.NDArray[np.int16]:
        """The integer codes, unpacked and sign-extended, as an int16 array of ``shape``."""
        qmin, _, bits = _CODE_RANGES[self.dtype_code]
        n = self.size
        raw = self.data[: _packed_length(n, bits)]
        if bits == 4:
            nibbles = _unpack_nibbles(raw, n)
            if qmin < 0:
                return ((nibbles.astype(np.int16) ^ 8) - 8).reshape(self.shape)
            return nibbles.astype(np.int16).reshape(self.shape)
        if qmin < 0:
            return raw.view(np.int8).astype(np.int16).reshape(self.shape)
        return raw.astype(np.int16).reshape(self.shape)

    def _normalized_axis(self) -> int:
        """The per-axis dimension as a non-negative index into ``shape``.

        The packet stores only the low 8 bits of the axis, so values 128..255 are
        taken as the negative axes -128..-1. (Tensors have at most 32 dimensions,
        so no real axis reaches 128.)
        """
        ndim = len(self.shape)
        ax = self.axis - 256 if self.axis >= 128 else self.axis
        if ax < 0:
            ax += ndim
        if not 0 <= ax < ndim:
            raise ValueError(f"axis {self.axis} is out of range for shape {self.shape}")
        return ax

    def dequantize(self) -> npt.NDArray[np.float32]:
        """Real values ``(code - zero_point) * scale`` as a float32 array of ``shape``.

        Raises:
            ValueError: an unknown scheme, an axis outside the shape, a
                non-positive group size for per-group tensors, or a number of
                scales that does not fit the scheme and shape.
        """
        codes = self.int_repr()
        nparams = self.scales.size
        if self.quant_scheme == SCHEME_PER_TENSOR:
            expected = 1
            param_shape: Sequence[int] = (1,)
            values: npt.NDArray[np.int16] = codes.reshape(-1)
        elif self.quant_scheme == SCHEME_PER_AXIS:
            ax = self._normalized_axis()
            expected = self.shape[ax]
            param_shape = tuple(expected if i == ax else 1 for i in range(len(self.shape)))
            values = codes
        elif self.quant_scheme == SCHEME_PER_GROUP:
            if self.group_size <= 0:
                raise ValueError(f"per-group tensor has group_size {self.group_size}")
            n = self.size
            expected = -(-n // self.group_size)
            param_shape = (expected, 1)
            values = codes.reshape(-1)
            padded = expected * self.group_size
            if padded != n:
                values = np.concatenate([values, np.zeros(padded - n, np.int16)])
            values = values.reshape(expected, self.group_size)
        else:
            raise ValueError(f"unknown quantization scheme {self.quant_scheme}")
        if nparams != expected:
            raise ValueError(
                f"{_SCHEME_NAMES[self.quant_scheme]} tensor of shape {self.shape} needs "
                f"{expected} scales, has {nparams}"
            )
        out = values.astype(np.float32)
        out -= self.zero_points.reshape(param_shape)
        out *= self.scales.reshape(param_shape)
        return out.reshape(-1)[: self.size].reshape(self.shape)

    def __repr__(self) -> str:
        scheme = _SCHEME_NAMES.get(self.quant_scheme, str(self.quant_scheme))
        extra = ""
        if self.quant_scheme == SCHEME_PER_AXIS:
            extra = f", axis={self.axis}"
        elif self.quant_scheme == SCHEME_PER_GROUP:
            extra = f", group_size={self.group_size}"
        return (
            f"QuantizedTensor(dtype={self.dtype!r}, shape={self.shape}, "
            f"scheme={scheme!r}{extra}, nscales={self.scales.size})"
        )
