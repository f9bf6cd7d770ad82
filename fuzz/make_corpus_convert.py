"""Writes the seed corpus of fuzz_convert.py: safetensors, .npz and .npy files.

Usage: make_corpus_convert.py DIR   (writes DIR/fuzz_convert)

Each seed is two selector bytes (source format, destination format; see
fuzz_convert.py) and a file: every element type each format holds, nested-key
names, Fortran order, empty arrays, object arrays, and cut files.
"""

import hashlib
import io
import json
import struct
import sys
import zipfile
from pathlib import Path

import numpy as np

SOURCES = {"safetensors": 0, "npz": 1, "npy": 2}
DESTINATIONS = 4
SAFETENSORS_CODES = {"float64": "F64", "float32": "F32", "float16": "F16", "int64": "I64",
                     "int32": "I32", "int16": "I16", "int8": "I8", "uint8": "U8",
                     "bool": "BOOL"}  # fmt: skip


def safetensors(arrays, metadata=None):
    header = {} if metadata is None else {"__metadata__": metadata}
    body = b""
    for name, array in arrays.items():
        data = np.ascontiguousarray(array).tobytes()
        header[name] = {
            "dtype": SAFETENSORS_CODES[array.dtype.name],
            "shape": list(array.shape),
            "data_offsets": [len(body), len(body) + len(data)],
        }
        body += data
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text + body


def npz(arrays, compressed=False):
    buffer = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if compressed else zipfile.ZIP_STORED
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", "w") as member:
                np.lib.format.write_array(member, array, allow_pickle=True)
    return buffer.getvalue()


def npy(array):
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, array, allow_pickle=True)
    return buffer.getvalue()


def files(rng):
    arrays = {name: (rng.integers(0, 3, 6) * 2).astype(name) for name in SAFETENSORS_CODES}
    nested = {"layer.0.w": np.ones((2, 3), np.float32), "layer.0": np.zeros(1), "x": np.zeros(0)}
    yield "safetensors", safetensors(arrays)
    yield "safetensors", safetensors(nested, metadata={"format": "pt"})
    yield "safetensors", safetensors({})
    fortran = np.asfortranarray(np.arange(12.0).reshape(3, 4))
    for compressed in (False, True):
        yield "npz", npz({**arrays, "c": np.ones(2, np.complex128), "f": fortran}, compressed)
        yield "npz", npz(nested, compressed)
    yield "npz", npz({"o": np.array([1, "a"], dtype=object)})
    yield "npz", npz({"file": np.ones(2), "allow_pickle": np.zeros(1)})
    for array in (fortran, np.ones((2, 2), ">i4"), np.zeros(()), np.arange(5, dtype=np.complex64)):
        yield "npy", npy(array)


def main():
    root = Path(sys.argv[1]) / "fuzz_convert"
    root.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(3)
    for fmt, content in files(rng):
        for destination in range(DESTINATIONS):
            for seed in (content, content[: len(content) * 2 // 3]):
                seed = bytes([SOURCES[fmt], destination]) + seed
                (root / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


if __name__ == "__main__":
    main()
