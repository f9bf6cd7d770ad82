"""The golden corpus (tests/golden/): files written by an earlier state of this
release, which every later one must read to the same values and write again
byte for byte. Regenerating the corpus is `make golden`, never a test's doing."""

import json
from pathlib import Path

import pytest
from golden import corpus

GOLDEN = Path(__file__).parent / "golden"
MANIFEST = json.loads((GOLDEN / "manifest.json").read_text("utf-8"))
CASES = {case["name"]: case for case in MANIFEST["cases"]}
# Files made by hand, or by an earlier release (read-only), have no writer here.
WRITTEN = [name for name, case in CASES.items() if case["writer"] in corpus.WRITERS]


def test_manifest_is_the_layout_these_tests_read():
    assert MANIFEST["manifest_version"] == 1
    files = {p.relative_to(GOLDEN).as_posix() for p in GOLDEN.glob("*/*.vmra")}
    files |= {p.relative_to(GOLDEN).as_posix() for p in GOLDEN.glob("sharded/*/*.index.json")}
    assert files == {case["file"] for case in CASES.values()}, "golden files without a case"
    for case in CASES.values():
        assert (GOLDEN / case["file"]).stat().st_size == case["size"], case["name"]


def _kinds(note, found):
    """Every (kind, element type) a manifest note holds, at any depth."""
    kind = note["type"]
    if kind == "array":
        found.add(("array", note["dtype"]))
        if note["shape"] == []:
            found.add(("array", "0-d"))
        elif 0 in note["shape"]:
            found.add(("array", "empty"))
    elif kind == "dict":
        found.add(("dict", "nested" if any(v["type"] == "dict" for _, v in note["items"]) else ""))
        for _, item in note["items"]:
            _kinds(item, found)
    elif kind == "sparse":
        found.add(("sparse", note["format"]))
    elif kind == "quantized":
        found.add(("quantized", f"{note['dtype']}/{note['quant_scheme']}"))
    else:
        found.add((kind, ""))
    return found


def test_corpus_covers_every_body_kind_and_element_type():
    found = set()
    for case in CASES.values():
        _kinds(case["value"], found)
    dense = {
        "float16", "float32", "float64", "bfloat16", "complex64", "complex128", "bool",
        "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
    }  # fmt: skip
    expected = {("array", d) for d in dense} | {("array", "0-d"), ("array", "empty")}
    expected |= {("dict", "nested"), ("strings", ""), ("none", "")}
    expected |= {("sparse", f) for f in ("coo", "csr", "csc")}
    expected |= {
        ("quantized", f"{d}/{s}") for d in ("qint8", "quint8", "qint4", "quint4") for s in (0, 1, 2)
    }
    assert expected <= found, sorted(expected - found)
    options = [tuple(sorted(case.get("options", {}))) for case in CASES.values()]
    for wanted in (("compress",), ("check_integrity",), ("alignment",)):
        assert wanted in options, wanted
    assert {"dumps", "save", "hand", "0.2", "sharded"} <= {
        case["writer"] for case in CASES.values()
    }


@pytest.mark.parametrize("name", list(CASES))
def test_readers_decode_each_golden_file_to_its_recorded_value(name):
    case = CASES[name]
    path = GOLDEN / case["file"]
    for reader, value in corpus.READERS[case["writer"]](path).items():
        assert corpus.mismatches(value, case["value"]) == [], f"{name} read by {reader}"


def _first_difference(a: bytes, b: bytes) -> str:
    at = next(
        (i for i, (x, y) in enumerate(zip(a, b, strict=False)) if x != y), min(len(a), len(b))
    )
    return f"{len(a)} bytes against {len(b)}, first difference at offset {at}"


@pytest.mark.parametrize("name", WRITTEN)
def test_writers_reproduce_each_golden_file_byte_for_byte(name, tmp_path):
    case = CASES[name]
    path = GOLDEN / case["file"]
    golden = corpus.sharded_bytes(path.parent) if case["writer"] == "sharded" else path.read_bytes()
    value = corpus.from_json(case.get("input", case["value"]))
    written = corpus.WRITERS[case["writer"]](value, case.get("options", {}), tmp_path)
    for writer, data in written.items():
        assert data == golden, f"{name} by {writer}: {_first_difference(data, golden)}"
