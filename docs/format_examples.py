"""The worked examples of docs/format.md, made by the real encoder and annotated field by field.

Each example is a packet and the list of its fields (length, meaning). The
listing in format.md is rendered from them, so the bytes shown are the bytes
this release writes; tests/test_format_doc.py checks that the document still
shows them. After a deliberate change, rewrite the listings with:

    .venv/bin/python docs/format_examples.py --write

Examples of layouts no writer of this release makes (ragged and fixed-record
packets, version 3 headers) are built by hand here and checked against the
codec's reader instead.
"""

from __future__ import annotations

import re
import struct
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

DOCUMENT = Path(__file__).resolve().parent / "format.md"
Field = tuple[int, str]


def _header(flags: int, dtype: int, ndim: int, reserved: int = 0) -> bytes:
    return b"VMRA" + bytes([4]) + struct.pack("<H", flags) + bytes([dtype, ndim, reserved])


def _head(flags: str, dtype: str, ndim: str, reserved: str = "reserved, 0") -> list[Field]:
    return [
        (4, 'magic "VMRA"'),
        (1, "version 4"),
        (2, f"flags {flags}"),
        (1, f"element type {dtype}"),
        (1, ndim),
        (1, reserved),
    ]


def _component(name: str, dtype: str, count: int, size: int, values: str) -> list[Field]:
    """A dense packet inside a sparse packet, behind its length field."""
    return [
        (4, f"length of the {name} packet: {64 + count * size}"),
        *_head("0x0001 (aligned)", dtype, "1 dimension"),
        (4, f"extent {count}"),
        (50, "zero padding to offset 64 of this packet"),
        (count * size, f"{name}: {values}"),
    ]


def dense() -> tuple[bytes, list[Field]]:
    import vamra

    packet = vamra.dumps(np.arange(1, 7, dtype=np.float32).reshape(2, 3))
    return packet, [
        *_head("0x0001 (aligned)", "1 (float32)", "2 dimensions"),
        (4, "extent 2"),
        (4, "extent 3"),
        (46, "zero padding to offset 64"),
        (24, "body: 1.0 2.0 3.0 4.0 5.0 6.0 (float32, C order)"),
    ]


def dense_custom() -> tuple[bytes, list[Field]]:
    import vamra

    packet = vamra.dumps(np.array([1, -2, 3], np.int16), alignment=8, check_integrity=True)
    return packet, [
        *_head("0x0082 (custom alignment, checksum)", "10 (int16)", "1 dimension"),
        (4, "extent 3"),
        (1, "alignment exponent 3: 2**3 = 8 bytes"),
        (1, "zero padding to offset 16"),
        (6, "body: 1 -2 3 (int16)"),
        (8, "footer: XXH3-64 of the 6 body bytes"),
    ]


def compressed() -> tuple[bytes, list[Field]]:
    import vamra

    packet = vamra.dumps(np.tile(np.arange(4, dtype=np.uint8), 16), compress=True)
    return packet, [
        *_head("0x0005 (aligned, compressed)", "5 (uint8)", "1 dimension"),
        (4, "extent 64"),
        (50, "zero padding to offset 64"),
        (4, "LZ4 frame magic 0x184D2204"),
        (1, "FLG 0x60: version 01, independent blocks, no optional fields"),
        (1, "BD 0x40: largest block 64 KiB"),
        (1, "header checksum"),
        (4, "block of 14 compressed bytes"),
        (14, "LZ4 sequences: 0 1 2 3 repeated, 64 bytes in all"),
        (4, "end mark"),
    ]


def _matrix() -> Any:
    import scipy.sparse as sp

    data = np.array([5, 7], np.int8)
    return sp.coo_matrix((data, (np.array([0, 1], np.int32), np.array([1, 0], np.int32))), (2, 2))


def _sparse(fmt: str, flag: str, parts: list[tuple[str, str, int, int, str]]) -> Any:
    # The module's own writer: vamra.dumps pads the components to aligned
    # offsets, as files hold them (see the file layout).
    import vamra_rs

    matrix = _matrix().asformat(fmt)
    fields = [*_head(flag, "0 (unused)", "2 dimensions"), (4, "rows 2"), (4, "columns 2")]
    for part in parts:
        fields += _component(*part)
    return vamra_rs.dumps_rs(matrix), fields


def sparse_coo() -> tuple[bytes, list[Field]]:
    return _sparse(
        "coo",
        "0x0008 (COO)",
        [
            ("data", "9 (int8)", 2, 1, "5 7"),
            ("row", "2 (int32)", 2, 4, "0 1"),
            ("col", "2 (int32)", 2, 4, "1 0"),
        ],
    )


def sparse_csr() -> tuple[bytes, list[Field]]:
    return _sparse(
        "csr",
        "0x0020 (CSR)",
        [
            ("data", "9 (int8)", 2, 1, "5 7"),
            ("indices", "2 (int32)", 2, 4, "1 0 (columns)"),
            ("indptr", "2 (int32)", 3, 4, "0 1 2 (row starts)"),
        ],
    )


def sparse_csc() -> tuple[bytes, list[Field]]:
    return _sparse(
        "csc",
        "0x0040 (CSC)",
        [
            ("data", "9 (int8)", 2, 1, "7 5"),
            ("indices", "2 (int32)", 2, 4, "1 0 (rows)"),
            ("indptr", "2 (int32)", 3, 4, "0 1 2 (column starts)"),
        ],
    )


def bundle() -> tuple[bytes, list[Field]]:
    # The module's own writer: vamra.dumps lays a dict out with an index.
    import vamra_rs

    packet = vamra_rs.dumps_rs({"a": np.array([1, 2], np.int8), "b": {}})
    return packet, [
        *_head("0x0010 (bundle)", "0 (unused)", "2 entries"),
        (4, "key length 1"),
        (1, 'key "a"'),
        (4, "value length 66"),
        *_head("0x0001 (aligned)", "9 (int8)", "1 dimension"),
        (4, "extent 2"),
        (50, "zero padding to offset 64 of the value packet"),
        (2, "body: 1 2"),
        (4, "key length 1"),
        (1, 'key "b"'),
        (4, "value length 10"),
        *_head("0x0010 (bundle)", "0 (unused)", "0 entries"),
    ]


def string() -> tuple[bytes, list[Field]]:
    import vamra

    packet = vamra.dumps(vamra.StringTensor.from_list(["hé", "", "abc"]), check_integrity=True)
    return packet, [
        *_head("0x0103 (string, checksum, aligned)", "20 (string)", "1 dimension"),
        (4, "count 3"),
        (50, "zero padding to offset 64"),
        (8, "offset 0"),
        (8, "offset 3"),
        (8, "offset 3"),
        (8, "offset 6 (the payload's length)"),
        (6, 'payload: "hé" "" "abc" in UTF-8'),
        (8, "footer: XXH3-64 of the offsets table and the payload"),
    ]


def ragged() -> tuple[bytes, list[Field]]:
    offsets = np.array([0, 3, 3, 7], "<u8")
    packet = _header(0x0201, 20, 1) + struct.pack("<I", 3)
    packet += bytes(64 - len(packet)) + offsets.tobytes() + b"abcdefg"
    return packet, [
        *_head("0x0201 (ragged, aligned)", "20", "1 dimension"),
        (4, "count 3"),
        (50, "zero padding to offset 64"),
        (8, "offset 0"),
        (8, "offset 3"),
        (8, "offset 3"),
        (8, "offset 7"),
        (7, 'payload: items "abc", "" and "defg"'),
    ]


def quantized() -> tuple[bytes, list[Field]]:
    import vamra

    tensor = vamra.QuantizedTensor.quantize(
        np.array([0.0, 1.0, 2.0, 3.0, -1.0], np.float32), "qint4", group_size=4
    )
    return vamra.dumps(tensor), [
        *_head("0x0001 (aligned)", "18 (qint4)", "1 dimension"),
        (4, "extent 5"),
        (1, "scheme 2 (per group)"),
        (1, "axis 0 (unused by this scheme)"),
        (4, "group size 4"),
        (4, "2 scales and zero points"),
        (4, "scale 0.2 (group 0: elements 0 to 3)"),
        (4, "scale 0.0667 (group 1: element 4)"),
        (4, "zero point -8.0"),
        (4, "zero point 7.0"),
        (24, "zero padding to offset 64"),
        (3, "codes (-8, -3) (2, 7) (-8, unused 0): low nibble first"),
    ]


def fixed_record() -> tuple[bytes, list[Field]]:
    packet = _header(0x0400, 0, 0, reserved=1) + bytes(range(96))
    return packet, [
        *_head("0x0400 (fixed record)", "0", "0 dimensions", "reserved, 1 (required here)"),
        (96, "the record: 96 bytes, here 00 to 5f"),
    ]


def version3() -> tuple[bytes, list[Field]]:
    packet = b"VMRA" + bytes([3, 0x01, 1, 1]) + struct.pack("<I", 2)
    packet += bytes(64 - len(packet)) + np.array([1.0, -1.0], "<f4").tobytes()
    return packet, [
        (4, 'magic "VMRA"'),
        (1, "version 3"),
        (1, "flags 0x01 (aligned)"),
        (1, "element type 1 (float32)"),
        (1, "1 dimension"),
        (4, "extent 2"),
        (52, "zero padding to offset 64"),
        (8, "body: 1.0 -1.0"),
    ]


EXAMPLES: dict[str, Callable[[], tuple[bytes, list[Field]]]] = {
    "dense": dense,
    "dense-custom": dense_custom,
    "compressed": compressed,
    "sparse-coo": sparse_coo,
    "sparse-csr": sparse_csr,
    "sparse-csc": sparse_csc,
    "bundle": bundle,
    "string": string,
    "ragged": ragged,
    "quantized": quantized,
    "fixed-record": fixed_record,
    "version-3": version3,
}
# What the codec's reader calls each example made by hand.
HAND_MADE = {"ragged": "ragged", "fixed-record": "record", "version-3": "dense"}

_PER_LINE = 16
_WIDTH = 3 * _PER_LINE - 1


def render(packet: bytes, fields: list[Field]) -> str:
    """The listing: offset, bytes (a run of more than 16 zero bytes as one line), meaning."""
    if sum(n for n, _ in fields) != len(packet):
        raise ValueError(f"the fields cover {sum(n for n, _ in fields)} of {len(packet)} bytes")
    lines = []
    at = 0
    for length, meaning in fields:
        chunk = packet[at : at + length]
        if length > _PER_LINE and chunk == bytes(length):
            rows = [f"00 × {length}"]
        else:
            rows = [chunk[i : i + _PER_LINE].hex(" ") for i in range(0, max(length, 1), _PER_LINE)]
        for i, row in enumerate(rows):
            offset = f"{at + i * _PER_LINE:04x}"
            text = meaning if i == 0 else ""
            lines.append(f"{offset}  {row:<{_WIDTH}}  {text}".rstrip())
        at += length
    return "\n".join(lines)


# An example's marker, then its listing: a text block, possibly empty.
_BLOCK = re.compile(r"(<!-- example: ([\w-]+) -->\n```text\n)((?:(?!```).*\n)*)(```)")


def listings(document: str) -> dict[str, str]:
    """The listing shown for each example in the document."""
    return {match.group(2): match.group(3).rstrip("\n") for match in _BLOCK.finditer(document)}


def rewrite(document: str) -> str:
    """The document with every example's listing made anew."""

    def replace(match: re.Match[str]) -> str:
        return match.group(1) + render(*EXAMPLES[match.group(2)]()) + "\n" + match.group(4)

    return _BLOCK.sub(replace, document)


if __name__ == "__main__":
    if sys.argv[1:] == ["--write"]:
        DOCUMENT.write_text(rewrite(DOCUMENT.read_text("utf-8")), "utf-8")
    else:
        for name, build in EXAMPLES.items():
            print(f"<!-- example: {name} -->\n```text\n{render(*build())}\n```\n")
