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
The client names the family too, then checks that the workers have it::

    client = Client(cluster, serializers=vamra.dask.SERIALIZERS,
                    deserializers=vamra.dask.SERIALIZERS)
    vamra.dask.check(client)

A worker without the family fails what the client sends it in the family and
never answers what the client asks of it in it; :func:`check` finds such
workers and falls back to Dask's own serializers (with a warning) or fails.

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
arrives. With or without them, every field of the header is checked
before it is used, and a sparse matrix's indices against its shape before
SciPy sees them: a damaged or hostile header raises ``ValueError`` naming
the key, and nothing else.
"""

from __future__ import annotations

import importlib
import math
import reprlib
import sys
import warnings
from typing import Any, Final

import numpy as np

import vamra
import vamra_rs
from vamra import _dask_probe, _native
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

__all__ = [
    "FAMILY",
    "SERIALIZERS",
    "WorkerSetup",
    "check",
    "dask_setup",
    "dumps",
    "loads",
    "use_on",
]

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
    """Reads a header's tree against the frames, checking every field it reads:
    the header comes from the peer as it is, and nothing covers it."""

    def __init__(self, frames: Any) -> None:
        self.path: list[str] = []
        if not isinstance(frames, (list, tuple)):
            raise self.error(f"the frames are a {type(frames).__name__}, not a list")
        self.views: list[memoryview] = []
        for number, frame in enumerate(frames):
            try:
                self.views.append(memoryview(frame).cast("B"))
            except (TypeError, ValueError):
                raise self.error(f"frame {number} is not one run of bytes") from None

    def error(self, text: str) -> ValueError:
        where = "".join(f"[{key!r}]" for key in self.path) or "the value"
        return ValueError(f"vamra packet for {where}: {text}")

    def slice(self, ref: Any) -> memoryview:
        """The bytes a reference [frame, offset, length] names, inside its frame."""
        if not (_is_sequence(ref) and len(ref) == 3 and all(_is_count(n) for n in ref)):
            raise self.error(f"damaged frame reference {_shown(ref)}")
        frame, offset, length = ref
        if frame >= len(self.views):
            raise self.error(f"frame {frame} does not exist ({len(self.views)} arrived)")
        view: memoryview = self.views[frame]
        if offset == 0 and length == len(view):
            return view
        if offset + length > len(view):
            raise self.error("a packet lies outside its frame")
        part: memoryview = view[offset : offset + length]
        return part


def _is_sequence(value: Any) -> bool:
    # Dask delivers the header through msgpack, which gives lists or tuples.
    return type(value) in (list, tuple)


def _is_count(value: Any) -> bool:
    """An int (not a bool) that can count bytes or elements."""
    return type(value) is int and 0 <= value < 1 << 63


_SHOWN: Final = reprlib.Repr()
_SHOWN.maxlevel, _SHOWN.maxlist, _SHOWN.maxtuple, _SHOWN.maxdict = 2, 4, 4, 4
_SHOWN.maxstring, _SHOWN.maxlong, _SHOWN.maxother = 40, 40, 40


def _shown(value: Any) -> str:
    """A short text of a damaged field, for the error: never deeper or longer
    than a few items, however the peer nested it."""
    return _SHOWN.repr(value)


# The byte orders and element types the family sends in an "a" node: the
# native ones that packets carry (bfloat16 and the quantized types travel as
# whole packets). Anything else, ">f8" on a little-endian machine, is refused
# rather than read as other values.
_ARRAY_DTYPES: Final = frozenset(
    np.dtype(name).str
    for name in (
        "bool",
        "int8",
        "int16",
        "int32",
        "int64",
        "uint8",
        "uint16",
        "uint32",
        "uint64",
        "float16",
        "float32",
        "float64",
        "complex64",
        "complex128",
    )
)
_dtypes: dict[str, tuple[np.dtype[Any], int]] = {}
# Flags an array's prefix may carry: alignment and the checksum footer. A
# compressed, sparse, string or bundle packet never travels as an "a" node.
_PREFIX_FLAGS: Final = 0x3


def _dtype_of(name: str) -> tuple[np.dtype[Any], int]:
    """The dtype named `name` (one of _ARRAY_DTYPES) and the wire code the codec
    gives it (learnt from an empty packet, so that no table of codes is kept here)."""
    known = _dtypes.get(name)
    if known is None:
        dtype = np.dtype(name)
        code = vamra_rs.get_packet_info_rs(vamra_rs.dumps_rs(np.empty(0, dtype)))["dtype_code"]
        known = _dtypes[name] = (dtype, int(code))
    return known


def _read_packet(node: Any, reader: _Reader) -> Any:
    """A "p" node: one whole packet, decoded by the package's own reader."""
    if len(node) != 2:
        raise reader.error("damaged packet node")
    view = reader.slice(node[1])
    try:
        return _native.loads(view, writable=not view.readonly)
    except (ValueError, TypeError) as error:
        raise reader.error(str(error)) from None


def _read_array(node: Any, reader: _Reader) -> Any:
    if node[0] == "p":
        return _read_packet(node, reader)
    if len(node) != 5:
        raise reader.error("damaged array node")
    _, dtype_str, prefix, body_ref, footer = node
    if type(dtype_str) is not str or dtype_str not in _ARRAY_DTYPES:
        raise reader.error(f"element type {_shown(dtype_str)} is not one the family sends")
    if type(prefix) is not bytes:
        raise reader.error("damaged header (the prefix is not bytes)")
    if footer is not None and not (type(footer) is int and 0 <= footer < 1 << 64):
        raise reader.error(f"damaged checksum footer {_shown(footer)}")
    body = reader.slice(body_ref)
    try:
        info = vamra_rs.get_packet_info_rs(prefix)
    except (ValueError, TypeError) as error:
        raise reader.error(f"damaged header ({error})") from None
    dtype, code = _dtype_of(dtype_str)
    shape = info["shape"]
    if (
        info["flags"] & ~_PREFIX_FLAGS
        or info["dtype_code"] != code
        or len(body) != dtype.itemsize * math.prod(shape)
    ):
        raise reader.error("the header does not match the body it came with")
    if info["integrity_protected"]:
        if footer is None:
            raise reader.error("the checksum footer is missing")
        if footer != _native.xxh3_64(body):
            raise reader.error("checksum mismatch: the data was damaged in transit")
    elif footer is not None:
        raise reader.error("a checksum footer came with a header that has none")
    return np.frombuffer(body, dtype).reshape(shape)


def _read_sparse(node: Any, reader: _Reader) -> Any:
    if len(node) != 4:
        raise reader.error("damaged sparse node")
    _, name, shape, parts = node
    if type(name) is not str or name not in _SPARSE_CLASSES:
        raise reader.error(f"unknown sparse class {_shown(name)}")
    if not (_is_sequence(shape) and len(shape) == 2 and all(_is_count(n) for n in shape)):
        raise reader.error(f"damaged sparse shape {_shown(shape)}")
    if not (_is_sequence(parts) and len(parts) == 3):
        raise reader.error("a sparse matrix needs three arrays")
    arrays = []
    for part in parts:
        if not (_is_sequence(part) and part and part[0] in ("a", "p")):
            raise reader.error("a sparse matrix's part is not an array")
        array = _read_array(part, reader)
        if type(array) is not np.ndarray or array.ndim != 1:
            raise reader.error("a sparse matrix's part is not a one-dimensional array")
        arrays.append(array)
    data, first, second = arrays
    fmt = name[:3]
    # SciPy trusts indices: one outside the shape makes its kernels write
    # outside their arrays. Nothing covers the shape, and the index frames
    # carry no checksum unless the sender turned checksums on.
    try:
        _native.check_sparse(fmt, shape, data, first, second)
    except ValueError as error:
        raise reader.error(f"the matrix's arrays do not fit its shape ({error})") from None
    sparse = importlib.import_module("scipy.sparse")
    make = getattr(sparse, name)
    try:
        if fmt == "coo":
            matrix = make((data, (first, second)), shape=tuple(shape))
        else:
            matrix = make((data, first, second), shape=tuple(shape))
    except (ValueError, TypeError) as error:
        raise reader.error(f"SciPy refused the matrix ({error})") from None
    _keep_index_type(matrix, fmt, first, second)
    return matrix


def _keep_index_type(matrix: Any, fmt: str, first: Any, second: Any) -> None:
    """Gives `matrix` back the index arrays it was sent with where SciPy narrowed
    them: it picks int32 for indices that fit, while Dask's own serializer and
    pickle keep int64. Only a pair of one type SciPy's kernels take is kept."""
    if first.dtype != second.dtype or first.dtype not in (np.int32, np.int64):
        return
    if fmt == "coo":
        if matrix.row.dtype != first.dtype:
            matrix.coords = (first, second)
    elif matrix.indices.dtype != first.dtype:
        matrix.indices, matrix.indptr = first, second


def _read(node: Any, reader: _Reader, depth: int) -> Any:
    if not (_is_sequence(node) and node):
        raise reader.error(f"damaged node {_shown(node)}")
    kind = node[0]
    if kind == "d":
        if depth >= _MAX_DEPTH:
            raise reader.error(f"dicts nested more than {_MAX_DEPTH} deep")
        if len(node) != 2 or not _is_sequence(node[1]):
            raise reader.error("damaged dict node")
        result = {}
        for item in node[1]:
            if not (_is_sequence(item) and len(item) == 2 and type(item[0]) is str):
                raise reader.error(f"damaged dict entry {_shown(item)}")
            key, value = item
            reader.path.append(key)
            result[key] = _read(value, reader, depth + 1)
            reader.path.pop()
        return result
    if kind == "s":
        return _read_sparse(node, reader)
    if kind in ("a", "p"):
        return _read_array(node, reader)
    raise reader.error(f"unknown node {_shown(kind)}")


def loads(header: dict[str, Any], frames: list[Any]) -> Any:
    """Rebuilds the value :func:`dumps` serialized, viewing arrays in the frames.

    Every field of the header is checked before it is used, and every sparse
    matrix's indices against its shape: a header or frame damaged in transit,
    or made up by a hostile peer, raises ``ValueError`` and nothing else.

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
        Sparse matrices keep the index type they were sent with.

    Raises
    ------
    ValueError
        A packet is damaged: a checksum does not match its body, a header
        field is malformed or does not match its frames, or a sparse matrix's
        indices lie outside its shape; the message names the key path of the
        value.
    ImportError
        A sparse matrix arrived and SciPy is not installed.

    Examples
    --------
    >>> import numpy as np
    >>> import vamra.dask
    >>> header, frames = vamra.dask.dumps(np.arange(3))
    >>> vamra.dask.loads(header, frames).tolist()
    [0, 1, 2]
    """
    if not isinstance(header, dict):
        raise ValueError(f"vamra: the header is a {type(header).__name__}, not a dict")
    layout = header.get("vamra")
    if type(layout) is not int or layout != _LAYOUT:
        raise ValueError(f"vamra: unknown header layout {_shown(layout)}")
    if "tree" not in header:
        raise ValueError("vamra: the header has no tree")
    return _read(header["tree"], _Reader(frames), 0)


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


_HOW_TO_LOAD: Final = (
    "load the family on every worker: LocalCluster(..., preload=['vamra.dask']), "
    "`dask worker --preload vamra.dask`, the distributed.worker.preload setting, or "
    "client.register_plugin(vamra.dask.WorkerSetup())"
)


def _drop_family(rpc: Any) -> None:
    """Takes this family off the lists of a connection pool or an rpc handle: it
    neither sends in it nor asks for answers in it (None stays None: Dask's defaults)."""
    for attribute in ("serializers", "deserializers"):
        names = getattr(rpc, attribute)
        if names is not None:
            setattr(rpc, attribute, [name for name in names if name != FAMILY])


def check(client: Any, *, fallback: bool = True) -> None:
    """Checks that every worker of `client` has the family; falls back or fails fast if not.

    A worker that did not load the family cannot decode what a client sends
    in it (``scatter`` fails with ``KeyError: 'vamra'``), nor encode what the
    client asks of it in it (``gather`` and results wait for ever). Call this
    once the client and its workers are up.

    When no worker has the family and `fallback` is true, the client stops
    naming the family and uses Dask's own serializers, and a
    ``RuntimeWarning`` says how to load the family. When only some workers
    have it, those would still ask the others for it, so nothing can fall
    back: that, or `fallback` false, raises ``RuntimeError``. Workers that
    join later are not checked.

    Parameters
    ----------
    client
        A connected ``distributed.Client``.
    fallback
        Whether a cluster without the family may be used through Dask's own
        serializers (with a warning) instead of raising.

    Raises
    ------
    RuntimeError
        Some workers lack the family (or cannot import vamra), and the client
        cannot fall back; the message names them and says how to load it.

    Examples
    --------
    >>> import vamra.dask
    >>> from distributed import Client, LocalCluster
    >>> cluster = LocalCluster(preload=["vamra.dask"])  # doctest: +SKIP
    >>> client = Client(cluster, serializers=vamra.dask.SERIALIZERS,
    ...                 deserializers=vamra.dask.SERIALIZERS)  # doctest: +SKIP
    >>> vamra.dask.check(client)  # doctest: +SKIP
    """
    # The probe's answers travel in the families the client names (a request
    # carries the list its answer may use), which the workers in question may
    # lack: it asks in Dask's own alone.
    scheduler = client.scheduler
    named = (scheduler.serializers, scheduler.deserializers)
    _drop_family(scheduler)
    try:
        states = client.run(_dask_probe.family_state, on_error="return")
    finally:
        scheduler.serializers, scheduler.deserializers = named
    lacking = sorted(
        address
        for address, state in states.items()
        if not (isinstance(state, dict) and state.get("registered") and state.get("asks"))
    )
    if not lacking:
        return
    shown = ", ".join(lacking[:5]) + (f" and {len(lacking) - 5} more" if len(lacking) > 5 else "")
    message = (
        f"vamra.dask: {len(lacking)} of {len(states)} workers lack the vamra serialization "
        f"family ({shown}); {_HOW_TO_LOAD}"
    )
    if not fallback or len(lacking) < len(states):
        raise RuntimeError(message)
    # Requests carry the list of families the answer may use, and the
    # scheduler's handle was made with the same list: both must drop it.
    # The scheduler's handle was made with the client's lists: both drop it.
    _drop_family(client.rpc)
    _drop_family(scheduler)
    warnings.warn(
        f"{message}. Until then this client uses Dask's own serializers.",
        RuntimeWarning,
        stacklevel=2,
    )
