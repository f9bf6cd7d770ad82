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

Exit status: 0 on success, 1 when a file is unreadable or damaged, 2 for
wrong usage.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Any, TextIO

import vamra
from vamra import _values, files, shards

FORMATS = ("vamra", "safetensors", "npy", "npz")


def _size(n: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} B"


def _walk(
    source: files.MappedFile, offset: int, length: int | None, path: str, depth: int
) -> Iterator[tuple[str, int, dict[str, Any] | None, str | None, int, int]]:
    """(path, depth, description or None, error or None, offset, length) of every packet."""
    ext = files._ext()
    buffer = source.view()
    if length is None:
        length = len(buffer) - offset
    try:
        info = ext.describe(buffer, offset, length)
    except ValueError as exc:
        yield path, depth, None, str(exc), offset, length or 0
        return
    yield path, depth, info, None, offset, info["size"]
    if info["kind"] != "bundle":
        return
    try:
        entries = ext.index(buffer, offset, length)
    except ValueError as exc:
        yield path + "/", depth + 1, None, f"bundle framing: {exc}", offset, 0
        return
    for key, start, size, _ in entries:
        yield from _walk(source, start, size, f"{path}/{key}" if path else key, depth + 1)


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


def inspect(path: str, verify: bool, out: TextIO) -> int:
    """Prints the tree of a file's entries; returns the exit status."""
    try:
        source = files.MappedFile(path)
    except (OSError, ValueError) as exc:
        print(f"vamra: {exc}", file=sys.stderr)
        return 1
    status = 0
    header = ["entry", "kind", "dtype", "shape", "on disk", "ratio", "checksum"]
    rows: list[list[str]] = []
    damaged: list[tuple[str, str]] = []
    checked = 0
    with source:
        for entry, depth, info, error, offset, length in _walk(source, 0, None, "", 0):
            name = "  " * depth + (entry.rsplit("/", 1)[-1] if entry else os.path.basename(path))
            if info is None:
                rows.append([name, "damaged", "-", "-", "-", "-", "-"])
                damaged.append((entry or path, error or ""))
                continue
            rows.append([name, *_row(info)])
            if verify and info["kind"] != "bundle":
                try:
                    files._ext().verify(source.view(), offset, length)
                    checked += info["checksum"]
                except ValueError as exc:
                    damaged.append((entry or path, str(exc)))
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        out.write("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() + "\n")
    for entry, error in damaged:
        print(f"vamra: {path}: damaged entry {entry!r}: {error}", file=sys.stderr)
        status = 1
    if verify and not damaged:
        out.write(f"verified: {checked} checksums match, every packet is well formed\n")
    return status


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


def read(path: str, fmt: str, tensors: bool = False) -> Any:
    """The value held by a file of the given format (torch tensors if ``tensors``)."""
    import numpy as np

    if fmt == "vamra":
        if tensors:
            return importlib.import_module("vamra.torch").load(path)
        return vamra.load(path)
    if fmt == "safetensors":
        return _safetensors(tensors).load_file(path)
    if fmt == "npy":
        return np.load(path, mmap_mode="r", allow_pickle=False)
    with np.load(path, allow_pickle=False) as archive:
        return {name: archive[name] for name in archive.files}


def write(value: Any, path: str, fmt: str, options: dict[str, Any], tensors: bool = False) -> None:
    """Writes a value to a file of the given format (of torch tensors if ``tensors``)."""
    import numpy as np

    if fmt == "vamra":
        vamra.save(value, path, **options)
    elif fmt == "safetensors":
        contiguous = (lambda v: v.contiguous()) if tensors else np.ascontiguousarray
        _safetensors(tensors).save_file(
            {k: contiguous(v) for k, v in _flatten(value, fmt).items()}, path
        )
    elif fmt == "npy":
        if not isinstance(value, np.ndarray):
            raise ValueError(f"npy files hold one array, not a {type(value).__name__}")
        with open(path, "wb") as handle:
            np.save(handle, value, allow_pickle=False)
    else:
        with open(path, "wb") as handle:
            np.savez(handle, **_flatten(value, fmt))


def convert(src: str, dst: str, src_format: str, dst_format: str, options: dict[str, Any]) -> int:
    tensors = through_torch(src_format, dst_format)
    try:
        write(read(src, src_format, tensors), dst, dst_format, options, tensors)
    except (OSError, ValueError, ImportError) as exc:
        print(f"vamra: cannot convert {src} to {dst}: {exc}", file=sys.stderr)
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
    except (OSError, ValueError, ImportError) as exc:
        print(f"vamra: cannot convert {src} to {dst}: {exc}", file=sys.stderr)
        return 1
    return None


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vamra", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p_inspect = commands.add_parser("inspect", help="print the entries of a vamra file")
    p_inspect.add_argument("file")
    p_inspect.add_argument(
        "--verify", action="store_true", help="check every checksum; exit 1 on damage"
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


if __name__ == "__main__":
    sys.exit(main())
