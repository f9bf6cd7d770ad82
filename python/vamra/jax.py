"""JAX arrays and Flax parameter trees.

Writing needs nothing from this module: :func:`vamra.dumps`, :func:`vamra.save`,
:meth:`vamra.channel.Channel.send` and :meth:`vamra.QuantizedTensor.quantize` take
``jax.Array`` values on the CPU, alone or in dicts at any depth mixed with
NumPy values, through DLPack; a Flax model's parameter tree (nested dicts of
arrays) goes in as it is. Each array's bytes are copied once, into the packet
or the file. An array on another device raises ``TypeError``: bring it to the
host first (``jax.device_get(params)``).

Reading: :func:`loads`, :func:`load` and :func:`open` mirror the functions of
the same names in :mod:`vamra` and return ``jax.Array`` values; ``bfloat16``
comes back as ``jnp.bfloat16``. They decode with :mod:`vamra`'s own readers
and hand each array to ``jax.device_put``:

* On the CPU, an array whose memory is immutable and aligned to 64 bytes is
  not copied: the ``jax.Array`` shares the memory (and keeps it alive).
  Immutable memory is that of a file opened by :func:`load` or :func:`open`
  (mapped read-only; :func:`vamra.save` replaces a file rather than
  rewriting it) and of a ``bytes`` object given to :func:`loads`.
  :func:`vamra.save` places every array at a 64-byte boundary of the file.
* Everything else is copied once: arrays whose memory is not aligned (JAX's
  CPU client needs 64 bytes; a packet inside a ``bytes`` object is aligned
  only as far as the object is), arrays read from any other buffer given to
  :func:`loads` (a ``bytearray``, an ``mmap``, shared memory: memory that
  may change under a ``jax.Array``, which must not), compressed arrays, and
  arrays put on another device.

Lists, tuples and scalars in a saved tree come back as they were saved; an
array stored once under several names (tied weights) comes back as one
``jax.Array``.

JAX uses 32-bit types unless ``jax_enable_x64`` is set. Then ``float64``,
``int64``, ``uint64`` and ``complex128`` data raise ``TypeError`` rather than
being narrowed; enable 64-bit types, or read such values with
:func:`vamra.load` as NumPy arrays. String tensors, quantized tensors (unless
``dequantize``) and SciPy matrices come back as :func:`vamra.loads` returns
them.

Examples
--------
>>> import jax.numpy as jnp, vamra, vamra.jax
>>> params = {"dense": {"kernel": jnp.ones((4, 2)), "bias": jnp.zeros(2)}}
>>> vamra.save(params, "/tmp/params.vmra")
>>> vamra.jax.load("/tmp/params.vmra")["dense"]["bias"]
Array([0., 0.], dtype=float32)
"""

from __future__ import annotations

import inspect
from typing import Any, Final

import numpy as np
import numpy.typing as npt

try:
    import jax
except ImportError as exc:
    raise ImportError(
        "vamra.jax needs JAX; install it with: pip install 'vamra[jax]'", name="jax"
    ) from exc

import jax.numpy as jnp

import vamra
from vamra import files
from vamra.files import Checkpoint, FileArg, LazyBundle, save
from vamra.quantize import QuantizedTensor

__all__ = ["dumps", "load", "loads", "open", "save"]

dumps = vamra.dumps

# Whether device_put says whether it may share the host memory it is given.
_MAY_ALIAS: Final = "may_alias" in inspect.signature(jax.device_put).parameters


class _Unconvertible(TypeError):
    """A decoded array JAX would narrow; keys are collected on the way out."""

    def __init__(self, dtype: np.dtype[Any]) -> None:
        super().__init__(dtype.name)
        self.dtype = dtype
        self.keys: list[Any] = []

    def __str__(self) -> str:
        where = "".join(f"[{key!r}]" for key in reversed(self.keys))
        at = f" at {where}" if where else ""
        return (
            f"cannot make a JAX array of {self.dtype.name} data{at} without narrowing it: "
            "enable 64-bit types with jax.config.update('jax_enable_x64', True), or read it "
            "with vamra.load as a NumPy array"
        )


def _array(array: npt.NDArray[Any], device: Any, alias: bool) -> jax.Array:
    if jax.dtypes.canonicalize_dtype(array.dtype) != array.dtype:
        raise _Unconvertible(array.dtype)
    # Arrays decompressed or joined into memory of their own are writable,
    # and nothing else holds them: they may be shared too.
    shared = alias or array.flags.writeable
    if _MAY_ALIAS:
        # device_put(may_alias=False) still shares a read-only array's memory
        # (seen with JAX 0.10): memory that may change is copied here, once,
        # and the copy, which nothing else holds, is shared.
        private = array if shared else np.array(array, copy=True)
        result: jax.Array = jax.device_put(private, device, may_alias=True)
        return result
    # A JAX without may_alias shares aligned CPU memory whenever it can.
    copied: jax.Array = jax.device_put(array if shared else jnp.array(array, copy=True), device)
    return copied


class _Converter:
    """Turns the leaves of a decoded value into JAX arrays. One array that
    appears under several names (tied weights, stored once) becomes one
    ``jax.Array``."""

    def __init__(self, device: Any, alias: bool, dequantize: bool) -> None:
        self.device = device
        self.alias = alias
        self.dequantize = dequantize
        self.done: dict[int, tuple[Any, Any]] = {}

    def leaf(self, value: Any) -> Any:
        if isinstance(value, np.ndarray):
            seen = self.done.get(id(value))
            if seen is not None and seen[0] is value:
                return seen[1]
            result = _array(value, self.device, self.alias)
            self.done[id(value)] = (value, result)  # the array is kept, so its id is too
            return result
        if self.dequantize and isinstance(value, QuantizedTensor):
            return _array(value.dequantize(), self.device, True)
        return value

    def tree(self, value: Any) -> Any:
        kind = type(value)
        if kind is dict:
            out = {}
            for key, item in value.items():
                try:
                    out[key] = self.tree(item)
                except _Unconvertible as failed:
                    failed.keys.append(key)
                    raise
            return out
        if kind is list or kind is tuple:
            items = []
            for position, item in enumerate(value):
                try:
                    items.append(self.tree(item))
                except _Unconvertible as failed:
                    failed.keys.append(position)
                    raise
            return items if kind is list else tuple(items)
        return self.leaf(value)


def _convert(value: Any, device: Any, alias: bool, dequantize: bool) -> Any:
    try:
        return _Converter(device, alias, dequantize).tree(value)
    except _Unconvertible as failed:
        raise TypeError(str(failed)) from None


def _immutable(buffer: Any) -> bool:
    """Whether ``buffer``'s memory is a ``bytes`` object's, which never changes."""
    if type(buffer) is bytes:
        return True
    return isinstance(buffer, memoryview) and type(buffer.obj) is bytes


def loads(buffer: Any, *, device: Any = None, dequantize: bool = False) -> Any:
    """Decode one packet into JAX arrays.

    Parameters
    ----------
    buffer
        Any object exposing a byte buffer. Arrays share the memory of a
        ``bytes`` object (or a memoryview of one) where it is aligned; from
        any other buffer they are copies (see the module documentation).
    device
        A ``jax.Device`` or sharding to put the arrays on; JAX's default
        device when None.
    dequantize
        Return quantized tensors as float32 JAX arrays (their
        ``dequantize()``) instead of :class:`vamra.QuantizedTensor`.

    Returns
    -------
    Any
        A ``jax.Array``, or a dict of them, as :func:`vamra.loads` would
        return NumPy arrays; string tensors and SciPy matrices are returned
        as it does.

    Raises
    ------
    ValueError
        The buffer does not hold a well-formed packet.
    TypeError
        The packet holds 64-bit data and JAX's 64-bit types are not enabled.

    Examples
    --------
    >>> import jax.numpy as jnp, vamra, vamra.jax
    >>> packet = vamra.dumps({"w": jnp.ones(2, dtype=jnp.bfloat16)})
    >>> vamra.jax.loads(packet)["w"]
    Array([1, 1], dtype=bfloat16)
    """
    return _convert(vamra.loads(buffer), device, _immutable(buffer), dequantize)


def load(file: FileArg, *, mmap: bool = True, device: Any = None, dequantize: bool = False) -> Any:
    """Read the value saved in a file (by :func:`vamra.save`) as JAX arrays.

    Parameters
    ----------
    file
        A path, or a binary file object positioned at the packet.
    mmap
        Map the file read-only (default): on the CPU, aligned arrays are
        views of the map and nothing is read until it is touched. ``False``
        reads the file into memory, which the arrays then share.
    device
        A ``jax.Device`` or sharding to put the arrays on; JAX's default
        device when None.
    dequantize
        Return quantized tensors as float32 JAX arrays.

    Returns
    -------
    Any
        A ``jax.Array`` or a dict of them (a parameter tree as it was saved).

    Raises
    ------
    FileNotFoundError
        No such file.
    ValueError
        The file is empty, truncated, damaged or not a vamra packet.
    TypeError
        The file holds 64-bit data and JAX's 64-bit types are not enabled.

    Examples
    --------
    >>> import jax.numpy as jnp, vamra, vamra.jax
    >>> vamra.save({"w": jnp.arange(3.0)}, "/tmp/j.vmra")
    >>> vamra.jax.load("/tmp/j.vmra")["w"] + 1
    Array([1., 2., 3.], dtype=float32)
    """
    return _convert(vamra.load(file, mmap=mmap), device, True, dequantize)


def open(  # noqa: A001 - mirrors the builtin on purpose
    file: FileArg, *, device: Any = None, dequantize: bool = False
) -> Checkpoint | LazyBundle:
    """Open a file holding a saved dict; entries are decoded into JAX arrays
    when looked up.

    The file is mapped read-only; on the CPU, aligned arrays are views of the
    map.

    Parameters
    ----------
    file
        A path, or a binary file object.
    device
        A ``jax.Device`` or sharding to put the arrays on; JAX's default
        device when None.
    dequantize
        Return quantized tensors as float32 JAX arrays.

    Returns
    -------
    vamra.files.Checkpoint or vamra.files.LazyBundle
        A read-only mapping, usable as a context manager; nested dicts are
        nested mappings. Listing keys reads only the file's index (or, in a
        file without one, the framing).

    Raises
    ------
    ValueError
        The file does not hold a dict, or its framing is damaged.

    Examples
    --------
    >>> import jax.numpy as jnp, vamra, vamra.jax
    >>> vamra.save({"a": jnp.ones(2), "b": {"c": jnp.zeros(3)}}, "/tmp/s.vmra")
    >>> with vamra.jax.open("/tmp/s.vmra") as f:
    ...     f["b"]["c"]
    Array([0., 0., 0.], dtype=float32)
    """

    def convert(view: Any) -> Any:
        return _convert(vamra.loads(view), device, True, dequantize)

    converter = _Converter(device, True, dequantize)

    # A refusal raised here is told where it lies by the reader, which adds
    # the keys to it.
    return files.open_bundle(file, convert=convert, loader="vamra.jax.load", wrap=converter.leaf)
