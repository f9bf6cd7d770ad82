"""Files: streamed pieces, save/load/open round trips, atomic replacement, lazy access."""

import gc
import io
import mmap
import os
import signal
import subprocess
import sys
import textwrap
import threading

import ml_dtypes
import numpy as np
import pytest
import scipy.sparse as sp
import vamra
from vamra import files
from vamra.quantize import QuantizedTensor
from vamra.ragged import StringTensor

rng = np.random.default_rng(7)


def bits(dtype, shape):
    """An array whose bytes are random: every bit pattern (NaN payloads, -0.0) is kept."""
    count = int(np.prod(shape)) * np.dtype(dtype).itemsize
    return np.frombuffer(rng.bytes(count), dtype).reshape(shape).copy()


VALUES = {
    "float32": bits(np.float32, (3, 5)),
    "scalar": np.float64(2.5) * np.ones(()),
    "empty": np.zeros((0, 4), np.int16),
    "big_endian": np.arange(6, dtype=">i4").reshape(2, 3),
    # An element type without a buffer format: its body is lent as bytes.
    "bfloat16": bits(ml_dtypes.bfloat16, (2, 3)),
    "bfloat16_0d": bits(ml_dtypes.bfloat16, ()),
    "csr": sp.random(20, 30, density=0.1, format="csr", random_state=1),
    "coo": sp.random(5, 6, density=0.3, format="coo", random_state=2),
    "string": StringTensor.from_list(["a", "", "héllo"]),
    "quantized": QuantizedTensor.quantize(rng.random((4, 6), dtype=np.float32), dtype="qint4"),
    "state": {
        "w": bits(np.float32, (64, 33)),
        "b": bits(np.float16, (33,)),
        "nested": {"csc": sp.random(4, 4, density=0.5, format="csc", random_state=3)},
        "vocab": StringTensor.from_list(["x", "yz"]),
        "q": QuantizedTensor.quantize(rng.random(10, dtype=np.float32)),
    },
    "empty_dict": {},
}
OPTIONS = [
    {},
    {"check_integrity": True},
    {"compress": True},
    {"compress": True, "check_integrity": True, "alignment": 16},
    {"alignment": 1},
]


def assert_same(a, b):
    if isinstance(a, dict):
        assert isinstance(b, dict) and list(a) == list(b)
        for k in a:
            assert_same(a[k], b[k])
    elif sp.issparse(a):
        assert a.format == b.format and a.shape == b.shape
        assert (a != b).nnz == 0
    elif isinstance(a, StringTensor):
        assert a.to_bytes_list() == b.to_bytes_list()
    elif isinstance(a, QuantizedTensor):
        assert np.array_equal(a.data, b.data) and np.array_equal(a.scales, b.scales)
    else:
        assert a.shape == b.shape
        assert np.asarray(a).astype(a.dtype.newbyteorder("<")).tobytes() == b.tobytes()


def files_in(directory):
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("name", VALUES)
def test_pieces_and_saved_files_are_exactly_the_packet(tmp_path, name, options):
    value = VALUES[name]
    path = tmp_path / "v.vmra"
    try:
        packet = vamra.dumps(value, **options)
    except TypeError:  # an option the value does not support: save refuses it alike
        with pytest.raises(TypeError):
            vamra.save(value, path, **options)
        assert not path.exists()
        return
    # pieces() is the plain packet: a dict's without the index, a sparse
    # matrix's without aligned components.
    plain = b"".join(files.pieces(value, **options))
    if isinstance(value, dict) or sp.issparse(value):
        assert_same(value, vamra.loads(plain))
    else:
        assert plain == packet
    vamra.save(value, path, **options)
    assert path.read_bytes() == packet
    for mapped in (True, False):
        assert_same(value, vamra.load(path, mmap=mapped))


def test_pieces_lend_array_bodies_without_copying():
    a = bits(np.float32, (256, 256))
    pieces = files.pieces({"a": a, "b": np.ones(3)})
    views = [p for p in pieces if isinstance(p, memoryview)]
    assert len(views) == 2 and np.shares_memory(np.frombuffer(views[0], np.uint8), a)
    # Small framing bytes are coalesced: header + key + padding form one piece.
    assert [type(p) for p in pieces] == [bytes, memoryview, bytes, memoryview]


@pytest.mark.parametrize("options", [{}, {"compress": True, "check_integrity": True}], ids=str)
@pytest.mark.parametrize("kind", ["fileio", "buffered_at_offset", "bytesio", "pipe"])
def test_save_to_file_objects(tmp_path, kind, options):
    value = VALUES["state"]
    packet = vamra.dumps(value, **options)
    if kind == "pipe":
        # Not seekable: compressed lengths are measured before writing.
        r, w = os.pipe()
        chunks = []
        reader = threading.Thread(
            target=lambda: chunks.extend(iter(lambda: os.read(r, 1 << 16), b""))
        )
        reader.start()
        with open(w, "wb", buffering=0) as f:
            vamra.save(value, f, **options)
        reader.join(10)
        os.close(r)
        assert b"".join(chunks) == packet
        return
    if kind == "bytesio":
        f = io.BytesIO()
        vamra.save(value, f, **options)
        assert f.getvalue() == packet
        return
    path = tmp_path / "f.vmra"
    with open(path, "wb", buffering=0 if kind == "fileio" else -1) as f:
        if kind == "buffered_at_offset":
            f.write(b"prefix")  # still in the Python buffer: must go out first
        vamra.save(value, f, **options)
        f.write(b"tail")  # the file object's position follows the packet
    prefix = b"prefix" if kind == "buffered_at_offset" else b""
    assert path.read_bytes() == prefix + packet + b"tail"
    with open(path, "rb") as f:
        f.seek(len(prefix))
        assert_same(value, vamra.load(f))


def test_load_maps_the_file_and_keeps_the_map_alive(tmp_path):
    path = tmp_path / "m.vmra"
    vamra.save({"a": np.arange(1000.0)}, path)
    a = vamra.load(path)["a"]
    gc.collect()
    assert not a.flags.writeable and not a.flags.owndata
    assert a[999] == 999.0  # the map outlives load's own references
    with vamra.open(path) as f:
        b = f["a"]
    gc.collect()
    assert b.sum() == a.sum()  # and outlives the closed lazy mapping


@pytest.mark.parametrize("mapped", [True, False])
def test_writable_arrays_never_change_the_file(tmp_path, mapped):
    path = tmp_path / "w.vmra"
    value = {"a": np.zeros(64, np.float32), "s": {"m": sp.random(4, 4, density=0.5, format="csr")}}
    vamra.save(value, path)
    before = path.read_bytes()
    loaded = vamra.load(path, writable=True, mmap=mapped)
    loaded["a"][:] = 7
    loaded["s"]["m"].data[:] = 3
    del loaded
    gc.collect()
    assert path.read_bytes() == before
    assert not vamra.load(path)["a"].any()


def test_open_lists_keys_without_decoding_and_isolates_damage(tmp_path):
    value = {"a": np.arange(10.0), "b": {"c": np.ones(3), "d": np.zeros(2)}, "e": np.ones(4)}
    path = tmp_path / "d.vmra"
    vamra.save(value, path, check_integrity=True)
    with vamra.open(path) as f:
        start, length = f["b"].location("c")
        assert list(f) == ["a", "b", "e"] and list(f["b"]) == ["c", "d"]
    damaged = bytearray(path.read_bytes())
    damaged[start + length - 9] ^= 0xFF  # the last body byte of b/c
    path.write_bytes(damaged)
    with vamra.open(path) as f:
        assert len(f) == 3 and "b" in f and "x" not in f
        with pytest.raises(ValueError, match=r"d\.vmra.*'b/c'.*Integrity"):
            f["b"]["c"]
        assert np.array_equal(f["b"]["d"], value["b"]["d"])
        assert np.array_equal(f["a"], value["a"]) and np.array_equal(f["e"], value["e"])
        with pytest.raises(KeyError):
            f["missing"]
    with pytest.raises(ValueError, match=r"d\.vmra.*Integrity"):
        vamra.load(path)


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "empty file"),
        (b"PK\x03\x04 not a packet at all", "Invalid vamra packet"),
        ("truncated", "Packet too short"),
    ],
)
@pytest.mark.parametrize("reader", [vamra.load, vamra.open])
def test_bad_files_give_value_errors_naming_the_file(tmp_path, content, message, reader):
    path = tmp_path / "bad.vmra"
    if content == "truncated":
        content = vamra.dumps({"a": np.ones(100), "b": np.ones(100)})[:-50]
    path.write_bytes(content)
    with pytest.raises(ValueError, match=rf"bad\.vmra.*{message}"):
        reader(path)


def test_open_refuses_a_single_array_and_missing_files(tmp_path):
    path = tmp_path / "one.vmra"
    vamra.save(np.ones(3), path)
    with pytest.raises(ValueError, match="dense packet, not a dict"):
        vamra.open(path)
    with pytest.raises(FileNotFoundError):
        vamra.load(tmp_path / "none.vmra")
    with pytest.raises(FileNotFoundError):
        vamra.save(np.ones(3), tmp_path / "no" / "dir.vmra")


@pytest.mark.parametrize(
    "bad, error",
    [
        ({"a": np.ones(3), "b": {1, 2}}, TypeError),
        ({"a": np.ones((4, 4))[:, ::2]}, ValueError),  # not contiguous
        ({"a": np.ones(3), "b": {"c": np.array(["text"])}}, ValueError),  # no wire type
        (np.ones(3), ValueError),  # with alignment 48 below
    ],
)
def test_unencodable_values_leave_the_target_untouched(tmp_path, bad, error):
    path = tmp_path / "keep.vmra"
    path.write_bytes(b"old contents")
    with pytest.raises(error):
        vamra.save(bad, path, alignment=48 if isinstance(bad, np.ndarray) else 64)
    assert path.read_bytes() == b"old contents"
    assert files_in(tmp_path) == ["keep.vmra"]


def test_failure_mid_write_removes_the_temporary_file(tmp_path, monkeypatch):
    path = tmp_path / "keep.vmra"
    path.write_bytes(b"old contents")
    ext = files._ext()
    real = ext.layout_write

    def half_then_fail(plan, fd, chunk=0):
        os.write(fd, b"VMRA" * 25)
        raise KeyboardInterrupt

    monkeypatch.setattr(ext, "layout_write", half_then_fail)
    with pytest.raises(KeyboardInterrupt):
        vamra.save({"a": np.ones(1000)}, path)
    monkeypatch.setattr(ext, "layout_write", real)
    assert path.read_bytes() == b"old contents"
    assert files_in(tmp_path) == ["keep.vmra"]


def run_python(code, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def test_file_size_limit_gives_oserror_and_keeps_the_old_file(tmp_path):
    path = tmp_path / "limited.vmra"
    path.write_bytes(b"old contents")
    result = run_python(f"""
        import resource, numpy as np, vamra
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        try:
            vamra.save({{"a": np.ones(1 << 19)}}, {str(path)!r})
        except OSError as exc:
            print("OSError", exc.errno)
        """)
    assert result.stdout.strip() == "OSError 27", result.stderr  # EFBIG
    assert path.read_bytes() == b"old contents"
    assert files_in(tmp_path) == ["limited.vmra"]


def test_full_device_gives_oserror():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "wb") as f, pytest.raises(OSError, match="No space"):
        vamra.save({"a": np.ones(1 << 16)}, f)


def test_killed_writer_never_leaves_a_truncated_file(tmp_path):
    path = tmp_path / "k.vmra"
    vamra.save({"old": np.zeros(4)}, path)
    proc = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(f"""
            import numpy as np, vamra, sys
            big = {{"new": np.ones(1 << 25)}}  # 256 MiB
            print("ready", flush=True)
            for _ in range(20):
                vamra.save(big, {str(path)!r})
            """),
        ],
        stdout=subprocess.PIPE,
    )
    try:
        assert proc.stdout.readline().strip() == b"ready"
        threading.Event().wait(0.3)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait(30)
    loaded = vamra.load(path)  # the old file or a complete new one, never a torn one
    assert list(loaded) in (["old"], ["new"])
    assert loaded[next(iter(loaded))].size in (4, 1 << 25)


def test_saves_keep_mode_and_follow_symlinks(tmp_path):
    real = tmp_path / "real.vmra"
    vamra.save(np.ones(2), real)
    os.chmod(real, 0o640)
    link = tmp_path / "link.vmra"
    link.symlink_to(real)
    vamra.save(np.zeros(3), link, fsync=True)
    assert link.is_symlink() and vamra.load(real).shape == (3,)
    assert os.stat(real).st_mode & 0o777 == 0o640


def test_replaced_files_are_released_in_forked_children_too(tmp_path):
    # Replaced files are closed by a background thread, which a forked child
    # does not inherit: the child must not keep them open for ever.
    script = textwrap.dedent(
        f"""
        import os, time
        import numpy as np, vamra
        path = {str(tmp_path / "x.vmra")!r}
        vamra.save(np.ones(1000), path)
        vamra.save(np.ones(1000), path)  # starts the parent's closing thread
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            for _ in range(3):
                vamra.save(np.ones(1000), path)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                held = [f for f in os.listdir("/proc/self/fd")
                        if os.path.realpath(f"/proc/self/fd/{{f}}").startswith(path)]
                if not held:
                    os._exit(0)
                time.sleep(0.01)
            os._exit(1)
        _, status = os.waitpid(pid, 0)
        raise SystemExit(os.waitstatus_to_exitcode(status))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], timeout=60)
    assert done.returncode == 0


def test_writer_resumes_after_signals_and_stops_when_a_handler_raises():
    ext = files._ext()
    payload = np.ones(1 << 21)  # 16 MiB: more than a pipe holds, so writes block
    r, w = os.pipe()
    received = []
    calls = []
    previous = signal.signal(signal.SIGALRM, lambda *a: calls.append(1))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)

        def drain():
            while chunk := os.read(r, 1 << 16):
                received.append(len(chunk))
                threading.Event().wait(0.001)

        reader = threading.Thread(target=drain)
        reader.start()
        assert ext.write(w, [b"head", payload, b"tail"]) == payload.nbytes + 8
        signal.setitimer(signal.ITIMER_REAL, 0)
        os.close(w)
        reader.join(30)
        assert sum(received) == payload.nbytes + 8 and calls

        r2, w2 = os.pipe()

        def interrupt(*args):
            raise TimeoutError("interrupted")

        signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(TimeoutError):
            ext.write(w2, [payload])  # nobody reads: only the signal ends it
        os.close(r2)
        os.close(w2)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(r)


def test_index_and_describe_read_headers_only():
    ext = files._ext()
    value = {"w": np.ones((3, 4), np.float32), "z": np.zeros(1000)}
    packet = b"".join(files.pieces(value, compress=True, check_integrity=True))
    (_, w_at, w_len, _), (_, z_at, z_len, nested) = ext.index(packet, 0, len(packet))
    assert not nested
    info = ext.describe(packet, z_at, z_len)
    assert info["kind"] == "dense" and info["dtype"] == "float64" and info["shape"] == (1000,)
    assert info["compressed"] and info["checksum"] and info["uncompressed"] == 8000
    assert info["stored"] < 8000 and info["size"] == z_len
    # A packet whose body is missing still describes (headers only), but fails to verify.
    plain = vamra.dumps(np.ones(10))
    with pytest.raises(ValueError, match="too short"):
        ext.verify(plain[:-8], 0, len(plain) - 8)
    with pytest.raises(ValueError, match="outside the buffer"):
        ext.describe(packet, len(packet), 1)
    with pytest.raises(ValueError, match="not a bundle"):
        ext.index(plain, 0, len(plain))


def test_mapped_file_views_are_slices_of_one_map(tmp_path):
    path = tmp_path / "v.vmra"
    vamra.save({"a": np.ones(3)}, path)
    source = files.MappedFile(path)
    assert isinstance(source.buffer, mmap.mmap)
    view = source.view(10, 4)
    assert bytes(view) == path.read_bytes()[10:14]
    del view
    source.close()
    assert source.closed
    with pytest.raises(ValueError, match="closed"):
        source.view()
