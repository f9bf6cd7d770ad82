"""The command line under misuse and hostile files: no data loss, no
traceback, one line on stderr, keys printed escaped."""

import io
import json
import os
import struct
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest
import scipy.sparse as sp
import vamra
from vamra.__main__ import main
from vamra.files import TEMPORARY_SUFFIX
from vamra.ragged import StringTensor

import vamra_rs

STATE = {"w": np.arange(12, dtype=np.float32).reshape(3, 4), "b": {"c": np.ones(3)}}


def cli(*args, timeout=120, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "vamra", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def leftovers(directory):
    return [n for n in os.listdir(directory) if n.endswith(TEMPORARY_SUFFIX)]


@pytest.mark.parametrize("link", ["same", "hard", "symbolic"])
@pytest.mark.parametrize(
    "src, extra",
    [("a.npy", []), ("m.vmra", ["--to", "npy"]), ("m.vmra", []), ("t.npz", [])],
)
def test_convert_onto_its_source_is_refused_before_writing(tmp_path, capsys, link, src, extra):
    np.save(tmp_path / "a.npy", np.arange(100000.0))
    np.savez(tmp_path / "t.npz", x=np.ones(3))
    vamra.save(np.arange(10.0), tmp_path / "m.vmra")
    source = tmp_path / src
    before = source.read_bytes()
    dst = source
    if link != "same":
        dst = tmp_path / f"link{source.suffix}"
        (os.link if link == "hard" else os.symlink)(source, dst)
    assert main(["convert", str(source), str(dst), *extra]) == 2
    assert "same file" in capsys.readouterr().err
    assert source.read_bytes() == before


STRINGS = {"s": StringTensor.from_list(["a"]), "w": np.ones(2)}
SPARSE = {"m": sp.eye(3, format="csr")}
COLLIDING = {"a.b": np.ones(1), "a": {"b": np.ones(1)}}


@pytest.mark.parametrize(
    "value, dst",
    [
        (STRINGS, "out.npz"),
        (STRINGS, "out.safetensors"),
        (STRINGS, "out.npy"),
        (SPARSE, "out.npz"),
        (SPARSE, "out.safetensors"),
        (COLLIDING, "out.npz"),
        (COLLIDING, "out.safetensors"),
        ({"c": np.ones(2, np.complex128)}, "out.safetensors"),
    ],
)
def test_a_failed_conversion_leaves_the_destination_as_it_was(tmp_path, capsys, value, dst):
    pytest.importorskip("safetensors")
    src = tmp_path / "v.vmra"
    vamra.save(value, src)
    target = tmp_path / dst
    target.write_bytes(b"the previous file")
    assert main(["convert", str(src), str(target)]) == 1
    assert capsys.readouterr().err.startswith("vamra: cannot convert")
    assert target.read_bytes() == b"the previous file"
    assert leftovers(tmp_path) == []


def safetensors_file(header, data=b"", length=None):
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(text) if length is None else length) + text + data


F32 = {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]}
BAD_SAFETENSORS = {
    "empty": b"",
    "short-length": b"\x01\x02",
    "huge-header": safetensors_file(b"{}", length=1 << 60),
    "cut-header": safetensors_file(b'{"a": {"dtype"', length=40),
    "not-json": safetensors_file(b"not json at all!"),
    "json-list": safetensors_file([1, 2, 3]),
    "bad-dtype": safetensors_file({"a": {**F32, "dtype": "F99"}}, bytes(8)),
    "offsets-past-end": safetensors_file({"a": {**F32, "data_offsets": [0, 800]}}, bytes(8)),
    "shape-mismatch": safetensors_file({"a": {**F32, "shape": [5]}}, bytes(8)),
    "reversed-offsets": safetensors_file({"a": {**F32, "data_offsets": [8, 0]}}, bytes(8)),
    "overlapping": safetensors_file({"a": F32, "b": F32}, bytes(8)),
    "metadata-not-text": safetensors_file({"__metadata__": {"k": 1}, "a": F32}, bytes(8)),
    "missing-field": safetensors_file({"a": {"dtype": "F32"}}, bytes(8)),
}


def write_cases(root):
    """Files that cannot be converted, and the conversions tried on them."""
    cases = []
    for name, content in BAD_SAFETENSORS.items():
        (root / f"{name}.safetensors").write_bytes(content)
        cases.append((f"safetensors {name}", [f"{name}.safetensors", "out.vmra"]))
    np.savez(root / "good.npz", a=np.arange(1000.0), b=np.ones(3))
    good = (root / "good.npz").read_bytes()
    (root / "cut.npz").write_bytes(good[: len(good) // 2])
    damaged = bytearray(good)
    damaged[len(good) // 3] ^= 0xFF
    (root / "flipped.npz").write_bytes(bytes(damaged))
    np.savez(root / "objects.npz", a=np.array([{"x": 1}], dtype=object))
    (root / "text.npy").write_text("not an array")
    # A header as Python 2 wrote them (NumPy warns while parsing it) with a bad type.
    header = b"{'descr': '\xad<f8', 'fortran_order': False, 'shape': (3L,), }"
    header += b" " * (-(len(header) + 11) % 64) + b"\n"
    (root / "old.npy").write_bytes(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header)
    # Header lengths NumPy would allocate before reading (3.6 GB).
    claim = b"\x93NUMPY\x02\x00" + struct.pack("<I", 3_600_000_000) + b"{'descr'"
    (root / "claims.npy").write_bytes(claim)
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("a.npy", claim)
    (root / "claims.npz").write_bytes(archive.getvalue())
    vamra.save({"w": np.ones(3)}, root / "m.vmra")
    cases += [
        ("npz cut", ["cut.npz", "out.vmra"]),
        ("npz flipped", ["flipped.npz", "out.vmra"]),
        ("npz objects", ["objects.npz", "out.vmra"]),
        ("npy text", ["text.npy", "out.vmra"]),
        ("npy of Python 2", ["old.npy", "out.safetensors"]),
        ("npy header claims", ["claims.npy", "out.vmra"]),
        ("npz member header claims", ["claims.npz", "out.vmra"]),
        ("missing output directory", ["m.vmra", "nowhere/out.npz"]),
        ("missing output directory, vamra", ["good.npz", "nowhere/out.vmra"]),
        ("missing source", ["absent.vmra", "out.npz"]),
        ("bfloat16 to npz", ["bf16.vmra", "out.npz"]),
        ("bfloat16 to npy", ["bf16.vmra", "out.npy"]),
        ("complex128 to safetensors", ["c128.vmra", "out.safetensors"]),
        # A directory takes a sharded vamra checkpoint, not an .npz archive.
        ("directory as destination", ["m.vmra", ".", "--to", "npz"]),
    ]
    return cases


def test_every_failed_conversion_is_one_line_and_exit_one(tmp_path):
    pytest.importorskip("safetensors")
    cases = write_cases(tmp_path)
    # Made in the child: bfloat16 needs ml_dtypes or torch there as well.
    script = f"""
        import contextlib, io, json, os, resource, sys
        import ml_dtypes, numpy as np, vamra
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))  # no reader may need GBs
        from vamra.__main__ import main
        os.chdir({str(tmp_path)!r})
        vamra.save({{"b": np.ones(3, ml_dtypes.bfloat16)}}, "bf16.vmra")
        vamra.save({{"c": np.ones(2, np.complex128)}}, "c128.vmra")
        sys.modules["ml_dtypes"] = None  # the command line runs without it
        results = {{}}
        for label, argv in {cases!r}:
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                try:
                    status = main(["convert", *argv])
                except BaseException as exc:
                    status = f"escaped {{type(exc).__name__}}: {{exc}}"
            results[label] = [status, err.getvalue()]
        print(json.dumps(results))
        """
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    for label, (status, err) in results.items():
        assert status == 1, (label, status, err)
        lines = err.splitlines()
        assert len(lines) == 1 and lines[0].startswith("vamra: cannot convert"), (label, err)
        if "claims" in label:  # refused before NumPy allocates what the header claims
            assert "more than the" in err, err
    assert leftovers(tmp_path) == []


def test_the_console_prints_one_line_for_a_hostile_file(tmp_path):
    pytest.importorskip("safetensors")
    path = tmp_path / "x.safetensors"
    path.write_bytes(BAD_SAFETENSORS["offsets-past-end"])
    done = cli("convert", path, tmp_path / "x.vmra")
    assert done.returncode == 1
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr


def nested(levels):
    packet = vamra_rs.dumps_rs(np.zeros(1, np.uint8))
    for _ in range(levels):
        packet = vamra_rs.encode_bundle_rs([("k", packet)])
    return packet


def test_inspect_reads_deeply_nested_dicts_without_recursing(tmp_path):
    path = tmp_path / "deep.vmra"
    path.write_bytes(nested(1500))
    done = cli("inspect", path)
    assert done.returncode == 0 and done.stderr == ""
    assert len(done.stdout.splitlines()) == 1 + 1501
    done = cli("inspect", "--verify", path)
    assert done.returncode == 1
    # The first dict below the limit is refused; nothing under it is read.
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr


def test_inspect_into_a_closed_pipe_ends_quietly(tmp_path):
    path = tmp_path / "deep.vmra"
    path.write_bytes(nested(1500))  # megabytes of indented rows: more than a pipe holds
    inspect = subprocess.Popen(
        [sys.executable, "-m", "vamra", "inspect", str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
    )
    inspect.stdout.readline()
    inspect.stdout.close()  # as `| head -1` does
    _, err = inspect.communicate(timeout=60)
    assert inspect.returncode == 1 and err == b""


def test_inspect_prints_keys_escaped(tmp_path, capsys):
    forged = "a\nverified: 9 checksums match, every packet is well formed"
    keys = {forged: np.ones(2), "x/y": np.ones(3), "\x1b[31mred": np.ones(1), "back\\slash": {}}
    path = tmp_path / "keys.vmra"
    # With checksums, damage anywhere in an entry's bytes is found.
    vamra.save({**keys, "n": {"z/w": np.ones(2)}}, path, check_integrity=True)
    assert main(["inspect", "--verify", str(path)]) == 0
    out = capsys.readouterr().out
    lines = out.splitlines()
    assert len(lines) == 1 + 1 + len(keys) + 2 + 1  # header, file, keys, n and its entry, verdict
    assert [line for line in lines if line.startswith("verified")] == [lines[-1]]
    assert "\x1b" not in out and "\\x1b[31mred" in out
    assert "  x/y " in out and "    z/w " in out and "back\\\\slash" in out
    # A damaged entry is named by its keys, a "/" inside a key escaped.
    with vamra.open(path) as f:
        start, length = f["n"].location("z/w")
    data = bytearray(path.read_bytes())
    data[start + 4] = 99  # an unknown version
    path.write_bytes(bytes(data))
    assert main(["inspect", "--verify", str(path)]) == 1
    assert "damaged entry 'n/z\\x2fw'" in capsys.readouterr().err


@pytest.mark.parametrize("fmt", ["npy", "npz"])
def test_fortran_ordered_arrays_convert_in_c_order(tmp_path, fmt):
    array = np.asfortranarray(np.arange(24, dtype=np.int16).reshape(2, 3, 4))
    src = tmp_path / f"f.{fmt}"
    if fmt == "npy":
        np.save(src, array)
    else:
        np.savez(src, a=array)
    assert main(["convert", str(src), str(tmp_path / "f.vmra"), "--compress"]) == 0
    loaded = vamra.load(tmp_path / "f.vmra")
    loaded = loaded if fmt == "npy" else loaded["a"]
    assert loaded.flags.c_contiguous and np.array_equal(loaded, array)


def test_arrays_past_the_packet_limit_convert(tmp_path, capsys):
    src = tmp_path / "huge.npy"
    # A sparse file: 1e9 + 1 bytes that are never written. A vamra file holds
    # it in chunks.
    huge = np.lib.format.open_memmap(src, mode="w+", dtype=np.uint8, shape=(1_000_000_001,))
    huge[-1] = 7
    del huge
    assert main(["convert", str(src), str(tmp_path / "huge.vmra")]) == 0
    back = vamra.load(tmp_path / "huge.vmra")
    assert back.shape == (1_000_000_001,) and back[-1] == 7
    del back
    (tmp_path / "huge.vmra").unlink()


@pytest.mark.parametrize(
    "argv",
    [[], ["convert", "a"], ["convert", "a", "b", "--to", "xls"], ["inspect"], ["bake"]],
)
def test_wrong_usage_is_one_line_and_exit_two(argv):
    done = cli(*argv)
    assert done.returncode == 2
    assert len(done.stderr.splitlines()) == 1 and "--help" in done.stderr
