"""Tests of the pure-Python package: quantization, string tensors, native dispatch.

Round trips through the real extension skip until it is importable.
"""

from __future__ import annotations

import math
import sys

import numpy as np
import pytest
import vamra
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from vamra import QuantizedTensor, StringTensor
from vamra.quantize import SCHEME_PER_GROUP, SCHEME_PER_TENSOR

RANGES = {"qint8": (-128, 127), "quint8": (0, 255), "qint4": (-8, 7), "quint4": (0, 15)}
MODES = {
    "tensor": {},
    "axis0": {"axis": 0},
    "axis1": {"axis": 1},
    "axis-1": {"axis": -1},
    "group5": {"group_size": 5},  # does not divide the element count
    "group4": {"group_size": 4},
}
GOOD = dict(
    data=[0, 0, 0, 0],
    scales=[1.0],
    zero_points=[0.0],
    shape=(2, 2),
    dtype_code=16,
    quant_scheme=0,
    group_size=0,
    axis=0,
)


def _qt(**change) -> QuantizedTensor:
    return QuantizedTensor(**{**GOOD, **change})


def _sample(kind: str, shape: tuple[int, ...]) -> np.ndarray:
    rng = np.random.default_rng(abs(hash((kind, shape))) % 2**32)
    data = {
        "normal": lambda: rng.normal(0.3, 2.0, shape),
        "positive": lambda: rng.uniform(5, 9, shape),
        "negative": lambda: rng.uniform(-9, -5, shape),
        "heavy": lambda: rng.lognormal(0, 3, shape) * rng.choice([-1, 1], shape),
        "tiny": lambda: rng.normal(0, 1e-20, shape),
        "huge": lambda: rng.normal(0, 1e30, shape),
        "const": lambda: np.full(shape, -2.5),
        "zeros": lambda: np.zeros(shape),
    }[kind]()
    return data.astype(np.float32)


def _element_scales(qt: QuantizedTensor) -> np.ndarray:
    """The scale that applies to each element, worked out from the scheme."""
    n = math.prod(qt.shape)
    if qt.quant_scheme == SCHEME_PER_TENSOR:
        return np.full(qt.shape, qt.scales[0])
    if qt.quant_scheme == SCHEME_PER_GROUP:
        return np.repeat(qt.scales, qt.group_size)[:n].reshape(qt.shape)
    ax = qt.axis % len(qt.shape)
    param_shape = [-1 if i == ax else 1 for i in range(len(qt.shape))]
    return np.broadcast_to(qt.scales.reshape(param_shape), qt.shape)


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize(
    "kind", ["normal", "positive", "negative", "heavy", "tiny", "huge", "const", "zeros"]
)
@pytest.mark.parametrize("mode", list(MODES))
@pytest.mark.parametrize("dtype", list(RANGES))
def test_dequantize_within_half_a_step(dtype, mode, kind):
    x = _sample(kind, (6, 7))
    qt = QuantizedTensor.quantize(x, dtype, **MODES[mode])
    out = qt.dequantize()
    assert out.dtype == np.float32 and out.shape == x.shape
    assert qt.scales.dtype == qt.zero_points.dtype == np.float32
    scale = _element_scales(qt).astype(np.float64)
    err = np.abs(out.astype(np.float64) - x)
    assert np.all(err <= 0.5 * scale * (1 + 1e-5) + 1e-6 * np.abs(x).max())
    codes = qt.int_repr()
    lo, hi = RANGES[dtype]
    assert codes.min() >= lo and codes.max() <= hi
    # The step is no coarser than needed: the codes span the slice's range (0 included).
    span = max(float(x.max()), 0.0) - min(float(x.min()), 0.0)
    assert np.all(scale <= span / (hi - lo) * (1 + 1e-6))
    # Zero is represented exactly; an all-zero tensor has all-zero codes.
    assert np.all(out[x == 0] == 0)
    if kind == "zeros":
        assert not codes.any()


@settings(max_examples=150, deadline=None)
@given(
    x=hnp.arrays(
        np.float32,
        hnp.array_shapes(min_dims=1, max_dims=3, max_side=6),
        elements=st.floats(-(2.0**100), 2.0**100, width=32, allow_subnormal=False),
    ),
    dtype=st.sampled_from(list(RANGES)),
    mode=st.sampled_from(["tensor", "axis0", "axis-1", "group5"]),
)
def test_dequantize_within_half_a_step_any_input(x, dtype, mode):
    qt = QuantizedTensor.quantize(x, dtype, **MODES[mode])
    err = np.abs(qt.dequantize().astype(np.float64) - x)
    scale = _element_scales(qt).astype(np.float64)
    assert np.all(err <= 0.5 * scale * (1 + 1e-5) + 1e-6 * np.abs(x).max())


@pytest.mark.parametrize("dtype", list(RANGES))
@pytest.mark.parametrize(
    "shape,kw",
    [
        ((), {}),
        ((1,), {}),
        ((5,), {"axis": 0}),
        ((2, 3, 4), {"axis": 1}),
        ((2, 3, 4), {"axis": -2}),
        ((3, 0), {"axis": 1}),
        ((0,), {}),
        ((9,), {"group_size": 2}),
        ((2, 3), {"group_size": 100}),
    ],
)
def test_quantize_shapes(dtype, shape, kw):
    x = np.random.default_rng(1).normal(size=shape).astype(np.float32)
    qt = QuantizedTensor.quantize(x, dtype, **kw)
    n = math.prod(shape)
    assert qt.shape == shape
    assert qt.data.dtype == np.uint8
    assert qt.data.size == ((n + 1) // 2 if dtype.endswith("4") else n)
    assert qt.dtype == dtype
    assert qt.nbytes == qt.data.size + 8 * qt.scales.size
    out = qt.dequantize()
    assert out.shape == shape
    np.testing.assert_allclose(out, x, atol=float(qt.scales.max(initial=0)) * 0.51 + 1e-6)


@pytest.mark.parametrize("dtype", list(RANGES))
def test_range_end_on_a_rounding_tie(dtype):
    # Scale 1 and a range whose ends sit half a code outside the integers: the top
    # value rounds one code past the range and has to be clipped back.
    lo, hi = RANGES[dtype]
    x = np.array([-1.5, hi - lo - 1.5, 0.0], np.float32)
    qt = QuantizedTensor.quantize(x, dtype)
    assert qt.scales.tolist() == [1.0]
    assert np.abs(qt.dequantize() - x).max() <= 0.5


def test_nibble_packing_order():
    # Range [0, 15] gives scale 1 and zero point 0, so the codes equal the values.
    x = np.array([15, 0, 1, 2, 3], np.float32)
    qt = QuantizedTensor.quantize(x, "quint4")
    assert qt.data.tolist() == [0x0F, 0x21, 0x03]  # element 2k low, 2k+1 high, last high nibble 0
    signed = QuantizedTensor.quantize(np.arange(-8, 8, dtype=np.float32), "qint4")
    assert signed.data.tolist() == [0x98, 0xBA, 0xDC, 0xFE, 0x10, 0x32, 0x54, 0x76]
    q8 = QuantizedTensor.quantize(np.arange(-128, 128, dtype=np.float32), "qint8")
    assert q8.data.view(np.int8).tolist() == list(range(-128, 128))


def test_unpacks_hand_built_nibbles():
    qt = _qt(data=[0x21, 0xF3], scales=[0.5], zero_points=[1.0], shape=(3,), dtype_code=18)
    assert qt.int_repr().tolist() == [1, 2, 3]  # high nibble of byte 1 is past the end
    assert qt.dequantize().tolist() == [0.0, 0.5, 1.0]
    unsigned = _qt(data=bytes([0xF8]), shape=(2,), dtype_code=19)
    assert unsigned.int_repr().tolist() == [8, 15]


@pytest.mark.parametrize("axis", [0, 1, 2, -1, -2, -3])
def test_axis_low_byte_from_packet(axis):
    x = np.random.default_rng(2).normal(size=(3, 4, 5)).astype(np.float32)
    qt = QuantizedTensor.quantize(x, "qint8", axis=axis)
    assert qt.axis == axis  # stored as given
    # What decoding a packet hands back: the axis as an unsigned byte, copied arrays.
    decoded = QuantizedTensor(
        data=np.frombuffer(qt.data.tobytes(), "uint8").copy(),
        scales=np.frombuffer(qt.scales.tobytes(), "float32").copy(),
        zero_points=np.frombuffer(qt.zero_points.tobytes(), "float32").copy(),
        shape=qt.shape,
        dtype_code=qt.dtype_code,
        quant_scheme=qt.quant_scheme,
        group_size=qt.group_size,
        axis=axis & 0xFF,
    )
    np.testing.assert_array_equal(decoded.dequantize(), qt.dequantize())


@pytest.mark.parametrize(
    "args,kw,exc",
    [
        (([1.0], "int8"), {}, ValueError),
        ((np.ones((2, 2)),), {"axis": 2}, ValueError),
        ((np.ones((2, 2)),), {"axis": -3}, ValueError),
        ((np.ones(3),), {"axis": 0, "group_size": 2}, ValueError),
        ((np.ones(3),), {"group_size": -1}, ValueError),
        (([1.0, np.nan],), {}, ValueError),
        (([np.inf],), {"axis": 0}, ValueError),
        (([1 + 2j],), {}, TypeError),
        ((["a"],), {}, TypeError),
    ],
)
def test_quantize_rejects(args, kw, exc):
    with pytest.raises(exc):
        QuantizedTensor.quantize(*args, **kw)


@pytest.mark.parametrize(
    "change",
    [
        {"dtype_code": 1},
        {"dtype_code": 20},
        {"zero_points": [0.0, 1.0]},
        {"data": [0, 0, 0]},
        {"shape": (2, -2)},
    ],
)
def test_constructor_rejects(change):
    with pytest.raises(ValueError):
        _qt(**change)


@pytest.mark.parametrize(
    "change",
    [
        {"quant_scheme": 7},
        {"scales": [1.0, 1.0], "zero_points": [0.0, 0.0]},
        {"quant_scheme": 1, "axis": 2},
        {"quant_scheme": 1, "scales": [1.0] * 3, "zero_points": [0.0] * 3},
        {"quant_scheme": 2, "group_size": 0},
        {"quant_scheme": 2, "group_size": 3},
    ],
)
def test_dequantize_rejects_inconsistent_parameters(change):
    with pytest.raises(ValueError):
        _qt(**change).dequantize()


def test_constructor_converts_and_is_keyword_only():
    qt = QuantizedTensor(
        **{**GOOD, "shape": [np.int64(2), 2], "scales": (2,), "data": np.zeros(4, np.int8)}
    )
    assert qt.shape == (2, 2) and qt.data.dtype == np.uint8 and qt.scales.dtype == np.float32
    assert isinstance(qt.scales.tobytes(), bytes) and len(qt.zero_points.tobytes()) == 4
    with pytest.raises(TypeError):
        QuantizedTensor(GOOD["data"], GOOD["scales"])  # type: ignore[misc]


# ---------------------------------------------------------------- string tensors

ITEM_LISTS = {
    "ascii": ["alpha", "b", "", "gamma delta"],
    "utf8": ["é", "中文", "", "🙂 ok", "a"],
    "empty_strings": ["", "", ""],
    "one_empty": [""],
    "nothing": [],
}


@pytest.mark.parametrize("name", list(ITEM_LISTS))
def test_from_list_round_trip(name):
    items = ITEM_LISTS[name]
    st = StringTensor.from_list(items)
    encoded = [s.encode() for s in items]
    assert len(st) == st.count == len(items)
    assert st.offsets.dtype == np.uint64
    assert st.offsets.tolist() == np.cumsum([0, *map(len, encoded)]).tolist()
    assert st.payload == b"".join(encoded)
    assert st.tolist() == list(st) == items
    assert st.to_bytes_list() == encoded
    assert StringTensor.from_list(iter(items)) == st


def test_bytes_items():
    items = [b"\x00\xff", b"", bytearray(b"ab"), memoryview(b"xyz"), "é"]
    st = StringTensor.from_list(items)
    assert st.to_bytes_list() == [b"\x00\xff", b"", b"ab", b"xyz", "é".encode()]
    assert st[2] == "ab" and st.get_bytes(0) == b"\x00\xff"
    with pytest.raises(UnicodeDecodeError):
        st.tolist()
    with pytest.raises(UnicodeDecodeError):
        st[0]


def test_large_mixed_lists_agree_with_per_item_encoding():
    rng = np.random.default_rng(3)
    ascii_items = ["x" * int(k) for k in rng.integers(0, 7, 20_000)]
    for items in (ascii_items, ascii_items + ["ü"]):
        st = StringTensor.from_list(items)
        expected = np.concatenate([[0], np.cumsum([len(s.encode()) for s in items])])
        np.testing.assert_array_equal(st.offsets, expected)
        assert st.tolist() == items


@pytest.mark.parametrize("items", [[1], ["a", None], [["a"]]])
def test_from_list_rejects_non_strings(items):
    with pytest.raises(TypeError):
        StringTensor.from_list(items)


def test_from_list_rejects_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        StringTensor.from_list(["ok", "\udc80"])


def test_from_raw_contract():
    offsets = np.frombuffer(np.array([0, 2, 2, 5], "<u8").tobytes(), "uint64").copy()
    st = StringTensor._from_raw(offsets, b"hiabc", 3)
    assert st.tolist() == ["hi", "", "abc"]
    assert np.shares_memory(st.offsets, offsets)  # taken over, not copied
    assert not st.offsets.flags.writeable
    empty = StringTensor._from_raw(np.zeros(1, np.uint64), b"", 0)
    assert len(empty) == 0 and empty.tolist() == []


@pytest.mark.parametrize(
    "offsets,payload,count",
    [
        ([0, 2], b"ab", 2),
        ([0, 1, 2], b"ab", 1),
        ([1, 2], b"ab", 1),
        ([0, 3], b"ab", 1),
        ([0, 1], b"ab", 1),
    ],
)
def test_from_raw_rejects(offsets, payload, count):
    with pytest.raises(ValueError):
        StringTensor._from_raw(np.array(offsets, np.uint64), payload, count)


@pytest.mark.parametrize(
    "offsets,exc",
    [
        ([0, 2, 1, 3], ValueError),
        ([0, -1, 3], ValueError),
        ([0.0, 3.0], TypeError),
        ([], ValueError),
    ],
)
def test_constructor_validates(offsets, exc):
    with pytest.raises(exc):
        StringTensor(offsets, b"abc")


def test_constructor_copies():
    offsets = np.array([0, 1, 3], np.uint64)
    st = StringTensor(offsets, bytearray(b"abc"))
    offsets[1] = 2
    assert st.tolist() == ["a", "bc"] and type(st.payload) is bytes


ITEMS = ["zero", "", "двa", "three", "", "five!", "6"]


@pytest.mark.parametrize("index", [0, 2, 6, -1, -7, np.int64(3)])
def test_getitem_int(index):
    assert StringTensor.from_list(ITEMS)[index] == ITEMS[index]


@pytest.mark.parametrize("index", [7, -8])
def test_getitem_out_of_range(index):
    with pytest.raises(IndexError):
        StringTensor.from_list(ITEMS)[index]


@pytest.mark.parametrize(
    "sl",
    [
        slice(None),
        slice(2, 5),
        slice(-3, None),
        slice(5, 2),
        slice(7, 9),
        slice(None, None, 2),
        slice(None, None, -1),
        slice(6, 0, -3),
        slice(1, 6, 4),
    ],
)
def test_getitem_slice(sl):
    part = StringTensor.from_list(ITEMS)[sl]
    assert isinstance(part, StringTensor)
    assert part.tolist() == ITEMS[sl]
    assert part == StringTensor.from_list(ITEMS[sl])  # offsets rebased, payload trimmed


def test_equality_and_repr():
    a = StringTensor.from_list(["x", "yz"])
    assert a == StringTensor.from_list([b"x", b"yz"])
    assert a != StringTensor.from_list(["xy", "z"])  # same payload, other split
    assert a != StringTensor.from_list(["x", "yw"])
    assert a != ["x", "yz"]
    with pytest.raises(TypeError):
        hash(a)
    assert "'yz'" in repr(a) and "..." in repr(StringTensor.from_list(list("abcdefgh")))


# ---------------------------------------------------------------- dispatch to the native module


class FakeNative:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(*args, **kw):
            self.calls.append((name, args, kw))
            return name.encode()

        return record


@pytest.fixture
def fake(monkeypatch):
    native = FakeNative()
    monkeypatch.setattr(vamra._packets, "_native_module", native)
    return native


def test_dumps_dispatch(fake):
    st = StringTensor.from_list(["ab", "", "c"])
    qt = QuantizedTensor.quantize(np.ones(3), "quint4")
    arr = np.arange(3)
    vamra.dumps(st, check_integrity=True)
    vamra.dumps(qt, alignment=16)
    vamra.dumps(arr, compress=True)
    vamra.loads(b"packet")
    (n1, a1, k1), (n2, a2, k2), (n3, a3, _), (n5, a5, _) = fake.calls
    assert (n1, a1, k1) == (
        "dumps_string_rs",
        (np.array([0, 2, 2, 3], "<u8").tobytes(), b"abc", 3),
        {"check_integrity": True},
    )
    assert (n2, k2) == ("dumps_quantized_rs", {"alignment": 16}) and a2[0] is qt
    assert n3 == "dumps_rs" and a3[0] is arr
    assert (n5, a5) == ("loads_rs", (b"packet",))


def test_dict_with_companions_gives_each_the_options_it_understands(fake):
    st = StringTensor.from_list(["s"])
    qt = QuantizedTensor.quantize(np.ones(3), "quint4")
    vamra.dumps({"arr": np.zeros(2), "inner": {"s": st, "q": qt}}, compress=True, alignment=16)
    names = [(c[0], c[2]) for c in fake.calls]
    # The array is the layout's to write; the companions are encoded here,
    # compression left out for both and the alignment for the string.
    assert names == [("dumps_string_rs", {}), ("dumps_quantized_rs", {"alignment": 16})]


def test_missing_extension_message(monkeypatch):
    monkeypatch.setattr(vamra._packets, "_native_module", None)
    monkeypatch.setitem(sys.modules, "vamra_rs", None)
    with pytest.raises(ImportError, match="vamra_rs"):
        vamra.dumps(np.zeros(1))


# ---------------------------------------------------------------- round trips through the extension


@pytest.fixture
def native():
    return pytest.importorskip("vamra_rs")


@pytest.mark.parametrize("items", list(ITEM_LISTS.values()) + [[b"\xff\x00", b""]])
@pytest.mark.parametrize("check", [False, True])
def test_string_round_trip(native, items, check):
    st = StringTensor.from_list(items)
    back = vamra.loads(vamra.dumps(st, check_integrity=check))
    assert isinstance(back, StringTensor) and back == st


@pytest.mark.parametrize("dtype", list(RANGES))
@pytest.mark.parametrize("kw", [{}, {"axis": -1}, {"group_size": 3}])
def test_quantized_round_trip(native, dtype, kw):
    qt = QuantizedTensor.quantize(np.random.default_rng(4).normal(size=(4, 5)), dtype, **kw)
    back = vamra.loads(vamra.dumps(qt, check_integrity=True))
    assert isinstance(back, QuantizedTensor)
    assert (back.dtype_code, back.shape, back.quant_scheme, back.group_size) == (
        qt.dtype_code,
        qt.shape,
        qt.quant_scheme,
        qt.group_size,
    )
    assert back.axis == qt.axis & 0xFF
    np.testing.assert_array_equal(back.dequantize(), qt.dequantize())


def test_bundle_round_trip(native):
    value = {
        "w": np.arange(6, dtype=np.float32).reshape(2, 3),
        "names": StringTensor.from_list(["a", "b"]),
        "q": {"t": QuantizedTensor.quantize(np.ones(3), "qint8")},
    }
    back = vamra.loads(vamra.dumps(value, check_integrity=True))
    np.testing.assert_array_equal(back["w"], value["w"])
    assert back["names"] == value["names"]
    np.testing.assert_array_equal(back["q"]["t"].dequantize(), np.ones(3, np.float32))
