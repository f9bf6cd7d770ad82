"""The golden manifest's value notation: Python values to JSON and back, without pickle.

Every value a golden packet holds, or is written from, is recorded as a JSON
object with a ``type``:

- ``array``: ``dtype`` (the packet's element-type name, e.g. ``"bfloat16"``),
  ``shape`` and the elements' little-endian bytes in C order, either as
  ``data`` (base64) or, for long repetitive arrays, as ``tile`` (base64 of a
  pattern repeated until it fills the array);
- ``dict``: ``items``, a list of ``[key, value]`` pairs in insertion order;
- ``sparse``: ``format`` (``coo``, ``csr`` or ``csc``), ``shape`` and the three
  component arrays as SciPy names them (``data``, ``row``, ``col`` or ``data``,
  ``indices``, ``indptr``);
- ``strings``: the ``offsets`` table and the ``payload`` (base64) of a
  StringTensor, with its elements as text in ``items`` for the reader's eye;
- ``quantized``: a QuantizedTensor's fields, with its ``dequantized`` values;
- ``none``: ``None`` (also what ``vamra.loads`` returns for kinds it does not
  convert);
- ``bool``, ``int``, ``str``: the ``value`` as JSON has it; ``float``: the
  ``value`` as ``float.hex`` writes it (exact, NaN and infinities included);
  ``bytes``: ``data`` (base64);
- ``list``, ``tuple``: ``items``, the notes of the elements; a ``dict``'s keys
  may be JSON numbers (int keys) as well as strings.

Arrays of the float8 types are recorded under ml_dtypes' names.

Each golden case names the writer that made it (:data:`WRITERS`); the same
writers reproduce it in the tests, and the readers of :data:`READERS` decode
it. A new saved layout adds a writer and its readers here, and its cases in
``make_golden.py``.
"""

from __future__ import annotations

import base64
import io
from collections.abc import Callable
from pathlib import Path
from typing import Any

# Imported before any reader runs: NumPy knows "bfloat16" once ml_dtypes is loaded,
# and the readers make bfloat16 arrays by that name.
import ml_dtypes
import numpy as np


def numpy_dtype(name: str) -> np.dtype[Any]:
    """The little-endian NumPy dtype of a packet element-type name."""
    if name == "bfloat16" or name.startswith("float8"):
        return np.dtype(getattr(ml_dtypes, name))
    return np.dtype(name).newbyteorder("<")


def dtype_name(dtype: np.dtype[Any]) -> str:
    """The packet element-type name of a NumPy dtype."""
    if dtype.name == "bfloat16" or dtype.name.startswith("float8"):
        return str(dtype.name)
    return np.dtype(dtype).name


def _b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode("ascii")


def _unb64(text: str) -> bytes:
    return base64.b64decode(text.encode("ascii"), validate=True)


def array_to_json(array: np.ndarray[Any, Any], tile: bytes | None = None) -> dict[str, Any]:
    little = (
        array if array.dtype.byteorder in "<|=" else array.astype(array.dtype.newbyteorder("<"))
    )
    raw = np.ascontiguousarray(little).tobytes()
    note: dict[str, Any] = {
        "type": "array",
        "dtype": dtype_name(array.dtype),
        "shape": list(array.shape),
    }
    if tile is not None:
        repeats, rest = divmod(len(raw), len(tile))
        if tile * repeats + tile[:rest] != raw:
            raise ValueError("the array is not the given pattern repeated")
        note["tile"] = _b64(tile)
    else:
        note["data"] = _b64(raw)
    return note


def array_from_json(note: dict[str, Any]) -> np.ndarray[Any, Any]:
    dtype = numpy_dtype(note["dtype"])
    shape = tuple(note["shape"])
    size = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    if "tile" in note:
        pattern = _unb64(note["tile"])
        repeats, rest = divmod(size, len(pattern))
        raw = pattern * repeats + pattern[:rest]
    else:
        raw = _unb64(note["data"])
    if len(raw) != size:
        raise ValueError(f"{len(raw)} bytes recorded for shape {shape} of {note['dtype']}")
    return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()


_SPARSE_PARTS = {"coo": ("data", "row", "col"), "csr": ("data", "indices", "indptr")}
_SPARSE_PARTS["csc"] = _SPARSE_PARTS["csr"]


def to_json(value: Any) -> dict[str, Any]:
    """The manifest notation of ``value``."""
    from vamra import QuantizedTensor, StringTensor

    if value is None:
        return {"type": "none"}
    if isinstance(value, bool):
        return {"type": "bool", "value": value}
    if isinstance(value, int):
        return {"type": "int", "value": value}
    if isinstance(value, float):
        return {"type": "float", "value": value.hex()}
    if isinstance(value, str):
        return {"type": "str", "value": value}
    if isinstance(value, bytes):
        return {"type": "bytes", "data": _b64(value)}
    if isinstance(value, (list, tuple)):
        return {"type": type(value).__name__, "items": [to_json(v) for v in value]}
    if isinstance(value, dict):
        return {"type": "dict", "items": [[k, to_json(v)] for k, v in value.items()]}
    if isinstance(value, np.ndarray):
        return array_to_json(value)
    if isinstance(value, StringTensor):
        return {
            "type": "strings",
            "offsets": [int(o) for o in value.offsets],
            "payload": _b64(bytes(value.payload)),
            "items": value.tolist(),
        }
    if isinstance(value, QuantizedTensor):
        return {
            "type": "quantized",
            "dtype": value.dtype,
            "shape": list(value.shape),
            "quant_scheme": value.quant_scheme,
            "axis": value.axis,
            "group_size": value.group_size,
            "scales": array_to_json(value.scales),
            "zero_points": array_to_json(value.zero_points),
            "data": array_to_json(value.data),
            "dequantized": array_to_json(value.dequantize()),
        }
    fmt = getattr(value, "format", None)
    if fmt in _SPARSE_PARTS:
        return {
            "type": "sparse",
            "format": fmt,
            "shape": list(value.shape),
            "components": {
                part: array_to_json(getattr(value, part)) for part in _SPARSE_PARTS[fmt]
            },
        }
    raise TypeError(f"no manifest notation for {type(value).__name__}")


def from_json(note: dict[str, Any]) -> Any:
    """The value a manifest note records, built as the writer was given it."""
    from vamra import QuantizedTensor, StringTensor
    from vamra.quantize import DTYPE_CODES

    kind = note["type"]
    if kind == "none":
        return None
    if kind in ("bool", "int", "str"):
        return note["value"]
    if kind == "float":
        return float.fromhex(note["value"])
    if kind == "bytes":
        return _unb64(note["data"])
    if kind in ("list", "tuple"):
        items = [from_json(item) for item in note["items"]]
        return items if kind == "list" else tuple(items)
    if kind == "dict":
        return {key: from_json(item) for key, item in note["items"]}
    if kind == "array":
        return array_from_json(note)
    if kind == "strings":
        return StringTensor(
            np.array(note["offsets"], dtype=np.uint64), _unb64(note["payload"]), len(note["items"])
        )
    if kind == "quantized":
        return QuantizedTensor(
            data=array_from_json(note["data"]),
            scales=array_from_json(note["scales"]),
            zero_points=array_from_json(note["zero_points"]),
            shape=note["shape"],
            dtype_code=DTYPE_CODES[note["dtype"]],
            quant_scheme=note["quant_scheme"],
            group_size=note["group_size"],
            axis=note["axis"],
        )
    if kind == "sparse":
        import scipy.sparse

        parts = [array_from_json(note["components"][p]) for p in _SPARSE_PARTS[note["format"]]]
        shape = tuple(note["shape"])
        if note["format"] == "coo":
            matrix = scipy.sparse.coo_matrix((parts[0], (parts[1], parts[2])), shape=shape)
        else:
            make = getattr(scipy.sparse, f"{note['format']}_matrix")
            matrix = make(tuple(parts), shape=shape)
        # SciPy may choose other index types than the ones recorded: put them back.
        for name, part in zip(_SPARSE_PARTS[note["format"]], parts, strict=True):
            if getattr(matrix, name).dtype != part.dtype:
                setattr(matrix, name, part)
        return matrix
    raise ValueError(f"unknown manifest type {kind!r}")


def mismatches(value: Any, note: dict[str, Any], where: str = "value") -> list[str]:
    """How a decoded ``value`` differs from what ``note`` records (empty when it does not).

    Arrays are compared by element type, shape and bytes, so NaN payloads and
    signed zeros count too.
    """
    from vamra import QuantizedTensor, StringTensor

    kind = note["type"]
    if kind == "none":
        return [] if value is None else [f"{where}: {type(value).__name__} instead of None"]
    if kind in ("bool", "int", "str", "float", "bytes"):
        expected = from_json(note)
        same = type(value) is type(expected) and (
            value == expected or (kind == "float" and value != value and expected != expected)
        )
        return [] if same else [f"{where}: {value!r} instead of {expected!r}"]
    if kind in ("list", "tuple"):
        if type(value).__name__ != kind or len(value) != len(note["items"]):
            return [f"{where}: {type(value).__name__} of {len(value)} instead of a {kind}"]
        found_items: list[str] = []
        for i, (item, item_note) in enumerate(zip(value, note["items"], strict=True)):
            found_items += mismatches(item, item_note, f"{where}[{i}]")
        return found_items
    if kind == "dict":
        if not isinstance(value, dict):
            return [f"{where}: {type(value).__name__} instead of a dict"]
        keys = [key for key, _ in note["items"]]
        if list(value) != keys:
            return [f"{where}: keys {list(value)} instead of {keys}"]
        found: list[str] = []
        for key, item in note["items"]:
            found += mismatches(value[key], item, f"{where}[{key!r}]")
        return found
    if kind == "array":
        if not isinstance(value, np.ndarray):
            return [f"{where}: {type(value).__name__} instead of an array"]
        expected = array_from_json(note)
        if dtype_name(value.dtype) != note["dtype"] or value.shape != expected.shape:
            return [
                f"{where}: {dtype_name(value.dtype)}{list(value.shape)} instead of "
                f"{note['dtype']}{note['shape']}"
            ]
        if value.tobytes() != expected.tobytes():
            return [f"{where}: the elements differ"]
        return []
    if kind == "strings":
        if not isinstance(value, StringTensor):
            return [f"{where}: {type(value).__name__} instead of a StringTensor"]
        found = []
        if [int(o) for o in value.offsets] != note["offsets"]:
            found.append(f"{where}: offsets {list(value.offsets)}")
        if bytes(value.payload) != _unb64(note["payload"]) or value.tolist() != note["items"]:
            found.append(f"{where}: items {value.tolist()!r}")
        return found
    if kind == "quantized":
        if not isinstance(value, QuantizedTensor):
            return [f"{where}: {type(value).__name__} instead of a QuantizedTensor"]
        found = []
        for field in ("dtype", "quant_scheme", "axis", "group_size"):
            if getattr(value, field) != note[field]:
                found.append(f"{where}.{field}: {getattr(value, field)!r}")
        if list(value.shape) != note["shape"]:
            found.append(f"{where}.shape: {value.shape}")
        for field in ("scales", "zero_points", "data"):
            found += mismatches(getattr(value, field), note[field], f"{where}.{field}")
        if not found:
            found += mismatches(value.dequantize(), note["dequantized"], f"{where}.dequantize()")
        return found
    if kind == "sparse":
        if getattr(value, "format", None) != note["format"]:
            return [f"{where}: {type(value).__name__} instead of a {note['format']} matrix"]
        if list(value.shape) != note["shape"]:
            return [f"{where}: shape {value.shape}"]
        found = []
        for part, item in note["components"].items():
            found += mismatches(getattr(value, part), item, f"{where}.{part}")
        return found
    raise ValueError(f"unknown manifest type {kind!r}")


# ------------------------------------------------------------------ writers


def _dumps(value: Any, options: dict[str, Any], scratch: Path) -> dict[str, bytes]:
    """A packet, by every writer of packets: in memory, as streamed pieces (a
    plain packet; a dict's pieces are the plain bundle, without the index),
    and as a file."""
    import vamra
    from vamra import _layout
    from vamra.files import pieces

    found = {"vamra.dumps": vamra.dumps(value, **options)}
    if not _layout.needs_layout(value) and getattr(value, "format", None) is None:
        found["vamra.files.pieces"] = b"".join(bytes(p) for p in pieces(value, **options))
    return found


def _save(value: Any, options: dict[str, Any], scratch: Path) -> dict[str, bytes]:
    """A saved file, written to a path and to a file object."""
    import vamra

    path = scratch / "saved.vmra"
    vamra.save(value, path, **options)
    buffer = io.BytesIO()
    vamra.save(value, buffer, **options)
    return {"vamra.save(path)": path.read_bytes(), "vamra.save(file)": buffer.getvalue()}


def pack_directory(files: dict[str, bytes]) -> bytes:
    """The files of a directory as one bytes object, in name order: per file its
    name's length (4 bytes, little-endian), name, data length (8 bytes), data."""
    out = bytearray()
    for name in sorted(files):
        raw = name.encode("utf-8")
        out += len(raw).to_bytes(4, "little") + raw
        out += len(files[name]).to_bytes(8, "little") + files[name]
    return bytes(out)


def unpack_directory(packed: bytes) -> dict[str, bytes]:
    files: dict[str, bytes] = {}
    at = 0
    while at < len(packed):
        size = int.from_bytes(packed[at : at + 4], "little")
        name = packed[at + 4 : at + 4 + size].decode("utf-8")
        at += 4 + size
        length = int.from_bytes(packed[at : at + 8], "little")
        files[name] = packed[at + 8 : at + 8 + length]
        at += 8 + length
    return files


# The generation a golden sharded checkpoint's names carry in place of the
# random one of each save.
GOLDEN_GENERATION = "00000000"


def sharded_bytes(directory: Path) -> bytes:
    """A sharded checkpoint's files, packed, its generation made the golden one."""
    import json

    index = next(directory.glob("*.vmra.index.json"))
    generation = json.loads(index.read_text("utf-8"))["metadata"]["generation"]
    files = {}
    for path in sorted(directory.iterdir()):
        data = path.read_bytes()
        if path == index:
            data = data.replace(f'"{generation}'.encode(), f'"{GOLDEN_GENERATION}'.encode())
            data = data.replace(
                f".{generation}.vmra".encode(), f".{GOLDEN_GENERATION}.vmra".encode()
            )
        files[path.name.replace(f".{generation}.", f".{GOLDEN_GENERATION}.")] = data
    return pack_directory(files)


def _sharded(value: Any, options: dict[str, Any], scratch: Path) -> dict[str, bytes]:
    """A sharded checkpoint written into a directory and through its index path."""
    import tempfile

    import vamra

    found = {}
    for how, name in (("vamra.save(directory)", ""), ("vamra.save(index path)", INDEX_NAME)):
        directory = Path(tempfile.mkdtemp(dir=scratch))
        vamra.save(value, directory / name, **options)
        found[how] = sharded_bytes(directory)
    return found


INDEX_NAME = "model.vmra.index.json"


WRITERS: dict[str, Callable[[Any, dict[str, Any], Path], dict[str, bytes]]] = {
    "dumps": _dumps,
    "save": _save,
    "sharded": _sharded,
}
"""Each writer's bytes for a value (given its options and a scratch directory),
by every way this release writes them; a case made by hand (a layout no writer
of this release makes) has no writer."""


# ------------------------------------------------------------------ readers


def _packet_readers(path: Path) -> dict[str, Any]:
    import vamra
    from vamra import _layout, _native

    import vamra_rs

    data = path.read_bytes()
    found = {
        "vamra.loads": vamra.loads(data),
        "vamra.loads(bytearray)": vamra.loads(bytearray(data)),
    }
    if _layout.read_index(data) is None:
        found["vamra_rs.loads_rs"] = vamra_rs.loads_rs(data)
        found["vamra._native.loads"] = _native.loads(data)
    else:
        # A laid-out packet is a plain bundle to the module (its index one
        # entry of it); the module must read it, though not as the package does.
        assert isinstance(vamra_rs.loads_rs(data), dict)
    return found


def _file_readers(path: Path) -> dict[str, Any]:
    import vamra

    found = _packet_readers(path)
    found["vamra.load"] = vamra.load(path)
    found["vamra.load(mmap=False)"] = vamra.load(path, mmap=False)
    with path.open("rb") as handle:
        found["vamra.load(file)"] = vamra.load(handle)
    if isinstance(found["vamra.load"], dict):
        with vamra.open(path) as lazy:
            found["vamra.open"] = _materialise(lazy)
    return found


def _materialise(lazy: Any) -> dict[str, Any]:
    """Every entry of a lazily opened file, nested files opened the same way."""
    from collections.abc import Mapping

    found = {}
    for key in lazy:
        item = lazy[key]
        found[key] = _materialise(item) if isinstance(item, Mapping) else item
    return found


def _sharded_readers(path: Path) -> dict[str, Any]:
    """``path`` is the index; its directory is the checkpoint."""
    import vamra

    found = {
        "vamra.load(directory)": vamra.load(path.parent),
        "vamra.load(index)": vamra.load(path),
        "vamra.load(mmap=False)": vamra.load(path.parent, mmap=False),
    }
    with vamra.open(path.parent) as lazy:
        found["vamra.open"] = _materialise(lazy)
    return found


READERS: dict[str, Callable[[Path], dict[str, Any]]] = {
    "dumps": _file_readers,
    "save": _file_readers,
    "hand": _file_readers,
    "0.2": _file_readers,
    "sharded": _sharded_readers,
}
"""By the writer of a golden file: each reader's value for it, by every way this
release reads it (a packet is a file too)."""
