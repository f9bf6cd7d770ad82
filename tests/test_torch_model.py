"""A small transformer's state_dict through vamra files and back into a fresh model."""

from __future__ import annotations

import pytest
import vamra
from vamra import QuantizedTensor

torch = pytest.importorskip("torch")
vt = pytest.importorskip("vamra.torch")
pytest.importorskip("vamra_rs")

nn = torch.nn
VOCAB, DIM, HEADS, LAYERS, SEQ = 96, 32, 4, 2, 12


class Block(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.norm1 = nn.LayerNorm(DIM)
        self.attn = nn.MultiheadAttention(DIM, HEADS, batch_first=True)
        self.norm2 = nn.LayerNorm(DIM)
        self.mlp = nn.Sequential(nn.Linear(DIM, 4 * DIM), nn.GELU(), nn.Linear(4 * DIM, DIM))

    def forward(self, x):
        causal = torch.triu(torch.ones(x.shape[1], x.shape[1], dtype=torch.bool), diagonal=1)
        h = self.norm1(x)
        x = x + self.attn(h, h, h, attn_mask=causal, need_weights=False)[0]
        return x + self.mlp(self.norm2(x))


class TinyLM(nn.Module):
    """Embedding, attention blocks, a final layer norm and an output layer tied to the embedding."""

    def __init__(self) -> None:
        super().__init__()
        self.embed = nn.Embedding(VOCAB, DIM)
        self.position = nn.Parameter(torch.randn(SEQ, DIM) * 0.02)
        self.blocks = nn.ModuleList(Block() for _ in range(LAYERS))
        self.norm = nn.LayerNorm(DIM)
        self.head = nn.Linear(DIM, VOCAB, bias=False)
        self.head.weight = self.embed.weight

    def forward(self, ids):
        x = self.embed(ids) + self.position[: ids.shape[1]]
        for block in self.blocks:
            x = block(x)
        return self.head(self.norm(x))


def trained(dtype):
    torch.manual_seed(0)
    model = TinyLM()
    with torch.no_grad():  # layer norms away from their initial ones and zeros
        for name, parameter in model.named_parameters():
            if "norm" in name:
                parameter.add_(torch.randn_like(parameter) * 0.1)
    return model.to(dtype).eval()


def fresh(dtype):
    torch.manual_seed(1)  # other initial values than the saved model's
    return TinyLM().to(dtype).eval()


IDS = torch.randint(0, VOCAB, (3, SEQ), generator=torch.Generator().manual_seed(2))


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16], ids=str)
@pytest.mark.parametrize("read", ["load", "load-no-mmap", "loads", "open"])
def test_state_dict_round_trip_gives_bit_identical_outputs(tmp_path, dtype, read):
    model = trained(dtype)
    state = model.state_dict()
    assert state["head.weight"].data_ptr() == state["embed.weight"].data_ptr()
    path = tmp_path / "tiny.vmra"
    vamra.save(state, path)
    if read == "load":
        loaded = vt.load(path)
    elif read == "load-no-mmap":
        loaded = vt.load(path, mmap=False)
    elif read == "loads":
        loaded = vt.loads(path.read_bytes())
    else:
        loaded = vt.open(path)
    other = fresh(dtype)
    with torch.no_grad():
        assert not torch.equal(other(IDS), model(IDS))
    other.load_state_dict(loaded)
    assert other.head.weight is other.embed.weight  # still tied
    with torch.no_grad():
        expected, got = model(IDS), other(IDS)
    assert got.dtype == dtype and torch.equal(got, expected)


def test_int8_weights_dequantized_on_load(tmp_path):
    model = trained(torch.float32)
    state = {
        name: QuantizedTensor.quantize(tensor, "qint8", axis=0) if tensor.ndim == 2 else tensor
        for name, tensor in model.state_dict().items()
    }
    path = tmp_path / "tiny-int8.vmra"
    vamra.save(state, path)
    full = tmp_path / "tiny.vmra"
    vamra.save(model.state_dict(), full)
    assert path.stat().st_size < 0.4 * full.stat().st_size

    other = fresh(torch.float32)
    other.load_state_dict(vt.load(path, dequantize=True))
    with torch.no_grad():
        expected, got = model(IDS), other(IDS)
    error = (got - expected).abs().max().item()
    scale = expected.abs().max().item()
    rms = ((got - expected).square().mean() / expected.square().mean()).sqrt().item()
    agree = (got.argmax(-1) == expected.argmax(-1)).float().mean().item()
    print(
        f"int8 per-row weights: max |error| {error:.3g} of max |output| {scale:.3g}, "
        f"relative rms error {rms:.2%}, top-1 agreement {agree:.0%}"
    )
    assert 0 < error < 0.05 * scale and agree > 0.9
