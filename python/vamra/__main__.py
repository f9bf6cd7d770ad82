"""The ``vamra`` command line: inspect, verify and convert checkpoint files.

``vamra inspect FILE [--verify]`` prints the tree of entries (kind, dtype,
shape, size on disk, compression ratio, checksum) from the packet framing and
headers alone: it maps the file and never decodes bodies, so it works on files
larger than memory. ``--verify`` also checks every checksum and exits with 1,
naming the entry, when one is damaged.

``vamra convert SRC DST`` converts between vamra packets, safetensors files
and ``.npy``/``.npz`` files, keeping every tensor's bytes exactly; a sharded
checkpoint in the layout of model hubs (safetensors shards and
``model.safetensors.index.json``) into a vamra sharded checkpoint, and back. Between
vamra and safetensors files it goes through torch tensors when PyTorch is
installed, which carries bfloat16 (safetensors' NumPy interface has none).

Every output of ``convert`` is written to a temporary file beside the
destination and renamed over it once complete, as :func:`vamra.save` does: a
conversion that fails leaves an existing destination as it was. A destination
that is the source itself is refused before anything is written.

Exit status: 0 on success, 1 when a file is unreadable, damaged or cannot be
converted, 2 for wrong usage. A failure prints one line on stderr; keys and
file names are printed with control characters escaped.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import warnings
import zipfile
from collections.abc import Iterator, Sequence
from typing import Any, Final, NamedTuple, NoReturn, TextIO

import vamra
from vamra import _layout, _values, files, shards

FORMATS = ("vamra", "safetensors", "npy", "npz")

# Element types safetensors files hold, by NumPy's (or torch's) name.
SAFETENSORS_DTYPES: Final = frozenset(
    {
        "float64", "float32", "float16", "bfloat16", "int64", "int32", "int16", "int8",
        "uint64", "uint32", "uint16", "uint8", "bool", "complex64",
    }
)  # fmt: skip


class Failure(Exception):
    """A failure to report on one line, with the exit status it gives."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def escape(text: str, *, slash: bool = False) -> str:
    """``text`` with every character that is not printable as a ``\\x``,
    ``\\u`` or ``\\U`` escape, backslashes doubled, and with ``slash`` the
    ``/`` too (``\\x2f``), so that a key can neither move the cursor, colour
    the terminal nor forge a line, and a path of keys reads unambiguously."""
    out = []
    for c in text:
        if c == "\\":
            out.append("\\\\")
        elif slash and c == "/":
            out.append("\\x2f")
        elif c.isprintable():
            out.append(c)
        else:
            out.append(repr(c)[1:-1])  # \n, \x1b, \u2028...
    return "".join(out)


def _say(message: str) -> None:
    """One line on stderr, control characters escaped."""
    line = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
    print(f"vamra: {line}", file=sys.stderr)


def _reason(exc: BaseException) -> str:
    text = str(exc)
    if isinstance(exc, KeyError) and exc.args:
        text = repr(exc.args[0])
    return text or type(exc).__name__


def _size(n: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} B"


class Node(NamedTuple):
    """One packet of a file: its keys from the top, nesting depth, header
    description (None when it cannot be read, with the reason in ``error``)
    and where it lies."""

    keys: tuple[str, ...]
    info: dict[str, Any] | None
    error: str | None
    offset: int
    length: int

    @property
    def depth(self) -> int:
        return len(self.keys)

    @property
    def path(self) -> str:
        return "/".join(escape(k, slash=True) for k in self.keys)


def _walk(source: files.MappedFile, descend: Any = None) -> Iterator[Node]:
    """Every packet of a file, depth first, from the framing and headers alone.
    ``descend(node)`` (when given) may refuse to enter a bundle. Iterative:
    nesting depth is bounded by the file, not by the interpreter's stack."""
    ext = files._ext()
    buffer = source.view()
    stack: list[tuple[tuple[str, ...], int, int]] = [((), 0, len(buffer))]
    while stack:
        keys, offset, length = stack.pop()
        try:
            info = ext.describe(buffer, offset, length)
        except ValueError as exc:
            yield Node(keys, None, str(exc), offset, length)
            continue
        node = Node(keys, info, None, offset, info["size"])
        yield node
        if info["kind"] != "bundle" or (descend is not None and not descend(node)):
            continue
        try:
            entries = ext.index(buffer, offset, length)
        except ValueError as exc:
            yield Node((*keys, ""), None, f"bundle framing: {exc}", offset, 0)
            continue
        for key, start, size, _ in reversed(entries):
            stack.append(((*keys, key), start, size))


def _row(info: dict[str, Any]) -> list[str]:
    shape = "x".join(str(d) for d in info["shape"]) if info["shape"] else "-"
    if info["kind"] == "bundle":
        return ["bundle", "-", f"{info['entries']} entries", _size(info["size"]), "-", "-"]
    ratio = f"{info['uncompressed'] / info['stored']:.2f}" if info["stored"] else "1.00"
    return [
        info["kind"],
        info["dtype"] or "-",
        shape if info["shape"] else "scalar" if info["kind"] == "dense" else "-",
        _size(info["size"]),
        ratio,
        "yes" if info["checksum"] else "no",
    ]


class _Verifier:
    """Checks each packet of a file as loading the file would, keeping no value."""

    def __init__(self, source: files.MappedFile) -> None:
        self.source = source
        self.checked = 0  # checksums that matched

    def check(self, node: Node) -> str | None:
        """Why loading the file would fail on this packet, or None."""
        assert node.info is not None
        kind = node.info["kind"]
        # A bundle's framing is read by the walk; it is decoded here only where
        # the nesting limit may refuse it (its entries are checked one by one).
        if kind == "bundle" and node.depth < _values.MAX_DEPTH:
            return None
        try:
            files._ext().verify(self.source.view(), node.offset, node.length, node.depth)
            if kind in ("coo", "csr", "csc"):
                # SciPy has its own rules for the components: build the matrix
                # as load does, and drop it.
                vamra.loads(self.source.view(node.offset, node.length))
        except (ValueError, TypeError, ImportError) as exc:
            # TypeError and ImportError: load could not build it here either
            # (an element type NumPy lacks; SciPy not installed).
            return _reason(exc)
        self.checked += bool(node.info["checksum"])
        return None


def _laid_out_rows(
    path: str, source: files.MappedFile, index: _layout.Index, verify: bool
) -> tuple[list[list[str]], list[tuple[str, str]], int]:
    """The rows of a laid-out file, from its index, and (with ``verify``)
    what reading each entry would refuse, found as loading it would find it."""
    rows: list[list[str]] = []
    damaged: list[tuple[str, str]] = []
    try:
        reader = _layout.Reader(index, source.view(), name=source.name)
    except ValueError as exc:  # a truncated file
        return rows, [("", _reason(exc))], 0
    checked = 0
    if verify:
        try:
            reader.verify_edges()
            checked += 2 * index.digests
        except ValueError as exc:
            damaged.append(("", _reason(exc)))
    walk: Iterator[tuple[tuple[Any, ...], int]] = _layout.iter_tree(index)
    while True:
        try:
            keys, node = next(walk)
        except StopIteration:
            break
        except ValueError as exc:  # the tree itself is damaged
            damaged.append(("", _reason(exc)))
            break
        key = escape(str(keys[-1])) if keys else escape(os.path.basename(path))
        entry = "/".join(escape(str(k), slash=True) for k in keys)
        try:
            rows.append(["  " * len(keys) + key, *_index_row(reader, node)])
            if verify:
                reader.check(node)
        except ValueError as exc:
            damaged.append((entry, _reason(exc)))
    if verify and not damaged:
        checked += len(reader.verified)
    return rows, damaged, checked


def _index_row(reader: _layout.Reader, node: int) -> list[str]:
    info = _layout.describe(reader.index, node)
    kind = info["kind"]
    if "entries" in info:
        return [kind, "-", f"{info['entries']} entries", "-", "-", "-"]
    if "packets" not in info:
        value = repr(reader.value(node))
        return [kind, "-", escape(value if len(value) <= 24 else value[:21] + "..."), "-", "-", "-"]
    packets = info["packets"]
    stored = sum(length for _, length, _, _ in packets)
    uncompressed = 0
    for offset, length, body, _ in packets:
        if body:  # stored whole and uncompressed: the index says all of it
            uncompressed += length
            continue
        described = files._ext().describe(reader.data, offset, length)
        uncompressed += described["uncompressed"] - described["stored"] + length
    shape = "x".join(str(d) for d in info["shape"]) or "scalar"
    ratio = f"{uncompressed / stored:.2f}" if stored else "1.00"
    checksum = "yes" if reader.index.digests else "no"
    return [kind, info["dtype"] or "-", shape, _size(stored), ratio, checksum]


def inspect(path: str, verify: bool, out: TextIO) -> int:
    """Prints the tree of a file's entries; returns the exit status."""
    try:
        source = files.MappedFile(path)
    except (OSError, ValueError) as exc:
        _say(_reason(exc))
        return 1
    try:
        index = _layout.read_index(source.view())
    except ValueError as exc:
        source.close()
        _say(f"{escape(path)}: {_reason(exc)}")
        return 1
    if index is not None:
        return _inspect_laid_out(path, source, index, verify, out)
    header = ["entry", "kind", "dtype", "shape", "on disk", "ratio", "checksum"]
    rows: list[list[str]] = []
    damaged: list[tuple[str, str]] = []
    verifier = _Verifier(source)
    failed: set[tuple[str, ...]] = set()

    def descend(node: Node) -> bool:
        return node.keys not in failed  # nothing below a refused bundle is read

    with source:
        for node in _walk(source, descend if verify else None):
            key = node.keys[-1] if node.keys else os.path.basename(path)
            name = "  " * node.depth + escape(key)
            if node.info is None:
                rows.append([name, "damaged", "-", "-", "-", "-", "-"])
                damaged.append((node.path, node.error or ""))
                continue
            rows.append([name, *_row(node.info)])
            if verify:
                error = verifier.check(node)
                if error is not None:
                    failed.add(node.keys)
                    damaged.append((node.path, error))
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        out.write("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() + "\n")
    for entry, error in damaged:
        _say(f"{escape(path)}: damaged entry '{entry or escape(path)}': {error}")
    if verify and not damaged:
        out.write(f"verified: {verifier.checked} checksums match, every packet is well formed\n")
    return 1 if damaged else 0


def _table(rows: list[list[str]], out: TextIO) -> None:
    header = ["entry", "kind", "dtype", "shape", "on disk", "ratio", "checksum"]
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        out.write("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() + "\n")


def _inspect_laid_out(
    path: str, source: files.MappedFile, index: _layout.Index, verify: bool, out: TextIO
) -> int:
    with source:
        rows, damaged, checked = _laid_out_rows(path, source, index, verify)
        try:
            metadata = index.metadata()
        except ValueError as exc:
            metadata = {}
            damaged.append(("", _reason(exc)))
    _table(rows, out)
    for key, value in metadata.items():
        out.write(f"metadata: {escape(key)} = {escape(value)}\n")
    for entry, error in damaged:
        _say(f"{escape(path)}: damaged entry '{entry or escape(path)}': {error}")
    if verify and not damaged:
        out.write(f"verified: {checked} checksums match, every packet is well formed\n")
    return 1 if damaged else 0


def _format_of(path: str, given: str | None) -> str:
    if given:
        return given
    ext = os.path.splitext(path)[1].lower()
    return {".safetensors": "safetensors", ".npy": "npy", ".npz": "npz"}.get(ext, "vamra")


def _safetensors(tensors: bool) -> Any:
    """safetensors' interface for torch tensors or for NumPy arrays."""
    try:
        return importlib.import_module("safetensors.torch" if tensors else "safetensors.numpy")
    except ImportError as exc:
        raise ImportError(
            "converting safetensors files needs the safetensors package: "
            "pip install 'vamra[safetensors]'"
        ) from exc


def through_torch(src_format: str, dst_format: str) -> bool:
    """Whether a conversion reads and writes torch tensors: between vamra and
    safetensors files when torch is installed."""
    formats = {src_format, dst_format}
    return (
        "safetensors" in formats
        and formats <= {"vamra", "safetensors"}
        and importlib.util.find_spec("torch") is not None
    )


def _flatten(value: Any, fmt: str, prefix: str = "") -> dict[str, Any]:
    """A flat dict of arrays; nested dicts become dotted keys."""
    import numpy as np

    if not isinstance(value, dict):
        if prefix:
            raise ValueError(f"cannot write {type(value).__name__} entry {prefix!r} as {fmt}")
        raise ValueError(f"{fmt} files hold a dict of arrays, not a single {type(value).__name__}")
    flat: dict[str, Any] = {}
    for key, item in value.items():
        name = f"{prefix}.{key}" if prefix else key
        if isinstance(item, dict):
            nested = _flatten(item, fmt, name)
        elif isinstance(item, np.ndarray) or _values.is_torch_tensor(item):
            nested = {name: item}
        else:
            raise ValueError(
                f"{fmt} files hold only dense arrays: entry {name!r} is a {type(item).__name__}"
            )
        for k, v in nested.items():
            if k in flat:
                raise ValueError(f"entry {k!r} appears twice once nested keys are joined with '.'")
            flat[k] = v
    return flat


def _dtype_name(array: Any) -> str:
    return str(array.dtype).removeprefix("torch.")


def _numpy_type(name: str, array: Any, fmt: str) -> None:
    """Refuses an array whose element type a .npy/.npz file cannot name."""
    dtype = array.dtype
    if dtype.kind == "V" or dtype.hasobject or type(dtype).__module__.split(".")[0] != "numpy":
        raise ValueError(f"entry {name!r} is {dtype}, which {fmt} files cannot hold")


def _c_order(value: Any) -> Any:
    """The value with every NumPy array in C order (values kept): packets hold
    C-ordered bodies, and .npy/.npz files may hold Fortran-ordered arrays."""
    import numpy as np

    if isinstance(value, dict):
        return {k: _c_order(v) for k, v in value.items()}
    if isinstance(value, np.ndarray) and not value.flags.c_contiguous:
        return np.ascontiguousarray(value)
    return value


def _check_packet_limits(value: Any, keys: tuple[str, ...] = ()) -> None:
    """Refuses, naming the entry, an array not in C order. A vamra file holds
    any size of array: past one packet's, in chunks."""
    if isinstance(value, dict):
        for key, item in value.items():
            _check_packet_limits(item, (*keys, key))
        return
    import numpy as np

    if not (isinstance(value, np.ndarray) or _values.is_torch_tensor(value)):
        return
    name = f"entry {'/'.join(keys)!r}" if keys else "the array"
    contiguous = getattr(value, "is_contiguous", None)
    c_order = contiguous() if callable(contiguous) else value.flags.c_contiguous
    if not c_order:
        raise ValueError(f"{name} is not C-contiguous")


def _check_npy_header(handle: Any, size: int, name: str) -> None:
    """Refuses a .npy whose header claims more bytes than the file holds:
    NumPy would allocate that much (up to 4 GiB) before reading it."""
    preamble = handle.read(12)
    if len(preamble) < 10 or not preamble.startswith(b"\x93NUMPY"):
        return  # NumPy says what is wrong
    wide = preamble[6] >= 2
    if wide and len(preamble) < 12:
        return
    length = int.from_bytes(preamble[8:12] if wide else preamble[8:10], "little")
    if length > size:
        raise ValueError(f"{name}: the header claims {length:,} bytes, more than the file holds")


def _check_archive(path: str) -> None:
    """Refuses an .npz whose members claim more bytes than the archive holds,
    before NumPy sizes its reads from those claims."""
    size = os.path.getsize(path)
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            stored = info.compress_type == zipfile.ZIP_STORED
            if info.compress_size > size or (stored and info.file_size > size):
                raise ValueError(
                    f"member {info.filename!r} claims {info.file_size:,} bytes, "
                    "more than the archive holds"
                )
            if info.filename.endswith(".npy"):
                with archive.open(info) as member:
                    _check_npy_header(member, info.file_size, f"member {info.filename!r}")


def read_metadata(path: str, fmt: str) -> dict[str, str]:
    """The metadata a file holds: a vamra file's, a safetensors file's
    ``__metadata__``; NumPy's files hold none."""
    if fmt == "vamra":
        with files.MappedFile(path) as source:
            index = _layout.read_index(source.view())
            return index.metadata() if index is not None else {}
    if fmt == "safetensors":
        with _safetensors(False).safe_open(path, "numpy") as handle:
            return dict(handle.metadata() or {})
    return {}


def read(path: str, fmt: str, tensors: bool = False) -> Any:
    """The value held by a file of the given format (torch tensors if ``tensors``)."""
    import numpy as np

    if fmt == "vamra":
        if tensors:
            return importlib.import_module("vamra.torch").load(path)
        try:
            return vamra.load(path)
        except TypeError as exc:
            if "bfloat16" not in str(exc):
                raise
            raise ValueError(
                "the file holds bfloat16 arrays, which NumPy has no type for: "
                "they convert only to safetensors files, with torch installed"
            ) from None
    if fmt == "safetensors":
        return _safetensors(tensors).load_file(path)
    if fmt == "npy":
        with open(path, "rb") as handle:
            _check_npy_header(handle, os.fstat(handle.fileno()).st_size, "the file")
        return np.load(path, mmap_mode="r", allow_pickle=False)
    _check_archive(path)
    with np.load(path, allow_pickle=False) as archive:
        return {name: archive[name] for name in archive.files}


def prepare(value: Any, fmt: str, tensors: bool = False) -> Any:
    """What will be written for ``value`` in a file of format ``fmt``, after
    every check that can fail: nothing is written before this returns."""
    import numpy as np

    if fmt == "vamra":
        value = _c_order(value)
        _check_packet_limits(value)
        return value
    if fmt == "npy":
        if not isinstance(value, np.ndarray):
            raise ValueError(f"npy files hold one array, not a {type(value).__name__}")
        _numpy_type("the array", value, fmt)
        return value
    flat = _flatten(value, fmt)
    if fmt == "npz":
        for name, array in flat.items():
            _numpy_type(name, array, fmt)
        return flat
    for name, array in flat.items():
        if _dtype_name(array) not in SAFETENSORS_DTYPES:
            raise ValueError(
                f"entry {name!r} is {_dtype_name(array)}, which safetensors files cannot hold"
            )
    if tensors:
        return {k: v.contiguous() for k, v in flat.items()}
    return {k: np.ascontiguousarray(v) for k, v in flat.items()}


def _write_npz(handle: Any, arrays: dict[str, Any]) -> None:
    """An uncompressed .npz archive, as numpy.savez writes it, for any keys
    (savez takes them as keyword arguments, and some names clash with its own)."""
    import numpy as np

    with zipfile.ZipFile(handle, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=False)


def write(
    value: Any,
    path: str,
    fmt: str,
    options: dict[str, Any],
    tensors: bool = False,
    metadata: dict[str, str] | None = None,
) -> None:
    """Writes a value to a file of the given format (of torch tensors if
    ``tensors``), with ``metadata`` where the format holds it, replacing the
    destination only once it is complete."""
    import numpy as np

    prepared = prepare(value, fmt, tensors)
    if fmt == "vamra":
        vamra.save(prepared, path, metadata=metadata or None, **options)
        return
    with files._replacing(path) as (fd, name):
        if fmt == "safetensors":
            _safetensors(tensors).save_file(prepared, name, metadata=metadata or None)
            return
        with os.fdopen(fd, "wb", closefd=False) as handle:
            if fmt == "npy":
                np.save(handle, prepared, allow_pickle=False)
            else:
                _write_npz(handle, prepared)


def _same_file(src: str, dst: str) -> bool:
    try:
        return os.path.samefile(src, dst)
    except OSError:
        return False


def convert(src: str, dst: str, src_format: str, dst_format: str, options: dict[str, Any]) -> int:
    """Converts a file; returns the exit status."""
    if _same_file(src, dst):
        _say(f"cannot convert {escape(src)} to {escape(dst)}: they are the same file")
        return 2
    tensors = through_torch(src_format, dst_format)
    try:
        with warnings.catch_warnings():
            # Readers warn about what they read (NumPy about .npy headers of
            # old Python versions): the file converts or fails all the same.
            warnings.simplefilter("ignore")
            metadata = read_metadata(src, src_format)
            value = read(src, src_format, tensors)
            write(value, dst, dst_format, options, tensors, metadata)
    except Exception as exc:  # noqa: BLE001 - every failure is one line, never a traceback
        _say(f"cannot convert {escape(src)} to {escape(dst)}: {_reason(exc)}")
        return 1
    return 0


def convert_sharded(src: str, dst: str, options: dict[str, Any]) -> int | None:
    """Converts a sharded checkpoint: the hub layout (safetensors shards and
    ``*.safetensors.index.json``) into a vamra one at DST, or a vamra one
    (a directory or ``*.vmra.index.json``) into the hub layout. None when SRC
    is neither."""
    try:
        if shards.hub_index(src) is not None:
            shards.from_hub(src, dst, **options)
            return 0
        if os.path.isdir(src) or src.endswith(shards.INDEX_SUFFIX):
            tensors = importlib.util.find_spec("torch") is not None
            load = importlib.import_module("vamra.torch").load if tensors else None
            shards.to_hub(src, dst, load)
            return 0
    except Exception as exc:  # noqa: BLE001 - every failure is one line, never a traceback
        _say(f"cannot convert {escape(src)} to {escape(dst)}: {_reason(exc)}")
        return 1
    return None


class _Parser(argparse.ArgumentParser):
    """Reports wrong usage on one line, as every other failure is."""

    def error(self, message: str) -> NoReturn:
        print(f"{self.prog}: {escape(message)} (see '{self.prog} --help')", file=sys.stderr)
        sys.exit(2)


def _run(argv: Sequence[str] | None) -> int:
    parser = _Parser(prog="vamra", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    p_inspect = commands.add_parser("inspect", help="print the entries of a vamra file")
    p_inspect.add_argument("file")
    p_inspect.add_argument(
        "--verify",
        action="store_true",
        help="check every entry as loading would; exit 1 on damage",
    )
    p_convert = commands.add_parser(
        "convert", help="convert between vamra, safetensors, .npy and .npz files"
    )
    p_convert.add_argument("src")
    p_convert.add_argument("dst")
    p_convert.add_argument("--from", dest="src_format", choices=FORMATS, help="format of SRC")
    p_convert.add_argument("--to", dest="dst_format", choices=FORMATS, help="format of DST")
    p_convert.add_argument("--check-integrity", action="store_true", help="vamra: add checksums")
    p_convert.add_argument("--compress", action="store_true", help="vamra: compress arrays")
    args = parser.parse_args(argv)
    if args.command == "inspect":
        return inspect(args.file, args.verify, sys.stdout)
    options = {"check_integrity": args.check_integrity, "compress": args.compress}
    sharded = convert_sharded(args.src, args.dst, options)
    if sharded is not None:
        return sharded
    return convert(
        args.src,
        args.dst,
        _format_of(args.src, args.src_format),
        _format_of(args.dst, args.dst_format),
        options,
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        status = _run(argv)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`vamra inspect ... | head`): the rest of the
        # output has nowhere to go, and the interpreter must not try again at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 1
    except KeyboardInterrupt:
        _say("interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
