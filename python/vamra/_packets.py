"""The one-call API: :func:`dumps` and :func:`loads`, over the extension module.

The byte-level work is done by ``vamra_rs``, imported on first use, so the
pure-Python classes of the package work without it. :mod:`vamra` re-exports
both functions.
"""

from __future__ import annotations

from types import ModuleType
from typing import Any, Final, cast

import numpy as np

from vamra import _layout, _values
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

__all__ = ["dumps", "loads"]

# Options that each native encoder accepts; used to trim the options given for a
# whole bundle down to what a string or quantized value inside it understands.
_STRING_OPTIONS: Final = frozenset({"check_integrity"})
_QUANTIZED_OPTIONS: Final = frozenset({"check_integrity", "alignment"})
_LAYOUT_OPTIONS: Final = frozenset({"check_integrity", "compress", "alignment"})

_native_module: ModuleType | None = None


def _rs() -> ModuleType:
    """The extension module vamra_rs, imported on first use.

    Not named ``_native``: that is the submodule ``vamra._native``, which an
    import of it binds as an attribute of this package.
    """
    global _native_module
    if _native_module is None:
        try:
            import vamra_rs
        except ImportError as exc:
            raise ImportError(
                "vamra's native extension module 'vamra_rs' is not available; "
                "build and install it to encode or decode packets"
            ) from exc
        _native_module = vamra_rs
    return _native_module


def _encode_string(st: StringTensor, options: dict[str, Any]) -> bytes:
    offsets = st.offsets.astype("<u8", copy=False).tobytes()
    return cast(bytes, _rs().dumps_string_rs(offsets, st.payload, st.count, **options))


def _dumps(obj: Any, options: dict[str, Any]) -> bytes:
    if isinstance(obj, StringTensor):
        return _encode_string(obj, options)
    if isinstance(obj, QuantizedTensor):
        return cast(bytes, _rs().dumps_quantized_rs(obj, **options))
    return cast(bytes, _rs().dumps_rs(obj, **options))


def companion_packet(value: Any, options: dict[str, Any]) -> bytes:
    """The packet of a string or quantized tensor inside a laid-out value,
    written with the options it understands (compression is for arrays)."""
    allowed = _STRING_OPTIONS if isinstance(value, StringTensor) else _QUANTIZED_OPTIONS
    return _dumps(value, {k: v for k, v in options.items() if k in allowed})


def laid_out(obj: Any, metadata: dict[str, str] | None, options: dict[str, Any]) -> _layout.Layout:
    """``obj`` planned as a laid-out packet (see :mod:`vamra._layout`)."""
    unknown = set(options) - _LAYOUT_OPTIONS
    if unknown:
        raise TypeError(f"unexpected option {sorted(unknown)[0]!r}")
    return _layout.plan(
        obj,
        encode_companion=lambda value: companion_packet(value, options),
        metadata=metadata,
        **options,
    )


def dumps(obj: Any, *, metadata: dict[str, str] | None = None, **options: Any) -> bytes:
    """Encode ``obj`` into one packet.

    Args:
        obj: A NumPy array, a CPU torch tensor, a SciPy sparse matrix (COO,
            CSR or CSC), a :class:`StringTensor`, a :class:`QuantizedTensor`,
            or a ``dict`` with ``str`` keys of such values (nested dicts
            allowed, such as a model's ``state_dict()``). A tensor is encoded
            from its data (gradients are not stored); tensors that share
            memory are each stored in full. :mod:`vamra.torch` reads them back.
        **options: Encoder options: ``check_integrity`` (bool, append a
            checksum), ``compress`` (bool, dense arrays only) and ``alignment``
            (power of two, default 64; dense and quantized only). Options a
            top-level value does not support raise ``TypeError``; inside a dict
            they are applied only to the values that support them.

    Returns:
        The packet.

    Raises:
        TypeError: ``obj``, or a value or key inside it, is of a kind that
            cannot be encoded (the message names its type and key path; for a
            torch tensor on another device, sparse, meta or quantized, its
            kind), or an option is not supported.
        ValueError: the value cannot be written as a packet (an unsupported
            dtype, a non-contiguous array, dicts nested more than 64 levels
            deep, a limit of the packet format).
    """
    # An exact ndarray needs no check: small calls are common and their cost counts.
    if type(obj) is np.ndarray and metadata is None:
        try:
            packet: bytes = _rs().dumps_rs(obj, **options)
            return packet
        except ValueError:
            if not _layout.needs_layout(obj):
                raise
    if metadata is not None or _layout.needs_layout(obj):
        return cast(bytes, laid_out(obj, metadata, options).write(None))
    obj, _ = _values.prepare(obj)
    if _values.is_sparse(obj):
        # Its components aligned, as a file holds them.
        return cast(
            bytes,
            _layout.plan_plain(
                obj, encode_companion=lambda value: _dumps(value, options), **options
            ).write(None),
        )
    return _dumps(obj, options)


def loads(buffer: Any, *, with_metadata: bool = False) -> Any:
    """Decode one packet from any object exposing a byte buffer.

    Uncompressed dense arrays come back as read-only views into ``buffer``
    (which they keep alive). String and quantized packets come back as
    :class:`StringTensor` and :class:`QuantizedTensor`. Returns ``None`` for
    packet kinds that are not converted to Python values (ragged and
    fixed-record packets, or bundles containing them).

    Raises:
        ValueError: The packet is damaged, among other ways a sparse
            matrix whose index arrays are not integers or whose indices lie
            outside its shape ("Malformed vamra packet"): they are checked
            before SciPy, whose kernels trust them, sees them.
        ImportError: The packet holds a sparse matrix and SciPy is not
            installed (``pip install 'vamra[sparse]'``).
    """
    try:
        index = _layout.read_index(buffer)
        if index is not None:
            value = _layout.Reader(index, buffer).all()
            return (value, index.metadata()) if with_metadata else value
        value = _rs().loads_rs(buffer)
        return (value, {}) if with_metadata else value
    except ImportError as exc:
        if "scipy" not in str(exc):
            raise
        raise ImportError(
            f"{exc}; install it with: pip install 'vamra[sparse]'", name="scipy"
        ) from exc


def _native() -> ModuleType:
    import vamra._native as native

    return native


def decode(
    buffer: Any,
    *,
    writable: bool = False,
    bfloat16: Any = None,
    aligned: bool = False,
    wrap: Any = None,
    float8: Any = None,
    verified: bool = False,
) -> tuple[Any, dict[str, str], bool]:
    """:func:`loads` with the readers' options: (value, metadata, whether
    the packet is laid out). ``writable``, ``bfloat16`` and ``aligned`` are
    :func:`vamra._native.loads`'s; ``wrap`` and ``float8`` turn the leaves of
    a laid-out packet into the caller's values (see
    :class:`vamra._layout.Reader`); a plain packet's value is returned as
    the converter makes it. ``verified``: the caller has checked the
    digests of every packet as it read them."""
    try:
        index = _layout.read_index(buffer)
        if index is not None:
            reader = _layout.Reader(
                index, buffer, writable=writable, bfloat16=bfloat16, wrap=wrap, float8=float8
            )
            if verified:
                reader.assume_verified()
            return reader.all(), index.metadata(), True
        return _native().loads(buffer, writable, bfloat16, aligned), {}, False
    except ImportError as exc:
        if "scipy" not in str(exc):
            raise
        raise ImportError(
            f"{exc}; install it with: pip install 'vamra[sparse]'", name="scipy"
        ) from exc
