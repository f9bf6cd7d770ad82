"""Dask's distributed scheduler moving values as vamra packets: the ``"vamra"`` family.

Importing this module registers a serialization family named ``"vamra"`` with
``distributed``. It moves NumPy arrays, SciPy sparse matrices (COO, CSR, CSC),
:class:`~vamra.StringTensor` and :class:`~vamra.QuantizedTensor` values, and
dicts of them; anything else raises ``NotImplementedError`` so that the next
family in the list takes it.

Workers use it once they import it and ask their peers for it. Either preload
it::

    LocalCluster(..., preload=["vamra.dask"])      # or: dask worker --preload vamra.dask
                                                   # or: distributed.worker.preload: [vamra.dask]

or, on a running cluster, ``client.register_plugin(vamra.dask.WorkerSetup())``.
The client names the family too::

    Client(cluster, serializers=vamra.dask.SERIALIZERS, deserializers=vamra.dask.SERIALIZERS)

How a value travels: the body of every array large enough to matter is a
frame of its own, a view of the array's memory; the rest of its packet, the
prefix (header, shape, padding) and the checksum footer, is a few bytes that
ride in Dask's header, with the structure of dicts and sparse matrices. Small
packets share frames. On receipt the codec parses each prefix, the footer is
checked against the body frame, and the array is a view of the received frame:
no frame is joined or copied. String and quantized tensors travel as one
packet each.

Checksums are off by default, as they are for Dask's own serializers (TCP
checks its segments; what it misses is rare). Turned on, every packet carries
its XXH3 footer and a body damaged in transit raises ``ValueError`` on the
receiving worker instead of being computed on. They cost a pass over the
data on each side, about a tenth of a move between two local workers. The
sender decides: ``dask.config.set({"vamra.checksum": True})`` in the workers
(the ``vamra.checksum`` key, also in a Dask config file or as the environment
variable ``DASK_VAMRA__CHECKSUM=True``); a receiver checks every footer that
arrives.
"""

from __future__ import annotations

import importlib
import math
import sys
from typing import Any, Final

import numpy as np

import vamra
import vamra_rs
from vamra import _native
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

try:
    import dask
    from distributed.diagnostics.plugin import WorkerPlugin
    from distributed.protocol.serialize import register_serialization_family
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"vamra.dask needs dask and distributed ({exc}); "
        "install them with: pip install 'vamra[dask]'",
        name=exc.name,
    ) from exc

__all__ = ["FAMILY", "SERIALIZERS", "WorkerSetup", "dask_setup", "dumps", "loads", "use_on"]

FAMILY: Final = "vamra"
"""The family's name in ``distributed``."""
SERIALIZERS: Final = (FAMILY, "dask", "pickle")
"""The families to name on clients and workers, in order (vamra first, then Dask's own)."""
CHECKSUM_KEY: Final = "vamra.checksum"
"""The Dask configuration key that turns checksums on (default False)."""

# Bodies at least this long travel as frames of their own (views of the array);
# smaller ones are copied into the frame their neighbours share.
_OWN_FRAME: Final = 64 << 10
_LAYOUT: Final = 1
_SPARSE_PARTS: Final = {"csr": ("data", "indices", "indptr"), "csc": ("data", "indices", "indptr")}
_SPARSE_CLASSES: Final = frozenset(
    f"{fmt}_{kind}" for fmt in ("csr", "csc", "coo") for kind in ("matrix", "array")
)
_MAX_DEPTH: Final = 64


class _Declined(Exception):
    """The value holds something this family does not carry."""


# ---------------------------------------------------------------------------
# Sending


class _Frames:
    """Frames under construction: large bodies as views, everything else packed
    into shared frames. A reference is [frame, offset, length]."""

    def __init__(self) -> None:
        self.frames: list[bytes | memoryview] = []
        self._small = bytearray()

    def small(self, data: bytes | memoryview) -> list[int]:
        ref = [len(self.frames), len(self._small), len(data)]
        self._small += data
        return ref

    def own(self, data: memoryview) -> list[int]:
        self._flush()
        self.frames.append(data)
        return [len(self.frames) - 1, 0, len(data)]

    def _flush(self) -> None:
        if self._small:
            self.frames.append(bytes(self._small))
            self._small = bytearray()

    def done(self) -> list[bytes | memoryview]:
        self._flush()
        return self.frames


def _array(x: np.ndarray[Any, Any], out: _Frames, checksum: bool) -> list[Any]:
    """An array as a node: its packet's prefix, body and footer, or the whole packet."""
    if not (x.flags.c_contiguous and x.dtype.isnative) or x.dtype.hasobject:
        raise _Declined
    try:
        parts = _native.pieces(x, None, None, check_integrity=checksum)
    except (ValueError, TypeError):
        raise _Declined from None  # an element type packets do not carry
    if (
        x.nbytes >= _OWN_FRAME
        and len(parts) == 2 + checksum
        and isinstance(parts[1], memoryview)
        and np.dtype(x.dtype.str) == x.dtype
    ):
        # The prefix and the footer are a few bytes: they ride in the header,
        # and the body is the frame.
        footer = int.from_bytes(parts[2], "little") if checksum else None
        return ["a", x.dtype.str, parts[0], out.own(parts[1]), footer]
    packet = b"".join(parts)
    return ["p", out.small(packet)]


def _node(value: Any, out: _Frames, checksum: bool, depth: int) -> list[Any]:
    if type(value) is np.ndarray:
        return _array(value, out, checksum)
    if type(value) is dict:
        if depth >= _MAX_DEPTH or not all(type(key) is str for key in value):
            raise _Declined
        return ["d", [[key, _node(item, out, checksum, depth + 1)] for key, item in value.items()]]
    if isinstance(value, (StringTensor, QuantizedTensor)):
        packet = vamra.dumps(value, check_integrity=checksum)
        ref = out.own(memoryview(packet)) if len(packet) >= _OWN_FRAME else out.small(packet)
        return ["p", ref]
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None and sparse.issparse(value):
        name = type(value).__name__
        if name not in _SPARSE_CLASSES or value.ndim != 2:
            raise _Declined
        if value.format == "coo":
            parts = [value.data, value.row, value.col]
        else:
            parts = [getattr(value, part) for part in _SPARSE_PARTS[value.format]]
        nodes = [_array(np.asarray(part), out, checksum) for part in parts]
        return ["s", name, list(value.shape), nodes]
    raise _Declined


def dumps(value: Any, context: dict[str, Any] | None = None) -> tuple[dict[str, Any], list[Any]]:
    """Serializes `value` for ``distributed`` as vamra packets.

    Parameters
    ----------
    value
        A NumPy array, a SciPy COO/CSR/CSC matrix or array, a StringTensor, a
        QuantizedTensor, or a dict with str keys of these (nested).
    context
        What ``distributed`` passes to serializers; unused.

    Returns
    -------
    tuple
        Dask's header (the value's structure and where each packet lies in
        the frames) and the frames: bytes, and memoryviews of the arrays.

    Raises
    ------
    NotImplementedError
        The value, or something inside it, is not carried by this family:
        ``distributed`` then tries the next family.

    Examples
    --------
    >>> import numpy as np
    >>> import vamra.dask
    >>> header, frames = vamra.dask.dumps({"w": np.ones((512, 512), np.float32)})
    >>> [frame.nbytes for frame in frames]   # the array's own memory
    [1048576]
    >>> vamra.dask.loads(header, frames)["w"].shape
    (512, 512)
    """
    checksum = bool(dask.config.get(CHECKSUM_KEY, False))
    out = _Frames()
    try:
        tree = _node(value, out, checksum, 0)
    except _Declined:
        raise NotImplementedError(f"vamra does not carry {type(value).__name__}") from None
    return {"vamra": _LAYOUT, "tree": tree}, out.done()


# ---------------------------------------------------------------------------
# Receiving


class _Reader:
    def __init__(self, frames: list[Any]) -> None:
        self.views: list[memoryview] = [memoryview(frame).cast("B") for frame in frames]
        self.path: list[str] = []

    def slice(self, ref: Any) -> memoryview:
        frame, offset, length = ref
        view: memoryview = self.views[frame]
        if offset == 0 and length == len(view):
            return view
        if offset + length > len(view):
            raise self.error("a packet lies outside its frame")
        part: memoryview = view[offset : offset + length]
        return part

    def error(self, text: str) -> ValueError:
        where = "".join(f"[{key!r}]" for key in self.path) or "the value"
        return ValueError(f"vamra packet for {where}: {text}")


_dtypes: dict[str, tuple[np.dtype[Any], int]] = {}


def _dtype_of(name: str) -> tuple[np.dtype[Any], int]:
    """The dtype named `name` and the wire code the codec gives it (learnt from
    an empty packet, so that no table of codes is kept here)."""
    known = _dtypes.get(name)
    if known is None:
        dtype = np.dtype(name)
        code = vamra_rs.get_packet_info_rs(vamra_rs.dumps_rs(np.empty(0, dtype)))["dtype_code"]
        known = _dtypes[name] = (dtype, int(code))
    return known


def _read_array(node: Any, reader: _Reader) -> Any:
    if node[0] == "p":
        view = reader.slice(node[1])
        try:
            return _native.loads(view, writable=not view.readonly)
        except ValueError as error:
            raise reader.error(str(error)) from None
    _, dtype_str, prefix, body_ref, footer = node
    body = reader.slice(body_ref)
    try:
        info = vamra_rs.get_packet_info_rs(prefix)
    except (ValueError, TypeError) as error:
        raise reader.error(f"damaged header ({error})") from None
    dtype, code = _dtype_of(dtype_str)
    shape = info["shape"]
    if info["dtype_code"] != code or len(body) != dtype.itemsize * math.prod(shape):
        raise reader.error("the header does not match the body it came with")
    if info["integrity_protected"]:
        if footer is None:
            raise reader.error("the checksum footer is missing")
        if footer != _native.xxh3_64(body):
            raise reader.error("checksum mismatch: the data was damaged in transit")
    return np.frombuffer(body, dtype).reshape(shape)


def _read(node: Any, reader: _Reader) -> Any:
    kind = node[0]
    if kind == "d":
        result = {}
        for key, item in node[1]:
            reader.path.append(key)
            result[key] = _read(item, reader)
            reader.path.pop()
        return result
    if kind == "s":
        sparse = importlib.import_module("scipy.sparse")
        _, name, shape, parts = node
        if name not in _SPARSE_CLASSES:
            raise reader.error(f"unknown sparse class {name!r}")
        data, first, second = (_read_array(part, reader) for part in parts)
        make = getattr(sparse, name)
        if name.startswith("coo"):
            return make((data, (first, second)), shape=tuple(shape))
        return make((data, first, second), shape=tuple(shape))
    if kind in ("a", "p"):
        return _read_array(node, reader)
    raise reader.error(f"unknown node {kind!r}")


def loads(header: dict[str, Any], frames: list[Any]) -> Any:
    """Rebuilds the value :func:`dumps` serialized, viewing arrays in the frames.

    Parameters
    ----------
    header
        The header :func:`dumps` returned (as ``distributed`` delivers it).
    frames
        The frames, as received.

    Returns
    -------
    Any
        The value. Arrays are views of the frames (writable when the frames are).

    Raises
    ------
    ValueError
        A packet is damaged: a checksum does not match its body, or a header
        does not parse; the message names the key path of the value.

    Examples
    --------
    >>> import numpy as np
    >>> import vamra.dask
    >>> header, frames = vamra.dask.dumps(np.arange(3))
    >>> vamra.dask.loads(header, frames).tolist()
    [0, 1, 2]
    """
    if header.get("vamra") != _LAYOUT:
        raise ValueError(f"vamra: unknown header layout {header.get('vamra')!r}")
    return _read(header["tree"], _Reader(frames))


register_serialization_family(FAMILY, dumps, loads)  # type: ignore[no-untyped-call]


# ---------------------------------------------------------------------------
# Workers


def use_on(worker: Any) -> None:
    """Makes `worker` ask its peers for values in the vamra family first.

    A worker fetching a value tells the worker that holds it which families
    to send it in; this sets that list (and the one it sends with) to
    :data:`SERIALIZERS`.

    Parameters
    ----------
    worker
        A ``distributed.Worker``.

    Examples
    --------
    >>> def dask_setup(worker):   # a preload module of your own
    ...     import vamra.dask
    ...     vamra.dask.use_on(worker)
    """
    worker.rpc.serializers = list(SERIALIZERS)
    worker.rpc.deserializers = list(SERIALIZERS)


def dask_setup(worker: Any) -> None:
    """The preload hook: ``--preload vamra.dask`` registers the family and calls :func:`use_on`.

    Examples
    --------
    >>> from distributed import LocalCluster
    >>> cluster = LocalCluster(preload=["vamra.dask"])  # doctest: +SKIP
    """
    use_on(worker)


class WorkerSetup(WorkerPlugin):
    """A worker plugin that does what preloading does, on a running cluster.

    Examples
    --------
    >>> import vamra.dask
    >>> client.register_plugin(vamra.dask.WorkerSetup())  # doctest: +SKIP
    """

    name = "vamra-serialization"

    def setup(self, worker: Any) -> None:
        use_on(worker)
