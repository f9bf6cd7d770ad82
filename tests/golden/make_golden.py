"""Writes the golden corpus: packets and files made by this release, with what they hold.

Run it as ``make golden`` (or ``.venv/bin/python tests/golden/make_golden.py``).
It rewrites ``packets/``, ``files/`` and ``manifest.json`` beside it and
removes golden files no case names any more. The tests only read the corpus;
regenerating it is a deliberate step, taken when the bytes a release writes
change on purpose (see README.md beside this file).

A case is a value, the writer that writes it (a key of
:data:`corpus.WRITERS`) and the writer's options; a layout that no writer of
this release makes is built by hand here, with the value readers must give for
it. To add a case, add it to :func:`cases`; to add a new kind of saved file,
add its writer and readers to ``corpus.py`` and its cases here.
"""

from __future__ import annotations

import json
import shutil
import struct
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import ml_dtypes
import numpy as np
import scipy.sparse as sp
import vamra
from vamra import QuantizedTensor, StringTensor

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus  # noqa: E402

HERE = Path(__file__).resolve().parent
MANIFEST = HERE / "manifest.json"
# The manifest's own layout; a reader of it checks this first.
MANIFEST_VERSION = 1
FOLDERS = {"dumps": "packets", "hand": "packets", "save": "files", "sharded": "sharded"}


@dataclass
class Case:
    name: str
    value: Any
    writer: str = "dumps"  # a key of corpus.WRITERS, or "hand"
    options: dict[str, Any] = field(default_factory=dict)
    note: str = ""
    packet: bytes | None = None  # the bytes, for a case made by hand
    tile: bytes | None = None  # a long array recorded as this pattern repeated


def _header(flags: int, dtype: int, ndim: int, version: int = 4, reserved: int = 0) -> bytes:
    if version == 3:
        return b"VMRA" + bytes([3, flags, dtype, ndim])
    return b"VMRA" + bytes([4]) + struct.pack("<H", flags) + bytes([dtype, ndim, reserved])


def _floats(dtype: Any) -> np.ndarray[Any, Any]:
    """Ordinary values and the edges of a float type: signed zero, infinities, NaN, extremes."""
    info = np.finfo(dtype)
    values = [1.5, -0.0, np.inf, -np.inf, np.nan, float(info.max), float(info.tiny), -2.25]
    return np.array(values, dtype=dtype).reshape(2, 4)


def _ints(dtype: Any) -> np.ndarray[Any, Any]:
    info = np.iinfo(dtype)
    return np.array([info.min, 0, 1, info.max, 7, info.max // 3], dtype=dtype).reshape(3, 2)


def cases() -> Iterator[Case]:
    # Dense arrays: every element type with a dense item size.
    for dtype in ("float16", "float32", "float64"):
        yield Case(f"dense_{dtype}", _floats(dtype))
    yield Case("dense_bfloat16", _floats(np.float32).astype(ml_dtypes.bfloat16))
    for dtype in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"):
        yield Case(f"dense_{dtype}", _ints(dtype))
    yield Case("dense_bool", np.array([[True, False, True], [False, False, True]]))
    yield Case("dense_complex64", np.array([1 + 2j, -0.5j, np.inf - 1j], np.complex64))
    yield Case("dense_complex128", np.array([[1e300 + 1e-300j], [-1 + 0j]], np.complex128))
    # Shapes: 0-d, empty, the most dimensions a packet holds.
    yield Case("dense_0d", np.array(3.25, np.float64))
    yield Case("dense_empty", np.zeros((0,), np.float32))
    yield Case("dense_empty_3d", np.zeros((2, 0, 3), np.int16))
    yield Case("dense_32_dims", np.full((1,) * 31 + (2,), 9, np.uint8))
    # Options: footers, alignments, compression.
    ramp = np.arange(24, dtype=np.int32).reshape(4, 6)
    yield Case("dense_checksum", ramp, options={"check_integrity": True})
    for alignment in (1, 16, 128, 4096):
        yield Case(f"dense_align_{alignment}", ramp, options={"alignment": alignment})
    yield Case(
        "dense_align_128_checksum", ramp, options={"alignment": 128, "check_integrity": True}
    )
    yield Case("dense_compressed", np.tile(ramp, (8, 1)), options={"compress": True})
    yield Case(
        "dense_compressed_checksum",
        np.tile(ramp, (8, 1)),
        options={"compress": True, "check_integrity": True},
    )
    yield Case(
        "dense_compressed_align_16",
        np.tile(ramp, (8, 1)),
        options={"compress": True, "alignment": 16},
    )
    yield Case("dense_compressed_empty", np.zeros((0, 4), np.float64), options={"compress": True})
    # The frame's block size follows the body's length: 64 KiB, 256 KiB, 4 MiB.
    pattern = bytes(range(251))
    for name, length in (("256k", 100_000), ("4m", 300_000)):
        data = np.frombuffer((pattern * (length // len(pattern) + 1))[:length], np.uint8)
        yield Case(
            f"dense_compressed_block_{name}",
            data.copy(),
            options={"compress": True},
            tile=pattern,
        )

    # Bundles: flat, nested, empty, with non-ASCII and empty keys, options on the leaves.
    small = np.array([1.0, 2.0], np.float32)
    yield Case("bundle_empty", {})
    yield Case("bundle_flat", {"weight": ramp, "bias": small, "step": np.array(7, np.int64)})
    nested = {
        "encoder": {"layer.0": {"w": ramp, "b": small}, "norm": {"scale": small * 3}},
        "gewicht_ä": np.array([True]),
        "重み": {"": np.zeros((0,), np.uint8)},
    }
    yield Case("bundle_nested", nested)
    yield Case("bundle_checksum", nested, options={"check_integrity": True})
    yield Case(
        "bundle_compressed_align_32",
        {"a": np.tile(ramp, (4, 1)), "b": small},
        options={"compress": True, "alignment": 32},
    )
    deep: dict[str, Any] = {"leaf": small}
    for level in range(63):
        deep = {f"d{level}": deep}
    yield Case("bundle_depth_64", deep, note="a leaf 64 dictionaries below the top")

    # Sparse matrices, alone and in bundles.
    data = np.array([1.5, -2.0, 3.25, 4.0], np.float32)
    rows = np.array([0, 1, 3, 3], np.int32)
    cols = np.array([2, 0, 1, 4], np.int32)
    coo = sp.coo_matrix((data, (rows, cols)), shape=(4, 5))
    yield Case("sparse_coo", coo)
    yield Case("sparse_csr", coo.tocsr())
    yield Case("sparse_csc", coo.astype(np.float64).tocsc())
    wide = sp.csr_matrix(
        (np.array([7], np.int64), np.array([1], np.int64), np.array([0, 1], np.int64)),
        shape=(1, 2**31),
    )
    yield Case("sparse_csr_int64_indices", wide)
    yield Case("sparse_coo_empty", sp.coo_matrix((3, 3), dtype=np.float64))
    yield Case(
        "bundle_sparse",
        {"coo": coo, "csr": coo.tocsr(), "csc": coo.tocsc(), "dense": small},
    )

    # Strings.
    yield Case("strings_ascii", StringTensor.from_list(["alpha", "beta", "", "gamma delta"]))
    texts = ["grüße", "日本語", "🙂 emoji", "", "Ωmega", "a\x00b"]
    yield Case("strings_unicode", StringTensor.from_list(texts))
    yield Case("strings_empty", StringTensor.from_list([]))
    yield Case("strings_checksum", StringTensor.from_list(texts), options={"check_integrity": True})

    # Quantized tensors: every code type and scheme.
    rng = np.random.default_rng(24)
    real = rng.standard_normal((4, 6)).astype(np.float32)
    odd = rng.standard_normal((3, 5)).astype(np.float32)
    schemes = {"tensor": {}, "axis": {"axis": 1}, "group": {"group_size": 4}}
    quantized = {}
    for dtype in ("qint8", "quint8", "qint4", "quint4"):
        for scheme, how in schemes.items():
            # An odd element count leaves the last 4-bit byte half used.
            source = odd if scheme == "group" else real
            quantized[f"quant_{dtype}_{scheme}"] = QuantizedTensor.quantize(source, dtype, **how)
    for name, tensor in quantized.items():
        yield Case(name, tensor)
    yield Case(
        "quant_qint8_axis_last",
        QuantizedTensor.quantize(real, "qint8", axis=-1),
        note="axis -1 is stored as its low byte and reads back as 255",
    )
    yield Case(
        "quant_qint4_checksum_align_16",
        quantized["quant_qint4_group"],
        options={"check_integrity": True, "alignment": 16},
    )
    yield Case("quant_qint8_empty", QuantizedTensor.quantize(np.zeros((0, 3), np.float32)))

    # Dicts of every kind at once, through the package's bundle path.
    yield Case(
        "bundle_mixed",
        {
            "names": StringTensor.from_list(["ä", "b"]),
            "codes": quantized["quant_qint4_group"],
            "matrix": coo.tocsr(),
            "nested": {"w": ramp, "q": quantized["quant_quint8_axis"]},
        },
    )
    yield Case(
        "bundle_mixed_checksum",
        {"names": StringTensor.from_list(["x"]), "q": quantized["quant_qint8_tensor"], "w": small},
        options={"check_integrity": True},
    )

    # Saved files, as vamra.save writes them.
    state = {"embed.weight": _floats(np.float32), "embed.bias": small, "step": np.array(3)}
    yield Case("save_dict", state, writer="save")
    yield Case("save_nested", nested, writer="save")
    yield Case(
        "save_compressed",
        {"w": np.tile(ramp, (8, 1)), "b": small, "names": StringTensor.from_list(["né"])},
        writer="save",
        options={"compress": True},
    )
    yield Case(
        "save_check_integrity",
        {"w": ramp, "inner": {"q": quantized["quant_qint8_tensor"]}},
        writer="save",
        options={"check_integrity": True},
    )
    yield Case("save_array", ramp, writer="save", note="a file holding one array, not a dict")

    # The saved-file layout: an index entry first, then the values.
    training = {
        "model": {"w": _floats(np.float32), "b": small},
        "optimizer": {
            "state": {0: {"step": np.array(3.0, np.float32), "exp_avg": small}, 1: {}},
            "param_groups": [
                {"lr": 0.001, "betas": (0.9, 0.999), "params": [0, 1], "foreach": None}
            ],
        },
        "epoch": 3,
        "loss": float("nan"),
        "big": -(2**80),
        "done": False,
        "name": "néo",
        "rng": b"\x00\x01\xff",
    }
    yield Case("layout_training_state", training, writer="save")
    yield Case("layout_training_state_packet", training, note="the same value, by vamra.dumps")
    many = {f"layers.{i}.weight": np.full(i % 5, i, np.int16) for i in range(300)}
    yield Case("layout_300_entries", many, writer="save", note="past a bundle's 255 entries")
    eight = np.arange(256, dtype=np.uint8).reshape(16, 16)
    yield Case(
        "layout_float8",
        {"e4m3": eight.view(ml_dtypes.float8_e4m3fn), "e5m2": eight.view(ml_dtypes.float8_e5m2)},
        writer="save",
    )
    yield Case("layout_float8_alone", eight.view(ml_dtypes.float8_e4m3fn), writer="save")
    yield Case("layout_tied", {"embed": ramp, "head": ramp, "other": small}, writer="save")
    yield Case(
        "layout_metadata",
        {"w": small},
        writer="save",
        options={"metadata": {"format": "pt", "note": "ünïcode"}},
    )
    yield Case(
        "layout_mixed_compressed_checksum",
        {"w": np.tile(ramp, (8, 1)), "m": coo.tocsr(), "s": StringTensor.from_list(["é", ""])},
        writer="save",
        options={"compress": True, "check_integrity": True},
    )
    yield Case(
        "layout_aligned_4096",
        {"a": small, "b": {"c": ramp}},
        writer="save",
        options={"alignment": 4096},
    )
    yield Case("layout_list_root", [ramp, 1, "x", None, (2, 3)], writer="save")

    # Sharded checkpoints: a directory of shards and an index naming them.
    state = {
        "embed.weight": _floats(np.float32),
        "layers.0.w": np.tile(ramp, (4, 1)),
        "layers.0.b": small,
        "layers.1.w": np.arange(300, dtype=np.float16),
        "step": np.array(3),
    }
    yield Case(
        "sharded_state",
        state,
        writer="sharded",
        options={"max_shard_size": 700, "metadata": {"step": "3"}},
        note="shards of at most 700 bytes; a value over that has a shard of its own",
    )
    yield Case(
        "sharded_checksum",
        {"embed": ramp, "bias": small, "table": np.arange(200, dtype=np.int32)},
        writer="sharded",
        options={"max_shard_size": "1KB", "check_integrity": True},
        note="digests in every shard",
    )

    # Layouts that readers must take and this release's writers do not make.
    v3 = _header(0x01, 1, 1, version=3) + struct.pack("<I", 2)
    v3 += bytes(64 - len(v3)) + np.array([1.0, -1.0], "<f4").tobytes()
    yield Case(
        "hand_version3_dense",
        np.array([1.0, -1.0], np.float32),
        writer="hand",
        packet=v3,
        note="version 3 header (8 bytes), aligned float32 body",
    )
    v3_plain = _header(0x00, 4, 2, version=3) + struct.pack("<II", 1, 2)
    v3_plain += np.array([[5, -6]], "<i8").tobytes()
    yield Case(
        "hand_version3_unaligned",
        np.array([[5, -6]], np.int64),
        writer="hand",
        packet=v3_plain,
        note="version 3, no alignment flag: the body follows the shape at once",
    )
    trailing = vamra.dumps(small) + b"trailing bytes"
    yield Case(
        "hand_trailing_bytes",
        small,
        writer="hand",
        packet=trailing,
        note="bytes after an uncompressed body are ignored",
    )
    reserved = bytearray(vamra.dumps(small))
    reserved[9] = 0x5A
    yield Case(
        "hand_reserved_byte",
        small,
        writer="hand",
        packet=bytes(reserved),
        note="header byte 9 is ignored outside fixed-record packets",
    )
    offsets = np.array([0, 3, 3, 7], "<u8")
    ragged = _header(0x0201, 20, 1) + struct.pack("<I", 3)
    ragged += bytes(64 - len(ragged)) + offsets.tobytes() + b"abcdefg"
    yield Case(
        "hand_ragged",
        None,
        writer="hand",
        packet=ragged,
        note="a ragged packet: the package decodes it to None",
    )
    record = _header(0x0400, 0, 0, reserved=1) + bytes(range(96))
    yield Case(
        "hand_fixed_record",
        None,
        writer="hand",
        packet=record,
        note="a fixed-record packet: the package decodes it to None",
    )


def _write_sharded(case: Case, entry: dict[str, Any], scratch: Path) -> dict[str, Any]:
    """A sharded case: a directory of the case's name holding its files."""
    given = corpus.to_json(case.value)
    written = corpus.WRITERS[case.writer](corpus.from_json(given), case.options, scratch)
    packed = next(iter(written.values()))
    for how, other in written.items():
        if other != packed:
            raise AssertionError(f"{case.name}: {how} writes other bytes than the others")
    directory = HERE / FOLDERS[case.writer] / case.name
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir(parents=True)
    files = corpus.unpack_directory(packed)
    for name, data in files.items():
        (directory / name).write_bytes(data)
    index = next(name for name in files if name.endswith(".vmra.index.json"))
    entry["file"] = f"{FOLDERS[case.writer]}/{case.name}/{index}"
    entry["value"] = given
    entry["size"] = len(files[index])
    return entry


def _write_case(case: Case, scratch: Path) -> dict[str, Any]:
    folder = HERE / FOLDERS[case.writer]
    target = folder / f"{case.name}.vmra"
    entry: dict[str, Any] = {"name": case.name, "file": f"{folder.name}/{target.name}"}
    entry["writer"] = case.writer
    if case.options:
        entry["options"] = case.options
    if case.note:
        entry["note"] = case.note
    if case.writer == "sharded":
        return _write_sharded(case, entry, scratch)
    if case.writer == "hand":
        assert case.packet is not None
        data = case.packet
        entry["value"] = corpus.to_json(case.value)
    else:
        if case.tile is not None:
            given = corpus.array_to_json(case.value, tile=case.tile)
        else:
            given = corpus.to_json(case.value)
        # Written from the recorded input, as the tests will write it.
        written = corpus.WRITERS[case.writer](corpus.from_json(given), case.options, scratch)
        data = next(iter(written.values()))
        for how, other in written.items():
            if other != data:
                raise AssertionError(f"{case.name}: {how} writes other bytes than the others")
        # The value is recorded once where reading gives back what was written.
        decoded = vamra.loads(data)
        if corpus.mismatches(decoded, given):
            entry["input"] = given
            entry["value"] = corpus.to_json(decoded)
        else:
            entry["value"] = given
    target.write_bytes(data)
    entry["size"] = len(data)
    return entry


def main() -> int:
    entries = []
    names = set()
    for folder in set(FOLDERS.values()):
        (HERE / folder).mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        for case in cases():
            if case.name in names:
                raise ValueError(f"two cases are named {case.name!r}")
            names.add(case.name)
            entries.append(_write_case(case, Path(scratch)))
    # Files of earlier releases are kept as they are: read, never written.
    for legacy in sorted(HERE.glob("v*/cases.json")):
        entries.extend(json.loads(legacy.read_text("utf-8"))["cases"])
    kept = {entry["file"] for entry in entries}
    for folder in set(FOLDERS.values()):
        for stale in (HERE / folder).glob("*.vmra"):
            if f"{folder}/{stale.name}" not in kept:
                stale.unlink()
    cases_kept = {Path(name).parent for name in kept}
    for stale in (HERE / FOLDERS["sharded"]).iterdir():
        if stale.is_dir() and Path(FOLDERS["sharded"]) / stale.name not in cases_kept:
            shutil.rmtree(stale)
    manifest = {
        "manifest_version": MANIFEST_VERSION,
        "written_by": f"vamra {vamra.__version__}",
        "cases": entries,
    }
    MANIFEST.write_text(json.dumps(manifest, indent=1, ensure_ascii=False) + "\n", "utf-8")
    total = sum(entry["size"] for entry in entries) + MANIFEST.stat().st_size
    print(f"golden: {len(entries)} cases, {total} bytes with the manifest, in {HERE}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
