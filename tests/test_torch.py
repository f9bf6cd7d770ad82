"""Torch tensors through dumps, save and the quantizer, and back through vamra.torch."""

from __future__ import annotations

import mmap
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import vamra
from vamra import QuantizedTensor, StringTensor

torch = pytest.importorskip("torch")
vt = pytest.importorskip("vamra.torch")
vamra_rs = pytest.importorskip("vamra_rs")

# Every torch dtype with a wire code, and that code.
WIRE = {
    torch.float32: 1,
    torch.int32: 2,
    torch.float64: 3,
    torch.int64: 4,
    torch.uint8: 5,
    torch.uint16: 6,
    torch.bool: 7,
    torch.float16: 8,
    torch.int8: 9,
    torch.int16: 10,
    torch.uint32: 11,
    torch.uint64: 12,
    torch.complex64: 13,
    torch.complex128: 14,
    torch.bfloat16: 15,
}


def random_bits(dtype, shape, seed=0):
    """A tensor of random bit patterns (NaN payloads, subnormals and all)."""
    gen = torch.Generator().manual_seed(seed)
    if dtype is torch.bool:
        return torch.randint(0, 2, shape, generator=gen).bool()
    count = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    raw = torch.randint(0, 256, (count,), dtype=torch.uint8, generator=gen)
    return raw.view(dtype).reshape(shape)


def same(a, b):
    """Equal dtype, shape and bytes."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    return a.reshape(-1).view(torch.uint8).numpy().tobytes() == (
        b.reshape(-1).view(torch.uint8).numpy().tobytes()
    )


@pytest.fixture
def state():
    return {
        "emb": random_bits(torch.bfloat16, (12, 8), 1),
        "layer": {"w": random_bits(torch.float32, (8, 8), 2), "n": random_bits(torch.int64, (3,))},
        "mask": random_bits(torch.bool, (5,), 4),
        "scalar": torch.tensor(2.5, dtype=torch.bfloat16),
        "empty": torch.empty(0, 3, dtype=torch.float16),
    }


def flat(value, prefix=""):
    for key, item in value.items():
        if isinstance(item, dict):
            yield from flat(item, f"{prefix}{key}.")
        else:
            yield prefix + key, item


# ---------------------------------------------------------------- encoding


@pytest.mark.parametrize("dtype", list(WIRE), ids=str)
def test_every_wire_dtype_round_trips_bit_exact(dtype, tmp_path):
    tensor = random_bits(dtype, (3, 5), seed=WIRE[dtype])
    packet = vamra.dumps(tensor)
    assert vamra_rs.get_packet_info_rs(packet)["dtype_code"] == WIRE[dtype]
    assert same(vt.loads(packet), tensor)
    vamra.save({"t": tensor}, tmp_path / "t.vmra", compress=True)
    assert same(vt.load(tmp_path / "t.vmra")["t"], tensor)
    if dtype is not torch.bfloat16:  # NumPy readers see the same values
        assert vamra.loads(packet).tobytes() == tensor.numpy().tobytes()


LAYOUTS = {
    "transposed": lambda: torch.arange(12.0).reshape(3, 4).T,
    "strided": lambda: torch.arange(20, dtype=torch.int32)[1::3],
    "expanded": lambda: torch.arange(3.0).expand(4, 3),
    "offset": lambda: torch.arange(10.0)[4:],
    "channels_last": lambda: (
        torch.arange(48.0).reshape(1, 3, 4, 4).to(memory_format=torch.channels_last)
    ),
    "conjugate": lambda: torch.tensor([1 + 2j, 3 - 4j], dtype=torch.complex64).conj(),
    "negative": lambda: torch.tensor([1 + 2j, 3 - 4j]).conj().imag,
    "requires_grad": lambda: torch.nn.Parameter(torch.arange(4.0)),
    "grad_result": lambda: torch.arange(3.0, requires_grad=True) * 2,
    "bfloat16_transposed": lambda: torch.arange(6.0).reshape(2, 3).T.bfloat16(),
    "zero_dim": lambda: torch.tensor(7, dtype=torch.int16),
}


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_views_and_grad_tensors_are_stored_by_value(name):
    tensor = LAYOUTS[name]()
    back = vt.loads(vamra.dumps({"t": tensor}))["t"]
    expected = tensor.detach().resolve_conj().resolve_neg()
    assert back.dtype == expected.dtype and torch.equal(back, expected)
    assert not back.requires_grad and back.is_contiguous()


@pytest.mark.parametrize("options", [{}, {"compress": True, "check_integrity": True}])
@pytest.mark.parametrize("writer", ["dumps", "save", "pieces"])
def test_state_dicts_mixed_with_numpy_and_companions(state, tmp_path, writer, options):
    value = {
        **state,
        "np": np.arange(4, dtype=np.uint16),
        "words": StringTensor.from_list(["a", "bc"]),
        "q": QuantizedTensor.quantize(torch.linspace(-1, 1, 6), "qint4"),
    }
    path = tmp_path / "m.vmra"
    if writer == "save":
        vamra.save(value, path, **options)
        packet = path.read_bytes()
    elif writer == "pieces":
        packet = b"".join(vamra.files.pieces(value, **options))
    else:
        packet = vamra.dumps(value, **options)
    back = vt.loads(packet)
    for key, tensor in flat(state):
        got = back
        for part in key.split("."):
            got = got[part]
        assert same(got, tensor), key
    assert same(back["np"], torch.from_numpy(value["np"]))
    assert back["words"] == value["words"]
    assert isinstance(back["q"], QuantizedTensor)
    assert torch.equal(
        vt.loads(packet, dequantize=True)["q"], torch.from_numpy(back["q"].dequantize())
    )


def test_tied_weights_are_stored_once_and_stay_tied():
    weight = torch.randn(64, 16)
    packet = vamra.dumps({"embed": weight, "head": weight, "other": weight.clone()})
    assert len(packet) < 2.5 * weight.numel() * 4  # two copies, not three
    back = vt.loads(bytearray(packet))
    assert back["embed"] is back["head"] and back["other"] is not back["embed"]
    assert torch.equal(back["head"], weight) and torch.equal(back["other"], weight)


@pytest.mark.parametrize(
    "name", ["float8_e4m3fn", "float8_e5m2", "float8_e4m3fnuz", "float8_e5m2fnuz"]
)
def test_float8_round_trips_bit_exact(tmp_path, name):
    kind = getattr(torch, name)
    bits = torch.arange(256, dtype=torch.uint8).reshape(16, 16)
    value = bits.view(kind)
    for back in (
        vt.loads(vamra.dumps({"w": value}))["w"],
        vt.loads(vamra.dumps(value)),
    ):
        assert back.dtype == kind and torch.equal(back.view(torch.uint8), bits)
    vamra.save({"w": value}, tmp_path / "f8.vmra")
    assert torch.equal(vt.load(tmp_path / "f8.vmra")["w"].view(torch.uint8), bits)
    with vt.open(tmp_path / "f8.vmra") as f:
        assert f["w"].dtype == kind
    array = vamra.load(tmp_path / "f8.vmra")["w"]  # ml_dtypes' type, installed with the tests
    assert array.dtype.name == name and array.view(np.uint8).tobytes() == bits.numpy().tobytes()


REFUSED = {
    "meta": (lambda: torch.empty(2, device="meta"), TypeError, "meta torch tensor"),
    "sparse_coo": (lambda: torch.eye(2).to_sparse(), TypeError, r"sparse torch tensor \(torch"),
    "sparse_csr": (lambda: torch.eye(2).to_sparse_csr(), TypeError, r"sparse_csr\).*to_dense"),
    "quantized": (
        lambda: torch.quantize_per_tensor(torch.ones(2), 0.1, 0, torch.qint8),
        TypeError,
        r"quantized torch tensor \(torch.qint8\)",
    ),
    "nested": (
        lambda: torch.nested.nested_tensor([torch.ones(2), torch.ones(3)]),
        TypeError,
        "nested torch tensor",
    ),
    "complex32": (lambda: torch.ones(2, dtype=torch.complex32), ValueError, "complex32"),
}


class _OnGpu(torch.Tensor):
    """A tensor that reports a CUDA device, as one on a GPU machine would."""

    @property
    def device(self):
        return torch.device("cuda", 0)

    @property
    def is_cpu(self):
        return False


REFUSED["cuda"] = (
    lambda: torch.Tensor._make_subclass(_OnGpu, torch.ones(2)),
    TypeError,
    r"device 'cuda:0'.*call \.cpu\(\) first",
)


@pytest.mark.filterwarnings("ignore::UserWarning")  # torch's notes on beta and deprecated kinds
@pytest.mark.parametrize("name", list(REFUSED))
def test_tensors_without_cpu_data_are_refused_before_writing(name, tmp_path):
    make, error, message = REFUSED[name]
    value = {"a": torch.ones(1), "b": {"c": make()}}
    with pytest.raises(error, match=message) as raised:
        vamra.dumps(value)
    assert "at ['b']['c']" in str(raised.value)
    path = tmp_path / "keep.vmra"
    path.write_bytes(b"previous")
    with pytest.raises(error, match=message):
        vamra.save(value, path)
    assert path.read_bytes() == b"previous"
    if error is TypeError:
        with pytest.raises(TypeError, match=message):
            QuantizedTensor.quantize(make())


@pytest.mark.parametrize(
    "dtype", [torch.float32, torch.bfloat16, torch.float16, torch.int16, torch.float8_e5m2]
)
def test_quantize_reads_tensors_as_their_float_values(dtype):
    values = torch.linspace(-3, 5, 40).reshape(5, 8)
    tensor = values.to(dtype).requires_grad_(dtype.is_floating_point)
    expected = QuantizedTensor.quantize(tensor.detach().float().numpy(), "qint8", axis=1)
    got = QuantizedTensor.quantize(tensor, "qint8", axis=1)
    assert np.array_equal(got.dequantize(), expected.dequantize())


# ---------------------------------------------------------------- decoding and memory


def _inside(tensor, buffer):
    start = np.frombuffer(buffer, np.uint8).ctypes.data
    return start <= tensor.data_ptr() < start + len(buffer)


def test_writable_buffers_give_writable_views(state):
    buffer = bytearray(vamra.dumps(state))
    back = vt.loads(buffer)
    assert _inside(back["layer"]["w"], buffer)
    before = bytes(buffer)
    back["layer"]["n"].fill_(7)
    assert bytes(buffer) != before  # the view writes into the buffer


def test_bytes_give_views_and_other_read_only_memory_gives_copies(state, tmp_path):
    packet = vamra.dumps(state)
    shared = vt.loads(packet)["layer"]["w"]
    assert _inside(shared, packet)
    assert _inside(vt.loads(memoryview(packet)[0:])["layer"]["w"], packet)
    path = tmp_path / "m.vmra"
    path.write_bytes(packet)
    with open(path, "rb") as handle:
        mapped = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
    back = vt.loads(mapped)
    assert not _inside(back["layer"]["w"], packet) and same(back["layer"]["w"], state["layer"]["w"])
    back["layer"]["w"].add_(1)  # a copy: writing cannot fault on the read-only map
    assert path.read_bytes() == packet


@pytest.mark.parametrize("how", ["load", "load-no-mmap", "load-bytes", "open", "file-object"])
def test_files_load_writable_and_never_change(state, tmp_path, how):
    path = tmp_path / "m.vmra"
    vamra.save(state, path)
    original = path.read_bytes()
    if how == "open":
        with vt.open(path) as bundle:
            assert sorted(bundle) == sorted(state)
            back = {"layer": {"w": bundle["layer"]["w"]}, "emb": bundle["emb"]}
    elif how == "file-object":
        with open(path, "rb") as handle:
            back = vt.load(handle)
    else:
        back = vt.load(path, mmap=how == "load", writable=how != "load-bytes")
    assert same(back["emb"], state["emb"]) and same(back["layer"]["w"], state["layer"]["w"])
    if how != "load-bytes":
        back["layer"]["w"].mul_(2)
        back["emb"].add_(1)
    assert path.read_bytes() == original


def test_no_warning_reaches_the_user_and_bfloat16_needs_no_ml_dtypes(tmp_path):
    # Torch warns once per process about non-writable arrays: a fresh one shows it.
    script = textwrap.dedent(
        f"""
        import sys, warnings
        sys.modules["ml_dtypes"] = None  # bfloat16 is read without it
        import torch, vamra, vamra.torch as vt
        warnings.simplefilter("error")
        state = {{"w": torch.ones(3), "b": torch.ones(2, dtype=torch.bfloat16)}}
        packet = vamra.dumps(state, alignment=1)
        vamra.save(state, {str(tmp_path / "w.vmra")!r})
        vt.loads(packet); vt.loads(bytearray(packet)); vt.loads(memoryview(packet))
        vt.load({str(tmp_path / "w.vmra")!r}, mmap=False, writable=False)
        assert vt.open({str(tmp_path / "w.vmra")!r})["b"].dtype is torch.bfloat16
        import numpy as np
        a = np.ones(2); a.flags.writeable = False
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            torch.from_numpy(a)
        print("user warnings still shown:", len(seen))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert "still shown: 1" in done.stdout  # the user's own warnings are untouched


def test_views_of_bytes_outlive_a_released_memoryview():
    tensor = torch.arange(4096, dtype=torch.float32)
    view = memoryview(vamra.dumps({"t": tensor}))
    back = vt.loads(view)["t"]
    view.release()
    del view
    litter = [bytes([i]) * (tensor.numel() * 4 + 200) for i in range(8)]
    assert torch.equal(back, tensor) and len(litter) == 8


def test_a_dtype_torch_lacks_is_refused_not_reinterpreted(monkeypatch):
    real = torch.from_numpy

    def older_torch(array):
        if array.dtype == np.uint32:
            raise TypeError("can't convert np.ndarray of type numpy.uint32")
        return real(array)

    monkeypatch.setattr(torch, "from_numpy", older_torch)
    packet = vamra.dumps({"ok": np.ones(2), "deep": {"ids": np.arange(3, dtype=np.uint32)}})
    with pytest.raises(TypeError, match=r"uint32 data at \['deep'\]\['ids'\].*vamra.load"):
        vt.loads(packet)


@pytest.mark.parametrize(
    "content, message",
    [(b"", "empty file"), (b"VMRA\x09" + bytes(20), "version"), (None, "not a dict")],
)
def test_bad_files_name_the_file(tmp_path, content, message):
    path = tmp_path / "bad.vmra"
    if content is None:
        vamra.save(torch.ones(2), path)
        with pytest.raises(ValueError, match=f"bad.vmra.*{message}.*vamra.torch.load"):
            vt.open(path)
        return
    path.write_bytes(content)
    with pytest.raises(ValueError, match=f"bad.vmra.*{message}"):
        vt.load(path)


# ---------------------------------------------------------------- command line


def test_convert_keeps_bfloat16_between_vamra_and_safetensors(state, tmp_path):
    st = pytest.importorskip("safetensors.torch")
    from vamra.__main__ import main

    src = tmp_path / "a.vmra"
    vamra.save(state, src)
    assert main(["convert", str(src), str(tmp_path / "b.safetensors")]) == 0
    middle = st.load_file(tmp_path / "b.safetensors")
    assert main(["convert", str(tmp_path / "b.safetensors"), str(tmp_path / "c.vmra")]) == 0
    back = vt.load(tmp_path / "c.vmra")
    for key, tensor in flat(state):
        assert same(middle[key], tensor) and same(back[key], tensor), key
