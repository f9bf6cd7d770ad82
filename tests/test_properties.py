"""Property tests: round trips of every kind through the module, and mutated
packets of every kind fed to the readers in a separate process, where a crash
or a hang cannot take the test run down with it."""

import json
import struct
import subprocess
import sys

import ml_dtypes  # noqa: F401  (registers bfloat16 with NumPy)
import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from vamra import QuantizedTensor

import vamra_rs

DTYPES = [
    "float32", "int32", "float64", "int64", "uint8", "uint16", "bool", "float16",
    "int8", "int16", "uint32", "uint64", "complex64", "complex128", "bfloat16",
]  # fmt: skip

PROPERTY = settings(
    derandomize=True,
    deadline=None,
    max_examples=80,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

shapes = hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5)
alignments = st.integers(0, 12).map(lambda e: 1 << e)
options = st.fixed_dictionaries(
    {"check_integrity": st.booleans(), "compress": st.booleans(), "alignment": alignments}
)


@st.composite
def arrays(draw, dtype=None, shape=None):
    """Any bit pattern (NaNs, subnormals, non-0/1 booleans) of any dtype and shape."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)) if dtype is None else dtype)
    shape = draw(shapes) if shape is None else shape
    nbytes = int(np.prod(shape)) * dtype.itemsize
    raw = np.frombuffer(draw(st.binary(min_size=nbytes, max_size=nbytes)), np.uint8)
    return raw.view(dtype).reshape(shape)


@st.composite
def sparse_matrices(draw):
    fmt = draw(st.sampled_from(["coo", "csr", "csc"]))
    rows, cols = draw(st.integers(0, 7)), draw(st.integers(0, 7))
    density = draw(st.sampled_from([0.0, 0.3, 1.0]))
    dtype = draw(st.sampled_from(["float32", "float64", "int64", "complex64", "bool"]))
    seed = draw(st.integers(0, 2**16))
    m = sp.random(rows, cols, density=density, format=fmt, random_state=seed).astype(dtype)
    index = draw(st.sampled_from([np.int32, np.int64]))
    for name in ("row", "col") if fmt == "coo" else ("indices", "indptr"):
        setattr(m, name, getattr(m, name).astype(index))
    return m


def assert_same(back, original):
    """Same kind, keys, dtype, shape and bytes, recursively."""
    if isinstance(original, dict):
        assert isinstance(back, dict) and list(back) == list(original)
        for key, value in original.items():
            assert_same(back[key], value)
    elif sp.issparse(original):
        assert back.format == original.format and back.shape == original.shape
        assert back.dtype == original.dtype
        assert np.array_equal(back.toarray(), original.toarray())
    else:
        assert back.dtype == original.dtype and back.shape == original.shape
        assert back.tobytes() == original.tobytes()


def assert_buffer_write_matches(value, packet, **opts):
    """dump_to_buffer_rs writes exactly the dumps_rs bytes and nothing after them;
    a buffer one byte short is refused untouched."""
    buffer = bytearray(b"\xa5" * (len(packet) + 37))
    assert vamra_rs.dump_to_buffer_rs(value, buffer, **opts) == len(packet)
    assert buffer[: len(packet)] == packet
    assert buffer[len(packet) :] == b"\xa5" * 37
    short = bytearray(b"\xa5" * (len(packet) - 1))
    with pytest.raises(ValueError, match="Buffer too small"):
        vamra_rs.dump_to_buffer_rs(value, short, **opts)
    assert short == b"\xa5" * (len(packet) - 1)


@PROPERTY
@given(array=arrays(), opts=options)
def test_dense_round_trip(array, opts):
    packet = vamra_rs.dumps_rs(array, **opts)
    back = vamra_rs.loads_rs(packet)
    assert_same(back, array)
    # Uncompressed bodies are read-only views into the packet, at the alignment;
    # compressed ones come back in new, writable memory.
    assert back.flags.writeable == opts["compress"]
    if not opts["compress"] and back.size:
        start = back.ctypes.data - np.frombuffer(packet, np.uint8).ctypes.data
        assert 0 < start < len(packet) and start % opts["alignment"] == 0
    info = vamra_rs.get_packet_info_rs(packet)
    assert info["shape"] == array.shape and info["total_elements"] == array.size
    assert info["dtype_code"] == DTYPES.index(array.dtype.name) + 1
    assert info["aligned"] == (opts["alignment"] == 64)
    assert info["integrity_protected"] == opts["check_integrity"]
    assert_buffer_write_matches(array, packet, **opts)


bundle_values = st.recursive(
    st.one_of(arrays(shape=(2, 3)), arrays(), sparse_matrices()),
    lambda children: st.dictionaries(
        st.text(st.characters(exclude_categories=("Cs",)), max_size=6), children, max_size=4
    ),
    max_leaves=8,
)


@PROPERTY
@given(
    value=st.one_of(sparse_matrices(), st.dictionaries(st.text(max_size=3), bundle_values)),
    opts=options,
)
def test_bundles_and_sparse_round_trip(value, opts):
    packet = vamra_rs.dumps_rs(value, **opts)
    assert_same(vamra_rs.loads_rs(packet), value)
    # The source of every view may be any byte buffer, not only bytes.
    assert_same(vamra_rs.loads_rs(bytearray(packet)), value)
    assert_buffer_write_matches(value, packet, **opts)


# ---------------------------------------------------------------- mutations

# Runs in a child process: mutates the packets given on stdin with a seeded
# generator and feeds every mutant to both readers. An exception outside the
# allowed classes ends the child with status 3 and a report; a crash ends it
# with a signal. Each mutant is written to LAST before use, for the report.
WORKER = r"""
import json, random, sys
import numpy as np
import vamra_rs

job = json.load(sys.stdin)
rng = random.Random(job["seed"])
packets = [bytes.fromhex(p) for p in job["packets"]]
donors = [bytes.fromhex(p) for p in job["donors"]]
allowed = {"loads_rs": (ValueError, TypeError), "get_packet_info_rs": (ValueError,)}
FIELDS = [b"\xff\xff\xff\xff", b"\x00\x00\x00\x00", b"\x00\x00\x00\x80", b"\x40\x00\x00\x00",
          b"\xff", b"\x00", b"\x3f", b"\x40"]

def mutate(p):
    p = bytearray(p)
    for _ in range(rng.choice([1, 1, 2, 3])):
        op = rng.randrange(6)
        at = rng.randrange(len(p) + 1)
        if op == 0 and p:                              # byte flips
            p[min(at, len(p) - 1)] ^= 1 << rng.randrange(8)
        elif op == 1:                                  # truncation
            del p[at:]
        elif op == 2:                                  # insertion
            p[at:at] = rng.randbytes(rng.randrange(1, 9))
        elif op == 3:                                  # splice with another packet
            d = rng.choice(donors)
            p = p[:at] + d[rng.randrange(len(d) + 1):]
        elif op == 4:                                  # an interesting field value
            f = rng.choice(FIELDS)
            p[at:at + len(f)] = f
        elif p:                                        # a header byte
            p[rng.randrange(min(len(p), 12))] = rng.randrange(256)
    return bytes(p)

def touch(value):
    if isinstance(value, dict):
        return sum(touch(v) for v in value.values())
    if isinstance(value, np.ndarray):
        return len(value.tobytes())
    for name in ("data", "indices", "indptr", "row", "col", "offsets", "scales"):
        part = getattr(value, name, None)
        if isinstance(part, np.ndarray):
            len(part.tobytes())
    return 0

for i in range(job["count"]):
    case = mutate(rng.choice(packets))
    with open(job["last"], "wb") as f:
        f.write(case)
    source = case if i % 3 else bytearray(case)
    for name in allowed:
        try:
            touch(getattr(vamra_rs, name)(source))
        except allowed[name]:
            pass
        except BaseException as e:
            print(json.dumps({"function": name, "error": repr(e), "case": case.hex()}))
            sys.exit(3)
"""


def packets_of_every_kind():
    rng = np.random.default_rng(5)
    x = rng.standard_normal((3, 5)).astype(np.float32)
    dense = vamra_rs.dumps_rs(x)
    string = vamra_rs.dumps_string_rs(struct.pack("<4Q", 0, 3, 3, 8), b"abcdefgh", 3)
    ragged = string[:5] + struct.pack("<H", 0x0201) + string[7:]
    fixed = b"VMRA\x04" + struct.pack("<H", 0x0400) + b"\x00\x00\x01" + bytes(range(96))
    coo = sp.random(5, 4, density=0.4, format="coo", random_state=3, dtype=np.float32)
    return {
        "dense": dense,
        "compressed": vamra_rs.dumps_rs(np.tile(x, (40, 1)), compress=True),
        "integrity": vamra_rs.dumps_rs(x.astype(np.complex64), check_integrity=True, alignment=8),
        "sparse": vamra_rs.dumps_rs(coo.tocsr()),
        "coo": vamra_rs.dumps_rs(coo),
        "bundle": vamra_rs.dumps_rs({"a": x, "b": {"c": np.arange(4)}, "s": coo.tocsc()}),
        "compressed bundle": vamra_rs.dumps_rs({"a": x, "b": x[:1]}, compress=True),
        "string": string,
        "string integrity": vamra_rs.dumps_string_rs(
            struct.pack("<3Q", 0, 2, 2), b"ok", 2, check_integrity=True
        ),
        "quantized": vamra_rs.dumps_quantized_rs(QuantizedTensor.quantize(x, "qint4", axis=1)),
        "quantized integrity": vamra_rs.dumps_quantized_rs(
            QuantizedTensor.quantize(x, "quint8", group_size=4), check_integrity=True, alignment=16
        ),
        "fixed record": fixed,
        "ragged": ragged,
        "version 3": b"VMRA\x03\x01\x01\x01" + struct.pack("<I", 2) + bytes(52) + bytes(8),
        "string bundle": vamra_rs.encode_bundle_rs([("s", string), ("d", dense)]),
    }


KINDS = packets_of_every_kind()


@pytest.mark.parametrize("kind", list(KINDS))
def test_mutated_packets_only_raise_allowed_errors(kind, tmp_path):
    """loads_rs may raise ValueError (codec errors, NumPy, the companion classes)
    or TypeError (a dtype NumPy does not know without ml_dtypes, SciPy on odd
    components); get_packet_info_rs only ValueError. BufferError and ImportError
    are not allowed here: the sources are bytes and bytearrays, and SciPy is
    installed. Nothing may crash or hang."""
    last = tmp_path / "last_case"
    job = {
        "seed": list(KINDS).index(kind),
        "count": 1000,
        "packets": [KINDS[kind].hex()],
        "donors": [p.hex() for p in KINDS.values()],
        "last": str(last),
    }
    try:
        done = subprocess.run(
            [sys.executable, "-c", WORKER],
            input=json.dumps(job),
            capture_output=True,
            text=True,
            timeout=40,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"reader hung on {last.read_bytes().hex()}")
    if done.returncode == 3:
        pytest.fail(f"disallowed exception: {done.stdout}")
    assert done.returncode == 0, (
        f"reader crashed ({done.returncode}) on {last.read_bytes().hex()}\n{done.stderr[-2000:]}"
    )
