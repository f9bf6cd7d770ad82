"""The file layout: what a saved file (or a packet of ``vamra.dumps``) holds
beyond the packets of the wire format, and the one place that writes and
reads it.

A laid-out packet is a bundle whose first entry, ``"__vamra__"``, holds the
table of contents (the *index*), followed by the user's values as plain
packets. ``vamra_rs.loads_rs`` reads it like any bundle; vamra's own readers
take the index as the truth about what the packet holds:

* the tree the user saved (dicts with str or int keys, lists, tuples, None,
  bool, int, float, str, bytes, and tensors at any depth), with the keys in
  the order saved;
* where each tensor's packet lies, and for an uncompressed array where its
  data starts, so that arrays are views made without reading any packet
  header;
* element types the wire format has no code for (float8), stored as bytes;
* tensors too large for one packet (over 10**9 elements, over 4 GiB, or a
  dimension past 2**32 - 1), stored as flat chunks of at most that;
* several names for one stored tensor (tied weights);
* the user's metadata (str to str);
* with ``check_integrity``, XXH3-64 digests of every byte of the packet
  outside the index, region by region, so that any damage is found.

Every leaf packet starts at a multiple of the alignment from the packet's
first byte (the padding lies after the value before it, inside its length
field, where every reader ignores it), so the data of every uncompressed
array is aligned in a file and in a packet at an aligned address.

The index is laid out for random access: a reader maps it and looks a key
up by binary search without parsing the rest. ``docs/format.md`` describes
it byte by byte; the numbers below are its version 1.0.
"""

from __future__ import annotations

import math
import struct
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from vamra import _arrays, _values
from vamra.quantize import DTYPE_NAMES as QUANTIZED_NAMES
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

KEY: Final = "__vamra__"
"""The reserved name of the index entry, the first of the top-level bundle."""
MAGIC: Final = b"VMRAINDX"
MAJOR: Final = 1
"""Readers refuse an index of a major version they do not know."""
MINOR: Final = 0
"""A newer minor version only adds what older readers may ignore."""

HEADER_SIZE: Final = 128
FLAG_DIGESTS: Final = 1

# Node kinds.
DICT, LIST, TUPLE = 1, 2, 3
NONE, BOOL, INT, BIGINT, FLOAT, STR, BYTES = 4, 5, 6, 7, 8, 9, 10
ARRAY, SPARSE, STRINGS, QUANTIZED = 16, 17, 18, 19
CONTAINERS: Final = frozenset({DICT, LIST, TUPLE})
PACKED: Final = frozenset({ARRAY, SPARSE, STRINGS, QUANTIZED})
# How a node is named in its parent.
ROOT, STR_KEY, INT_KEY, POSITION = 0, 1, 2, 3

NO_PARENT: Final = 0xFFFFFFFF

_FIELDS: Final = (
    "parent",
    "kind",
    "key_kind",
    "dtype",
    "flags",
    "key",
    "key_len",
    "a",
    "b",
    "c",
    "d",
)
NODE = np.dtype(
    [
        ("parent", "<u4"),
        ("kind", "u1"),
        ("key_kind", "u1"),
        ("dtype", "u1"),
        ("flags", "u1"),
        ("key", "<u8"),
        ("key_len", "<u8"),
        ("a", "<u8"),
        ("b", "<u8"),
        ("c", "<u8"),
        ("d", "<u8"),
    ]
)
PACKET = np.dtype([("offset", "<u8"), ("length", "<u8"), ("body", "<u8"), ("digest", "<u8")])
META = np.dtype([("key", "<u8"), ("key_len", "<u8"), ("value", "<u8"), ("value_len", "<u8")])
_HEADER = struct.Struct("<8sHHIII8Q")

# Element types: the wire codes, and the package's own codes for types the
# wire format lacks (stored as uint8 data).
WIRE_DTYPES: Final = (
    "float32", "int32", "float64", "int64", "uint8", "uint16", "bool", "float16",
    "int8", "int16", "uint32", "uint64", "complex64", "complex128", "bfloat16",
)  # fmt: skip
FLOAT8: Final = {name: 64 + i for i, name in enumerate(_arrays.FLOAT8_NAMES)}
DTYPE_CODES: Final = {name: i + 1 for i, name in enumerate(WIRE_DTYPES)} | FLOAT8
DTYPE_NAMES: Final = {code: name for name, code in DTYPE_CODES.items()}
_UINT8: Final = DTYPE_CODES["uint8"]
_ITEM_SIZES: Final = {
    code: (1 if code >= 64 else np.dtype("int16" if name == "bfloat16" else name).itemsize)
    for name, code in DTYPE_CODES.items()
}

MAX_ELEMENTS: Final = 1_000_000_000
MAX_EXTENT: Final = 0xFFFFFFFF
MAX_WIRE_NDIM: Final = 32
MAX_ENTRIES: Final = 255
# A packet must fit a bundle's 32-bit length field, with room for its header,
# its padding and its footer.
_MAX_PACKET_BODY: Final = 0xFFFFFFFF - 4096

_CHUNK_KEY: Final = "#{}"

ACCEPTED: Final = (
    "a NumPy array, a CPU torch tensor, a SciPy sparse matrix (COO, CSR or CSC), a "
    "StringTensor, a QuantizedTensor, None, a bool, int, float, str or bytes, or a list, "
    "tuple or dict (with str or int keys) of these"
)


class Damaged(ValueError):
    """A laid-out packet whose index or layout does not hold together."""


def _damaged(what: str) -> Damaged:
    return Damaged(f"damaged vamra file index: {what}")


# ---------------------------------------------------------------------------
# Writing


class _IndexSlot:
    """Stands in the value tree for the index entry; the planner asks the
    companion encoder for its packet, a buffer filled in once the plan says
    where everything lies."""

    __slots__ = ("packet",)

    def __init__(self, packet: bytearray) -> None:
        self.packet = packet


class _Node:
    __slots__ = (
        "kind",
        "key_kind",
        "key",
        "dtype",
        "children",
        "a",
        "b",
        "shape",
        "value",
        "packets",
    )

    def __init__(self, kind: int, key_kind: int, key: Any) -> None:
        self.kind = kind
        self.key_kind = key_kind
        self.key = key
        self.dtype = 0
        self.children: list[_Node] = []
        self.a = 0
        self.b = 0
        self.shape: tuple[int, ...] = ()
        self.value: Any = None  # what the planner writes for a tensor (or the scalar)
        self.packets: list[int] = []  # packet indices, filled while the physical tree is made


def _path(keys: list[Any]) -> str:
    return "".join(f"[{key!r}]" for key in reversed(keys))


class _Refused(Exception):
    def __init__(self, error: Exception) -> None:
        self.error = error
        self.keys: list[Any] = []


def _refuse(error: type[Exception], message: str) -> _Refused:
    return _Refused(error(message))


class _Builder:
    """Walks the user's value into nodes, checking every leaf."""

    def __init__(self) -> None:
        self.arrays: list[_Node] = []  # the non-empty arrays, in the order met

    def node(self, value: Any, key_kind: int, key: Any, depth: int) -> _Node:
        if depth > _values.MAX_DEPTH:
            raise _Refused(ValueError(_values.NESTING_MESSAGE))
        cls = type(value)
        if cls is np.ndarray:
            return self.array(value, key_kind, key)
        if cls is dict or isinstance(value, dict):
            out = _Node(DICT, key_kind, key)
            for k, item in value.items():
                if isinstance(k, str):
                    kk = STR_KEY
                elif isinstance(k, int) and not isinstance(k, bool):
                    if not -(2**63) <= k < 2**63:
                        raise _refuse(
                            TypeError, f"cannot encode dict key {k}: int keys must fit 64 bits"
                        )
                    kk = INT_KEY
                else:
                    raise _refuse(
                        TypeError,
                        f"cannot encode a dict key of type {_values._type_name(k)} ({k!r}): "
                        "keys must be str or int",
                    )
                out.children.append(self.child(item, kk, k, depth))
            return out
        if cls is list or cls is tuple or isinstance(value, (list, tuple)):
            out = _Node(TUPLE if isinstance(value, tuple) else LIST, key_kind, key)
            out.children = [self.child(item, POSITION, i, depth) for i, item in enumerate(value)]
            return out
        if value is None:
            return _Node(NONE, key_kind, key)
        if cls is bool:
            out = _Node(BOOL, key_kind, key)
            out.a = int(value)
            return out
        if cls is int:
            if -(2**63) <= value < 2**63:
                out = _Node(INT, key_kind, key)
                out.a = value & 0xFFFFFFFFFFFFFFFF
            else:
                out = _Node(BIGINT, key_kind, key)
                out.value = str(value).encode()
            return out
        if cls is float:
            out = _Node(FLOAT, key_kind, key)
            out.a = struct.unpack("<Q", struct.pack("<d", value))[0]
            return out
        if cls is str:
            out = _Node(STR, key_kind, key)
            out.value = value.encode("utf-8", "surrogatepass")
            return out
        if cls is bytes or cls is bytearray:
            out = _Node(BYTES, key_kind, key)
            out.value = bytes(value)
            return out
        return self.leaf(value, key_kind, key)

    def child(self, value: Any, key_kind: int, key: Any, depth: int) -> _Node:
        try:
            return self.node(value, key_kind, key, depth + 1)
        except _Refused as refused:
            refused.keys.append(key)
            raise

    def leaf(self, value: Any, key_kind: int, key: Any) -> _Node:
        if isinstance(value, StringTensor):
            out = _Node(STRINGS, key_kind, key)
            out.shape = (value.count,)
            out.value = value
            return out
        if isinstance(value, QuantizedTensor):
            out = _Node(QUANTIZED, key_kind, key)
            out.shape = tuple(value.shape)
            out.dtype = value.dtype_code
            out.value = value
            return out
        if isinstance(value, np.ndarray):
            return self.array(value, key_kind, key)
        if isinstance(value, np.generic):
            return self.array(np.asarray(value), key_kind, key)
        if _arrays.is_torch_tensor(value):
            bits = _arrays.torch_float8(value)
            if bits is not None:
                return self.array(bits[0], key_kind, key, float8=bits[1])
            refused = _arrays.torch_refusal(value)
            if refused is not None:
                raise _Refused(_arrays.refusal_exception(refused, "encode", ACCEPTED))
            return self.array(_arrays.torch_array(value), key_kind, key)
        try:
            _values.check_encodable(value)
        except (TypeError, ValueError) as error:
            # The packet-level check names what a packet holds; a laid-out
            # value holds more.
            text = str(error).replace(_values.ACCEPTED, ACCEPTED)
            raise _refuse(type(error), text) from None
        if _values.is_sparse(value):
            out = _Node(SPARSE, key_kind, key)
            out.shape = tuple(int(d) for d in value.shape)
            out.dtype = DTYPE_CODES.get(value.dtype.name, 0)
            out.value = value
            return out
        # Anything else _values accepts (an object with __dlpack__, say) is
        # made an array the way the encoders read it.
        try:
            prepared, _ = _values.prepare(value)
        except (TypeError, ValueError) as error:
            # Its element type, which only taking its memory tells.
            raise _refuse(type(error), str(error)) from None
        # np.asarray would drop the view class that marks bfloat16 bits.
        array = prepared if isinstance(prepared, np.ndarray) else np.asarray(prepared)
        return self.array(array, key_kind, key)

    def array(
        self, array: npt.NDArray[Any], key_kind: int, key: Any, float8: str | None = None
    ) -> _Node:
        """An array node; float8 data (``float8`` names its type) as its uint8 bits."""
        dtype = array.dtype
        known = _KNOWN_DTYPES.get(dtype)
        if known is None:
            # dtype.name costs microseconds: each dtype is named once.
            name = dtype.name
            known = _KNOWN_DTYPES[dtype] = (DTYPE_CODES.get(name), name in FLOAT8)
        code, is_float8 = known
        if float8 is None and is_float8:
            float8 = dtype.name
            array = array.view(np.uint8)
        if float8 is not None:
            code = DTYPE_CODES[float8]
        if code is None:
            raise _refuse(ValueError, f"Unsupported dtype: {array.dtype}")
        if not array.flags.c_contiguous:
            raise _refuse(
                ValueError, "Array must be C-contiguous (numpy.ascontiguousarray makes it so)"
            )
        out = _Node(ARRAY, key_kind, key)
        out.dtype = code
        out.shape = tuple(int(d) for d in array.shape)
        out.value = array
        if array.size:
            self.arrays.append(out)
        return out

    def tie(self) -> None:
        """Tensors over the very same memory (tied weights, one array under
        two names) are stored once: later ones point at the first."""
        if len(self.arrays) < 2:
            return
        first: dict[tuple[Any, ...], _Node] = {}
        addresses = _native().addresses([node.value for node in self.arrays])
        for node, address in zip(self.arrays, addresses, strict=True):
            key = (address, node.value.nbytes, node.dtype, node.shape)
            found = first.setdefault(key, node)
            if found is not node:
                node.value = found


_KNOWN_DTYPES: dict[Any, tuple[int | None, bool]] = {}


def _needs_chunks(node: _Node) -> bool:
    shape = node.shape
    count = math.prod(shape)
    return (
        count > MAX_ELEMENTS
        or count * _ITEM_SIZES[node.dtype] > _MAX_PACKET_BODY
        or len(shape) > MAX_WIRE_NDIM
        or (count == 0 and any(d > MAX_EXTENT for d in shape))
    )


def _grouped(items: list[tuple[str, Any]], capacity: int) -> dict[str, Any]:
    """A dict of the items, nested in groups of at most 255 entries (at most
    `capacity` at this level) when there are more than fit."""
    if len(items) <= capacity:
        return dict(items)
    groups = [
        (_CHUNK_KEY.format(i), dict(items[start : start + MAX_ENTRIES]))
        for i, start in enumerate(range(0, len(items), MAX_ENTRIES))
    ]
    return _grouped(groups, capacity)


class _Plan:
    """The nodes in index order, and the physical value the planner writes."""

    def __init__(self, root: _Node) -> None:
        self.nodes: list[_Node] = []
        self.parents: list[int] = []
        self.firsts: list[int] = []
        queue = [root]
        self.parents.append(NO_PARENT)
        head = 0
        while head < len(queue):
            node = queue[head]
            self.firsts.append(len(queue))
            for child in node.children:
                self.parents.append(head)
                queue.append(child)
            head += 1
        self.nodes = queue
        self.packet_count = 0
        self.chunked: list[_Node] = []

    def physical(self, node: _Node, capacity: int = MAX_ENTRIES) -> Any:
        """What the planner writes for `node`: a packet's value, a dict of
        its children's (grouped when many), or None when nothing is stored."""
        if node.kind in CONTAINERS:
            items = []
            for child in node.children:
                value = self.physical(child)
                if value is not None:
                    items.append((str(child.key), value))
            return _grouped(items, capacity) if items else None
        if node.kind not in PACKED:
            return None
        if isinstance(node.value, _Node):  # tied: stored with the first
            return None
        if node.kind == ARRAY and _needs_chunks(node):
            flat = node.value.reshape(-1)
            per = min(MAX_ELEMENTS, _MAX_PACKET_BODY // _ITEM_SIZES[node.dtype])
            chunks = [
                (_CHUNK_KEY.format(i), flat[start : start + per])
                for i, start in enumerate(range(0, flat.size, per))
            ]
            node.packets = list(range(self.packet_count, self.packet_count + len(chunks)))
            self.packet_count += len(chunks)
            return _grouped(chunks, MAX_ENTRIES) if chunks else {}
        node.packets = [self.packet_count]
        self.packet_count += 1
        return node.value


class _Pool:
    def __init__(self) -> None:
        self.parts: list[bytes] = []
        self.size = 0

    def add(self, data: bytes) -> tuple[int, int]:
        offset = self.size
        self.parts.append(data)
        self.size += len(data)
        return offset, len(data)


def _order(plan: _Plan) -> npt.NDArray[np.uint32]:
    """For each container, its children's indices sorted by key (int keys
    before str keys, str keys by their UTF-8 bytes)."""
    order = np.arange(len(plan.nodes), dtype="<u4")
    for i, node in enumerate(plan.nodes):
        if node.kind != DICT or len(node.children) < 2:
            continue
        first = plan.firsts[i]
        ranks = [
            (0, child.key, b"")
            if child.key_kind == INT_KEY
            else (1, 0, child.key.encode("utf-8", "surrogatepass"))
            for child in node.children
        ]
        ranked = sorted(range(len(ranks)), key=ranks.__getitem__)
        order[first : first + len(ranked)] = [first + j for j in ranked]
    return order


class Layout:
    """A value planned as a laid-out packet: :meth:`write` sends it to a
    destination. The index is complete once :func:`plan` returns."""

    def __init__(self, handle: Any, size: int) -> None:
        self.handle = handle
        self.size = size

    def write(self, destination: Any, chunk: int = 8 << 20) -> Any:
        return _native().layout_write(self.handle, destination, chunk)


def _native() -> Any:
    import vamra._native as native  # the extension module, below every package module

    return native


def _rs() -> Any:
    import vamra_rs

    return vamra_rs


def _addressable(shape: Sequence[int], itemsize: int) -> bool:
    """Whether an array of ``shape`` has a byte size NumPy can hold (its
    nonzero extents multiplied; an empty array's other extents count too)."""
    n = itemsize
    for extent in shape:
        n *= extent or 1
    return n < 1 << 63


def _oversized(shape: Sequence[int]) -> bool:
    """Whether a lone array of ``shape`` exceeds what one packet holds."""
    return (
        math.prod(shape) > MAX_ELEMENTS
        or len(shape) > MAX_WIRE_NDIM
        or any(d > MAX_EXTENT for d in shape)
    )


def needs_layout(obj: Any) -> bool:
    """Whether ``obj`` is written laid out (with an index) rather than as a
    plain packet, which a lone array, sparse matrix, string or quantized
    tensor is, unless the wire format cannot hold it (float8, too large)."""
    if isinstance(obj, (StringTensor, QuantizedTensor)) or _values.is_sparse(obj):
        return False
    if _arrays.is_torch_tensor(obj):
        name = str(obj.dtype).removeprefix("torch.")
        return name in _arrays.FLOAT8_NAMES or _oversized(tuple(obj.shape))
    if isinstance(obj, (np.ndarray, np.generic)):
        array = np.asarray(obj)
        return array.dtype.name in FLOAT8 or _oversized(array.shape)
    return not hasattr(obj, "__dlpack__")


def plan_plain(obj: Any, *, encode_companion: Callable[[Any], bytes], **options: Any) -> Layout:
    """A lone array, sparse matrix, string or quantized tensor planned as its
    plain packet, laid out as files are (a sparse matrix's components
    aligned), for a value :func:`needs_layout` says needs no index."""
    prepared, _ = _values.prepare(obj)
    handle, size, _ = _native().layout_plan(
        prepared, (StringTensor, QuantizedTensor), encode_companion, **options
    )
    return Layout(handle, size)


def plan(
    obj: Any,
    *,
    encode_companion: Callable[[Any], bytes],
    metadata: dict[str, str] | None = None,
    check_integrity: bool = False,
    compress: bool = False,
    alignment: int = 64,
) -> Layout:
    """Plans ``obj`` as a laid-out packet and fills in its index.

    Raises TypeError or ValueError (naming the key path) for what cannot be
    encoded, before anything is written.
    """
    builder = _Builder()
    try:
        root = builder.node(obj, ROOT, None, 0)
        builder.tie()
    except _Refused as refused:
        error = refused.error
        at = f" at {_path(refused.keys)}" if refused.keys else ""
        if at:
            text = str(error)
            head, sep, tail = text.partition(": ")
            message = f"{head}{at}{sep}{tail}" if sep else f"{text}{at}"
            raise type(error)(message) from None
        raise error from None
    if metadata is not None:
        _check_metadata(metadata)
    nodes = _Plan(root)
    if root.kind in CONTAINERS:
        entries = nodes.physical(root, MAX_ENTRIES - 1)
    else:
        entries = nodes.physical(root)
        entries = {_CHUNK_KEY.format(0): entries} if entries is not None else None
    entries = entries or {}

    pool = _Pool()
    shapes: list[int] = []
    count = len(nodes.nodes)
    columns: dict[str, list[int]] = {name: [0] * count for name in _FIELDS}
    columns["parent"] = nodes.parents
    for i, node in enumerate(nodes.nodes):
        columns["kind"][i] = node.kind
        columns["key_kind"][i] = node.key_kind
        if node.key_kind == STR_KEY:
            columns["key"][i], columns["key_len"][i] = pool.add(
                node.key.encode("utf-8", "surrogatepass")
            )
        elif node.key_kind == INT_KEY:
            columns["key"][i] = node.key & 0xFFFFFFFFFFFFFFFF
        elif node.key_kind == POSITION:
            columns["key"][i] = node.key
        kind = node.kind
        if kind in CONTAINERS:
            columns["a"][i] = nodes.firsts[i]
            columns["b"][i] = len(node.children)
        elif kind in (BOOL, INT, FLOAT):
            columns["a"][i] = node.a
        elif kind in (BIGINT, STR, BYTES):
            columns["a"][i], columns["b"][i] = pool.add(node.value)
        elif kind in PACKED:
            source = node.value.packets if isinstance(node.value, _Node) else node.packets
            columns["dtype"][i] = node.dtype
            columns["a"][i] = source[0] if source else 0
            columns["b"][i] = len(source)
            columns["c"][i] = len(shapes)
            columns["d"][i] = len(node.shape)
            shapes.extend(node.shape)
    meta_rows = [
        (
            *pool.add(k.encode("utf-8", "surrogatepass")),
            *pool.add(v.encode("utf-8", "surrogatepass")),
        )
        for k, v in (metadata or {}).items()
    ]
    packet_count = nodes.packet_count
    layout = _Tables(count, packet_count, len(shapes), len(meta_rows), pool.size)
    body = bytearray(layout.size)
    table = np.frombuffer(body, NODE, count, layout.nodes)
    for name in _FIELDS:
        table[name] = columns[name]
    np.frombuffer(body, "<u4", count, layout.order)[:] = _order(nodes)
    np.frombuffer(body, "<u8", len(shapes), layout.shapes)[:] = shapes
    if meta_rows:
        np.frombuffer(body, META, len(meta_rows), layout.meta)[:] = meta_rows
    body[layout.pool : layout.pool + pool.size] = b"".join(pool.parts)

    # The index's packet, sized now and filled in once positions are known.
    flags = FLAG_DIGESTS if check_integrity else 0
    rs = _rs()
    body_array = np.frombuffer(body, np.uint8)
    packet = bytearray(rs.dumps_rs(body_array, check_integrity=check_integrity))
    slot = _IndexSlot(packet)
    top = {KEY: slot, **entries}

    def encode(value: Any) -> Any:
        return packet if value is slot else encode_companion(value)

    handle, size, leaves = _native().layout_plan(
        top,
        (_IndexSlot, StringTensor, QuantizedTensor),
        encode,
        check_integrity,
        compress,
        alignment,
    )
    index_start, index_length, _ = leaves[0]
    body_start = index_start + len(packet) - len(body) - (8 if check_integrity else 0)
    index_end = index_start + index_length
    packets = np.frombuffer(body, PACKET, packet_count, layout.packets)
    if packet_count:
        packets["offset"] = [leaf[0] for leaf in leaves[1:]]
        packets["length"] = [leaf[1] for leaf in leaves[1:]]
        packets["body"] = [leaf[2] for leaf in leaves[1:]]
    head_digest = tail_digest = 0
    if check_integrity:
        ends = [index_end] + [start + length for start, length, _ in leaves[1:]]
        ranges = (
            [(0, body_start)] + list(zip(ends[:-1], ends[1:], strict=True)) + [(ends[-1], size)]
        )
        digests = _native().layout_digests(handle, ranges)
        head_digest, tail_digest = digests[0], digests[-1]
        if packet_count:
            packets["digest"] = digests[1:-1]
    _HEADER.pack_into(
        body,
        0,
        MAGIC,
        MAJOR,
        MINOR,
        HEADER_SIZE,
        flags,
        alignment,
        size,
        count,
        packet_count,
        len(shapes),
        pool.size,
        len(meta_rows),
        head_digest,
        tail_digest,
    )
    written = rs.dump_to_buffer_rs(body_array, packet, check_integrity=check_integrity)
    if written != len(packet):
        raise AssertionError("the index packet changed size")
    return Layout(handle, size)


def _check_metadata(metadata: Any) -> None:
    if not isinstance(metadata, dict):
        raise TypeError(
            f"metadata must be a dict of str to str, not {_values._type_name(metadata)}"
        )
    for k, v in metadata.items():
        if not isinstance(k, str) or not isinstance(v, str):
            raise TypeError(
                f"metadata must map str to str: got {_values._type_name(k)} {k!r} to "
                f"{_values._type_name(v)}"
            )


class _Tables:
    """Where each table of an index lies, from its counts."""

    def __init__(self, nodes: int, packets: int, shapes: int, meta: int, pool: int) -> None:
        def up(n: int) -> int:
            return (n + 7) & ~7

        self.nodes = HEADER_SIZE
        self.order = self.nodes + nodes * NODE.itemsize
        self.packets = up(self.order + 4 * nodes)
        self.shapes = self.packets + packets * PACKET.itemsize
        self.meta = self.shapes + 8 * shapes
        self.pool = self.meta + meta * META.itemsize
        self.size = self.pool + pool


# ---------------------------------------------------------------------------
# Reading

_ENTRY = struct.Struct("<I")
# Where the index packet starts: the top bundle's header and the first
# entry's key length, key and value length.
INDEX_AT: Final = 10 + 4 + len(KEY) + 4
_PREFIX: Final = b"VMRA\x04"


# Where a writer puts the index's magic: its packet holds a one-dimensional
# uint8 array aligned at 64, so the body starts 64 bytes into it.
MAGIC_AT: Final = INDEX_AT + 64
HEAD_SIZE: Final = MAGIC_AT + len(MAGIC)
"""The bytes :func:`index_range` needs to tell a laid-out packet."""


def index_range(head: bytes | memoryview) -> tuple[int, int] | None:
    """The offset and length of the index packet when ``head`` (the first
    bytes of a packet, :data:`HEAD_SIZE` of them when there are as many)
    starts a laid-out packet; None for any other packet.

    Two signs tell a laid-out packet: its first entry's framing names the
    index, and the index's magic stands where writers put it. Either alone
    means the other was damaged, which is an error, not a plain packet.
    """
    head = bytes(head[:HEAD_SIZE])
    magic = head[MAGIC_AT:HEAD_SIZE] == MAGIC
    named = (
        len(head) >= INDEX_AT
        and head[:5] == _PREFIX
        and (head[5] | (head[6] << 8)) & 0x0410 == 0x0010
        and head[8] != 0
        and head[10:14] == _ENTRY.pack(len(KEY))
        and head[14 : 14 + len(KEY)] == KEY.encode()
    )
    if named and (magic or len(head) < HEAD_SIZE):
        return INDEX_AT, _ENTRY.unpack_from(head, 14 + len(KEY))[0]
    if named or magic:
        raise _damaged("the head of a laid-out packet")
    return None


class Index:
    """An index read from a laid-out packet: the tree, the packet table and
    the metadata, looked up in place (nothing is parsed until asked for).

    Every read is checked against the tables' bounds: a damaged index raises
    :class:`Damaged` (a ValueError), never anything else.
    """

    def __init__(self, packet: Any, start: int) -> None:
        """``packet`` is the index packet (a buffer); ``start`` where it lies."""
        native = _native()
        try:
            info = native.describe(packet, 0, len(packet))
            byte_array = info["kind"] == "dense" and info["dtype"] == "uint8"
            decoded = native.loads(packet) if byte_array else None
        except ValueError as exc:
            raise _damaged(str(exc)) from None
        if not isinstance(decoded, np.ndarray) or decoded.dtype != np.uint8 or decoded.ndim != 1:
            raise _damaged("the index entry is not a byte array")
        body = decoded
        view = memoryview(packet)
        # The index packet's body is a view into it: where it starts there,
        # and where the packet ends (its footer included), are found from it.
        base = np.frombuffer(view, np.uint8).__array_interface__["data"][0]
        offset = body.__array_interface__["data"][0] - base
        self.checked = bool((view[5] | view[6] << 8) & 0x0002)
        self.body_start = start + offset
        self.end = self.body_start + len(body) + (8 if self.checked else 0)
        if len(body) < HEADER_SIZE:
            raise _damaged("too short")
        (
            magic,
            major,
            minor,
            header_size,
            flags,
            self.alignment,
            self.size,
            nodes,
            packets,
            shapes,
            pool,
            meta,
            self.head_digest,
            self.tail_digest,
        ) = _HEADER.unpack_from(body[:HEADER_SIZE].tobytes())
        if magic != MAGIC:
            raise _damaged("bad magic")
        if major != MAJOR:
            raise ValueError(
                f"this file's layout is version {major}.{minor}, which this vamra "
                f"({_version()}) cannot read: it reads version {MAJOR}.x; upgrade vamra"
            )
        if header_size < HEADER_SIZE or header_size > len(body):
            raise _damaged("bad header size")
        self.minor = minor
        self.digests = bool(flags & FLAG_DIGESTS)
        if self.digests != self.checked:
            raise _damaged("its checksum flags disagree")
        limit = len(body)
        if max(nodes, packets, shapes, meta) > limit or pool > limit:
            raise _damaged("table sizes exceed it")
        tables = _Tables(nodes, packets, shapes, meta, pool)
        shift = header_size - HEADER_SIZE
        if tables.size + shift > limit or nodes == 0:
            raise _damaged("tables exceed it")
        self.count = nodes
        self.nodes = np.frombuffer(body, NODE, nodes, tables.nodes + shift)
        self.order = np.frombuffer(body, "<u4", nodes, tables.order + shift)
        self.packets = np.frombuffer(body, PACKET, packets, tables.packets + shift)
        self.shapes = np.frombuffer(body, "<u8", shapes, tables.shapes + shift)
        self.meta = np.frombuffer(body, META, meta, tables.meta + shift)
        self.pool = body[tables.pool + shift : tables.pool + shift + pool]
        self._body = body
        self._columns: dict[str, list[int]] = {}

    # -- nodes

    def column(self, name: str) -> list[int]:
        """One field of every node, as a list (for walks over the whole tree)."""
        found = self._columns.get(name)
        if found is None:
            found = self._columns[name] = self.nodes[name].tolist()
        return found

    def record(self, i: int) -> tuple[int, ...]:
        if not 0 <= i < self.count:
            raise _damaged(f"node {i} does not exist")
        return tuple(int(x) for x in self.nodes[i].item())

    def text(self, offset: int, length: int) -> bytes:
        if offset + length > len(self.pool):
            raise _damaged("a name or text lies outside it")
        return self.pool[offset : offset + length].tobytes()

    def children(self, i: int) -> range:
        _, kind, _, _, _, _, _, first, count, _, _ = self.record(i)
        if kind not in CONTAINERS:
            return range(0)
        if first <= i or first + count > self.count:
            raise _damaged(f"node {i} has children outside it")
        return range(first, first + count)

    def key(self, i: int) -> str | int:
        _, _, key_kind, _, _, key, key_len, *_ = self.record(i)
        return self._key(key_kind, key, key_len)

    def _key(self, key_kind: int, key: int, key_len: int) -> str | int:
        if key_kind == STR_KEY:
            try:
                return self.text(key, key_len).decode("utf-8", "surrogatepass")
            except UnicodeDecodeError:
                raise _damaged("a key is not UTF-8") from None
        if key_kind == INT_KEY:
            return key - (1 << 64) if key >= 1 << 63 else key
        if key_kind == POSITION:
            return key
        raise _damaged(f"unknown key kind {key_kind}")

    def keys(self, i: int) -> list[str | int]:
        names = [self.key(j) for j in self.children(i)]
        if self.record(i)[1] == DICT:
            _distinct(names)
        return names

    def find(self, i: int, key: Any) -> int | None:
        """The child of container ``i`` named ``key``, by binary search."""
        kids = self.children(i)
        kind = self.record(i)[1]
        if kind != DICT:
            if isinstance(key, int) and not isinstance(key, bool) and -len(kids) <= key < len(kids):
                return kids[key]
            return None
        if isinstance(key, str):
            wanted: tuple[int, Any] = (1, key.encode("utf-8", "surrogatepass"))
        elif isinstance(key, int) and not isinstance(key, bool):
            wanted = (0, key)
        else:
            return None
        lo, hi = kids.start, kids.stop
        order = self.order
        while lo < hi:
            mid = (lo + hi) // 2
            j = int(order[mid])
            if not kids.start <= j < kids.stop:
                break  # a damaged order: the keys are read through below
            _, _, key_kind, _, _, k, k_len, *_ = self.record(j)
            have = (
                (1, self.text(k, k_len))
                if key_kind == STR_KEY
                else (0, self._key(key_kind, k, k_len))
            )
            if have == wanted:
                return j
            if have < wanted:
                lo = mid + 1
            else:
                hi = mid
        # Not found. The key order only speeds lookups up: a damaged one could
        # hide a key the dict holds, so the keys are read once through (a
        # missing key costs that, a damaged order never a wrong answer).
        for j in kids:
            if self.key(j) == key and type(self.key(j)) is type(key):
                return j
        return None

    def shape(self, c: int, d: int) -> tuple[int, ...]:
        if c + d > len(self.shapes) or d > 64:
            raise _damaged("a shape lies outside it")
        return tuple(int(x) for x in self.shapes[c : c + d])

    def packet(self, p: int) -> tuple[int, int, int, int]:
        if not 0 <= p < len(self.packets):
            raise _damaged(f"packet {p} does not exist")
        offset, length, body, digest = (int(x) for x in self.packets[p].item())
        if (
            offset < self.end
            or offset + length > self.size
            or (body and not offset <= body <= offset + length)
        ):
            raise _damaged(f"packet {p} lies outside the file")
        return offset, length, body, digest

    def region(self, p: int) -> tuple[int, int]:
        """The bytes whose digest packet ``p`` carries: from the end of the
        packet before it (or of the index) to its own end."""
        offset, length, _, _ = self.packet(p)
        start = self.end if p == 0 else sum(self.packet(p - 1)[:2])
        if start > offset:
            raise _damaged("its packets overlap")
        return start, offset + length

    def tail(self) -> tuple[int, int]:
        start = sum(self.packet(len(self.packets) - 1)[:2]) if len(self.packets) else self.end
        if start > self.size:
            raise _damaged("its packets overlap")
        return start, self.size

    def metadata(self) -> dict[str, str]:
        out = {}
        for k, k_len, v, v_len in self.meta.tolist():
            try:
                out[self.text(k, k_len).decode("utf-8", "surrogatepass")] = self.text(
                    v, v_len
                ).decode("utf-8", "surrogatepass")
            except UnicodeDecodeError:
                raise _damaged("metadata is not UTF-8") from None
        return out


_MISMATCH: Final = "Integrity check failed"


def _version() -> str:
    from vamra._version import __version__

    return __version__


class Reader:
    """Turns the nodes of an index into values, from a packet's bytes.

    ``data`` is the whole laid-out packet (a buffer: a memory map, bytes...).
    Arrays are views into it (aligned; copies only where a file written
    elsewhere is misaligned), made ``writable`` when asked; ``bfloat16`` is
    the dtype bfloat16 data is given (see :func:`vamra._native.loads`);
    ``wrap`` turns each decoded value into what the caller hands out (a torch
    tensor, say). Each stored packet is decoded once, so tied names come back
    as one object.
    """

    def __init__(
        self,
        index: Index,
        data: Any,
        *,
        name: str = "",
        writable: bool = False,
        bfloat16: Any = None,
        wrap: Callable[[Any], Any] | None = None,
        float8: Callable[[Any, str], Any] | None = None,
        source: Any = None,
    ) -> None:
        self.index = index
        # Bytes in memory (a map, a buffer) are sliced where they lie; a
        # remote object is read through `source` (vamra.remote.RangeSource),
        # a ranged read per value, or one round for several (prefetch).
        self.data = data
        self.source = source
        self.view = memoryview(data) if data is not None else memoryview(b"")
        self.name = name
        self.writable = writable
        self.bfloat16 = bfloat16
        self.wrap = wrap
        self.float8 = float8 or _numpy_float8
        # Values by what they were read as: (kind, element type, first
        # packet, packet count, shape). Tied names have the same record and
        # share one value; a damaged index that points two differing records
        # at one packet gets each checked on its own.
        self.decoded: dict[tuple[Any, ...], Any] = {}
        self.verified: set[int] = set()
        self.held = 0
        if source is None and len(self.view) < index.size:
            raise ValueError(
                f"Packet too short: {len(self.view)} bytes where the index says {index.size} "
                "(a truncated file?)"
            )

    def verify_all(self) -> None:
        """Checks every digest of the packet (with ``check_integrity``)."""
        if not self.index.digests:
            return
        self.verify_edges()
        for p in range(len(self.index.packets)):
            self.verify_packet(p)

    def verify_edges(self) -> None:
        self.verify_head()
        if not self.index.digests:
            return
        start, end = self.index.tail()
        if _native().xxh3_64(self.span(start, end)) != self.index.tail_digest:
            raise ValueError(f"{_MISMATCH}: the bytes after the last entry")

    def verify_head(self) -> None:
        """Checks the bytes up to the index's body (those a reader has once
        it has the index)."""
        if not self.index.digests:
            return
        if _native().xxh3_64(self.span(0, self.index.body_start)) != self.index.head_digest:
            raise ValueError(f"{_MISMATCH}: the packet's head or its index entry")

    def assume_verified(self) -> None:
        """Records every packet as checked (the caller checked the digests
        as the bytes arrived)."""
        self.verified.update(range(len(self.index.packets)))

    def verify_packet(self, p: int) -> None:
        if not self.index.digests or p in self.verified:
            return
        start, end = self.index.region(p)
        if _native().xxh3_64(self.span(start, end)) != self.index.packet(p)[3]:
            raise ValueError(f"{_MISMATCH}: the bytes of this entry or the framing before it")
        self.verified.add(p)

    def span(self, start: int, end: int) -> Any:
        """Bytes ``start`` to ``end`` of the packet, as a buffer (a slice of
        the data in memory, or read from the source)."""
        if self.source is None:
            return self.view[start:end]
        if end > self.index.size:
            raise _damaged("a packet lies past the end of the file")
        buffer, at = self.source.locate(start, end)
        return memoryview(buffer)[at : at + end - start]

    # -- remote reads in rounds

    def ranges(self, nodes: Sequence[int], nested: bool = True) -> list[tuple[int, int]]:
        """The byte ranges the values of ``nodes`` are read from (with their
        framing when digests are to be checked); below a dict only when
        ``nested``."""
        index = self.index
        out: list[tuple[int, int]] = []
        todo = list(nodes)
        given = set(nodes)
        seen = 0
        while todo and seen <= index.count:
            i = todo.pop()
            seen += 1
            _, kind, _, dtype, _, _, _, a, b, c, d = index.record(i)
            if kind in CONTAINERS:
                if nested or kind != DICT or i in given:
                    todo.extend(index.children(i))
                continue
            if kind not in PACKED or (kind, dtype, a, b, index.shape(c, d)) in self.decoded:
                continue
            for p in range(a, a + b):
                if index.digests and p not in self.verified:
                    out.append(index.region(p))
                    continue
                offset, length, body, _ = index.packet(p)
                size = _ITEM_SIZES.get(dtype)
                if kind == ARRAY and b == 1 and body and size is not None:
                    out.append((body, body + math.prod(index.shape(c, d)) * size))
                else:
                    out.append((offset, offset + length))
        return out

    def prefetch(self, nodes: Sequence[int], nested: bool = True) -> None:
        """Reads what the values of ``nodes`` need in one round (remote only)."""
        if self.source is not None:
            self.source.prefetch(self.ranges(nodes, nested))

    def release(self) -> None:
        """Forgets bytes read ahead (remote only; not while an iteration that
        read them holds them); values made keep theirs."""
        if self.source is not None and not self.held:
            self.source.release()

    def value(self, i: int, depth: int = 0) -> Any:
        """The value of node ``i``, containers built in full."""
        if depth > _values.MAX_DEPTH + 1:
            raise _damaged("it nests too deep")
        index = self.index
        _, kind, _, dtype, _, _, _, a, b, c, d = index.record(i)
        if kind in CONTAINERS:
            items = []
            for j in index.children(i):
                key = index.key(j)
                try:
                    items.append((key, self.value(j, depth + 1)))
                except Exception as error:
                    keys = getattr(error, "keys", None)
                    if isinstance(keys, list):
                        keys.append(key)
                    raise
            if kind == DICT:
                out = dict(items)
                if len(out) != len(items):
                    _distinct([key for key, _ in items])
                return out
            values = [value for _, value in items]
            return values if kind == LIST else tuple(values)
        return self.leaf(kind, dtype, a, b, c, d)

    def path(self, i: int) -> list[Any]:
        """The keys from node ``i`` up to the root, innermost first."""
        parents = self.index.column("parent")
        keys: list[Any] = []
        while 0 < i < self.index.count and len(keys) <= _values.MAX_DEPTH + 1:
            keys.append(self.index.key(i))
            i = parents[i]
        return keys

    def _located(self, i: int, error: Exception) -> None:
        # An error that collects the key path where it arose (a wrapper's,
        # naming a value it cannot convert) gets it.
        keys = getattr(error, "keys", None)
        if isinstance(keys, list):
            keys.extend(self.path(i))

    def at(self, i: int, kind: int, dtype: int, a: int, b: int, c: int, d: int) -> Any:
        try:
            return self.leaf(kind, dtype, a, b, c, d)
        except Exception as error:
            self._located(i, error)
            raise

    def leaf(self, kind: int, dtype: int, a: int, b: int, c: int, d: int) -> Any:
        index = self.index
        if kind == NONE:
            return None
        if kind == BOOL:
            return bool(a)
        if kind == INT:
            return a - (1 << 64) if a >= 1 << 63 else a
        if kind == FLOAT:
            return struct.unpack("<d", struct.pack("<Q", a))[0]
        if kind == BIGINT:
            try:
                return int(index.text(a, b).decode("ascii"))
            except (UnicodeDecodeError, ValueError):
                raise _damaged("a big int is not a number") from None
        if kind == STR:
            try:
                return index.text(a, b).decode("utf-8", "surrogatepass")
            except UnicodeDecodeError:
                raise _damaged("a str is not UTF-8") from None
        if kind == BYTES:
            return index.text(a, b)
        if kind not in PACKED:
            raise _damaged(f"unknown node kind {kind}")
        shape = index.shape(c, d)
        key = (kind, dtype, a, b, shape)
        found = self.decoded.get(key)
        if found is None:
            found = self.packed(kind, dtype, a, b, shape)
            if self.wrap is not None:
                found = self.wrap(found)
            self.decoded[key] = found
        return found

    def packed(self, kind: int, dtype: int, first: int, count: int, shape: tuple[int, ...]) -> Any:
        if kind == ARRAY:
            name = DTYPE_NAMES.get(dtype)
            if name is None:
                raise _damaged(f"unknown element type {dtype}")
            wire = _UINT8 if name in FLOAT8 else dtype
            body = self.index.packet(first)[2] if count == 1 else 0
            if count == 1 and body and not _oversized(shape):
                self.verify_packet(first)
                self.within(first, wire, shape)
                array = self.views([(body, wire, shape)])[0]
            elif count == 1 and not _oversized(shape):
                self.dense(first, wire, shape)
                array = self.decode(first)
                if not isinstance(array, np.ndarray) or array.shape != shape:
                    raise _damaged("an array's packet does not hold its shape")
            else:
                array = self.chunks(first, count, wire, shape)
            return self.float8(array, name) if name in FLOAT8 else array
        if count != 1:
            raise _damaged("a packed value spans several packets")
        value = self.decode(first)
        expected = {SPARSE: "format", STRINGS: "count", QUANTIZED: "dequantize"}[kind]
        if not hasattr(value, expected):
            raise _damaged("a value is not of the kind its index says")
        return value

    def check(self, i: int) -> None:
        """Raises what reading node ``i`` would raise, keeping nothing: a
        compressed body is decompressed into scratch memory and dropped, an
        array stored whole is only bounds-checked."""
        index = self.index
        _, kind, key_kind, dtype, _, key, key_len, a, b, c, d = index.record(i)
        if i:
            index._key(key_kind, key, key_len)
        if kind in CONTAINERS:
            index.children(i)
            return
        if kind not in PACKED:
            self.leaf(kind, dtype, a, b, c, d)
            return
        shape = index.shape(c, d)
        if kind != ARRAY:
            self.packed(kind, dtype, a, b, shape)
            return
        name = DTYPE_NAMES.get(dtype)
        if name is None:
            raise _damaged(f"unknown element type {dtype}")
        wire = _UINT8 if name in FLOAT8 else dtype
        if b == 1 and index.packet(a)[2] and not _oversized(shape):
            self.verify_packet(a)
            self.within(a, wire, shape)
            self.views([(index.packet(a)[2], wire, shape)])
            return
        whole = b == 1 and not _oversized(shape)
        if not whole and not _addressable(shape, _ITEM_SIZES[wire]):
            raise _damaged("a shape is too large")
        total = 0
        for p in range(a, a + b):
            total += self.dense(p, wire, shape if whole else None, check=True)
        if total != math.prod(shape):
            raise _damaged("chunks do not add up to the tensor")

    def within(self, p: int, wire: int, shape: tuple[int, ...]) -> None:
        """Checks that an array of ``shape`` stored whole at packet ``p``'s
        body ends within that packet."""
        offset, length, body, _ = self.index.packet(p)
        size = _ITEM_SIZES.get(wire)
        if size is None or body + math.prod(shape) * size > offset + length:
            raise _damaged("an array lies outside its packet")

    def dense(self, p: int, wire: int, shape: tuple[int, ...] | None, check: bool = False) -> int:
        """Checks from its header that packet ``p`` holds a dense array of
        element type ``wire`` and of ``shape`` (a flat chunk when None), and
        tells how many elements it holds; with ``check``, its body is also
        checked as a decode would (decompressed into scratch memory)."""
        native = _native()
        self.verify_packet(p)
        offset, length, _, _ = self.index.packet(p)
        packet = self.span(offset, offset + length)
        if check:
            native.verify(packet, 0, length, 1)
        info = native.describe(packet, 0, length)
        if info["kind"] != "dense" or info["dtype"] != DTYPE_NAMES[wire]:
            raise _damaged("an array's packet does not hold its element type")
        if shape is not None and tuple(info["shape"]) != shape:
            raise _damaged("an array's packet does not hold its shape")
        if shape is None and len(info["shape"]) != 1:
            raise _damaged("a chunk is not a flat array")
        return math.prod(info["shape"])

    def views(self, items: list[tuple[int, int, tuple[int, ...]]]) -> list[Any]:
        native = _native()
        if self.source is None:
            result: list[Any] = native.views(self.data, items, self.writable, self.bfloat16, True)
            return result
        out = []
        for offset, wire, shape in items:
            size = _ITEM_SIZES.get(wire)
            if size is None or len(shape) > MAX_WIRE_NDIM:
                raise _damaged(f"unknown element type {wire}")
            end = offset + math.prod(shape) * size
            if end > self.index.size:
                raise _damaged("an array lies past the end of the file")
            buffer, at = self.source.locate(offset, end) if end > offset else (b"", 0)
            out += native.views(buffer, [(at, wire, shape)], self.writable, self.bfloat16, True)
        return out

    def decode(self, p: int) -> Any:
        offset, length, _, _ = self.index.packet(p)
        self.verify_packet(p)
        value = _native().loads(
            self.span(offset, offset + length), self.writable, self.bfloat16, True
        )
        return value

    def rows(self, i: int, key: Any) -> Any:
        """``value(i)[key]`` for basic indexing (ints, slices, Ellipsis),
        reading only the bytes of the rows the key selects when the node is
        an uncompressed array stored whole. Those bytes are not checked
        against the entry's digest, which covers all of it."""
        index = self.index
        _, kind, _, dtype, _, _, _, a, b, c, d = index.record(i)
        shape = index.shape(c, d) if kind == ARRAY else ()
        body = index.packet(a)[2] if kind == ARRAY and b == 1 else 0
        name = DTYPE_NAMES.get(dtype)
        if not body or name is None or _oversized(shape):
            return self.value(i)[key]
        wire = _UINT8 if name in FLOAT8 else dtype
        item = _ITEM_SIZES[dtype]
        self.within(a, wire, shape)
        picks = _basic_index(key, shape)
        strides = [item * math.prod(shape[k + 1 :]) for k in range(len(shape))]
        offset = body
        k = 0
        while k < len(picks) and isinstance(picks[k], int):
            offset += picks[k] * strides[k]
            k += 1
        rest: tuple[Any, ...] = ()
        if k == len(shape):
            block_shape: tuple[int, ...] = ()
        else:
            start, stop, step = picks[k].indices(shape[k])
            chosen = range(start, stop, step)
            low = min(chosen) if chosen else 0
            high = max(chosen) + 1 if chosen else 0
            offset += low * strides[k]
            block_shape = (high - low, *shape[k + 1 :])
            inner = slice(start - low, stop - low if stop - low >= 0 else None, step)
            rest = (inner, *picks[k + 1 :])
        if offset + math.prod(block_shape) * item > body + math.prod(shape) * item:
            raise _damaged("an array's rows lie outside it")
        array = self.views([(offset, wire, block_shape)])[0]
        if rest:
            array = array[rest]
        if name in FLOAT8:
            array = self.float8(array, name)
        return array if self.wrap is None else self.wrap(array)

    def chunks(self, first: int, count: int, wire: int, shape: tuple[int, ...]) -> Any:
        """A tensor stored as flat chunks, joined into one array (one copy)."""
        total = math.prod(shape)
        if not _addressable(shape, _ITEM_SIZES[wire]):
            raise _damaged("a shape is too large")
        # The chunks' headers must add up before the tensor is allocated: a
        # damaged shape in the index never asks for more memory than they hold.
        if sum(self.dense(p, wire, None) for p in range(first, first + count)) != total:
            raise _damaged("chunks do not add up to the tensor")
        out: npt.NDArray[Any] | None = None
        filled = 0
        for p in range(first, first + count):
            chunk = self.decode(p)
            if not isinstance(chunk, np.ndarray) or chunk.ndim != 1:
                raise _damaged("a chunk is not a flat array")
            if out is None:
                out = np.empty(total, dtype=chunk.dtype)
            if chunk.dtype != out.dtype or filled + chunk.size > total:
                raise _damaged("chunks do not add up to the tensor")
            out[filled : filled + chunk.size] = chunk
            filled += chunk.size
        if filled != total:
            raise _damaged("chunks do not add up to the tensor")
        if out is None:
            name = DTYPE_NAMES[wire]
            bits = self.bfloat16 if name == "bfloat16" and self.bfloat16 is not None else None
            out = np.empty(0, dtype=bits if bits is not None else name)
        return out.reshape(shape)

    def all(self) -> Any:
        """The whole value (every digest checked first when the file has them).

        Read in bulk: the tables are taken as lists once, every array at an
        offset the index gives is made in one native call, and containers
        are built from the leaves up (children always follow their parent
        in the index, so no node is visited twice and none can loop).
        """
        if self.source is not None:
            wanted = self.ranges([0])
            if self.index.digests:
                wanted.append(self.index.tail())
            self.source.prefetch(wanted)
        self.verify_all()
        index = self.index
        count = index.count
        kinds = index.column("kind")
        key_kinds = index.column("key_kind")
        keys = index.column("key")
        key_lens = index.column("key_len")
        dtypes = index.column("dtype")
        a_col, b_col, c_col, d_col = (index.column(name) for name in "abcd")
        packets = index.packets.tolist()
        shapes = index.shapes.tolist()
        pool = index.pool.tobytes()
        values: list[Any] = [None] * count
        # Only what the root reaches is read (a damaged index may hold nodes
        # no container names); children always follow their container.
        reached = bytearray(count)
        reached[0] = 1
        for i in range(count):
            if reached[i] and kinds[i] in CONTAINERS:
                first, n = a_col[i], b_col[i]
                if first <= i or first + n > count:
                    raise _damaged(f"node {i} has children outside it")
                reached[first : first + n] = b"\x01" * n
        # Arrays stored whole and uncompressed: views made in one call.
        batch: list[tuple[int, int, tuple[int, ...]]] = []
        batch_nodes: list[int] = []
        npackets = len(packets)
        decoded = self.decoded
        end, size = index.end, index.size
        prod, item_sizes, wire_codes = math.prod, _ITEM_SIZES, len(WIRE_DTYPES)
        for i in range(count):
            if not reached[i]:
                continue
            kind = kinds[i]
            if kind == ARRAY and b_col[i] == 1:
                a = a_col[i]
                c, d = c_col[i], d_col[i]
                # Bounds are the native call's to check; only what indexes
                # the tables here is checked here.
                if a < npackets and d <= MAX_WIRE_NDIM and c + d <= len(shapes):
                    offset, length, body, _ = packets[a]
                    wire = dtypes[i]
                    shape = tuple(shapes[c : c + d])
                    elements = prod(shape)
                    if (
                        body
                        and end <= offset <= body <= offset + length <= size
                        and 0 < wire <= wire_codes
                        # Not one packet's worth (a nonempty shape within the
                        # element limit has no extent past it either).
                        and elements <= MAX_ELEMENTS
                        and (elements or not _oversized(shape))
                        and body + elements * item_sizes[wire] <= offset + length
                        and (not decoded or (ARRAY, wire, a, 1, shape) not in decoded)
                    ):
                        batch.append((body, wire, shape))
                        batch_nodes.append(i)
                        continue
            if kind not in CONTAINERS:
                values[i] = self.at(i, kind, dtypes[i], a_col[i], b_col[i], c_col[i], d_col[i])
        if batch:
            if self.index.digests:
                for i in batch_nodes:
                    self.verify_packet(a_col[i])
            wrap = self.wrap
            i = 0
            try:
                for i, array in zip(batch_nodes, self.views(batch), strict=True):
                    key = (ARRAY, dtypes[i], a_col[i], 1, array.shape)
                    found = decoded.get(key)
                    if found is None:
                        found = array if wrap is None else wrap(array)
                        decoded[key] = found
                    values[i] = found
            except Exception as error:
                self._located(i, error)
                raise
        for i in range(count - 1, -1, -1):
            kind = kinds[i]
            if kind not in CONTAINERS or not reached[i]:
                continue
            first, n = a_col[i], b_col[i]
            if first <= i or first + n > count:
                raise _damaged(f"node {i} has children outside it")
            children = values[first : first + n]
            if kind == DICT:
                names: list[str | int] = []
                for j in range(first, first + n):
                    key_kind = key_kinds[j]
                    if key_kind == STR_KEY:
                        start, end = keys[j], keys[j] + key_lens[j]
                        if end > len(pool):
                            raise _damaged("a name lies outside it")
                        try:
                            names.append(pool[start:end].decode("utf-8", "surrogatepass"))
                        except UnicodeDecodeError:
                            raise _damaged("a key is not UTF-8") from None
                    else:
                        names.append(self.index._key(key_kind, keys[j], key_lens[j]))
                values[i] = dict(zip(names, children, strict=True))
                if len(values[i]) != n:
                    _distinct(names)
            else:
                for j in range(first, first + n):  # keys checked as every reader checks them
                    self.index._key(key_kinds[j], keys[j], key_lens[j])
                values[i] = children if kind == LIST else tuple(children)
        return values[0]


def _basic_index(key: Any, shape: tuple[int, ...]) -> list[Any]:
    """``key`` as one int (made non-negative) or slice per dimension."""
    items = list(key) if isinstance(key, tuple) else [key]
    if sum(item is Ellipsis for item in items) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if Ellipsis in items:
        at = items.index(Ellipsis)
        items[at : at + 1] = [slice(None)] * (len(shape) - len(items) + 1)
    if len(items) > len(shape):
        raise IndexError(
            f"too many indices: the array is {len(shape)}-dimensional, "
            f"but {len(items)} were indexed"
        )
    out: list[Any] = []
    for k, item in enumerate(items):
        if isinstance(item, slice):
            out.append(item)
            continue
        try:
            position = int(item.__index__())
        except (AttributeError, TypeError):
            raise IndexError(
                "only integers, slices and Ellipsis ('...') index a slice of an entry, "
                f"not {type(item).__name__}"
            ) from None
        if not -shape[k] <= position < shape[k]:
            raise IndexError(f"index {position} is out of bounds for axis {k} with size {shape[k]}")
        out.append(position % shape[k])
    out += [slice(None)] * (len(shape) - len(out))
    return out


_FLOAT8_MARKED: dict[str, np.dtype[Any]] = {}


def _numpy_float8(array: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    """float8 data as NumPy holds it: ml_dtypes' type when it is installed,
    else uint8 bits whose dtype names the type (in its metadata)."""
    ml_dtypes = sys.modules.get("ml_dtypes")
    if ml_dtypes is None:
        try:
            import ml_dtypes
        except ImportError:
            ml_dtypes = None
    kind = getattr(ml_dtypes, name, None) if ml_dtypes is not None else None
    if kind is not None:
        return array.view(kind)
    marked = _FLOAT8_MARKED.get(name)
    if marked is None:
        marked = _FLOAT8_MARKED[name] = np.dtype(np.uint8, metadata={"vamra": name})
    return array.view(marked)


def float8_name(dtype: Any) -> str | None:
    """The float8 type an array's dtype holds (ml_dtypes', or marked uint8 bits)."""
    name = getattr(dtype, "name", None)
    if name in FLOAT8:
        return str(name)
    metadata = getattr(dtype, "metadata", None)
    if metadata and metadata.get("vamra") in FLOAT8:
        return str(metadata["vamra"])
    return None


def read_index(buffer: Any, name: str = "") -> Index | None:
    """The index of a laid-out packet held in ``buffer``, or None when the
    packet is not laid out."""
    view = memoryview(buffer)
    found = index_range(view[:HEAD_SIZE])
    if found is None:
        return None
    start, length = found
    if start + length > len(view):
        raise ValueError("Packet too short: the index runs past the end of the data")
    return Index(view[start : start + length], start)


def iter_tree(
    index: Index, i: int = 0, path: tuple[Any, ...] = ()
) -> Iterator[tuple[tuple[Any, ...], int]]:
    """(key path, node) for every node below ``i``, in the order saved."""
    yield path, i
    for j, key in zip(index.children(i), index.keys(i), strict=True):
        yield from iter_tree(index, j, (*path, key))


def _distinct(names: list[Any]) -> None:
    """A dict's keys, which a writer never repeats: a repeated one is damage
    (every reader refuses it, rather than each keeping a different value)."""
    if len(set(names)) != len(names):
        raise _damaged("a dict holds a key twice")


def describe(index: Index, i: int) -> dict[str, Any]:
    """What the index says of node ``i``: its kind name, dtype, shape, stored bytes."""
    _, kind, _, dtype, _, _, _, a, b, c, d = index.record(i)
    names = {
        DICT: "dict", LIST: "list", TUPLE: "tuple", NONE: "none", BOOL: "bool", INT: "int",
        BIGINT: "int", FLOAT: "float", STR: "str", BYTES: "bytes", ARRAY: "array",
        SPARSE: "sparse", STRINGS: "string", QUANTIZED: "quantized",
    }  # fmt: skip
    info: dict[str, Any] = {"kind": names.get(kind, f"kind {kind}")}
    if kind in CONTAINERS:
        info["entries"] = b
    if kind in PACKED:
        if kind == QUANTIZED:
            info["dtype"] = QUANTIZED_NAMES.get(dtype)
        else:
            info["dtype"] = "string" if kind == STRINGS else DTYPE_NAMES.get(dtype)
        info["shape"] = index.shape(c, d)
        info["packets"] = [index.packet(p) for p in range(a, a + b)]
    return info


__all__: Sequence[str] = ()
