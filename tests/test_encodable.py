"""What the companion's dumps accepts, refuses, and how deep dicts may nest.

Whatever dumps returns must load; whatever it refuses is refused before the
extension module sees it, with a message naming the type and where it sits.
"""

from __future__ import annotations

import array
import collections
import ctypes
import subprocess
import sys

import numpy as np
import pytest
import vamra
from vamra import QuantizedTensor, StringTensor
from vamra._values import check_encodable

sp = pytest.importorskip("scipy.sparse")
pytest.importorskip("vamra_rs")

NESTING = "Nesting exceeds the maximum depth of 64 levels below the top-level packet"


def _nest(leaf, levels):
    value = leaf
    for i in range(levels):
        value = {f"k{i}": value}
    return value


def _innermost(value, levels):
    for _ in range(levels):
        (value,) = value.values()
    return value


LEAVES = {
    "numpy": (lambda: np.arange(3, dtype=np.int16), 64),
    "string": (lambda: StringTensor.from_list(["a", "bc"]), 64),
    "quantized": (lambda: QuantizedTensor.quantize(np.linspace(-1, 1, 5), "qint4"), 64),
    # The matrix's component arrays take one more level.
    "sparse": (lambda: sp.csr_matrix(np.eye(3, dtype=np.float32)), 63),
    "empty_dict": (dict, 64),  # a value of its own, with nothing below it
}


def _same(a, b):
    if isinstance(a, (dict, StringTensor)):
        return a == b
    if isinstance(a, QuantizedTensor):
        return np.array_equal(a.dequantize(), b.dequantize())
    if sp.issparse(a):
        return (a != b).nnz == 0
    return np.array_equal(a, b)


@pytest.mark.parametrize("levels", [62, 63, 64, 65])
@pytest.mark.parametrize("leaf", list(LEAVES))
@pytest.mark.parametrize("beside", [None, "string"], ids=["alone", "beside-string"])
def test_nesting_limit_matches_the_reader(leaf, levels, beside):
    make, deepest = LEAVES[leaf]
    value = _nest(make(), levels)
    if beside:
        # A string tensor at the top sends the whole dict through the Python
        # framing, with the deep dict inside it one level further down.
        value = {"s": StringTensor.from_list(["x"]), "deep": value}
        levels += 1
    if levels > deepest:
        with pytest.raises(ValueError, match=NESTING):
            vamra.dumps(value)
        return
    back = vamra.loads(vamra.dumps(value))
    path = ["deep"] if beside else []
    inner = back[path[0]] if path else back
    expected = value[path[0]] if path else value
    depth = levels - len(path)
    assert _same(_innermost(expected, depth), _innermost(inner, depth))


def test_dict_that_contains_itself():
    loop: dict = {"s": StringTensor.from_list(["x"])}
    loop["again"] = loop
    with pytest.raises(ValueError, match=NESTING):
        vamra.dumps(loop)


class _TorchLikeTensor:
    """Stands in for a tensor of another library: a dtype without a NumPy name."""

    dtype = object()
    shape = (2,)


_TorchLikeTensor.__module__ = "torch"
_TorchLikeTensor.__qualname__ = "Tensor"


class _HasFormat:
    format = "csr"
    shape = (2, 2)


REFUSED = [
    (memoryview(b"abcd"), "memoryview", "numpy.frombuffer"),
    (array.array("d", [1.0]), "array.array", "numpy.frombuffer"),
    ((ctypes.c_double * 3)(), "c_double_Array_3", "numpy.frombuffer"),
    ({1, 2}, "set", None),
    (1j, "complex", None),
    (object(), "object", None),
    (_TorchLikeTensor(), "torch.Tensor", None),
    (_HasFormat(), "_HasFormat", None),
    (sp.lil_matrix((2, 2)), "LIL format", ".tocsr()"),
    (sp.dia_matrix(np.eye(2)), "DIA format", ".tocsr()"),
]


@pytest.fixture
def no_native(monkeypatch):
    """Fails the test if anything reaches the extension module."""

    class Refuse:
        def __getattr__(self, name):
            raise AssertionError(f"the extension module was called ({name})")

    monkeypatch.setattr(vamra._packets, "_native_module", Refuse())


@pytest.mark.parametrize("value,name,hint", REFUSED, ids=[r[1] for r in REFUSED])
@pytest.mark.parametrize("where", ["top", "nested", "beside-string"])
def test_refused_before_encoding(no_native, value, name, hint, where):
    path = ""
    if where == "nested":
        value = {"ok": np.zeros(2), "outer": {"inner": value}}
        path = "['outer']['inner']"
    elif where == "beside-string":
        value = {"s": StringTensor.from_list(["x"]), "bad": value}
        path = "['bad']"
    with pytest.raises(TypeError) as raised:
        vamra.dumps(value)
    message = str(raised.value)
    assert name in message and "NumPy array" in message and "StringTensor" in message
    assert (f" at {path}:" in message) if path else " at " not in message
    if hint:
        assert hint in message
    with pytest.raises(TypeError):
        check_encodable(value)


@pytest.mark.parametrize(
    "value,path,key",
    [
        ({1.5: np.zeros(1)}, "", "float"),
        ({True: np.zeros(1)}, "", "bool"),
        ({"a": {("t",): np.zeros(1)}}, "['a']", "tuple"),
        ({"a": {b"k": StringTensor.from_list([])}}, "['a']", "bytes"),
    ],
)
def test_non_str_keys(no_native, value, path, key):
    with pytest.raises(TypeError, match=f"dict key of type {key}") as raised:
        vamra.dumps(value)
    assert (f" at {path}:" in str(raised.value)) if path else " at " not in str(raised.value)


ACCEPTED = {
    "ndarray": np.arange(4.0),
    "masked": np.ma.array([1.0, 2.0]),
    "subclass": np.arange(6, dtype=np.int32).reshape(2, 3).view(type("Sub", (np.ndarray,), {})),
    "scalar": np.float32(2.5),
    "coo_matrix": sp.coo_matrix(np.eye(2)),
    "csc_matrix": sp.csc_matrix(np.eye(2)),
    "csr_array": sp.csr_array(np.eye(2)),
    "ordered_dict": collections.OrderedDict(a=np.ones(2), b={"c": np.zeros(1)}),
    "empty_dict": {},
}

# Beyond what one packet holds, dumps lays a value out with an index: the
# plain Python values of a training state come back as they went in.
STATE = {
    "list": [1.0, 2.0],
    "tuple": (1, "two", None),
    "str": "text, ñ",
    "int": 3,
    "big_int": -(2**100),
    "float": float("nan"),
    "None": None,
    "bool": True,
    "bytes": b"\x00abc",
    "bytearray": bytearray(b"xy"),
    "int_keys": {0: np.zeros(2), -5: {"step": 3}, 2**62: "x"},
    "mixed_keys": {1: "one", "1": "str one"},
    "nested": {"opt": {"state": {0: {"step": 1}}, "groups": [{"betas": (0.9, 0.99)}]}},
}


@pytest.mark.parametrize("name", list(STATE))
def test_training_state_values_round_trip(name):
    value = STATE[name]
    back = vamra.loads(vamra.dumps(value))
    if name == "float":
        assert type(back) is float and back != back
    elif name == "bytearray":
        assert back == bytes(value)
    elif name == "int_keys":
        assert list(back) == list(value) and back[-5] == {"step": 3} and back[2**62] == "x"
        np.testing.assert_array_equal(back[0], value[0])
    else:
        assert back == value and type(back) is type(value)


@pytest.mark.parametrize("name", list(ACCEPTED))
def test_accepted_values_round_trip(name):
    value = ACCEPTED[name]
    check_encodable(value)
    back = vamra.loads(vamra.dumps(value))
    if isinstance(value, dict):
        assert set(back) == set(value)
    elif sp.issparse(value):
        assert (back != value).nnz == 0
    else:
        np.testing.assert_array_equal(back, value)


def test_unsupported_dtype_stays_a_value_error():
    # The check is about kinds of value; what the module refuses inside an
    # array keeps the module's own error.
    with pytest.raises(ValueError, match="Unsupported dtype"):
        vamra.dumps({"s": np.array(["text"])})


def test_checking_does_not_import_scipy():
    code = (
        "import sys, numpy as np, vamra\n"
        "vamra.dumps({'a': np.zeros(2), 'b': vamra.StringTensor.from_list(['x'])})\n"
        "try:\n    vamra.dumps([1])\nexcept TypeError:\n    pass\n"
        "assert 'scipy' not in sys.modules, 'scipy was imported'\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
