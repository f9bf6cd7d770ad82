"""vamra._native.loads: loads_rs's converter with writable views and a bfloat16 dtype."""

import gc
import mmap
import subprocess
import sys
import weakref

import ml_dtypes
import numpy as np
import pytest
import scipy.sparse as sp
import vamra
from vamra import QuantizedTensor, StringTensor, _native

import vamra_rs

BF16 = np.array([1.5, -2.0, 0.0, 3.25], dtype=ml_dtypes.bfloat16)
MARKER = np.dtype([("bf16", "<u2")])


def _bundle():
    return vamra_rs.dumps_rs(
        {"w": np.arange(6, dtype=np.float32).reshape(2, 3), "m": sp.eye(3, format="csr")}
    )


def _leaves(value):
    if isinstance(value, dict):
        return [a for v in value.values() for a in _leaves(v)]
    if sp.issparse(value):
        return [value.data, value.indices, value.indptr]
    return [value]


PACKETS = {
    "dense": lambda: vamra_rs.dumps_rs(np.arange(12, dtype=np.int16).reshape(3, 4)),
    "0-d": lambda: vamra_rs.dumps_rs(np.array(7.5)),
    "bundle": _bundle,
    "compressed": lambda: vamra_rs.dumps_rs(np.arange(100.0), compress=True),
    "string": lambda: vamra.dumps(StringTensor.from_list(["a", "ü", ""])),
    "quantized": lambda: vamra.dumps(QuantizedTensor.quantize(np.ones(8, np.float32), "qint8")),
}


def _same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if sp.issparse(a):
        return a.format == b.format and (a != b).nnz == 0
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    if isinstance(a, QuantizedTensor):
        fields = ("data", "scales", "zero_points", "shape", "dtype_code", "axis")
        return all(_same(getattr(a, f), getattr(b, f)) for f in fields)
    return a == b


@pytest.mark.parametrize("kind", PACKETS)
def test_defaults_give_what_loads_rs_gives(kind):
    packet = PACKETS[kind]()
    ours, theirs = _native.loads(packet), vamra_rs.loads_rs(packet)
    assert _same(ours, theirs)
    for a, b in zip(_leaves(ours), _leaves(theirs), strict=True):
        if isinstance(a, np.ndarray):
            assert a.flags.writeable == b.flags.writeable


@pytest.mark.parametrize("kind", ["dense", "0-d", "bundle"])
def test_writable_views_write_through_to_the_buffer(kind):
    buffer = bytearray(PACKETS[kind]())
    value = _native.loads(buffer, writable=True)
    before = bytes(buffer)
    leaves = _leaves(value)
    assert all(a.flags.writeable and not a.flags.owndata for a in leaves)
    leaves[0].reshape(-1)[:1] = 99  # a view of the same memory, also writable
    assert bytes(buffer) != before
    assert _same(value, vamra_rs.loads_rs(bytes(buffer)))


def test_writable_views_of_a_copy_on_write_mapping_leave_the_file_alone(tmp_path):
    path = tmp_path / "packet"
    packet = PACKETS["dense"]()
    path.write_bytes(packet)
    with path.open("rb") as file:
        region = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_COPY)
    array = _native.loads(region, writable=True)
    array[:] = -1
    assert (array == -1).all()
    del array
    region.close()
    assert path.read_bytes() == packet


@pytest.mark.parametrize(
    "make",
    [bytes, lambda b: memoryview(bytearray(b)).toreadonly(), lambda b: np.frombuffer(b, np.uint8)],
    ids=["bytes", "read-only memoryview", "read-only array"],
)
def test_writable_refuses_a_read_only_buffer(make):
    with pytest.raises(ValueError, match="writable views need a writable buffer.*read-only"):
        _native.loads(make(PACKETS["dense"]()), writable=True)


def test_writable_views_keep_their_source_alive():
    source = np.frombuffer(_bundle(), np.uint8).copy()
    alive = weakref.ref(source)
    value = _native.loads(source, writable=True)
    expected = [a.copy() for a in _leaves(value)]
    del source
    gc.collect()
    assert alive() is not None
    assert all(np.array_equal(a, b) for a, b in zip(_leaves(value), expected, strict=True))
    del value
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize(
    "dtype", [np.uint16, "<u2", MARKER, np.dtype("V2")], ids=["uint16", "<u2", "marker", "V2"]
)
def test_bfloat16_data_takes_the_given_dtype(dtype, compress):
    packet = vamra_rs.dumps_rs({"a": {"w": BF16}, "x": np.ones(2, np.float32)}, compress=compress)
    value = _native.loads(packet, bfloat16=dtype)
    w = value["a"]["w"]
    assert w.dtype == np.dtype(dtype) and w.shape == BF16.shape
    assert w.tobytes() == BF16.tobytes()
    assert value["x"].dtype == np.float32  # only bfloat16 data is affected
    assert w.flags.writeable == compress


def test_bfloat16_none_is_the_default():
    packet = vamra_rs.dumps_rs(BF16)
    assert _native.loads(packet, bfloat16=None).dtype == ml_dtypes.bfloat16
    assert _native.loads(packet, False, np.uint16).dtype == np.uint16


@pytest.mark.parametrize(
    "dtype, error",
    [
        (np.float32, ValueError),
        (np.uint8, ValueError),
        ("(2,)u1", ValueError),
        ("no such type", TypeError),
    ],
)
def test_bfloat16_dtype_must_be_two_plain_bytes(dtype, error):
    packet = vamra_rs.dumps_rs(BF16)
    with pytest.raises(error):
        _native.loads(packet, bfloat16=dtype)
    # Checked only when bfloat16 data is met.
    assert _native.loads(vamra_rs.dumps_rs(np.ones(2)), bfloat16=dtype).dtype == np.float64


def test_errors_are_loads_rs_errors():
    with pytest.raises(ValueError, match="Invalid vamra packet"):
        _native.loads(b"XMRA" + bytes(60), writable=False)
    with pytest.raises(TypeError, match="unexpected keyword argument 'copy'"):
        _native.loads(b"", copy=True)
    with pytest.raises(TypeError, match="argument 'writable'"):
        _native.loads(b"", writable=1)


FALLBACK = """
import numpy as np, scipy.sparse as sp, ml_dtypes, numpy._core._multiarray_umath as umath
del umath._ARRAY_API  # NumPy's constructor table is out of reach: Python calls make the arrays
import vamra, vamra_rs
from vamra import StringTensor, _native
dense = np.arange(12, dtype=np.int16).reshape(3, 4)
source = bytearray(vamra_rs.dumps_rs({"d": dense, "m": sp.eye(3, format="csr")}))
value = vamra_rs.loads_rs(source)
assert np.array_equal(value["d"], dense) and not value["d"].flags.writeable
assert isinstance(value["d"].base, np.ndarray)  # reshaped from frombuffer's array
assert (value["m"] != sp.eye(3)).nnz == 0
assert _native.loads(source, writable=True)["d"].flags.writeable
bf16 = vamra_rs.dumps_rs(np.ones(3, ml_dtypes.bfloat16), compress=True)
assert _native.loads(bf16, bfloat16=np.uint16).tolist() == [0x3F80] * 3
assert vamra.loads(vamra.dumps(StringTensor.from_list(["a", "b"]))).tolist() == ["a", "b"]
print("fallback ok")
"""


def test_arrays_are_made_by_python_calls_without_numpys_table():
    done = subprocess.run(
        [sys.executable, "-c", FALLBACK], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "fallback ok"
