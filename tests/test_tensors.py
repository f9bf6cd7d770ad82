"""String and quantized tensors through the module."""

import struct

import numpy as np
import pytest
import vamra
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

import vamra_rs


def offsets(*values):
    return struct.pack(f"<{len(values)}Q", *values)


@pytest.mark.parametrize(
    "offs, payload, count, integrity, size",
    [
        (offsets(0), b"", 0, False, 72),
        (offsets(0), b"", 0, True, 80),
        (offsets(0, 2, 2), b"ab", 2, False, 90),
        (offsets(0, 1, 1, 3), b"abc", 3, False, 99),
    ],
)
def test_string_packet_sizes_and_round_trip(offs, payload, count, integrity, size):
    packet = vamra_rs.dumps_string_rs(offs, payload, count, check_integrity=integrity)
    assert len(packet) == size
    assert packet[:10] == b"VMRA\x04" + (b"\x03" if integrity else b"\x01") + b"\x01\x14\x01\x00"
    assert packet[64 : 64 + len(offs)] == offs
    back = vamra_rs.loads_rs(packet)
    assert isinstance(back, StringTensor)
    assert back.count == count and back.payload == payload
    assert back.offsets.tobytes() == offs


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((offsets(0)[:4] * 3, b"", 0), ValueError, "offsets length must be a multiple of 8"),
        ((offsets(0, 2), b"ab", 2), ValueError, "Malformed vamra packet"),
        ((offsets(0, 2, 1, 3), b"abc", 3), ValueError, "Malformed vamra packet"),
        ((offsets(1, 3), b"abc", 1), ValueError, "Malformed vamra packet"),
        ((offsets(0, 3), b"abcd", 1), ValueError, "Malformed vamra packet"),
        ((offsets(0), bytearray(), 0), TypeError,
         "argument 'payload': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((bytearray(8), b"", 0), TypeError,
         "argument 'offsets': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((offsets(0), b"", -1), OverflowError, None),
    ],
)  # fmt: skip
def test_string_refusals(args, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dumps_string_rs(*args)
    if message:
        assert str(info.value) == message


def string_packet(flags, dims, body):
    packet = b"VMRA\x04" + struct.pack("<H", flags) + bytes([20, len(dims), 0])
    packet += b"".join(struct.pack("<I", d) for d in dims)
    return packet + bytes(64 - len(packet)) + body


def test_string_shapes_and_ragged():
    zero_d = vamra_rs.loads_rs(string_packet(0x0101, [], offsets(0)))
    assert zero_d.count == 0 and len(zero_d) == 0
    two_d = vamra_rs.loads_rs(string_packet(0x0101, [3, 7], offsets(0, 1, 2, 3) + b"xyz"))
    assert two_d.count == 3 and two_d.tolist() == ["x", "y", "z"]
    assert vamra_rs.loads_rs(string_packet(0x0201, [1], offsets(0, 2) + b"hi")) is None
    with pytest.raises(ValueError, match="^Packet too short$"):
        vamra_rs.loads_rs(string_packet(0x0101, [1], offsets(0, 3) + b"hi"))


def test_string_integrity_covers_table_and_payload():
    packet = vamra_rs.dumps_string_rs(offsets(0, 1, 1, 3), b"abc", 3, check_integrity=True)
    for position in range(len(packet) - 8):
        damaged = bytearray(packet)
        damaged[position] ^= 0x40
        if 14 <= position < 64:  # padding is not covered
            assert vamra_rs.loads_rs(damaged).tolist() == ["a", "", "bc"]
        elif position >= 64:
            with pytest.raises(ValueError):
                vamra_rs.loads_rs(damaged)


def test_companion_round_trip():
    items = ["alpha", "", "βeta", "gamma" * 10]
    tensor = StringTensor.from_list(items)
    back = vamra.loads(vamra.dumps(tensor, check_integrity=True))
    assert back == tensor and back.tolist() == items


class Quantized:
    """A stand-in with exactly the attributes the encoder reads, recording the order."""

    def __init__(self, log=None, **fields):
        self.__dict__["_log"] = log if log is not None else []
        self.__dict__["_fields"] = {
            "dtype_code": 16,
            "quant_scheme": 1,
            "group_size": 0,
            "axis": 0,
            "shape": (4,),
            "scales": np.array([0.5], np.float32),
            "zero_points": np.array([0.0], np.float32),
            "data": np.array([1, 2, 3, 4], np.uint8),
            **fields,
        }

    def __getattr__(self, name):
        self._log.append(name)
        if name not in self._fields:
            raise AttributeError(name)
        return self._fields[name]


@pytest.mark.parametrize(
    "kwargs, size, flags, data_at",
    [
        ({}, 68, 0x01, 64),
        ({"check_integrity": True}, 76, 0x03, 64),
        ({"alignment": 16}, 52, 0x80, 48),
        ({"alignment": 1}, 37, 0x80, 33),
    ],
)
def test_quantized_layouts(kwargs, size, flags, data_at):
    packet = vamra_rs.dumps_quantized_rs(Quantized(), **kwargs)
    assert len(packet) == size and packet[5] == flags and packet[7] == 16
    assert packet[data_at : data_at + 4] == b"\x01\x02\x03\x04"
    assert packet[14:24] == b"\x01\x00" + struct.pack("<II", 0, 1)
    back = vamra_rs.loads_rs(packet)
    assert isinstance(back, QuantizedTensor)
    assert (back.dtype_code, back.quant_scheme, back.axis, back.shape) == (16, 1, 0, (4,))
    assert back.scales.tolist() == [0.5] and back.data.tolist() == [1, 2, 3, 4]


def test_axis_low_byte_and_packed_data():
    packet = vamra_rs.dumps_quantized_rs(Quantized(axis=-1))
    assert packet[15] == 255 and vamra_rs.loads_rs(packet).axis == 255
    assert vamra_rs.dumps_quantized_rs(Quantized(axis=256))[15] == 0
    four_bit = Quantized(dtype_code=19, shape=(3,), data=np.array([1, 2, 3, 4, 5], np.uint8))
    packet = vamra_rs.dumps_quantized_rs(four_bit)
    assert len(packet) == 66 and packet[64:] == b"\x01\x02"


def test_attribute_order_and_early_dtype_refusal():
    order = [
        "dtype_code",
        "quant_scheme",
        "group_size",
        "axis",
        "shape",
        "scales",
        "zero_points",
        "data",
    ]
    log = []
    vamra_rs.dumps_quantized_rs(Quantized(log))
    assert log == order
    for code in (0, 22):
        log = []
        with pytest.raises(ValueError, match=f"^Unsupported or unknown dtype code: {code}$"):
            vamra_rs.dumps_quantized_rs(Quantized(log, dtype_code=code))
        assert log == ["dtype_code"]
    log = []
    with pytest.raises(ValueError, match="^Unsupported or unknown dtype code: 1$"):
        vamra_rs.dumps_quantized_rs(Quantized(log, dtype_code=1))
    assert log == order
    log = []
    fields = Quantized()._fields
    del fields["zero_points"]
    broken = Quantized(log)
    broken.__dict__["_fields"] = fields
    with pytest.raises(AttributeError):
        vamra_rs.dumps_quantized_rs(broken)
    assert log == order[:7]
    log = []
    with pytest.raises(ValueError, match="^Alignment must be a power of two$"):
        vamra_rs.dumps_quantized_rs(Quantized(log), alignment=48)
    assert log == []


@pytest.mark.parametrize(
    "fields, error",
    [
        ({"quant_scheme": 256}, OverflowError),
        ({"group_size": -1}, OverflowError),
        ({"shape": "ab"}, TypeError),
        ({"scales": type("S", (), {"tobytes": lambda self: "text"})()}, TypeError),
        ({"zero_points": np.zeros(2, np.float32)}, ValueError),
        ({"data": np.zeros(3, np.uint8)}, ValueError),
        ({"shape": (2**32,)}, ValueError),
    ],
)
def test_quantized_refusals(fields, error):
    with pytest.raises(error):
        vamra_rs.dumps_quantized_rs(Quantized(**fields))


def test_quantized_integrity_covers_parameters_and_data():
    packet = vamra_rs.dumps_quantized_rs(Quantized(), check_integrity=True, alignment=16)
    data_at = 48
    for position in range(14, len(packet) - 8):
        damaged = bytearray(packet)
        damaged[position] ^= 0x01
        if 20 <= position < 24:  # the scale count moves everything after it
            with pytest.raises(ValueError):
                vamra_rs.loads_rs(damaged)
        elif position < 32 or data_at <= position:
            with pytest.raises(ValueError, match="Integrity check failed"):
                vamra_rs.loads_rs(damaged)
        elif position > 32:  # padding after the exponent byte
            assert vamra_rs.loads_rs(damaged).data.tolist() == [1, 2, 3, 4]


@pytest.mark.parametrize("dtype", ["qint8", "quint8", "qint4", "quint4"])
@pytest.mark.parametrize("mode", [{}, {"axis": 0}, {"axis": -1}, {"group_size": 5}])
def test_quantized_companion_round_trip(dtype, mode):
    weights = np.random.default_rng(2).normal(size=(6, 10)).astype(np.float32)
    qt = QuantizedTensor.quantize(weights, dtype=dtype, **mode)
    back = vamra.loads(vamra.dumps(qt, check_integrity=True))
    assert back.data.tobytes() == qt.data.tobytes()
    restored = back.dequantize()
    step = np.max(qt.scales)
    assert restored.shape == weights.shape
    assert np.max(np.abs(restored - weights)) <= step
