"""PyTorch and sharded checkpoints: the hub layout converted both ways byte for
byte, model helpers with tied weights and load_state_dict's key reports, and
load(device=) including a meta load that reads no tensor data."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest
import vamra

torch = pytest.importorskip("torch")
st = pytest.importorskip("safetensors.torch")
vt = pytest.importorskip("vamra.torch")


def _hub(directory, count=3):
    """A checkpoint as model hubs lay it out: safetensors shards and their index."""
    torch.manual_seed(0)
    kinds = [torch.float32, torch.bfloat16, torch.float16, torch.int64]
    weights = {f"layers.{i}.w": torch.randn(40, 8).to(kinds[i % 4]) for i in range(2 * count)}
    weight_map = {}
    for n in range(count):
        name = f"model-{n + 1:05d}-of-{count:05d}.safetensors"
        part = dict(list(weights.items())[2 * n : 2 * n + 2])
        st.save_file(part, str(directory / name), metadata={"format": "pt", "shard": str(n)})
        weight_map.update(dict.fromkeys(part, name))
    index = {"metadata": {"total_size": 4242, "total_parameters": 1}, "weight_map": weight_map}
    (directory / "model.safetensors.index.json").write_text(json.dumps(index, indent=2) + "\n")
    return weights


def _safetensors_parts(path):
    data = path.read_bytes()
    length = int.from_bytes(data[:8], "little")
    return json.loads(data[8 : 8 + length]), data[8 + length :]


def _convert(src, dst):
    return subprocess.run(
        [sys.executable, "-m", "vamra", "convert", str(src), str(dst)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_the_hub_layout_converts_to_vamra_shards_and_back_byte_for_byte(tmp_path):
    hub, ours, back = tmp_path / "hub", tmp_path / "vamra", tmp_path / "back"
    hub.mkdir()
    weights = _hub(hub)
    assert _convert(hub, ours).returncode == 0
    with vt.open(ours) as checkpoint:
        assert list(checkpoint) == list(weights) and checkpoint.metadata == {}
        for key, tensor in weights.items():
            assert checkpoint[key].dtype == tensor.dtype and torch.equal(checkpoint[key], tensor)
        # Each shard keeps its own safetensors metadata.
        assert vamra.open(checkpoint.file_of("layers.5.w")).metadata == {
            "format": "pt",
            "shard": "2",
        }
    assert _convert(ours, back).returncode == 0
    assert sorted(os.listdir(back)) == sorted(os.listdir(hub))
    for name in os.listdir(hub):
        if name.endswith(".safetensors"):
            # Every byte of the tensors, the same header (safetensors orders its
            # metadata anew each time it writes a file).
            assert _safetensors_parts(back / name) == _safetensors_parts(hub / name), name
    assert json.loads((back / "model.safetensors.index.json").read_text()) == json.loads(
        (hub / "model.safetensors.index.json").read_text()
    )


def test_a_vamra_checkpoint_with_tied_weights_converts_to_the_hub_layout(tmp_path):
    shared = torch.arange(6.0)
    vamra.save({"embed": shared, "head": shared, "b": torch.ones(2)}, tmp_path / "v", workers=1)
    assert _convert(tmp_path / "v", tmp_path / "hub").returncode == 0
    index = json.loads((tmp_path / "hub" / "model.safetensors.index.json").read_text())
    assert index["metadata"]["total_size"] == 6 * 4 * 2 + 8
    loaded = st.load_file(str(tmp_path / "hub" / index["weight_map"]["head"]))
    assert torch.equal(loaded["head"], shared) and torch.equal(loaded["embed"], shared)


def test_converting_what_is_not_a_checkpoint_fails_with_a_message(tmp_path):
    (tmp_path / "model.safetensors.index.json").write_text('{"weight_map": {"w": "../w"}}')
    done = _convert(tmp_path, tmp_path / "out")
    assert done.returncode == 1 and "not a file beside the index" in done.stderr
    done = _convert(tmp_path / "out", tmp_path / "x")
    assert done.returncode == 1 and "vamra: cannot convert" in done.stderr


class _Tied(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.embed = torch.nn.Embedding(50, 16)
        self.body = torch.nn.Linear(16, 16)
        self.head = torch.nn.Linear(16, 50, bias=False)
        self.head.weight = self.embed.weight


@pytest.mark.parametrize("sharded", [False, True])
def test_a_model_with_tied_weights_is_saved_once_and_loads_tied(tmp_path, sharded):
    torch.manual_seed(1)
    model = _Tied()
    path = tmp_path / ("ckpt" if sharded else "model.vmra")
    options = {"max_shard_size": "4KB"} if sharded else {}
    vt.save_model(model, path, metadata={"arch": "tied"}, **options)
    if not sharded:
        assert os.path.getsize(path) < 50 * 16 * 4 * 2  # the shared weight once
    fresh = _Tied()
    assert fresh.embed.weight is fresh.head.weight
    result = vt.load_model(fresh, path)
    assert result.missing_keys == [] and result.unexpected_keys == []
    assert fresh.embed.weight is fresh.head.weight
    for (name, mine), theirs in zip(
        fresh.state_dict().items(), model.state_dict().values(), strict=True
    ):
        assert torch.equal(mine, theirs), name
    assert vamra.open(path).metadata == {"arch": "tied"}


def test_missing_and_unexpected_keys_are_reported_as_load_state_dict_reports_them(tmp_path):
    model = _Tied()
    vt.save_model(model, tmp_path / "m.vmra")
    other = torch.nn.Sequential(torch.nn.Linear(16, 16))
    with pytest.raises(RuntimeError) as raised:
        vt.load_model(other, tmp_path / "m.vmra")
    with pytest.raises(RuntimeError) as expected:
        other.load_state_dict(vamra.load(tmp_path / "m.vmra") | {})
    assert str(raised.value) == str(expected.value).replace("numpy", "torch") or (
        "Missing key(s)" in str(raised.value) and "Unexpected key(s)" in str(raised.value)
    )
    result = vt.load_model(other, tmp_path / "m.vmra", strict=False)
    assert result == other.load_state_dict(vt.load(tmp_path / "m.vmra"), strict=False)
    assert (
        result.missing_keys == ["0.weight", "0.bias"] and "embed.weight" in result.unexpected_keys
    )


@pytest.mark.parametrize("sharded", [False, True])
def test_a_meta_load_gives_shapes_and_types_without_reading_tensor_data(tmp_path, sharded):
    state = {"w": torch.ones(3, 4, dtype=torch.bfloat16), "b": torch.zeros(4), "step": 7}
    state["tied"] = state["w"]
    path = tmp_path / ("ckpt" if sharded else "f.vmra")
    vamra.save(state, path, check_integrity=True, **({"max_shard_size": "1MB"} if sharded else {}))
    # Damage every tensor's bytes: reading them fails its digest check.
    shard = vamra.open(path).file_of("w") if sharded else path
    data = bytearray(open(shard, "rb").read())
    body = data.index(bytes(torch.ones(3, 4, dtype=torch.bfloat16).view(torch.int16).numpy()))
    data[body] ^= 0xFF
    open(shard, "wb").write(data)
    with pytest.raises(ValueError, match="Integrity"):
        vt.load(path)
    meta = vt.load(path, device="meta")
    assert meta["w"].device.type == "meta" and meta["w"].shape == (3, 4)
    assert meta["w"].dtype == torch.bfloat16 and meta["b"].dtype == torch.float32
    assert meta["step"] == 7 and meta["tied"] is meta["w"]


def test_a_meta_load_of_a_lone_tensor_reads_its_header_alone(tmp_path):
    vamra.save(np.ones((2, 5), np.int16), tmp_path / "a.vmra")
    tensor = vt.load(tmp_path / "a.vmra", device="meta")
    assert tensor.device.type == "meta" and tensor.shape == (2, 5) and tensor.dtype == torch.int16


def test_other_devices_go_through_torch(tmp_path):
    vamra.save({"w": torch.ones(2), "v": torch.ones(2)}, tmp_path / "a.vmra")
    assert vt.load(tmp_path / "a.vmra", device="cpu")["w"].device.type == "cpu"
    with pytest.raises(RuntimeError):
        vt.load(tmp_path / "a.vmra", device="no-such-device")
    if not torch.cuda.is_available():
        # Torch's own error for a device this machine lacks passes through.
        with pytest.raises((RuntimeError, AssertionError)):
            vt.load(tmp_path / "a.vmra", device="cuda")


def test_torch_reads_a_sharded_checkpoint_as_one(tmp_path):
    state = {f"k{i}": torch.full((100,), float(i)) for i in range(6)}
    vamra.save(state, tmp_path, max_shard_size="1KB", workers=3)
    assert len(os.listdir(tmp_path)) == 7
    loaded = vt.load(tmp_path)
    assert all(torch.equal(loaded[k], v) for k, v in state.items())
    with vt.open(tmp_path / "model.vmra.index.json") as checkpoint:
        assert isinstance(checkpoint["k4"], torch.Tensor) and checkpoint["k4"][0] == 4
