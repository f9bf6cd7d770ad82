"""Tensor serialisation into self-describing binary packets.

:func:`dumps` turns a NumPy array, a SciPy sparse matrix, a :class:`StringTensor`,
a :class:`QuantizedTensor`, or a ``dict`` of such values into one packet
(``bytes``); :func:`loads` turns a packet held in any byte buffer back into the
value. The byte-level work is done by the native extension module ``vamra_rs``,
which is imported on first use, so the pure-Python classes work without it.
"""

from __future__ import annotations

from types import ModuleType
from typing import Any, Final, cast

import numpy as np

from vamra import _values
from vamra._version import __version__
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

__all__ = [
    "QuantizedTensor",
    "StringTensor",
    "__version__",
    "dumps",
    "load",
    "loads",
    "open",
    "save",
]

# Options that each native encoder accepts; used to trim the options given for a
# whole bundle down to what a string or quantized value inside it understands.
_STRING_OPTIONS: Final = frozenset({"check_integrity"})
_QUANTIZED_OPTIONS: Final = frozenset({"check_integrity", "alignment"})

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


def _holds_companion(obj: Any, depth: int = 0) -> bool:
    """Whether a dict holds, at any depth, a value that the native dict path cannot encode."""
    if depth > _values.MAX_DEPTH:
        return False  # leave it to the native encoder, which refuses it
    return any(
        isinstance(v, (StringTensor, QuantizedTensor))
        or (isinstance(v, dict) and _holds_companion(v, depth + 1))
        for v in obj.values()
    )


def _encode_bundle(mapping: dict[Any, Any], options: dict[str, Any]) -> bytes:
    """Encode a dict value by value in Python and frame the packets as a bundle.

    The caller has checked the whole value (:func:`vamra._values.scan`), its
    nesting depth included: each value is encoded here as a packet of its own,
    so the native encoder never sees how deep it sits.
    """
    entries = []
    for key, value in mapping.items():
        if isinstance(value, StringTensor):
            opts = {k: v for k, v in options.items() if k in _STRING_OPTIONS}
        elif isinstance(value, QuantizedTensor):
            opts = {k: v for k, v in options.items() if k in _QUANTIZED_OPTIONS}
        else:
            opts = options
        entries.append((key, _dumps(value, opts)))
    return cast(bytes, _rs().encode_bundle_rs(entries))


def _dumps(obj: Any, options: dict[str, Any]) -> bytes:
    if isinstance(obj, StringTensor):
        return _encode_string(obj, options)
    if isinstance(obj, QuantizedTensor):
        return cast(bytes, _rs().dumps_quantized_rs(obj, **options))
    if isinstance(obj, dict) and _holds_companion(obj):
        return _encode_bundle(obj, options)
    return cast(bytes, _rs().dumps_rs(obj, **options))


def dumps(obj: Any, **options: Any) -> bytes:
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
    if type(obj) is not np.ndarray:
        obj, companions = _values.prepare(obj)
        if companions:
            return _dumps(obj, options)
    packet: bytes = _rs().dumps_rs(obj, **options)
    return packet


def loads(buffer: Any) -> Any:
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
        return _rs().loads_rs(buffer)
    except ImportError as exc:
        if "scipy" not in str(exc):
            raise
        raise ImportError(
            f"{exc}; install it with: pip install 'vamra[sparse]'", name="scipy"
        ) from exc


# Files: save, load and open (imported last: they build on dumps and loads).
from vamra.files import load, open, save  # noqa: E402
