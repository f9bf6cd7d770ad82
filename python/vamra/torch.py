"""PyTorch tensors and checkpoints.

Writing needs nothing from this module: :func:`vamra.dumps`, :func:`vamra.save`
and :meth:`vamra.QuantizedTensor.quantize` accept CPU tensors, alone or in
dicts at any depth mixed with NumPy values, so a model's ``state_dict()``
goes in as it is. A tensor is encoded from its data, as an array would be:
its bytes are copied once, into the packet or the file (a non-contiguous
tensor is made contiguous first; gradients are not stored). Entries that
share memory, such as tied weights, are stored once and read back as one
tensor. A whole training state goes in too: optimizer and scheduler state
dicts, RNG states, and Python numbers, strings, lists and tuples among them.

Reading: :func:`loads`, :func:`load` and :func:`open` mirror the functions of
the same names in :mod:`vamra` and return torch tensors; ``bfloat16`` comes
back as ``torch.bfloat16``. Uncompressed tensors are zero-copy views of the
memory they were read from, which they keep alive:

* :func:`load` and :func:`open` map the file copy-on-write: the tensors are
  writable, and writes to them never reach the file.
* :func:`loads` of a writable buffer (``bytearray``, a writable or
  copy-on-write ``mmap``, shared memory) gives writable views: writes change
  the buffer.
* :func:`loads` of ``bytes`` gives views of the ``bytes`` object. Torch has no
  read-only tensors, so they are writable in principle, but a ``bytes``
  object must not change: treat them as read-only and ``.clone()`` one before
  changing it in place.
* :func:`loads` of any other read-only buffer (a read-only ``mmap``, a
  read-only view of another object) gives copies, since a write into memory
  mapped read-only would end the process.

Compressed tensors are decompressed into memory of their own. Every tensor
handed out is aligned for its element type: files and packets written by
vamra place every tensor at a multiple of the alignment, and a misaligned
one (in a file written elsewhere) is copied.

Packets hold the element types of NumPy plus ``bfloat16``, and the float8
types as their bytes (the file records the type). Torch element types
without either (``complex32``, bit types) raise ``ValueError`` when encoded.
``uint16``, ``uint32`` and ``uint64`` come back as the torch types of those
names, whose operator support is limited in
torch; on a torch without them, reading such a tensor raises ``TypeError``
(its values are never widened or reinterpreted). String tensors, quantized
tensors (unless ``dequantize``) and SciPy matrices come back as
:func:`vamra.loads` returns them.

Examples
--------
>>> import torch, vamra, vamra.torch
>>> model = torch.nn.Linear(4, 2)
>>> vamra.save(model.state_dict(), "/tmp/linear.vmra")
>>> state = vamra.torch.load("/tmp/linear.vmra")
>>> model.load_state_dict(state)
<All keys matched successfully>
"""

from __future__ import annotations

import os
from typing import Any, Final

import numpy as np
import numpy.typing as npt

try:
    import torch
except ImportError as exc:
    raise ImportError(
        "vamra.torch needs PyTorch; install it with: pip install 'vamra[torch]'", name="torch"
    ) from exc

import vamra
from vamra import _arrays, _layout, _packets, _values, files, remote, shards
from vamra.files import FileArg, MappedFile, save
from vamra.quantize import QuantizedTensor

__all__ = ["as_array", "dumps", "load", "load_model", "loads", "open", "save", "save_model"]

dumps = vamra.dumps


# The dtype the decoder gives bfloat16 bodies: int16 bits, marked so that they
# are told apart from int16 data (NumPy keeps a dtype's metadata on views).
_BFLOAT16_BITS: Final = np.dtype(np.int16, metadata={"vamra": "bfloat16"})


def as_array(tensor: torch.Tensor) -> npt.NDArray[Any]:
    """A NumPy array over a CPU tensor's memory, as the encoders read it.

    No bytes are copied unless the tensor is not contiguous, or is a
    conjugate or negative view, in which case its values are materialised
    first. A ``bfloat16`` tensor gives an array of its 16-bit patterns whose
    dtype reports ``bfloat16`` to the encoder; use it only for encoding.

    Parameters
    ----------
    tensor
        A strided CPU tensor; one that requires grad is read from its data.

    Returns
    -------
    numpy.ndarray
        An array sharing the tensor's memory (and keeping it alive).

    Raises
    ------
    TypeError
        The tensor is on another device (call ``.cpu()`` first), a meta,
        sparse, nested or quantized tensor.
    ValueError
        Its element type has no wire code (``float8_*``, ``complex32``...).

    Examples
    --------
    >>> import torch, vamra.torch
    >>> vamra.torch.as_array(torch.arange(3)).tolist()
    [0, 1, 2]
    """
    refused = _arrays.tensor_refusal(tensor)
    if refused is not None:
        raise refused
    return _arrays.torch_array(tensor)


def encodable_array(tensor: torch.Tensor) -> npt.NDArray[Any]:
    """:func:`as_array` of a tensor already checked."""
    return _arrays.torch_array(tensor)


class _WritableAlias:
    """Describes a ``bytes`` object's memory to NumPy as writable.

    Torch has no read-only tensors and warns (once per process, so the user's
    own later warning would be lost) when given a read-only array. A ``bytes``
    object's memory is ordinary heap memory, so tensors over it are made
    through this alias instead; the documentation asks that they are not
    written to. The alias keeps the object alive.
    """

    def __init__(self, owner: bytes, address: int, size: int) -> None:
        self.owner = owner  # not a view of it, which its holder may release
        self.__array_interface__ = {
            "data": (address, False),
            "shape": (size,),
            "typestr": "|u1",
            "version": 3,
        }


def _decodable(buffer: Any) -> tuple[Any, bool]:
    """The buffer to decode in place of ``buffer``, and whether its views can
    be writable (else they are copied)."""
    try:
        view = memoryview(buffer)
    except TypeError:
        return buffer, False  # the decoder names what is wrong with it
    with view:
        if not view.readonly:
            return buffer, True
        if type(view.obj) is not bytes or not view.c_contiguous or view.nbytes == 0:
            return buffer, False
        address = np.frombuffer(view, np.uint8).ctypes.data
        return np.asarray(_WritableAlias(view.obj, address, view.nbytes)), True


class _Unconvertible(TypeError):
    """A decoded array torch has no dtype for; keys are collected on the way out."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name
        self.keys: list[str] = []


def _tensor(array: npt.NDArray[Any], writable: bool) -> torch.Tensor:
    """A tensor of a decoded array: a view when ``writable`` (every array then
    is), else a copy of a view (arrays decompressed into memory of their own
    are writable and used as they are)."""
    if not writable and not array.flags.writeable:
        array = array.copy()
    try:
        tensor = torch.from_numpy(array)
    except TypeError:
        raise _Unconvertible(array.dtype.name) from None
    return tensor.view(torch.bfloat16) if array.dtype is _BFLOAT16_BITS else tensor


def _tensors(value: Any, writable: bool, dequantize: bool) -> Any:
    if type(value) is dict:
        # The loop that state dicts of many small tensors spend their time in:
        # a writable array that is not bfloat16 goes straight to torch.
        out = {}
        from_numpy = torch.from_numpy
        for key, item in value.items():
            try:
                if type(item) is np.ndarray:
                    if writable and item.dtype is not _BFLOAT16_BITS:
                        try:
                            out[key] = from_numpy(item)
                            continue
                        except TypeError:
                            pass  # named by _tensor
                    out[key] = _tensor(item, writable)
                else:
                    out[key] = _tensors(item, writable, dequantize)
            except _Unconvertible as failed:
                failed.keys.append(key)
                raise
        return out
    if isinstance(value, np.ndarray):
        return _tensor(value, writable)
    if dequantize and isinstance(value, QuantizedTensor):
        return torch.from_numpy(value.dequantize())
    return value


def _reading(writable: bool, dequantize: bool) -> dict[str, Any]:
    """How a file's index is read into tensors: bfloat16 bodies as marked
    int16 arrays (NumPy reads them without ml_dtypes), float8 bodies as their
    bytes, viewed as torch's type, and every leaf made a tensor."""

    def float8(array: npt.NDArray[Any], name: str) -> torch.Tensor:
        kind = getattr(torch, name, None)
        if kind is None:
            raise _Unconvertible(name)
        return _tensor(array, writable).view(kind)

    from_numpy = torch.from_numpy

    def wrap(value: Any) -> Any:
        # The common case first: a writable view that is not bfloat16.
        if writable and type(value) is np.ndarray and value.dtype is not _BFLOAT16_BITS:
            try:
                return from_numpy(value)
            except TypeError:
                pass  # named by _tensor
        if isinstance(value, torch.Tensor):
            return value
        return _tensors(value, writable, dequantize)

    return {"bfloat16": _BFLOAT16_BITS, "wrap": wrap, "float8": float8}


def _read(
    buffer: Any, dequantize: bool, with_metadata: bool = False, verified: bool = False
) -> Any:
    source, writable = _decodable(buffer)
    try:
        # Views of a writable buffer stay writable; a misaligned one (in a
        # file written elsewhere) is copied.
        value, metadata, laid_out = _packets.decode(
            source,
            writable=writable,
            aligned=True,
            verified=verified,
            **_reading(writable, dequantize),
        )
        if not laid_out:
            value = _tensors(value, writable, dequantize)
        return (value, metadata) if with_metadata else value
    except _Unconvertible as failed:
        where = "".join(f"[{key!r}]" for key in reversed(failed.keys))
        at = f" at {where}" if where else ""
        raise TypeError(
            f"cannot make a torch tensor of {failed.name} data{at}: torch {torch.__version__} "
            f"has no {failed.name} dtype; read it with vamra.load as a NumPy array"
        ) from None


def loads(buffer: Any, *, dequantize: bool = False) -> Any:
    """Decode one packet into torch tensors.

    Parameters
    ----------
    buffer
        Any object exposing a byte buffer. Uncompressed tensors are views of
        it (which keep it alive): writable views of a writable buffer; views
        of a ``bytes`` object, which must not be written to in place; copies
        from any other read-only buffer (see the module documentation).
    dequantize
        Return quantized tensors as float32 torch tensors (their
        ``dequantize()``) instead of :class:`vamra.QuantizedTensor`.

    Returns
    -------
    Any
        A tensor, or a dict of them, as :func:`vamra.loads` would return
        arrays; string tensors and SciPy matrices are returned as it does.

    Raises
    ------
    ValueError
        The buffer does not hold a well-formed packet.
    TypeError
        The packet holds an element type the installed torch has no dtype for.

    Examples
    --------
    >>> import torch, vamra, vamra.torch
    >>> packet = vamra.dumps({"w": torch.ones(2, dtype=torch.bfloat16)})
    >>> vamra.torch.loads(packet)["w"]
    tensor([1., 1.], dtype=torch.bfloat16)
    """
    return _read(buffer, dequantize)


def load(
    file: FileArg,
    *,
    mmap: bool = True,
    writable: bool = True,
    dequantize: bool = False,
    storage_options: dict[str, Any] | None = None,
    device: str | torch.device | None = None,
) -> Any:
    """Read the value saved in a file (by :func:`vamra.save`) as torch tensors.

    Parameters
    ----------
    file
        A path, a URL of any fsspec filesystem (read with one streamed
        request into memory the tensors share), or a binary file object
        positioned at the packet; a directory or a ``*.vmra.index.json`` path
        reads a sharded checkpoint (every shard, into one dict).
    mmap
        Map the file (default): tensors are views into a copy-on-write map,
        nothing is read until it is touched, and writes to the tensors never
        reach the file. ``False`` reads the file into memory instead.
    writable
        Tensors may be written to in place (default). Torch has no read-only
        tensors, so with ``mmap`` the map is copy-on-write either way;
        ``writable=False`` with ``mmap=False`` reads the file into a ``bytes``
        object that the tensors share (one copy fewer), and they must then
        not be written to in place.
    dequantize
        Return quantized tensors as float32 tensors.
    storage_options
        For a URL: the filesystem's options, as pandas and Dask take them.
    device
        Where tensors are put: ``"cpu"`` (the default: views of the map),
        ``"meta"`` (tensors of the saved shapes and types without data:
        nothing but the file's index is read), or any device string torch
        accepts (``"cuda:0"``...), to which the tensors read on the CPU are
        moved; entries that share memory stay one tensor there. On a machine
        without that device torch's own error is raised. Only ``cpu`` and
        ``meta`` are tested here.

    Returns
    -------
    Any
        A tensor or a dict of them (a ``state_dict`` as it was saved).

    Raises
    ------
    FileNotFoundError
        No such file.
    ValueError
        The file is empty, truncated, damaged or not a vamra packet.
    TypeError
        The file holds an element type the installed torch has no dtype for.
    RuntimeError
        Torch does not know ``device`` or cannot use it (torch's error).

    Examples
    --------
    >>> import torch, vamra, vamra.torch
    >>> vamra.save({"w": torch.arange(3.0)}, "/tmp/t.vmra")
    >>> vamra.torch.load("/tmp/t.vmra")["w"].add_(1)
    tensor([1., 2., 3.])
    """
    target = None if device is None else torch.device(device)
    if shards.handles(file):
        return shards.load(
            file,
            load_file=lambda shard: load(
                shard, mmap=mmap, writable=writable, dequantize=dequantize, device=device
            ),
        )
    if target is not None and target.type == "meta":
        return _meta(file, dequantize)
    value = _load_cpu(file, mmap, writable, dequantize, storage_options)
    if target is None or target.type == "cpu":
        return value
    return _moved(value, target, {})


def _load_cpu(
    file: FileArg,
    mmap: bool,
    writable: bool,
    dequantize: bool,
    storage_options: dict[str, Any] | None = None,
) -> Any:
    file = files._where(file, storage_options)
    if remote.is_remote(file):
        buffer, checked, name = files.download(file, storage_options)
        try:
            return _read(buffer, dequantize, verified=checked)
        except ValueError as exc:
            raise ValueError(f"{name}: {exc}") from exc
    source = MappedFile(file, writable=writable or mmap, mmap=mmap)
    try:
        try:
            return _read(source.buffer, dequantize)
        except ValueError as exc:
            raise ValueError(f"{source.name}: {exc}") from exc
    finally:
        # The tensors keep the map alive; nothing else needs it.
        source.buffer = None


def open(  # noqa: A001
    file: FileArg, *, dequantize: bool = False, storage_options: dict[str, Any] | None = None
) -> Any:
    """Open a file holding a saved dict; entries are decoded into torch
    tensors when looked up.

    The file is mapped copy-on-write: tensors are writable views of the map,
    and writes to them never reach the file.

    Parameters
    ----------
    file
        A path, a URL of any fsspec filesystem (read with ranged reads: the
        head and index when opened, one read per entry looked up), or a
        binary file object.
    dequantize
        Return quantized tensors as float32 tensors.
    storage_options
        For a URL: the filesystem's options, as pandas and Dask take them.

    Returns
    -------
    vamra.files.Checkpoint or vamra.files.LazyBundle or vamra.shards.ShardedCheckpoint
        A read-only mapping, usable as a context manager; nested dicts are
        nested mappings. Listing keys reads only the index (a sharded
        checkpoint's shards are opened when one of their keys is read).

    Raises
    ------
    ValueError
        The file does not hold a dict, or its framing is damaged.

    Examples
    --------
    >>> import torch, vamra, vamra.torch
    >>> vamra.save({"a": torch.ones(2), "b": {"c": torch.zeros(3)}}, "/tmp/s.vmra")
    >>> with vamra.torch.open("/tmp/s.vmra") as f:
    ...     f["b"]["c"]
    tensor([0., 0., 0.])
    """

    if shards.handles(file):
        return shards.open(file, open_file=lambda shard: open(shard, dequantize=dequantize))

    def convert(view: Any) -> Any:
        return loads(view, dequantize=dequantize)

    return files.open_bundle(
        file,
        writable=True,
        convert=convert,
        loader="vamra.torch.load",
        storage_options=storage_options,
        **_reading(True, dequantize),
    )


def _moved(value: Any, device: torch.device, moved: dict[int, torch.Tensor]) -> Any:
    """``value`` with its tensors on ``device``; a tensor under several names
    (tied weights) is moved once and stays one tensor."""
    if isinstance(value, torch.Tensor):
        found = moved.get(id(value))
        if found is None:
            found = moved[id(value)] = value.to(device)
        return found
    if type(value) is dict:
        return {key: _moved(item, device, moved) for key, item in value.items()}
    if type(value) in (list, tuple):
        items = [_moved(item, device, moved) for item in value]
        return items if type(value) is list else tuple(items)
    return value


def _meta_dtype(name: str) -> torch.dtype:
    kind = getattr(torch, name, None)
    if not isinstance(kind, torch.dtype):
        raise TypeError(
            f"cannot make a torch tensor of {name} data: torch {torch.__version__} has no "
            f"{name} dtype; read it with vamra.load as a NumPy array"
        )
    return kind


def _meta(file: FileArg, dequantize: bool) -> Any:
    """The value of a file with its tensors on the meta device: shapes and
    types from the index (or the packet headers of a file without one); no
    tensor's data is read. Values that are not tensors (strings, sparse
    matrices, quantized tensors unless ``dequantize``) are read as usual."""
    source = MappedFile(file, writable=True)
    try:
        buffer = source.view()
        try:
            index = _layout.read_index(buffer)
            if index is None:
                return _meta_packet(source, 0, len(buffer), dequantize)
            reader = _layout.Reader(index, buffer, name=source.name, writable=True,
                                    **_reading(True, dequantize))  # fmt: skip
            return _meta_node(reader, 0, {}, 0, dequantize)
        except ValueError as exc:
            if str(exc).startswith(source.name):
                raise
            raise ValueError(f"{source.name}: {exc}") from exc
    finally:
        source.buffer = None


def _meta_node(
    reader: _layout.Reader,
    i: int,
    made: dict[tuple[Any, ...], torch.Tensor],
    depth: int,
    dequantize: bool,
) -> Any:
    if depth > _values.MAX_DEPTH + 1:
        raise ValueError("damaged vamra file index: it nests too deep")
    index = reader.index
    _, kind, _, dtype, _, _, _, a, b, c, d = index.record(i)
    if kind in _layout.CONTAINERS:
        items = [
            (index.key(j), _meta_node(reader, j, made, depth + 1, dequantize))
            for j in index.children(i)
        ]
        if kind == _layout.DICT:
            out = dict(items)
            if len(out) != len(items):
                raise ValueError("damaged vamra file index: a dict holds a key twice")
            return out
        values = [value for _, value in items]
        return values if kind == _layout.LIST else tuple(values)
    if kind == _layout.ARRAY:
        shape = index.shape(c, d)
        key = (dtype, a, b, shape)
        found = made.get(key) if b else None
        if found is None:
            name = _layout.DTYPE_NAMES.get(dtype)
            if name is None:
                raise ValueError(f"damaged vamra file index: unknown element type {dtype}")
            found = torch.empty(shape, dtype=_meta_dtype(name), device="meta")
            if b:
                made[key] = found
        return found
    if kind == _layout.QUANTIZED and dequantize:
        return torch.empty(index.shape(c, d), dtype=torch.float32, device="meta")
    return reader.leaf(kind, dtype, a, b, c, d)


def _meta_packet(source: MappedFile, offset: int, length: int, dequantize: bool) -> Any:
    """A plain packet's value with dense arrays on the meta device, from headers alone."""
    ext = files._ext()
    buffer = source.view()
    info = ext.describe(buffer, offset, length)
    if info["kind"] == "dense":
        return torch.empty(tuple(info["shape"]), dtype=_meta_dtype(info["dtype"]), device="meta")
    if info["kind"] == "bundle":
        return {
            key: _meta_packet(source, start, size, dequantize)
            for key, start, size, _ in ext.index(buffer, offset, length)
        }
    return loads(memoryview(buffer)[offset : offset + length], dequantize=dequantize)


def save_model(
    model: torch.nn.Module, path: Any, metadata: dict[str, str] | None = None, **options: Any
) -> None:
    """Save a module's ``state_dict()`` to a file (or a sharded checkpoint).

    Parameters that are tied (one tensor under several names, such as an
    embedding shared with the output layer) are stored once; every name is
    kept, so the file loads into the module with no key missing.

    Parameters
    ----------
    model
        The module; its tensors must be on the CPU.
    path
        A file path, or a directory or ``*.vmra.index.json`` path for a
        sharded checkpoint.
    metadata
        Str to str metadata saved with it.
    **options
        Other options of :func:`vamra.save` (``max_shard_size``, ``workers``,
        ``fsync``, ``check_integrity``, ``compress``, ``alignment``).

    Raises
    ------
    TypeError, ValueError
        As :func:`vamra.save` raises them, before anything is written.

    Examples
    --------
    >>> import torch, vamra.torch
    >>> model = torch.nn.Linear(4, 2)
    >>> vamra.torch.save_model(model, "/tmp/model.vmra", metadata={"arch": "linear"})
    """
    vamra.save(model.state_dict(), path, metadata=metadata, **options)


def load_model(
    model: torch.nn.Module,
    path: Any,
    strict: bool = True,
    device: str | torch.device | None = None,
) -> Any:
    """Load a file saved by :func:`save_model` (or any saved state dict) into a module.

    The tensors are copied into the module's own parameters and buffers, so
    weights the module ties stay tied, and the file may be replaced or
    removed afterwards.

    Parameters
    ----------
    model
        The module to fill.
    path
        A file, or a sharded checkpoint's directory or index path.
    strict
        Require the keys to match the module's exactly, as
        ``load_state_dict`` does.
    device
        Where the file's tensors are read to first (see :func:`load`); the
        CPU by default.

    Returns
    -------
    NamedTuple
        ``load_state_dict``'s result: ``missing_keys`` and ``unexpected_keys``.

    Raises
    ------
    RuntimeError
        With ``strict``, keys are missing or unexpected, or a shape differs:
        ``load_state_dict``'s own error, naming them.

    Examples
    --------
    >>> import torch, vamra.torch
    >>> model = torch.nn.Linear(4, 2)
    >>> vamra.torch.save_model(model, "/tmp/model.vmra")
    >>> vamra.torch.load_model(torch.nn.Linear(4, 2), "/tmp/model.vmra")
    <All keys matched successfully>
    """
    state = load(path, device=device)
    if not isinstance(state, dict):
        raise ValueError(f"{os.fspath(path)}: holds a {type(state).__name__}, not a state dict")
    return model.load_state_dict(state, strict=strict)
