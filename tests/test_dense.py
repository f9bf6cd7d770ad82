"""Dense arrays: dumps_rs / loads_rs, byte layouts, options and decode errors."""

import gc
import mmap
import struct
import sys
import weakref

import lz4.frame
import ml_dtypes  # noqa: F401  (registers bfloat16 with NumPy)
import numpy as np
import pytest
from helpers import header

import vamra_rs

DTYPES = [
    "float32", "int32", "float64", "int64", "uint8", "uint16", "bool", "float16",
    "int8", "int16", "uint32", "uint64", "complex64", "complex128", "bfloat16",
]  # fmt: skip


def sample(dtype, shape, seed=0):
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=np.uint8)
    if dtype == "bool":
        raw = raw % 2
    return raw.view(dtype).reshape(shape)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", [(), (0,), (5,), (3, 0, 2), (2, 3, 4), (1,) * 8])
@pytest.mark.parametrize(
    "options",
    [{}, {"alignment": 1}, {"alignment": 16, "check_integrity": True}, {"compress": True},
     {"compress": True, "check_integrity": True, "alignment": 4096}],
)  # fmt: skip
def test_round_trip(dtype, shape, options):
    array = sample(dtype, shape)
    packet = vamra_rs.dumps_rs(array, **options)
    back = vamra_rs.loads_rs(packet)
    assert back.dtype.name == dtype
    assert back.shape == shape
    assert back.tobytes() == array.tobytes()
    info = vamra_rs.get_packet_info_rs(packet)
    assert info["dtype_code"] == DTYPES.index(dtype) + 1
    assert info["integrity_protected"] == options.get("check_integrity", False)
    if not options.get("compress"):
        assert not back.flags.writeable
        alignment = options.get("alignment", 64)
        start = len(packet) - array.nbytes - (8 if options.get("check_integrity") else 0)
        assert start % alignment == 0
    else:
        assert back.flags.writeable


def test_worked_layouts():
    array = np.arange(6, dtype=np.float32).reshape(2, 3)
    shape = b"\x02\x00\x00\x00\x03\x00\x00\x00"
    packet = vamra_rs.dumps_rs(array)
    assert packet == b"VMRA\x04\x01\x00\x01\x02\x00" + shape + bytes(46) + array.tobytes()
    packet = vamra_rs.dumps_rs(array, alignment=16)
    assert packet == b"VMRA\x04\x80\x00\x01\x02\x00" + shape + b"\x04" + bytes(13) + array.tobytes()
    packet = vamra_rs.dumps_rs(array, check_integrity=True)
    assert len(packet) == 96 and packet[5] == 0x03
    packet = vamra_rs.dumps_rs(array, alignment=16, check_integrity=True)
    assert len(packet) == 64 and packet[5] == 0x82
    assert len(vamra_rs.dumps_rs(np.float64(1.5).reshape(()))) == 72
    one = vamra_rs.dumps_rs(np.zeros(3, np.uint8), alignment=1)
    assert one[5] == 0x80 and one[14] == 0 and len(one) == 15 + 3
    big = vamra_rs.dumps_rs(np.zeros(3, np.uint8), alignment=4096)
    assert big[14] == 12 and big[15:4096] == bytes(4081) and len(big) == 4099


def test_empty_tensor_with_footer_hashes_zero_bytes():
    packet = vamra_rs.dumps_rs(np.zeros(0, np.float32), check_integrity=True)
    assert len(packet) == 72
    # XXH3-64 of no bytes.
    assert struct.unpack("<Q", packet[64:])[0] == 0x2D06800538D394C2


def test_compressed_packet_is_one_lz4_frame():
    data = np.tile(np.arange(1000, dtype=np.float32), 300)
    packet = vamra_rs.dumps_rs(data, compress=True)
    assert packet[5] == 0x05
    frame = packet[64:]
    assert lz4.frame.decompress(frame) == data.tobytes()
    # Frame descriptor: independent blocks, no checksums, no content size, 4 MiB blocks.
    flg, bd = frame[4], frame[5]
    assert flg & 0x20 and not flg & 0x1C and not flg & 0x01
    assert (bd >> 4) & 7 == 7
    small = vamra_rs.dumps_rs(np.zeros(1000, np.float32), compress=True)
    assert (small[64 + 5] >> 4) & 7 == 4


def test_incompressible_data_still_compresses_within_the_bound():
    data = np.random.default_rng(1).integers(0, 255, 1 << 20, dtype=np.uint8)
    packet = vamra_rs.dumps_rs(data, compress=True)
    assert packet[5] & 0x04
    assert len(packet) > data.nbytes
    assert vamra_rs.loads_rs(packet).tobytes() == data.tobytes()


@pytest.mark.parametrize(
    "settings",
    [
        {"content_checksum": True},
        {"block_checksum": True},
        {"block_linked": True},
        {"store_size": True},
        {"block_size": lz4.frame.BLOCKSIZE_MAX1MB, "block_linked": True, "content_checksum": True},
        {"compression_level": 12},
    ],
)
def test_frames_from_other_writers_decode(settings):
    data = np.tile(np.arange(5000, dtype=np.int64), 100)
    frame = lz4.frame.compress(data.tobytes(), **settings)
    packet = header(flags=0x05, dtype=4, ndim=1) + struct.pack("<I", data.size)
    packet += bytes(64 - len(packet)) + frame
    assert np.array_equal(vamra_rs.loads_rs(packet), data)


def test_loads_views_share_the_callers_memory_and_keep_it_alive():
    source = bytearray(vamra_rs.dumps_rs(np.arange(8, dtype=np.int32)))
    view = vamra_rs.loads_rs(source)
    assert not view.flags.writeable
    source[64:68] = struct.pack("<i", 42)
    assert view[0] == 42  # no copy was made
    owner = memoryview(source).obj
    del source, owner
    gc.collect()
    assert view.tolist() == [42, 1, 2, 3, 4, 5, 6, 7]


def test_loads_releases_the_source_when_the_view_dies():
    class Holder(bytearray):
        pass

    source = Holder(vamra_rs.dumps_rs(np.arange(4, dtype=np.int32)))
    ref = weakref.ref(source)
    before = sys.getrefcount(source)
    view = vamra_rs.loads_rs(source)
    assert sys.getrefcount(source) > before
    del view
    gc.collect()
    assert sys.getrefcount(source) == before
    del source
    assert ref() is None


SOURCES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": lambda p: memoryview(bytearray(p)),
    "uint8 array": lambda p: np.frombuffer(p, np.uint8).copy(),
    "mmap": lambda p: _mapped(p),
}


def _mapped(packet):
    region = mmap.mmap(-1, len(packet))
    region[:] = packet
    return region


def _flags(array):
    names = ("c_contiguous", "f_contiguous", "aligned", "writeable", "owndata")
    return {name: getattr(array.flags, name) for name in names}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize(
    "dtype, shape, alignment",
    [
        ("float32", (4,), 64),
        ("float32", (5,), 1),  # the body starts at an odd offset
        ("complex128", (2, 3), 8),
        ("bool", (), 64),
        ("int16", (3, 0, 2), 64),
        ("bfloat16", (2, 1, 2), 2),
    ],
)
def test_views_are_what_frombuffer_and_reshape_make(source, dtype, shape, alignment):
    packet = vamra_rs.dumps_rs(sample(dtype, shape), alignment=alignment)
    data = SOURCES[source](packet)
    view = vamra_rs.loads_rs(data)
    count = int(np.prod(shape))
    offset = len(packet) - count * np.dtype(dtype).itemsize
    expected = np.frombuffer(data, dtype, count=count, offset=offset).reshape(shape)
    expected.flags.writeable = False
    assert (view.dtype, view.shape, view.strides) == (
        expected.dtype,
        expected.shape,
        expected.strides,
    )
    assert _flags(view) == _flags(expected)
    assert view.tobytes() == expected.tobytes()
    if count:
        assert view.__array_interface__["data"][0] == expected.__array_interface__["data"][0]


def test_a_viewed_bytearray_cannot_be_resized_until_its_views_die():
    source = bytearray(vamra_rs.dumps_rs({"a": np.arange(3), "b": {"c": np.ones(2)}}))
    value = vamra_rs.loads_rs(source)
    inner = value["b"]["c"]
    del value
    with pytest.raises(BufferError):
        source.extend(bytes(1000))  # would move the memory under the views
    del inner
    gc.collect()
    source.extend(bytes(1000))


@pytest.mark.parametrize("check_integrity", [False, True])
def test_packets_of_fresh_mappings_are_whole(check_integrity, tmp_path):
    # From 16 MiB on, the packet's pages are mapped before it is written.
    array = np.random.default_rng(5).integers(0, 2**31, (17 << 20) // 4, dtype=np.int32)
    packet = vamra_rs.dumps_rs(array[1:], check_integrity=check_integrity)
    assert np.array_equal(vamra_rs.loads_rs(packet), array[1:])
    with open(tmp_path / "packet", "wb") as f:
        vamra_rs.dump_to_fd_rs(array[1:], f.fileno(), check_integrity=check_integrity)
    assert (tmp_path / "packet").read_bytes() == packet


def test_compressed_loads_owns_its_memory():
    data = np.arange(100, dtype=np.float64).reshape(10, 10)
    packet = vamra_rs.dumps_rs(data, compress=True)
    back = vamra_rs.loads_rs(packet)
    assert back.flags.writeable and back.flags.owndata
    back[0, 0] = -1
    assert vamra_rs.loads_rs(packet)[0, 0] == 0


@pytest.mark.parametrize(
    "value, error, message",
    [
        (np.zeros((3, 4), np.float32).T, ValueError, "Array must be C-contiguous"),
        (np.zeros(10, np.float32)[::2], ValueError, "Array must be C-contiguous"),
        (np.array([object()]), ValueError, "Unsupported dtype: object"),
        (np.zeros(2, "U3"), ValueError, "Unsupported dtype: str96"),
        (np.zeros([1] * 33, np.uint8), ValueError, "Packet exceeds maximum dimensions"),
        ([1, 2, 3], AttributeError, None),
        ("text", AttributeError, None),
    ],
)
def test_dumps_refusals(value, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dumps_rs(value)
    if message is not None:
        assert str(info.value) == message


class Subclass(np.ndarray):
    """Arrays of a subclass are read through their attributes and buffer export."""


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(10.0)[3:7],
        lambda: np.arange(12, dtype=np.int16).reshape(3, 4)[1:2],
        lambda: np.array(3.5, np.float32),
        lambda: np.empty((0, 5), np.complex64),
        lambda: np.frombuffer(b"abcdef", np.uint8),
        lambda: np.arange(6).astype(ml_dtypes.bfloat16).reshape(2, 3),
        lambda: np.zeros((2, 1, 3), bool),
        lambda: np.ones(3, np.dtype(np.float32, metadata={"unit": "m"})),
    ],
    ids=["slice", "row", "0-d", "empty", "read-only", "bfloat16", "bool", "metadata"],
)
def test_numpys_own_arrays_encode_as_any_array_does(make):
    array = make()
    assert type(array) is np.ndarray
    for options in ({}, {"check_integrity": True, "alignment": 8}, {"compress": True}):
        assert vamra_rs.dumps_rs(array, **options) == vamra_rs.dumps_rs(
            array.view(Subclass), **options
        )


def test_fortran_order_one_dimensional_arrays_encode():
    assert vamra_rs.loads_rs(vamra_rs.dumps_rs(np.asfortranarray(np.arange(4.0)))).tolist() == [
        0.0, 1.0, 2.0, 3.0,
    ]  # fmt: skip


@pytest.mark.parametrize("dtype", [">f4", ">i8", ">c16", ">u2"])
def test_big_endian_arrays_keep_their_values(dtype):
    big = np.arange(5).astype(dtype)
    packet = vamra_rs.dumps_rs(big, check_integrity=True)
    assert packet[64:-8] == big.astype(big.dtype.newbyteorder("<")).tobytes()
    assert vamra_rs.loads_rs(packet).tolist() == big.tolist()
    target = bytearray(len(packet) + 64)
    vamra_rs.dump_to_buffer_rs({"a": big}, target)
    assert vamra_rs.loads_rs(target)["a"].tolist() == big.tolist()


def test_memory_comes_from_the_buffer_protocol_only():
    class Pretender:
        """Claims an address through ctypes.data without exporting any memory."""

        dtype = np.dtype(np.float32)
        flags = type("Flags", (), {"c_contiguous": True})()
        nbytes = 4
        ctypes = type("C", (), {"data": 8})()
        shape = (1,)

    with pytest.raises(TypeError, match="does not expose its memory through the buffer protocol"):
        vamra_rs.dumps_rs(Pretender())
    with pytest.raises(
        ValueError, match="^Array memory of 8 bytes does not match its nbytes of 4$"
    ):
        vamra_rs.dumps_rs(FakeArray((1,), nbytes=4, memory=8))


@pytest.mark.parametrize("alignment", [0, 3, 48, 2**40 + 1])
@pytest.mark.parametrize("value", [np.zeros(2), {"a": np.zeros(2)}, [1]])
def test_alignment_is_checked_first(alignment, value):
    with pytest.raises(ValueError, match="^Alignment must be a power of two$"):
        vamra_rs.dumps_rs(value, alignment=alignment)


class FakeArray(bytearray):
    """Duck array: exports `memory` bytes and carries the attributes the extractor reads."""

    def __init__(self, shape, nbytes=0, dtype="float32", memory=None):
        super().__init__(nbytes if memory is None else memory)
        self.dtype = np.dtype(dtype)
        self.flags = type("Flags", (), {"c_contiguous": True})()
        self.nbytes = nbytes
        self.shape = shape


@pytest.mark.parametrize(
    "shape, error, message",
    [
        ((2**32, 0), ValueError, "Dimension 4294967296 exceeds the wire-format limit of 4294967295 "
         "(each dimension is stored as a 32-bit integer)"),
        ("ab", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ((100000, 10001), ValueError, "Packet exceeds maximum elements"),
        ((3,), ValueError, "Malformed vamra packet"),
        ((-1,), OverflowError, None),
    ],
)  # fmt: skip
def test_shape_conversion(shape, error, message):
    with pytest.raises(error) as info:
        vamra_rs.dumps_rs(FakeArray(shape))
    if message is not None:
        assert str(info.value) == message


def test_dtype_name_must_be_text():
    fake = FakeArray((0,))
    fake.dtype = type("D", (), {"name": 7})()
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        vamra_rs.dumps_rs(fake)


def dense(dtype=1, flags=0x01, shape=(2,), body=b"\x00" * 8, version=4, pad=True):
    packet = header(flags=flags, dtype=dtype, ndim=len(shape), version=version)
    packet += b"".join(struct.pack("<I", d) for d in shape)
    if pad:
        packet += bytes(-len(packet) % 64)
    return packet + body


@pytest.mark.parametrize(
    "packet, message",
    [
        (dense()[:40], "Packet too short"),
        (dense()[:70], "Packet too short"),
        (dense(flags=0x80, pad=False, body=b"\x40" + bytes(8)), "Malformed vamra packet"),
        (dense(flags=0x80, pad=False, body=b""), "Packet too short"),
        (dense(dtype=0), "Unsupported or unknown dtype code: 0"),
        (dense(dtype=20), "Unsupported or unknown dtype code: 20"),
        (dense(dtype=22), "Unsupported or unknown dtype code: 22"),
        (dense(flags=0x03), "Packet too short"),
        (dense(flags=0x03) + bytes(8), "Integrity check failed: XXH3 mismatch"),
        (dense(flags=0x05) + b"junk", "LZ4 frame decompression failed"),
        (dense(flags=0x05)[:64], "LZ4 frame decompression failed"),
    ],
)
def test_decode_errors(packet, message):
    with pytest.raises(ValueError) as info:
        vamra_rs.loads_rs(packet)
    assert str(info.value) == message


def test_version_3_and_unaligned_packets_decode():
    v4 = dense(body=struct.pack("<ff", 1, 2))
    v3 = dense(version=3, body=struct.pack("<ff", 1, 2))
    assert len(v3) == 64 + 8
    assert vamra_rs.loads_rs(v3).tolist() == vamra_rs.loads_rs(v4).tolist() == [1.0, 2.0]
    bare = dense(flags=0, pad=False, body=struct.pack("<ff", 3, 4))
    assert vamra_rs.loads_rs(bare).tolist() == [3.0, 4.0]
    exponent_zero = dense(flags=0x80, pad=False, body=b"\x00" + struct.pack("<ff", 5, 6))
    assert vamra_rs.loads_rs(exponent_zero).tolist() == [5.0, 6.0]


def test_trailing_bytes_are_ignored_and_padding_is_not_hashed():
    packet = bytearray(vamra_rs.dumps_rs(np.arange(4, dtype=np.int16), check_integrity=True))
    packet[30] ^= 0xFF  # padding
    assert vamra_rs.loads_rs(bytes(packet) + b"extra").tolist() == [0, 1, 2, 3]
    packet[64] ^= 0xFF  # body
    with pytest.raises(ValueError, match="Integrity check failed"):
        vamra_rs.loads_rs(packet)


def test_damaged_compressed_frame_with_footer_reports_integrity():
    packet = bytearray(
        vamra_rs.dumps_rs(np.zeros(100, np.float32), compress=True, check_integrity=True)
    )
    packet[64] ^= 0xFF
    with pytest.raises(ValueError, match="Integrity check failed"):
        vamra_rs.loads_rs(packet)


def test_decompression_is_bounded_by_the_declared_size():
    # A frame of 1 MiB of zeros behind a header that declares 16 bytes.
    frame = lz4.frame.compress(bytes(1 << 20))
    packet = dense(flags=0x05, dtype=5, shape=(16,), body=frame)
    with pytest.raises(ValueError, match="does not decompress to the size the packet declares"):
        vamra_rs.loads_rs(packet)
    # A frame shorter than the declared size.
    packet = dense(flags=0x05, dtype=5, shape=(1 << 20,), body=lz4.frame.compress(bytes(16)))
    with pytest.raises(ValueError, match="does not decompress to the size the packet declares"):
        vamra_rs.loads_rs(packet)
    # A tiny packet declaring a gigabyte is refused without reserving it.
    packet = dense(flags=0x05, dtype=14, shape=(10**9,), body=lz4.frame.compress(b""))
    with pytest.raises(ValueError, match="does not decompress to the size the packet declares"):
        vamra_rs.loads_rs(packet)


def test_fixed_record_and_ragged_load_as_none():
    record = header(flags=0x0400, dtype=0, ndim=0, reserved=1) + bytes(96)
    assert vamra_rs.loads_rs(record) is None
    with pytest.raises(ValueError, match="^Packet too short$"):
        vamra_rs.loads_rs(record[:105])
    ragged = header(flags=0x0201, dtype=20, ndim=1) + struct.pack("<I", 1)
    ragged += bytes(50) + struct.pack("<QQ", 0, 2) + b"hi"
    assert vamra_rs.loads_rs(ragged) is None
