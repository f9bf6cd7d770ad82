"""Writes the fuzzers' seed corpus: packets of every kind and option.

Usage: make_corpus.py DIR   (writes DIR/fuzz_decode, DIR/fuzz_header, DIR/fuzz_roundtrip,
                             DIR/fuzz_python)

Packets come from the installed extension module and companion package; the
kinds no encoder writes (version 3, ragged, fixed record, deep nesting) are
built by hand. The round-trip fuzzer reads its input as a stream of choices, so
its seeds are plain pseudo-random bytes.
"""

import hashlib
import random
import struct
import sys
from pathlib import Path

import numpy as np
import scipy.sparse as sp
import vamra
from vamra import QuantizedTensor, StringTensor

import vamra_rs

DTYPES = ["float32", "int32", "float64", "int64", "uint8", "uint16", "bool", "float16",
          "int8", "int16", "uint32", "uint64", "complex64", "complex128"]  # fmt: skip
OPTIONS = [{}, {"check_integrity": True}, {"compress": True}, {"alignment": 1},
           {"alignment": 16, "check_integrity": True},
           {"alignment": 4096, "compress": True, "check_integrity": True}]  # fmt: skip


def header(flags, dtype, ndim, version=4, reserved=0):
    if version == 3:
        return b"VMRA" + bytes([3, flags & 0xFF, dtype, ndim])
    return b"VMRA" + bytes([4]) + struct.pack("<H", flags) + bytes([dtype, ndim, reserved])


def dense_packets(rng):
    for i, dtype in enumerate(DTYPES):
        shape = [(), (0,), (7,), (2, 3), (1, 2, 1, 3)][i % 5]
        array = (rng.integers(0, 4, size=shape) * 3).astype(dtype)
        for options in OPTIONS:
            yield vamra_rs.dumps_rs(array, **options)
    yield vamra_rs.dumps_rs(np.arange(3000, dtype=np.int32), compress=True)


def other_packets(rng):
    coo = sp.random(6, 5, density=0.3, format="coo", random_state=1, dtype=np.float32)
    for fmt in ("coo", "csr", "csc"):
        yield vamra_rs.dumps_rs(coo.asformat(fmt))
    bundle = {"w": np.ones((2, 2), np.float32), "b": {"x": np.arange(3), "é": np.zeros(0)}}
    for options in OPTIONS[:3]:
        yield vamra_rs.dumps_rs(bundle, **options)
    yield vamra.dumps({"s": StringTensor.from_list(["a", "bc"]), "m": coo.tocsr()})
    for integrity in (False, True):
        strings = StringTensor.from_list(["tensor", "", "packet", "ü"])
        yield vamra.dumps(strings, check_integrity=integrity)
    x = rng.standard_normal((4, 6)).astype(np.float32)
    for dtype in ("qint8", "quint8", "qint4", "quint4"):
        for kwargs in ({}, {"axis": 1}, {"group_size": 4}):
            qt = QuantizedTensor.quantize(x, dtype=dtype, **kwargs)
            yield vamra_rs.dumps_quantized_rs(qt)
            yield vamra_rs.dumps_quantized_rs(qt, check_integrity=True, alignment=8)


def handmade_packets():
    # Version 3 dense, aligned and unaligned.
    yield header(1, 1, 1, version=3) + struct.pack("<I", 2) + bytes(52) + bytes(8)
    yield header(0, 5, 1, version=3) + struct.pack("<I", 3) + b"abc"
    # Fixed record, ragged (a string body under the ragged flag), empty bundle.
    yield header(0x400, 0, 0, reserved=1) + bytes(range(96))
    string = vamra_rs.dumps_string_rs(struct.pack("<3Q", 0, 2, 5), b"abcde", 2)
    yield string[:5] + struct.pack("<H", 0x201) + string[7:]
    yield header(0x10, 0, 0)
    # Bundles nested 64 and 65 levels below the top.
    leaf = vamra_rs.dumps_rs(np.zeros(1, np.uint8))
    for levels in (64, 65):
        packet = leaf
        for _ in range(levels):
            packet = vamra_rs.encode_bundle_rs([("k", packet)])
        yield packet


def write(directory, packets):
    directory.mkdir(parents=True, exist_ok=True)
    for packet in packets:
        name = hashlib.sha1(packet).hexdigest()
        (directory / name).write_bytes(packet)


def main():
    root = Path(sys.argv[1])
    rng = np.random.default_rng(7)
    packets = [*dense_packets(rng), *other_packets(rng), *handmade_packets()]
    write(root / "fuzz_decode", packets)
    write(root / "fuzz_python", packets)
    write(root / "fuzz_header", [p[:2048] for p in packets])
    chooser = random.Random(11)
    sizes = [chooser.choice([16, 64, 256, 1024, 4000]) for _ in range(64)]
    write(root / "fuzz_roundtrip", [chooser.randbytes(n) for n in sizes])


if __name__ == "__main__":
    main()
