"""Dictionaries as bundles and SciPy matrices as sparse packets."""

import struct
import sys

import numpy as np
import pytest
import scipy.sparse as sp

import vamra_rs

TOO_DEEP = "Nesting exceeds the maximum depth of 64 levels below the top-level packet"


def nested(levels, leaf):
    value = leaf
    for _ in range(levels):
        value = {"a": value}
    return value


def test_empty_coo_matrix_layout():
    matrix = sp.coo_matrix(
        (np.zeros(0, np.float64), (np.zeros(0, np.int32), np.zeros(0, np.int32))), shape=(0, 0)
    )
    packet = vamra_rs.dumps_rs(matrix)
    assert len(packet) == 222
    assert packet[:22] == b"VMRA\x04\x08\x00\x00\x02\x00" + bytes(8) + b"\x40\x00\x00\x00"
    assert packet[22:26] == b"VMRA" and packet[86:90] == b"\x40\x00\x00\x00"
    back = vamra_rs.loads_rs(packet)
    assert back.format == "coo" and back.shape == (0, 0) and back.nnz == 0


def test_csr_layout_and_round_trip():
    matrix = sp.csr_matrix(
        (np.array([1.5, -2.0]), np.array([0, 2], np.int32), np.array([0, 1, 1, 2], np.int32)),
        shape=(3, 3),
    )
    packet = vamra_rs.dumps_rs(matrix)
    assert len(packet) == 262
    back = vamra_rs.loads_rs(packet)
    assert isinstance(back, sp.csr_matrix)
    assert back.indices.dtype == np.int32 and back.indptr.dtype == np.int32
    assert (back != matrix).nnz == 0
    assert not back.data.flags.writeable  # zero-copy views into the packet


def test_coo_and_csr_differ_only_in_flags():
    class Matrix:
        def __init__(self, format):
            self.format = format
            self.shape = (4, 4)
            self.data = np.arange(3, dtype=np.float32)
            self.row = self.indices = np.array([0, 1, 2], np.int64)
            self.col = self.indptr = np.array([1, 2, 3], np.int64)

    coo, csr = vamra_rs.dumps_rs(Matrix("coo")), vamra_rs.dumps_rs(Matrix("csr"))
    assert coo[:5] + coo[7:] == csr[:5] + csr[7:]
    assert coo[5:7] == b"\x08\x00" and csr[5:7] == b"\x20\x00"


@pytest.mark.parametrize("format", ["coo", "csr", "csc"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_sparse_round_trip(format, index_dtype):
    matrix = sp.random(30, 20, density=0.2, format=format, random_state=3, dtype=np.float32)
    if format == "coo":
        matrix.row = matrix.row.astype(index_dtype)
        matrix.col = matrix.col.astype(index_dtype)
    else:
        matrix.indices = matrix.indices.astype(index_dtype)
        matrix.indptr = matrix.indptr.astype(index_dtype)
    packet = vamra_rs.dumps_rs(matrix)
    back = vamra_rs.loads_rs(packet)
    assert back.format == format
    assert np.array_equal(back.toarray(), matrix.toarray())
    # The packet keeps the index width as given (SciPy may narrow it when rebuilding).
    first = struct.unpack_from("<I", packet, 18)[0]
    given = (matrix.row if format == "coo" else matrix.indices).dtype
    assert packet[22 + first + 4 + 7] == (2 if given == np.int32 else 4)


def test_non_contiguous_components_are_made_contiguous():
    matrix = sp.random(10, 10, density=0.5, format="csr", random_state=1)
    matrix.indices = np.repeat(matrix.indices, 2)[::2]
    assert not matrix.indices.flags.c_contiguous
    assert np.array_equal(vamra_rs.loads_rs(vamra_rs.dumps_rs(matrix)).toarray(), matrix.toarray())


@pytest.mark.parametrize(
    "matrix, error, message",
    [
        (sp.dia_matrix(np.eye(3)), ValueError, "Unknown sparse format"),
        (type("M", (), {"format": "COO"})(), ValueError, "Unknown sparse format"),
        (type("M", (), {"format": "csr", "shape": (2, 2)})(), AttributeError, None),
    ],
)
def test_sparse_refusals(matrix, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dumps_rs(matrix)
    if message:
        assert str(info.value) == message


def test_sparse_without_scipy(monkeypatch):
    packet = vamra_rs.dumps_rs(sp.eye(3, format="csr"))
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match="^scipy is required for sparse deserialization$"):
        vamra_rs.loads_rs(packet)


def test_bundle_round_trip_and_layout():
    state = {
        "w": np.ones((2, 2), np.float32),
        "nested": {"b": np.arange(3), "m": sp.eye(2, format="csc")},
        "é": np.float64(2.5).reshape(()),
    }
    packet = vamra_rs.dumps_rs(state, check_integrity=True, alignment=16)
    assert vamra_rs.get_packet_info_rs(packet)["entry_count"] == 3
    back = vamra_rs.loads_rs(packet)
    assert list(back) == ["w", "nested", "é"]
    assert back["w"].tolist() == [[1, 1], [1, 1]]
    assert back["nested"]["m"].toarray().tolist() == [[1, 0], [0, 1]]
    inner = vamra_rs.dumps_rs(state["w"], check_integrity=True, alignment=16)
    assert packet[10:19] == b"\x01\x00\x00\x00w" + struct.pack("<I", len(inner))
    assert packet[19 : 19 + len(inner)] == inner
    assert vamra_rs.dumps_rs({}) == b"VMRA\x04\x10\x00\x00\x00\x00"


@pytest.mark.parametrize("compress", [False, True])
def test_compressed_values_load_at_any_depth(compress):
    x = np.arange(1000, dtype=np.float32)
    y = np.arange(10, dtype=np.int16)
    back = vamra_rs.loads_rs(vamra_rs.dumps_rs({"a": x, "b": {"c": y}}, compress=compress))
    assert np.array_equal(back["a"], x) and np.array_equal(back["b"]["c"], y)
    assert back["a"].flags.writeable == compress


def test_sparse_packet_with_a_compressed_component_loads():
    data = vamra_rs.dumps_rs(np.arange(3, dtype=np.float64), compress=True)
    rows = vamra_rs.dumps_rs(np.array([0, 1, 2], np.int32))
    packet = b"VMRA\x04\x08\x00\x00\x02\x00" + struct.pack("<II", 3, 3)
    for part in (data, rows, rows):
        packet += struct.pack("<I", len(part)) + part
    assert vamra_rs.loads_rs(packet).toarray().diagonal().tolist() == [0, 1, 2]


def _sparse_packet(*components):
    packet = b"VMRA\x04\x08\x00\x00\x02\x00" + struct.pack("<II", 3, 3)
    for part in components:
        packet += struct.pack("<I", len(part)) + part
    return packet


def _other_kinds():
    from vamra import QuantizedTensor, StringTensor

    rows = vamra_rs.dumps_rs(np.array([0, 1, 2], np.int32))
    quantized = QuantizedTensor.quantize(np.ones(3, np.float32), "qint8")
    strings = StringTensor.from_list(["a", "b", "c"])
    return {
        "bundle": vamra_rs.dumps_rs({"d": np.arange(3.0)}),
        "sparse": vamra_rs.dumps_rs(sp.eye(3, format="csr")),
        "string": vamra_rs.dumps_string_rs(
            strings.offsets.tobytes(), strings.payload, strings.count
        ),
        "quantized": vamra_rs.dumps_quantized_rs(quantized),
        "0-d array": vamra_rs.dumps_rs(np.array(1, np.int32)),
        "2-d array": vamra_rs.dumps_rs(np.zeros((3, 1), np.int32)),
        "2-d compressed": vamra_rs.dumps_rs(np.zeros((3, 1), np.int32), compress=True),
    }, rows


@pytest.mark.parametrize(
    "kind",
    ["bundle", "sparse", "string", "quantized", "0-d array", "2-d array", "2-d compressed"],
)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_a_sparse_component_that_is_not_a_1d_array_is_malformed(kind, position):
    others, rows = _other_kinds()
    components = [vamra_rs.dumps_rs(np.arange(3.0)), rows, rows]
    components[position] = others[kind]
    packet = _sparse_packet(*components)
    vamra_rs.get_packet_info_rs(packet)  # the codec reads it
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra_rs.loads_rs(packet)


@pytest.mark.parametrize("flags", [0x08, 0x20, 0x40])
def test_a_sparse_packet_without_dimensions_is_malformed(flags):
    rows = vamra_rs.dumps_rs(np.array([0, 1, 2], np.int32))
    packet = _sparse_packet(vamra_rs.dumps_rs(np.arange(3.0)), rows, rows)
    packet = packet[:5] + struct.pack("<H", flags) + packet[7:8] + b"\x00\x00" + packet[18:]
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra_rs.loads_rs(packet)


def test_entry_count_limit():
    assert (
        len(vamra_rs.loads_rs(vamra_rs.dumps_rs({str(i): np.zeros(1) for i in range(255)}))) == 255
    )

    class Spy:
        touched = False

        @property
        def dtype(self):
            Spy.touched = True
            raise AssertionError

    too_many = {str(i): Spy() for i in range(256)}
    with pytest.raises(ValueError) as info:
        vamra_rs.dumps_rs(too_many)
    assert str(info.value) == (
        "Bundle has 256 entries; the wire format encodes the entry count in a single byte, "
        "so at most 255 entries are supported"
    )
    assert not Spy.touched
    with pytest.raises(ValueError, match="^Bundle has too many entries; the wire format"):
        vamra_rs.encode_bundle_rs([(str(i), b"") for i in range(256)])


@pytest.mark.parametrize(
    "value, error, message",
    [
        ({1: np.zeros(1)}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": [1]}, AttributeError, None),
        ({"\ud800": np.zeros(1)}, UnicodeEncodeError, None),
    ],
)
def test_dictionary_refusals(value, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dumps_rs(value)
    if message:
        assert str(info.value) == message


def test_nesting_is_bounded_on_both_sides():
    leaf = np.zeros(1, np.uint8)
    deepest = vamra_rs.dumps_rs(nested(64, leaf))
    assert vamra_rs.loads_rs(deepest) is not None
    with pytest.raises(ValueError, match=f"^{TOO_DEEP}$"):
        vamra_rs.dumps_rs(nested(65, leaf))
    with pytest.raises(ValueError, match=f"^{TOO_DEEP}$"):
        vamra_rs.dump_to_buffer_rs(nested(65, leaf), bytearray(1 << 16))
    # A dictionary that contains itself.
    loop = {}
    loop["self"] = loop
    with pytest.raises(ValueError, match=f"^{TOO_DEEP}$"):
        vamra_rs.dumps_rs(loop)
    # Bundles framed by hand, one level too deep for the reader.
    packet = vamra_rs.dumps_rs(leaf)
    for _ in range(65):
        packet = vamra_rs.encode_bundle_rs([("a", packet)])
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra_rs.loads_rs(packet)


def test_duplicate_keys_keep_the_later_value():
    one = vamra_rs.dumps_rs(np.array([1], np.int8))
    two = vamra_rs.dumps_rs(np.array([2], np.int8))
    assert vamra_rs.loads_rs(vamra_rs.encode_bundle_rs([("k", one), ("k", two)]))["k"].tolist() == [
        2
    ]


def test_ragged_value_makes_the_whole_bundle_none():
    ragged = b"VMRA\x04\x01\x02\x14\x01\x00" + struct.pack("<I", 0) + bytes(50) + bytes(8)
    packet = vamra_rs.encode_bundle_rs([("a", vamra_rs.dumps_rs(np.zeros(1))), ("r", ragged)])
    assert vamra_rs.loads_rs(packet) is None


def test_encode_bundle_rs_framing_and_conversions():
    assert vamra_rs.encode_bundle_rs([("k", b"abc")]) == (
        b"VMRA\x04\x10\x00\x00\x01\x00\x01\x00\x00\x00k\x03\x00\x00\x00abc"
    )
    assert vamra_rs.encode_bundle_rs([("k", [97, 98])])[-2:] == b"ab"
    cases = [
        ([("k",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ("ab", TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'entries': 'int' object cannot be converted to 'Sequence'"),
        (
            [["k", b""]],
            TypeError,
            "argument 'entries': 'list' object cannot be converted to 'PyTuple'",
        ),
        (
            [(1, b"")],
            TypeError,
            "argument 'entries': 'int' object cannot be converted to 'PyString'",
        ),
        ([("k", "text")], TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        ([("k", [256])], OverflowError, None),
    ]
    for entries, error, message in cases:
        with pytest.raises(error) as info:
            vamra_rs.encode_bundle_rs(entries)
        if message:
            assert str(info.value) == message


def bundle_of(*entries):
    """A bundle framed by hand (the entry count follows the entries given)."""
    packet = b"VMRA\x04\x10\x00\x00" + bytes([len(entries)]) + b"\x00"
    for key, value in entries:
        packet += struct.pack("<I", len(key)) + key + struct.pack("<I", len(value)) + value
    return packet


ENTRY = bundle_of((b"a", vamra_rs.dumps_rs(np.zeros(1))))[10:]


@pytest.mark.parametrize(
    "packet, message",
    [
        (bundle_of((b"a", b""))[:-4], "Packet too short"),
        (bundle_of((b"a", vamra_rs.dumps_rs(np.zeros(1)))) [:-1], "Packet too short"),
        (b"VMRA\x04\x10\x00\x00\x03\x00" + ENTRY * 2, "Packet too short"),
        (bundle_of((b"\xff", vamra_rs.dumps_rs(np.zeros(1)))), "Malformed vamra packet"),
        (bundle_of((b"a", b"XXXX\x04\x00\x00\x00\x00\x00")), "Invalid vamra packet"),
        (b"VMRA\x04\x20\x00\x00\x00\x00" + struct.pack("<I", 100) + bytes(10), "Packet too short"),
        (b"VMRA\x04\x20\x00\x00\x00\x00\x01\x00", "Packet too short"),
    ],
)  # fmt: skip
def test_truncated_and_damaged_containers(packet, message):
    with pytest.raises(ValueError) as info:
        vamra_rs.loads_rs(packet)
    assert str(info.value) == message


@pytest.fixture
def huge_array(tmp_path):
    """A float64 array of 5e9 bytes over a sparse file: never read, as the length checks
    come before any byte is touched."""
    path = tmp_path / "huge"
    with open(path, "wb") as handle:
        handle.truncate(625_000_000 * 8)
    array = np.memmap(path, dtype=np.float64, mode="r", shape=(625_000_000,))
    yield array
    del array


def test_lengths_beyond_32_bits_are_refused_before_writing(huge_array):
    target = bytearray(64)
    with pytest.raises(ValueError, match="^A bundle value packet of 5000000064 bytes does not fit"):
        vamra_rs.dump_to_buffer_rs({"big": huge_array}, target)
    assert target == bytearray(64)
    index = np.zeros(1, np.int32)
    fields = {"format": "coo", "shape": (1, 1), "data": huge_array, "row": index, "col": index}
    matrix = type("M", (), fields)()
    with pytest.raises(
        ValueError, match="^A sparse component packet of 5000000064 bytes does not fit"
    ):
        vamra_rs.dumps_rs(matrix)


def test_dictionary_changed_during_encoding_is_an_internal_failure():
    state = {}

    class Growing(bytearray):
        """An array stand-in whose dtype lookup adds a key to the dictionary being encoded."""

        array = np.zeros(2, np.float32)

        @property
        def dtype(self):
            state["late"] = np.zeros(1)
            return self.array.dtype

        def __getattr__(self, name):
            return getattr(self.array, name)

    state["a"] = Growing(8)
    state["b"] = np.zeros(1)
    with pytest.raises(
        vamra_rs.InternalFailure, match="^dictionary changed size during iteration$"
    ):
        vamra_rs.dumps_rs(state)
