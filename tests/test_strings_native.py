"""StringTensor.from_list and tolist in native code give exactly what the Python
implementation (the fallback when the extension is not built) gives: the same
offsets and payload, the same lists, the same exceptions with the same texts."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from vamra import _native, ragged
from vamra.ragged import StringTensor

PROPERTY = settings(
    derandomize=True,
    deadline=None,
    max_examples=300,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)

# Text of every kind: ASCII, wide characters, astral ones and lone surrogates.
texts = st.text(st.characters(codec=None, exclude_categories=()), max_size=12)
str_subclass = type("Name", (str,), {})
bytes_subclass = type("Blob", (bytes,), {})
items = st.one_of(
    texts,
    st.text(st.characters(max_codepoint=127), max_size=8),
    st.binary(max_size=8),
    st.binary(max_size=8).map(bytearray),
    st.binary(max_size=8).map(memoryview),
    texts.map(str_subclass),
    st.binary(max_size=8).map(bytes_subclass),
    st.sampled_from([None, 3, 1.5]),
)


def outcome(function, *args):
    """What a call returns, or the type, text and arguments of what it raises."""
    try:
        return ("ok", function(*args))
    except Exception as exc:  # noqa: BLE001  (compared, not handled)
        return ("raised", type(exc), str(exc), exc.args)


def python_from_list(seq):
    offsets, payload = ragged._from_list_python(seq)
    return offsets.tolist(), payload


def native_from_list(seq):
    parts = _native.strings_from_list(seq)
    if parts is None:  # declined: StringTensor.from_list runs the Python code
        return python_from_list(seq)
    offsets, payload = parts
    assert offsets.dtype == np.uint64 and offsets.flags.owndata
    return offsets.tolist(), payload


@PROPERTY
@given(st.lists(items, max_size=8), st.booleans())
def test_from_list_matches_python(values, as_tuple):
    seq = tuple(values) if as_tuple else values
    assert outcome(native_from_list, seq) == outcome(python_from_list, seq)


@PROPERTY
@given(st.lists(st.binary(max_size=6), max_size=8))
def test_tolist_matches_python(chunks):
    # Arbitrary bytes: valid and invalid UTF-8, ASCII and not.
    offsets = np.cumsum([0] + [len(c) for c in chunks], dtype=np.uint64)
    payload = b"".join(chunks)
    assert outcome(_native.strings_to_list, offsets, payload) == outcome(
        ragged._tolist_python, offsets, payload
    )


@pytest.mark.parametrize(
    "values",
    [
        [],
        [""],
        ["plain", "ascii", ""],
        ["ü", "日本", "𝄞", "mixed ü"],
        ["a", b"\xff\xfe", bytearray(b"x"), memoryview(b"yz")],
        [memoryview(np.arange(3, dtype=np.int16))],  # bytes() of it: its 6 bytes
    ],
    ids=["empty", "one empty", "ascii", "wide", "bytes-like", "int16 view"],
)
def test_round_trips_through_the_tensor(values):
    tensor = StringTensor.from_list(values)
    expected = [v.encode() if isinstance(v, str) else bytes(v) for v in values]
    assert tensor.to_bytes_list() == expected
    assert tensor == StringTensor.from_list(iter(values))  # any iterable, consumed once
    if all(isinstance(v, str) for v in values):
        assert tensor.tolist() == values


@pytest.mark.parametrize(
    "values, error, text",
    [
        (["ok", "\ud800"], UnicodeEncodeError, "surrogates not allowed"),
        (["ok", 3], TypeError, "StringTensor items must be str or bytes, not int"),
        ([3, "\ud800"], TypeError, "StringTensor items must be str or bytes, not int"),
    ],
)
def test_from_list_errors(values, error, text):
    with pytest.raises(error, match=text):
        StringTensor.from_list(values)


def test_tolist_errors_name_the_element():
    tensor = StringTensor.from_list([b"fine", b"\xc3(", b"x"])
    with pytest.raises(UnicodeDecodeError) as info:
        tensor.tolist()
    assert info.value.object == b"\xc3(" and info.value.start == 0


@pytest.mark.parametrize(
    "offsets, error",
    [
        (np.array([0, 3, 2], np.uint64), ValueError),  # decreasing
        (np.array([0, 9], np.uint64), ValueError),  # past the payload
        (np.array([0, 1], np.int32), TypeError),
        (np.array([0, 1, 2, 3], np.uint64)[::2], ValueError),
    ],
    ids=["decreasing", "past the end", "int32", "strided"],
)
def test_tolist_refuses_a_tampered_table(offsets, error):
    with pytest.raises(error):
        _native.strings_to_list(offsets, b"abc")


def test_from_list_reads_lists_and_tuples_only():
    with pytest.raises(TypeError, match="a list or tuple is required"):
        _native.strings_from_list(iter(["a"]))


def test_the_python_code_stands_in_without_the_extension(monkeypatch):
    monkeypatch.setattr(ragged, "_native", lambda: None)
    tensor = StringTensor.from_list(["a", "ü", b"\x00"])
    assert tensor.to_bytes_list() == [b"a", "ü".encode(), b"\x00"]
    assert StringTensor.from_list(["x", "ÿ"]).tolist() == ["x", "ÿ"]
