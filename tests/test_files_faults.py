"""Files under misuse and damage: file positions, wrong file objects, special
files, leftovers of killed saves, descriptor limits, and load, open and
verify agreeing on damaged bytes."""

import io
import os
import socket
import stat
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

import vamra_rs

rng = np.random.default_rng(11)
ext = files._ext()

OPTIONS = [{}, {"compress": True}, {"compress": True, "check_integrity": True, "alignment": 16}]
FIRST = {"w": rng.integers(0, 4, 30000).astype(np.float32), "s": StringTensor.from_list(["a"])}
SECOND = np.arange(5000)


def run(script, timeout=60, **kwargs):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def same(a, b):
    if isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            same(a[k], b[k])
    elif isinstance(a, StringTensor):
        assert a.tolist() == b.tolist()
    else:
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("kind", ["bytesio", "file", "file-read", "unbuffered"])
def test_load_reads_from_the_position_and_leaves_it_after_the_packet(tmp_path, options, kind):
    path = tmp_path / "two.vmra"
    if kind == "bytesio":
        handle = io.BytesIO()
    else:
        handle = open(path, "w+b", buffering=0 if kind == "unbuffered" else -1)  # noqa: SIM115
    with handle:
        handle.write(b"junk")
        start = handle.tell()
        vamra.save(FIRST, handle, **options)
        middle = handle.tell()
        vamra.save(SECOND, handle, **options)
        end = handle.tell()
        handle.seek(start)
        mmap = kind != "file-read"
        same(vamra.load(handle, mmap=mmap), FIRST)
        assert handle.tell() == middle
        same(vamra.load(handle, mmap=mmap), SECOND)
        assert handle.tell() == end
        with pytest.raises(ValueError, match="empty file"):
            vamra.load(handle, mmap=mmap)


def test_load_takes_one_packet_at_a_time_from_a_pipe():
    writer = "import numpy as np, vamra\n" + "".join(
        f"vamra.save({{'a': np.arange({n})}}, '/dev/stdout', compress={c})\n"
        for n, c in ((10, True), (70000, True), (3, False))
    )
    reader = (
        "import sys, vamra\n"
        "for _ in range(3): print(vamra.load(sys.stdin.buffer)['a'].sum())\n"
        "print(repr(sys.stdin.buffer.read()))"
    )
    produced = subprocess.Popen([sys.executable, "-c", writer], stdout=subprocess.PIPE)
    try:
        done = run(reader, stdin=produced.stdout)
    finally:
        produced.stdout.close()
        produced.wait(timeout=60)
    assert produced.returncode == 0
    assert done.stdout.split() == ["45", str(70000 * 69999 // 2), "3", "b''"], done.stderr


@pytest.mark.parametrize(
    "make, what",
    [
        (lambda p: 3, "not int"),
        (lambda p: io.StringIO("VMRA"), "not a text file"),
        (lambda p: open(p, encoding="utf-8"), "not a text file"),  # noqa: SIM115
        (lambda p: socket.socket(), "not socket"),
    ],
    ids=["descriptor", "stringio", "text-file", "socket"],
)
def test_load_of_the_wrong_kind_of_file_object_names_what_is_accepted(tmp_path, make, what):
    path = tmp_path / "a.vmra"
    vamra.save(np.ones(3), path)
    handle = make(path)
    try:
        for reader in (vamra.load, vamra.open):
            with pytest.raises(TypeError, match=f"binary file object .*{what}"):
                reader(handle)
        with pytest.raises(TypeError):
            vamra.save(np.ones(3), handle)
    finally:
        if hasattr(handle, "close"):
            handle.close()


BF16 = np.arange(12, dtype=np.float32).astype(ml_dtypes.bfloat16).reshape(3, 4)


@pytest.mark.parametrize(
    "value",
    [BF16, BF16[1, 2], {"w": BF16, "x": {"b": BF16[::2].copy()}}],
    ids=["array", "scalar", "nested"],
)
@pytest.mark.parametrize("options", OPTIONS)
def test_bfloat16_goes_to_every_destination_a_path_takes(tmp_path, value, options):
    path = tmp_path / "a.vmra"
    vamra.save(value, path, **options)
    expected = path.read_bytes()
    buffer = io.BytesIO()
    vamra.save(value, buffer, **options)
    assert buffer.getvalue() == expected
    # pieces() is the plain packet: a dict's without the index the file holds.
    same(vamra.loads(b"".join(files.pieces(value, **options))), value)
    same(vamra.loads(expected), value)


def test_bfloat16_torch_tensor_into_a_file_object():
    torch = pytest.importorskip("torch")
    tensor = torch.arange(6, dtype=torch.bfloat16)
    buffer = io.BytesIO()
    vamra.save({"t": tensor}, buffer)
    assert buffer.getvalue() == vamra.dumps({"t": tensor})


def test_save_into_a_fifo_streams_the_packet(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    done = run(
        f"""
        import threading, numpy as np, vamra
        got = []
        def read():
            with open({str(fifo)!r}, "rb") as handle:
                got.append(vamra.load(handle, mmap=False)["a"].sum())
        reader = threading.Thread(target=read)
        reader.start()
        vamra.save({{"a": np.arange(100000)}}, {str(fifo)!r}, compress=True)
        reader.join()
        print(got[0])
        """,
        timeout=60,
    )
    assert done.stdout.split() == [str(100000 * 99999 // 2)], done.stderr
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)  # still a FIFO, not a regular file


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/null"])
def test_load_of_a_device_reads_no_further_than_a_header(device):
    done = run(
        f"""
        import resource, vamra
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        for reader in (vamra.load, vamra.open):
            try:
                reader({device!r})
            except ValueError as exc:
                print(exc)
        """
    )
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 2


def mknod(path, kind, device):
    try:
        os.mknod(path, kind | 0o666, device)
    except PermissionError:
        pytest.skip("making device nodes needs privileges")


def test_save_writes_into_a_character_device_and_refuses_a_block_device(tmp_path):
    null = tmp_path / "null"
    mknod(null, stat.S_IFCHR, os.makedev(1, 3))  # the null device
    vamra.save({"a": np.ones(1000)}, null, fsync=True)
    assert stat.S_ISCHR(os.stat(null).st_mode)
    block = tmp_path / "block"
    mknod(block, stat.S_IFBLK, os.makedev(7, 200))
    with pytest.raises(OSError, match="is a block device"):
        vamra.save(np.ones(1), block)
    assert stat.S_ISBLK(os.stat(block).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["block", "null"]


def temporaries(directory):
    return sorted(n for n in os.listdir(directory) if n.endswith(files.TEMPORARY_SUFFIX))


def test_a_save_removes_what_killed_saves_of_its_target_left(tmp_path):
    target = tmp_path / "big.vmra"
    script = f"""
        import numpy as np, vamra
        x = np.ones(20_000_000)
        print("saving", flush=True)
        for _ in range(1000):
            vamra.save(x, {str(target)!r})
        """
    for _ in range(10):  # a kill lands inside a save most of the time
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE
        )
        child.stdout.readline()
        threading.Event().wait(0.4)
        child.kill()
        child.wait(timeout=60)
        child.stdout.close()
        if temporaries(tmp_path):
            break
    left = temporaries(tmp_path)
    assert left, "no kill landed inside a save"
    assert all(n.startswith(".big.vmra.") for n in left)
    done = run(f"import numpy as np, vamra; vamra.save(np.ones(3), {str(target)!r})")
    assert done.returncode == 0, done.stderr
    assert temporaries(tmp_path) == []


def test_temporaries_of_live_writers_and_other_machines_are_kept(tmp_path):
    target = tmp_path / "t.vmra"
    other = tmp_path / "other.vmra"
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    ended = subprocess.Popen([sys.executable, "-c", "pass"])  # not reaped until the end
    try:
        for _ in range(200):  # until it is a zombie, 10 s at most
            with open(f"/proc/{ended.pid}/stat", "rb") as stat_file:
                if stat_file.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    break
            threading.Event().wait(0.05)
        host = files._host_tag()
        gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], **{
            "capture_output": True, "text": True, "timeout": 60,
        }).stdout.strip()  # fmt: skip
        names = {
            "dead": f".t.vmra.{gone}.{host}.{'a' * 12}{files.TEMPORARY_SUFFIX}",
            "zombie": f".t.vmra.{ended.pid}.{host}.{'e' * 12}{files.TEMPORARY_SUFFIX}",
            "live": f".t.vmra.{sleeper.pid}.{host}.{'b' * 12}{files.TEMPORARY_SUFFIX}",
            "elsewhere": f".t.vmra.{gone}.ffffffff.{'c' * 12}{files.TEMPORARY_SUFFIX}",
            "other target": f".other.vmra.{gone}.{host}.{'d' * 12}{files.TEMPORARY_SUFFIX}",
            "not ours": f".t.vmra.{gone}.{host}.tmp",
        }
        for name in names.values():
            (tmp_path / name).write_bytes(b"x")
        done = run(f"import numpy as np, vamra; vamra.save(np.ones(3), {str(target)!r})")
        assert done.returncode == 0, done.stderr
        kept = set(os.listdir(tmp_path))
        assert names["dead"] not in kept and names["zombie"] not in kept
        assert {names[k] for k in ("live", "elsewhere", "other target", "not ours")} <= kept
        run(f"import numpy as np, vamra; vamra.save(np.ones(3), {str(other)!r})")
        assert names["other target"] not in set(os.listdir(tmp_path))
    finally:
        sleeper.kill()
        sleeper.wait()
        ended.wait()


@pytest.mark.parametrize("length", [200, 238, 250, 255])
@pytest.mark.parametrize("letter", ["a", "é"])
def test_file_names_up_to_the_limit_save(tmp_path, length, letter):
    name = (letter * length).encode()[: length - 5].decode(errors="ignore") + ".vmra"
    if len(name.encode()) > 255:
        pytest.skip("not a valid file name")
    vamra.save({"a": np.ones(2)}, tmp_path / name)
    assert vamra.load(tmp_path / name)["a"].sum() == 2
    prefix = files._temporary_prefix(name)
    assert len(f"{prefix}4194304.{files._host_tag()}.{'0' * 12}.vamra-tmp".encode()) <= 255
    assert os.listdir(tmp_path) == [name]


def test_a_slow_closing_thread_never_exhausts_descriptors(tmp_path):
    # The closing thread is slowed as dropping the cached pages of large
    # replaced files slows it; saves must close inline instead of piling up.
    done = run(
        f"""
        import os, resource, threading, time, numpy as np, vamra
        from vamra import files
        real_close = os.close
        def slow_close(fd):
            if threading.current_thread().name == "vamra-release":
                time.sleep(0.05)
            real_close(fd)
        os.close = slow_close
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        most = 0
        for _ in range(300):
            vamra.save(np.ones(100), {str(tmp_path / "a.vmra")!r})
            most = max(most, len(files._pending))
        print(most)
        """,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) <= files._MAX_PENDING


def nest(packet, levels, key="k"):
    for _ in range(levels):
        packet = vamra_rs.encode_bundle_rs([(key, packet)])
    return packet


LEAF = vamra_rs.dumps_rs(np.arange(3, dtype=np.uint8))
CSR = vamra_rs.dumps_rs(sp.random(4, 5, density=0.5, format="csr", random_state=2))
DAMAGED = LEAF[:-1] + bytes([LEAF[-1] ^ 1])  # a body byte: decodes, but not what was saved
BAD_LZ4 = bytearray(vamra_rs.dumps_rs(np.zeros(5000), compress=True))
BAD_LZ4[-20] ^= 0xFF


def outcomes(path):
    """What load, open (every entry read) and inspect --verify make of a file."""
    from vamra.__main__ import inspect

    def read_all(bundle):
        for key in bundle:
            item = bundle[key]
            if isinstance(item, files.LazyBundle):
                read_all(item)

    result = []
    try:
        vamra.load(path)
        result.append("ok")
    except ValueError:
        result.append("error")
    try:
        with vamra.open(path) as bundle:
            read_all(bundle)
        result.append("ok")
    except ValueError:
        result.append("error")
    err = io.StringIO()
    sys_stderr, sys.stderr = sys.stderr, err
    try:
        result.append("ok" if inspect(str(path), True, io.StringIO()) == 0 else "error")
    finally:
        sys.stderr = sys_stderr
    return result


@pytest.mark.parametrize(
    "packet, expected",
    [
        (nest(LEAF, 64), "ok"),
        (nest(LEAF, 65), "error"),
        (nest(vamra_rs.encode_bundle_rs([]), 64), "ok"),
        (nest(vamra_rs.encode_bundle_rs([]), 65), "error"),
        (nest(CSR, 63), "ok"),
        (nest(CSR, 64), "error"),  # its components lie 65 levels down
        (vamra_rs.encode_bundle_rs([("a", DAMAGED), ("a", LEAF)]), "ok"),
        (vamra_rs.encode_bundle_rs([("a", bytes(BAD_LZ4)), ("a", LEAF)]), "error"),
        (vamra_rs.encode_bundle_rs([("a", LEAF[:8]), ("b", LEAF), ("a", LEAF)]), "error"),
        (nest(bytes(BAD_LZ4), 2), "error"),
    ],
    ids=[
        "leaf-64-deep",
        "leaf-65-deep",
        "empty-dict-64",
        "empty-dict-65",
        "sparse-63",
        "sparse-64",
        "hidden-duplicate-intact",
        "hidden-duplicate-bad-frame",
        "hidden-duplicate-cut",
        "bad-frame",
    ],
)
def test_load_open_and_verify_agree(tmp_path, packet, expected):
    path = tmp_path / "f.vmra"
    path.write_bytes(packet)
    assert outcomes(path) == [expected] * 3


def packets():
    x = rng.standard_normal((6, 5)).astype(np.float32)
    yield "dense", vamra_rs.dumps_rs(x)
    yield "scalar", vamra_rs.dumps_rs(np.float64(1.5) * np.ones(()))
    yield "aligned-16", vamra_rs.dumps_rs(x, alignment=16, check_integrity=True)
    yield "compressed", vamra_rs.dumps_rs(np.zeros(300000, np.int32), compress=True)
    yield "compressed-check", vamra_rs.dumps_rs(x, compress=True, check_integrity=True)
    yield "empty", vamra_rs.dumps_rs(np.zeros((0, 3)), compress=True)
    yield "csr", CSR
    yield "coo", vamra_rs.dumps_rs(sp.random(4, 5, density=0.5, format="coo", random_state=2))
    yield "string", vamra.dumps(StringTensor.from_list(["ab", "", "c"]), check_integrity=True)
    for dtype in ("qint8", "qint4"):
        yield dtype, vamra.dumps(QuantizedTensor.quantize(x, dtype=dtype), check_integrity=True)
    yield "bundle", vamra.dumps({"a": x, "b": {"c": np.ones(3)}, "e": {}}, compress=True)
    yield "version-3", b"VMRA" + bytes([3, 0, 5, 1]) + (3).to_bytes(4, "little") + b"abc"
    yield "record", b"VMRA\x04" + (0x400).to_bytes(2, "little") + b"\x00\x00\x01" + bytes(96)


PACKETS = dict(packets())


def flip_to_compressed(packet):
    flags = int.from_bytes(packet[5:7], "little") | 0x4
    return packet[:5] + flags.to_bytes(2, "little") + packet[7:]


@pytest.mark.parametrize("kind", PACKETS)
def test_extent_reads_a_packet_length_from_its_framing(kind):
    packet = PACKETS[kind]
    trailing = packet + b"VMRA\x04 and more"
    assert ext.extent(trailing, 0, len(trailing)) == len(packet)
    assert ext.extent(b"xx" + packet, 2, len(packet)) == len(packet)
    # Read as a stream would, asking for what the framing says is missing.
    have = 0
    for _ in range(10000):
        wanted = ext.extent(packet[:have], 0, have)
        assert wanted is not None and wanted > have or wanted == len(packet)
        if wanted == have:
            break
        have = min(wanted, len(packet))
    assert have == len(packet)


@pytest.mark.parametrize(
    "packet",
    [
        b"not a packet at all",
        b"VMRA\x09" + bytes(20),
        flip_to_compressed(vamra_rs.dumps_rs(np.arange(64.0))),
    ],
    ids=["foreign", "version", "not-a-frame"],
)
def test_extent_without_framing_takes_everything(packet):
    assert ext.extent(packet, 0, len(packet)) is None


COMPRESSED = PACKETS["compressed"]


def huge_empty(compress):
    """No elements, but extents whose product NumPy cannot size."""
    packet = bytearray(vamra_rs.dumps_rs(np.zeros((0, 1, 1, 1)), compress=compress))
    packet[14:26] = b"\xff" * 12
    return bytes(packet)


@pytest.mark.parametrize(
    "packet",
    [
        COMPRESSED[: len(COMPRESSED) // 2],
        COMPRESSED[:-3],
        bytes(BAD_LZ4),
        flip_to_compressed(vamra_rs.dumps_rs(np.arange(64.0))),
        nest(LEAF, 65),
        nest(bytes(BAD_LZ4), 3),
        huge_empty(False),
        huge_empty(True),
    ],
    ids=[
        "cut-half",
        "cut-end",
        "bad-frame",
        "flag-says-compressed",
        "65-deep",
        "nested-frame",
        "empty-but-huge",
        "empty-but-huge-compressed",
    ],
)
def test_verify_fails_where_load_fails(packet):
    with pytest.raises(ValueError):
        vamra.loads(packet)
    with pytest.raises(ValueError):
        ext.verify(packet, 0, len(packet))


def test_verify_counts_depth_from_where_the_packet_lies():
    ext.verify(LEAF, 0, len(LEAF), 64)
    with pytest.raises(ValueError):
        ext.verify(LEAF, 0, len(LEAF), 65)
    with pytest.raises(ValueError):
        ext.verify(CSR, 0, len(CSR), 64)
