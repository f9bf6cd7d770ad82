"""Every vamra_rs function (and vamra._native's loader and string conversions),
called thousands of times on its success path and on its main error paths,
keeps memory flat and leaves the reference counts of its arguments as they
were; arrays from loads_rs keep their source alive exactly as long as they
live.

Bounds: after CALLS calls to warm up, resident memory (/proc/self/statm) may
grow by at most 4 MiB, and memory traced by tracemalloc (every Python object
and NumPy buffer) by at most 16 KiB, in at least one of two further rounds of
CALLS calls; a leak of one small object per call exceeds that in both. The
arguments are large (64 KiB arrays and packets), so that a leaked argument,
copy or result is also far above the resident bound.
"""

import gc
import os
import struct
import sys
import tracemalloc
import weakref

import ml_dtypes
import numpy as np
import pytest
import scipy.sparse as sp
from vamra import QuantizedTensor, StringTensor, _native

import vamra_rs

CALLS = 1500
RSS_BOUND = 4 << 20
TRACED_BOUND = 16 << 10
PAGE = os.sysconf("SC_PAGE_SIZE")

ARRAY = np.arange(128 * 128, dtype=np.float32).reshape(128, 128)
CSR = sp.random(64, 64, density=0.2, format="csr", random_state=1, dtype=np.float64)
QT = QuantizedTensor.quantize(ARRAY, "qint8", axis=0)
STRINGS = StringTensor.from_list(["vamra", "", "ü" * 50] * 100)
OFFSETS, PAYLOAD = STRINGS.offsets.astype("<u8").tobytes(), STRINGS.payload
ALL_OPTIONS = {"compress": True, "check_integrity": True, "alignment": 4096}
DENSE = vamra_rs.dumps_rs(ARRAY, check_integrity=True)
COMPRESSED = vamra_rs.dumps_rs(ARRAY, compress=True, check_integrity=True)
BUNDLE = vamra_rs.dumps_rs({"a": ARRAY, "b": {"c": ARRAY[:3]}, "m": CSR}, compress=True)
SPARSE = vamra_rs.dumps_rs(CSR)
STRING = vamra_rs.dumps_string_rs(OFFSETS, PAYLOAD, STRINGS.count)
QUANTIZED = vamra_rs.dumps_quantized_rs(QT, check_integrity=True)
RAGGED = STRING[:5] + struct.pack("<H", 0x0201) + STRING[7:]
BAD_FOOTER = DENSE[:-1] + bytes([DENSE[-1] ^ 1])
# A bundle whose first value converts and whose second has a damaged frame:
# the failure comes after the first array was built.
_frame_damaged = bytearray(vamra_rs.dumps_rs(ARRAY, compress=True))
_frame_damaged[64] ^= 0xFF  # the first byte of the frame magic
PARTLY_BAD_BUNDLE = vamra_rs.encode_bundle_rs([("ok", DENSE), ("bad", bytes(_frame_damaged))])
OUT = bytearray(len(COMPRESSED) + 4096)
SMALL = bytearray(100)
NULL_FD = os.open(os.devnull, os.O_WRONLY)
FLOATS = np.zeros(64, np.float32)
TOO_MANY = [(f"k{i}", DENSE[:80]) for i in range(256)]

f = vamra_rs
CASES = [
    # (id, function, positional arguments, keyword arguments, expected exception or None)
    ("info", f.get_packet_info_rs, (DENSE,), {}, None),
    ("info bundle", f.get_packet_info_rs, (BUNDLE,), {}, None),
    ("info bad magic", f.get_packet_info_rs, (b"XMRA" + DENSE[4:],), {}, ValueError),
    ("info short shape", f.get_packet_info_rs, (DENSE[:12],), {}, ValueError),
    ("info str", f.get_packet_info_rs, ("VMRA",), {}, TypeError),
    ("info floats", f.get_packet_info_rs, (FLOATS,), {}, BufferError),
    ("dumps", f.dumps_rs, (ARRAY,), {}, None),
    ("dumps options", f.dumps_rs, (ARRAY,), ALL_OPTIONS, None),
    ("dumps bundle", f.dumps_rs, ({"a": ARRAY, "b": {"c": CSR}},), {}, None),
    ("dumps sparse", f.dumps_rs, (CSR,), {}, None),
    ("dumps object dtype", f.dumps_rs, (np.array([None] * 8),), {}, ValueError),
    ("dumps strided", f.dumps_rs, (ARRAY[:, ::2],), {}, ValueError),
    ("dumps alignment", f.dumps_rs, (ARRAY,), {"alignment": 48}, ValueError),
    ("dumps flag type", f.dumps_rs, (ARRAY,), {"compress": 1}, TypeError),
    ("dumps keyword", f.dumps_rs, (ARRAY,), {"level": 3}, TypeError),
    ("dumps bad value", f.dumps_rs, ({"a": ARRAY, "b": object()},), {}, AttributeError),
    ("dumps bad key", f.dumps_rs, ({"a": ARRAY, 1: ARRAY},), {}, TypeError),
    ("quantized", f.dumps_quantized_rs, (QT,), {"check_integrity": True}, None),
    ("quantized no fields", f.dumps_quantized_rs, (ARRAY,), {}, AttributeError),
    ("string", f.dumps_string_rs, (OFFSETS, PAYLOAD, 300), {}, None),
    ("string offsets", f.dumps_string_rs, (OFFSETS[::-1], PAYLOAD, 300), {}, ValueError),
    ("string type", f.dumps_string_rs, (OFFSETS, "payload", 3), {}, TypeError),
    ("bundle", f.encode_bundle_rs, ([("a", DENSE), ("b", SPARSE)],), {}, None),
    ("bundle value type", f.encode_bundle_rs, ([("a", DENSE), ("b", "x")],), {}, TypeError),
    ("bundle too many", f.encode_bundle_rs, (TOO_MANY,), {}, ValueError),
    ("to buffer", f.dump_to_buffer_rs, (ARRAY, OUT), {"compress": True}, None),
    ("to buffer small", f.dump_to_buffer_rs, (ARRAY, SMALL), {}, ValueError),
    ("to buffer read-only", f.dump_to_buffer_rs, (ARRAY, bytes(OUT)), {}, ValueError),
    ("to fd", f.dump_to_fd_rs, (ARRAY, NULL_FD), {"check_integrity": True}, None),
    ("to fd closed", f.dump_to_fd_rs, (ARRAY, 10_000), {}, OSError),
    ("to fd -1", f.dump_to_fd_rs, (ARRAY, -1), {}, vamra_rs.InternalFailure),
    ("loads", f.loads_rs, (DENSE,), {}, None),
    ("loads compressed", f.loads_rs, (COMPRESSED,), {}, None),
    ("loads bundle", f.loads_rs, (BUNDLE,), {}, None),
    ("loads sparse", f.loads_rs, (bytearray(SPARSE),), {}, None),
    ("loads string", f.loads_rs, (STRING,), {}, None),
    ("loads quantized", f.loads_rs, (QUANTIZED,), {}, None),
    ("loads ragged", f.loads_rs, (RAGGED,), {}, None),
    ("loads footer", f.loads_rs, (BAD_FOOTER,), {}, ValueError),
    ("loads truncated", f.loads_rs, (BUNDLE[:-9],), {}, ValueError),
    ("loads partly bad", f.loads_rs, (PARTLY_BAD_BUNDLE,), {}, ValueError),
    ("loads str", f.loads_rs, ("VMRA",), {}, TypeError),
    ("loads signed bytes", f.loads_rs, (memoryview(DENSE).cast("b"),), {}, BufferError),
]

# vamra._native's loader options and string conversions, on the same terms.
WORDS = ["vamra", "", "ü" * 50, "日本語"] * 100
BF16 = vamra_rs.dumps_rs({"w": np.ones(4096, "u2").view(ml_dtypes.bfloat16), "m": CSR})
TABLE, TEXT = STRINGS.offsets, STRINGS.payload
n = _native
CASES += [
    ("native loads writable", n.loads, (bytearray(BUNDLE),), {"writable": True}, None),
    ("native loads read-only", n.loads, (DENSE,), {"writable": True}, ValueError),
    ("native loads bfloat16", n.loads, (BF16,), {"bfloat16": np.uint16}, None),
    ("native loads bfloat16 size", n.loads, (BF16,), {"bfloat16": np.float32}, ValueError),
    ("strings from list", n.strings_from_list, (WORDS,), {}, None),
    ("strings from list bytes", n.strings_from_list, ([b"a", bytearray(b"b")] * 200,), {}, None),
    ("strings from list declined", n.strings_from_list, (WORDS + [1],), {}, None),
    ("strings from list surrogate", n.strings_from_list, (WORDS + ["\ud800"],), {}, UnicodeError),
    ("strings to list", n.strings_to_list, (TABLE, TEXT), {}, None),
    ("strings to list invalid", n.strings_to_list, (TABLE, b"\xff" * len(TEXT)), {}, ValueError),
    ("strings to list out of range", n.strings_to_list, (TABLE, TEXT[:-1]), {}, ValueError),
]

if hasattr(vamra_rs, "shm_mutex_init"):
    SLOT = bytearray(256)

    def mutex_cycle(buffer, offset):
        """init, lock, unlock, destroy: each mutex function once."""
        vamra_rs.shm_mutex_init(buffer, offset)
        vamra_rs.shm_mutex_lock(buffer, offset, timeout_secs=1.0)
        vamra_rs.shm_mutex_unlock(buffer, offset)
        vamra_rs.shm_mutex_destroy(buffer, offset)
        return vamra_rs.shm_mutex_size()

    aligned = 64 + (-(np.frombuffer(SLOT, np.uint8).ctypes.data + 64)) % 8
    CASES += [
        ("mutex cycle", mutex_cycle, (SLOT, aligned), {}, None),
        ("mutex read-only", f.shm_mutex_init, (bytes(SLOT), aligned), {}, ValueError),
        ("mutex misaligned", f.shm_mutex_lock, (SLOT, aligned + 1), {}, ValueError),
        ("mutex no room", f.shm_mutex_unlock, (SLOT, 250), {}, ValueError),
    ]


# The channel's slot steps, on a segment laid out as Channel.create lays one.
SEGMENT = __import__("mmap").mmap(-1, PAGE + 2 * (128 << 10))
_words = np.frombuffer(SEGMENT, np.uint64, 8)
_words[2:7] = (2, 128 << 10, 128 << 10, PAGE, 1)  # slots, slot size, stride, area, ticket
_words[0:2] = (int.from_bytes(b"vamrachn", "little"), 1)
del _words
vamra_rs.shm_mutex_init(SEGMENT, 64)


def channel_round(copy_limit):
    """One packet sent and taken back (as bytes, or as a lease then dropped)."""
    _native.channel_send(SEGMENT, vamra_rs.dump_to_buffer_rs, ARRAY, 1)
    taken = _native.channel_take(SEGMENT, 1, None, copy_limit)
    assert not isinstance(taken, int)
    return bytes(taken)


def failing_write(value, area):
    raise ValueError("no room")


CASES += [
    ("channel copy", channel_round, (1 << 20,), {}, None),
    ("channel lease", channel_round, (0,), {}, None),
    ("channel nothing", n.channel_take, (SEGMENT, 1), {}, None),
    ("channel owners", n.channel_owners, (SEGMENT,), {}, None),
    ("channel release", n.channel_release, (SEGMENT, [(0, 1, 1, 1, 1)]), {}, None),
    ("channel writer fails", n.channel_send, (SEGMENT, failing_write, ARRAY, 1), {}, ValueError),
    ("channel layout", n.channel_layout, (bytes(64), 3 * PAGE), {}, ValueError),
]


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def call(function, args, kwargs, expected, times):
    caught = expected or ()  # () catches nothing
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except caught:
            pass


@pytest.mark.parametrize("name, function, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_no_leak(name, function, args, kwargs, expected):
    if expected is None:
        function(*args, **kwargs)
    else:
        with pytest.raises(expected):
            function(*args, **kwargs)
    # Small ints and booleans are shared by the whole interpreter: not watched.
    watched = [a for a in (*args, *kwargs.values()) if not isinstance(a, int)]
    rss_growth, traced_growth = [], []
    tracemalloc.start()
    try:
        # The first round fills caches and free lists, under tracing too.
        call(function, args, kwargs, expected, CALLS)
        gc.collect()
        refcounts = [sys.getrefcount(a) for a in watched]
        for _ in range(2):
            rss_before, traced_before = rss(), tracemalloc.get_traced_memory()[0]
            call(function, args, kwargs, expected, CALLS)
            gc.collect()
            rss_growth.append(rss() - rss_before)
            traced_growth.append(tracemalloc.get_traced_memory()[0] - traced_before)
    finally:
        tracemalloc.stop()
    # A leak grows memory in both rounds; a one-off (a global table resized by
    # chance during the call) in only one of them.
    assert min(rss_growth) < RSS_BOUND, f"resident memory grew by {rss_growth} bytes"
    assert min(traced_growth) < TRACED_BOUND, f"traced memory grew by {traced_growth} bytes"
    assert [sys.getrefcount(a) for a in watched] == refcounts


def arrays_in(value):
    if isinstance(value, dict):
        return [a for v in value.values() for a in arrays_in(v)]
    if sp.issparse(value):
        return [value.data]
    return [value]


@pytest.mark.parametrize(
    "packet",
    [DENSE, SPARSE, vamra_rs.dumps_rs({"a": ARRAY, "m": CSR})],
    ids=["dense", "sparse", "bundle"],
)
def test_views_keep_their_source_alive_until_dropped(packet):
    source = np.frombuffer(packet, np.uint8).copy()  # an exporter that takes weak references
    alive = weakref.ref(source)
    baseline = sys.getrefcount(source)
    value = vamra_rs.loads_rs(source)
    assert sys.getrefcount(source) > baseline
    expected = [a.tobytes() for a in arrays_in(value)]
    del source
    gc.collect()
    assert alive() is not None
    assert [a.tobytes() for a in arrays_in(value)] == expected
    del value
    gc.collect()
    assert alive() is None


def test_owned_results_do_not_hold_the_source_and_buffers_are_released():
    source = np.frombuffer(COMPRESSED, np.uint8).copy()
    alive = weakref.ref(source)
    value = vamra_rs.loads_rs(source)
    del source
    gc.collect()
    assert alive() is None and value.flags.writeable and value.flags.owndata
    # Every path releases its own buffer view: the bytearray can be resized
    # after a success whose result is dropped and after each kind of failure.
    for packet in (DENSE, BAD_FOOTER, PARTLY_BAD_BUNDLE, RAGGED, b"VM"):
        buffer = bytearray(packet)
        for reader in (vamra_rs.get_packet_info_rs, vamra_rs.loads_rs):
            try:
                reader(buffer)
            except ValueError:
                pass
        buffer.append(0)  # BufferError while any view of it is still exported
    out = bytearray(len(DENSE) + 10)
    vamra_rs.dump_to_buffer_rs(ARRAY, out, check_integrity=True)
    out.append(0)


# 88 bytes: a compressed complex128 packet of shape (100000, 10000), 16 GB
# declared, whose frame is a bare frame magic and 20 zero bytes.
HUGE_CLAIM = (
    (b"VMRA\x04\x05\x00\x0e\x02\x00" + struct.pack("<2I", 100_000, 10_000)).ljust(64, b"\x00")
    + b"\x04\x22\x4d\x18"
    + bytes(20)
)


@pytest.mark.parametrize("nested", [False, True], ids=["top level", "in a bundle"])
def test_a_tiny_frame_claiming_a_huge_body_reserves_nothing(nested):
    packet = vamra_rs.encode_bundle_rs([("k", HUGE_CLAIM)]) if nested else HUGE_CLAIM
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="does not decompress to the size"):
            vamra_rs.loads_rs(packet)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20
