"""Writes the seed corpus of fuzz_files.py: saved files of every kind.

Usage: make_corpus_files.py DIR   (writes DIR/fuzz_files)

Files come from vamra.save with each option, plus what no saver writes: dicts
nested to the limit and past it, repeated keys, a flags byte that says
"compressed", and cut copies of compressed files.
"""

import hashlib
import io
import struct
import sys
from pathlib import Path

import numpy as np
import scipy.sparse as sp
import vamra
from vamra import QuantizedTensor, StringTensor

import vamra_rs

OPTIONS = [{}, {"check_integrity": True}, {"compress": True}, {"alignment": 1},
           {"compress": True, "check_integrity": True, "alignment": 16}]  # fmt: skip


def values(rng):
    x = rng.integers(0, 4, (8, 16)).astype(np.float32)
    csr = sp.random(6, 5, density=0.3, format="csr", random_state=1, dtype=np.float32)
    yield x
    yield np.zeros(3000, np.int16)
    yield {"w": x, "b": {"c": np.arange(5), "e": {}}, "z": np.zeros(2000)}
    yield {"m": csr, "coo": csr.tocoo(), "s": StringTensor.from_list(["ab", "", "ü"])}
    yield {"q": QuantizedTensor.quantize(rng.standard_normal((4, 6)).astype(np.float32))}
    yield {"scalar": np.float64(2.0) * np.ones(()), "empty": np.zeros((0, 3))}


def saved(value, options):
    buffer = io.BytesIO()
    vamra.save(value, buffer, **options)
    return buffer.getvalue()


def nest(packet, levels):
    for _ in range(levels):
        packet = vamra_rs.encode_bundle_rs([("k", packet)])
    return packet


def handmade():
    leaf = vamra_rs.dumps_rs(np.arange(3, dtype=np.uint8))
    for levels in (63, 64, 65):
        yield nest(leaf, levels)
    yield vamra_rs.encode_bundle_rs([("a", leaf[:9]), ("a", leaf)])
    dense = vamra_rs.dumps_rs(np.arange(64.0))
    flags = struct.unpack_from("<H", dense, 5)[0] | 0x4
    yield dense[:5] + struct.pack("<H", flags) + dense[7:]
    compressed = vamra_rs.dumps_rs(np.zeros(5000), compress=True, check_integrity=True)
    yield compressed[: len(compressed) // 2]
    yield vamra_rs.encode_bundle_rs(
        [("r", b"VMRA\x04" + struct.pack("<H", 0x400) + b"\0\0\1" + bytes(96))]
    )


def main():
    root = Path(sys.argv[1]) / "fuzz_files"
    root.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(5)
    seeds = [saved(v, o) for v in values(rng) for o in OPTIONS]
    seeds += list(handmade())
    for seed in seeds:
        (root / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
