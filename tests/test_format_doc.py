"""docs/format.md against the code: its worked examples are the bytes this
release writes, and its element-type table is the one the reader uses."""

import importlib.util
import re
import struct
from pathlib import Path

import pytest
from vamra import _native

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("format_examples", ROOT / "docs/format_examples.py")
assert _spec is not None and _spec.loader is not None
examples = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(examples)
DOCUMENT = (ROOT / "docs/format.md").read_text("utf-8")
# | code | `name` | item size | ... rows of the element-type table.
ELEMENT_TYPES = re.findall(r"^\| (\d+) \| `(\w+)` \| (\d+|–) \|", DOCUMENT, re.M)


def test_document_shows_every_example_once():
    markers = re.findall(r"<!-- example: ([\w-]+) -->", DOCUMENT)
    assert sorted(markers) == sorted(examples.EXAMPLES)


@pytest.mark.parametrize("name", list(examples.EXAMPLES))
def test_each_listing_shows_the_bytes_this_release_writes(name):
    shown = examples.listings(DOCUMENT)[name]
    assert shown == examples.render(*examples.EXAMPLES[name]()), (
        "the listing is out of date: .venv/bin/python docs/format_examples.py --write"
    )


@pytest.mark.parametrize("name, kind", examples.HAND_MADE.items())
def test_examples_made_by_hand_read_as_the_kind_they_show(name, kind):
    packet, _ = examples.EXAMPLES[name]()
    assert _native.describe(packet, 0, len(packet))["kind"] == kind
    _native.verify(packet, 0, len(packet))


def test_the_element_type_table_lists_every_code():
    assert [int(code) for code, _, _ in ELEMENT_TYPES] == list(range(1, 22))


@pytest.mark.parametrize("code, name, size", ELEMENT_TYPES)
def test_each_element_type_reads_as_the_table_says(code, name, size):
    packet = b"VMRA\x04" + struct.pack("<HBBB", 1, int(code), 1, 0) + struct.pack("<I", 1)
    packet += bytes(64 - len(packet)) + bytes(16)
    if name in ("string", "bytes"):
        with pytest.raises(ValueError, match="dtype code"):
            _native.describe(packet, 0, len(packet))
        return
    described = _native.describe(packet, 0, len(packet))
    assert described["dtype"] == name
    if 16 <= int(code) <= 19:
        assert described["kind"] == "quantized"
    else:
        assert (described["kind"], described["stored"]) == ("dense", int(size))
