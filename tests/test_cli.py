"""The vamra command line: inspect, --verify and convert."""

import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse as sp
import vamra
from vamra.__main__ import main
from vamra.ragged import StringTensor

rng = np.random.default_rng(3)


def bits(dtype, shape):
    count = int(np.prod(shape)) * np.dtype(dtype).itemsize
    return np.frombuffer(rng.bytes(count), dtype).reshape(shape).copy()


STATE = {
    "emb": bits(np.float32, (50, 8)),
    "layer": {"w": bits(np.float16, (8, 8)), "b": bits(np.int64, (8,))},
    "mask": np.array([True, False]),
}


@pytest.fixture
def saved(tmp_path):
    path = tmp_path / "model.vmra"
    vamra.save(
        {**STATE, "words": StringTensor.from_list(["a", "b"]), "z": np.zeros(4096)},
        path,
        check_integrity=True,
        compress=True,
    )
    return path


def test_inspect_prints_the_tree_from_headers(saved, capsys):
    assert main(["inspect", str(saved)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == [
        "entry",
        "kind",
        "dtype",
        "shape",
        "on",
        "disk",
        "ratio",
        "checksum",
    ]
    rows = {line.split()[0]: line.split() for line in lines[1:]}
    # A saved dict is shown from the file's index, as the values saved.
    assert rows["model.vmra"][1:3] == ["dict", "-"]
    assert rows["emb"][1:4] == ["array", "float32", "50x8"] and rows["emb"][-1] == "yes"
    assert rows["b"][1:4] == ["array", "int64", "8"]
    assert rows["words"][1:3] == ["string", "string"]
    assert float(rows["z"][-2]) > 50  # zeros compress well: the ratio shows it
    names = [line.split()[0] for line in lines]
    assert names.index("layer") + 1 == names.index("w")  # nested entries follow their dict
    assert lines[names.index("w")].startswith("    w ")  # indented one level deeper


def test_verify_names_the_damaged_entry(saved, capsys):
    assert main(["inspect", "--verify", str(saved)]) == 0
    # six entries, the head and the tail of the file
    assert "verified: 8 checksums match" in capsys.readouterr().out
    with vamra.open(saved) as f:
        start, length = f["layer"].location("b")
    data = bytearray(saved.read_bytes())
    data[start + length - 12] ^= 1
    saved.write_bytes(data)
    assert main(["inspect", str(saved)]) == 0  # headers alone are intact
    capsys.readouterr()
    assert main(["inspect", "--verify", str(saved)]) == 1
    assert "damaged entry 'layer/b': Integrity check failed" in capsys.readouterr().err


@pytest.mark.parametrize(
    "content",
    [b"", b"not a packet, just text", b"VMRA\x04\x10\x00\x00\x03\x00\x01\x00\x00\x00"],
    ids=["empty", "foreign", "cut-framing"],
)
def test_unreadable_files_exit_with_one(tmp_path, capsys, content):
    path = tmp_path / "bad.vmra"
    path.write_bytes(content)
    assert main(["inspect", "--verify", str(path)]) == 1
    assert "bad.vmra" in capsys.readouterr().err
    assert main(["inspect", str(tmp_path / "missing.vmra")]) == 1


def test_console_entry_point_runs_as_a_module(saved):
    done = subprocess.run(
        [sys.executable, "-m", "vamra", "inspect", str(saved)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0 and "float32" in done.stdout
    done = subprocess.run([sys.executable, "-m", "vamra"], capture_output=True, timeout=60)
    assert done.returncode == 2  # usage


def flat(state, prefix=""):
    out = {}
    for k, v in state.items():
        if isinstance(v, dict):
            out.update(flat(v, f"{prefix}{k}."))
        else:
            out[prefix + k] = v
    return out


@pytest.mark.parametrize("via", ["safetensors", "npz"])
def test_convert_dicts_both_ways_bit_exact(tmp_path, via):
    pytest.importorskip("safetensors")
    src = tmp_path / "a.vmra"
    vamra.save(STATE, src)
    middle = tmp_path / f"b.{via}"
    back = tmp_path / "c.vmra"
    assert main(["convert", str(src), str(middle)]) == 0
    assert main(["convert", str(middle), str(back), "--check-integrity"]) == 0
    expected = flat(STATE)
    restored = vamra.load(back)
    assert sorted(restored) == sorted(expected)  # safetensors keeps its own order
    for key, value in expected.items():
        assert restored[key].dtype == value.dtype and restored[key].tobytes() == value.tobytes()


def test_convert_single_arrays_through_npy(tmp_path):
    array = bits(np.complex64, (3, 7))
    src = tmp_path / "a.npy"
    np.save(src, array)
    assert main(["convert", str(src), str(tmp_path / "a.vmra")]) == 0
    assert main(["convert", str(tmp_path / "a.vmra"), str(tmp_path / "b.npy")]) == 0
    assert np.load(tmp_path / "b.npy").tobytes() == array.tobytes()


@pytest.mark.parametrize(
    "value, dst, message",
    [
        ({"m": sp.eye(3, format="csr")}, "x.safetensors", "only dense arrays: entry 'm'"),
        (np.ones(3), "x.npz", "not a single ndarray"),
        ({"a": np.ones(3)}, "x.npy", "one array, not a dict"),
        ({"a.b": np.ones(1), "a": {"b": np.ones(1)}}, "x.npz", "'a.b' appears twice"),
    ],
)
def test_convert_refuses_what_the_target_cannot_hold(tmp_path, capsys, value, dst, message):
    pytest.importorskip("safetensors")
    src = tmp_path / "v.vmra"
    vamra.save(value, src)
    assert main(["convert", str(src), str(tmp_path / dst)]) == 1
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("through_torch", [False, True])
def test_convert_keeps_metadata_and_any_number_of_entries(tmp_path, monkeypatch, through_torch):
    st = pytest.importorskip("safetensors.numpy")
    import vamra.__main__ as cli_module

    monkeypatch.setattr(cli_module, "through_torch", lambda *_: through_torch)
    state = {f"layers.{i}.weight": np.full((2, 3), i, np.float32) for i in range(300)}
    metadata = {"format": "pt", "note": "ü"}
    src = tmp_path / "m.safetensors"
    st.save_file(state, str(src), metadata=metadata)
    assert main(["convert", str(src), str(tmp_path / "m.vmra")]) == 0
    back, saved = vamra.load(tmp_path / "m.vmra", with_metadata=True)
    # safetensors files keep their keys sorted: the conversion keeps that order.
    assert saved == metadata and sorted(back) == sorted(state)
    assert all(np.array_equal(back[k], v) for k, v in state.items())
    assert main(["convert", str(tmp_path / "m.vmra"), str(tmp_path / "again.safetensors")]) == 0
    with st.safe_open(str(tmp_path / "again.safetensors"), "np") as handle:
        assert handle.metadata() == metadata and len(list(handle.keys())) == 300
    monkeypatch.undo()  # .npz files go through NumPy arrays
    assert main(["convert", str(tmp_path / "m.vmra"), str(tmp_path / "m.npz")]) == 0
    assert main(["convert", str(tmp_path / "m.npz"), str(tmp_path / "n.vmra")]) == 0
    assert list(vamra.load(tmp_path / "n.vmra")) == list(back)
