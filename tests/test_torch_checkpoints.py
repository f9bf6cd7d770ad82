"""Real models through files: a Llama-style decoder (291 keys), a layer of 256
experts, a GPT-2-style model with tied weights, and a whole training state
restored to continue training bit for bit."""

import io

import numpy as np
import pytest
import vamra

torch = pytest.importorskip("torch")
vt = pytest.importorskip("vamra.torch")
nn = torch.nn


class Block(nn.Module):
    """One decoder layer with a Llama model's parameter names (no biases)."""

    def __init__(self, dim: int, hidden: int) -> None:
        super().__init__()
        self.self_attn = nn.ModuleDict(
            {
                name: nn.Linear(dim, dim, bias=False)
                for name in ("q_proj", "k_proj", "v_proj", "o_proj")
            }
        )
        self.mlp = nn.ModuleDict(
            {
                "gate_proj": nn.Linear(dim, hidden, bias=False),
                "up_proj": nn.Linear(dim, hidden, bias=False),
                "down_proj": nn.Linear(hidden, dim, bias=False),
            }
        )
        self.input_layernorm = nn.RMSNorm(dim)
        self.post_attention_layernorm = nn.RMSNorm(dim)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        a = self.self_attn
        h = self.input_layernorm(x)
        q, k, v = a["q_proj"](h), a["k_proj"](h), a["v_proj"](h)
        weights = torch.softmax(q @ k.transpose(-1, -2) / q.shape[-1] ** 0.5, dim=-1)
        x = x + a["o_proj"](weights @ v)
        h = self.post_attention_layernorm(x)
        m = self.mlp
        return x + m["down_proj"](torch.nn.functional.silu(m["gate_proj"](h)) * m["up_proj"](h))


class Llama(nn.Module):
    def __init__(self, layers: int = 32, dim: int = 32, vocab: int = 64) -> None:
        super().__init__()
        self.embed_tokens = nn.Embedding(vocab, dim)
        self.layers = nn.ModuleList(Block(dim, 2 * dim) for _ in range(layers))
        self.norm = nn.RMSNorm(dim)
        self.lm_head = nn.Linear(dim, vocab, bias=False)

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        x = self.embed_tokens(ids)
        for layer in self.layers:
            x = layer(x)
        return self.lm_head(self.norm(x))


class Experts(nn.Module):
    def __init__(self, count: int = 256, dim: int = 8) -> None:
        super().__init__()
        self.router = nn.Linear(dim, count)
        self.experts = nn.ModuleList(nn.Linear(dim, dim) for _ in range(count))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        choice = self.router(x).argmax(-1)
        return torch.stack([self.experts[int(c)](row) for c, row in zip(choice, x, strict=True)])


def _fresh(model: nn.Module, seed: int) -> nn.Module:
    torch.manual_seed(seed)
    return type(model)()


@pytest.mark.parametrize("make, sample", [(Llama, "ids"), (Experts, "x")])
@pytest.mark.parametrize("through", ["file", "open", "packet"])
def test_models_saved_flat_load_into_fresh_models_bit_identical(tmp_path, make, sample, through):
    torch.manual_seed(0)
    model = make()
    inputs = torch.randint(0, 64, (2, 5)) if sample == "ids" else torch.randn(16, 8)
    expected = model(inputs)
    state = model.state_dict()
    assert len(state) == (291 if make is Llama else 514)
    path = tmp_path / "m.vmra"
    vamra.save(state, path)
    if through == "file":
        loaded = vt.load(path)
    elif through == "open":
        with vt.open(path) as f:
            loaded = {key: f[key] for key in f}
    else:
        loaded = vt.loads(vamra.dumps(state))
    assert list(loaded) == list(state)
    fresh = _fresh(model, 1)
    fresh.load_state_dict(loaded)
    assert torch.equal(fresh(inputs), expected)
    # Every tensor of the file is aligned in it.
    for tensor in vt.load(path).values():
        assert tensor.data_ptr() % 64 == 0


class GPT2(nn.Module):
    def __init__(self, vocab: int = 128, dim: int = 32) -> None:
        super().__init__()
        self.wte = nn.Embedding(vocab, dim)
        self.h = nn.Linear(dim, dim)
        self.lm_head = nn.Linear(dim, vocab, bias=False)
        self.lm_head.weight = self.wte.weight  # tied

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        return self.lm_head(torch.tanh(self.h(self.wte(ids))))


def test_tied_weights_are_stored_once_and_tied_again(tmp_path):
    torch.manual_seed(0)
    model = GPT2()
    state = model.state_dict()
    path = tmp_path / "gpt2.vmra"
    vamra.save(state, path)
    unique = sum(
        t.numel() * t.element_size() for t in {p.data_ptr(): p for p in state.values()}.values()
    )
    assert path.stat().st_size < unique + 8192  # the size of the unique storage
    loaded = vt.load(path)
    assert loaded["wte.weight"].data_ptr() == loaded["lm_head.weight"].data_ptr()
    fresh = GPT2()
    fresh.load_state_dict(loaded, assign=True)
    assert fresh.wte.weight.data_ptr() == fresh.lm_head.weight.data_ptr()
    ids = torch.arange(6).reshape(2, 3)
    assert torch.equal(fresh(ids), model(ids))


def _train(model, optimizer, scheduler, data):
    losses = []
    for x, y in data:
        optimizer.zero_grad()
        loss = torch.nn.functional.mse_loss(model(x), y)
        loss.backward()
        optimizer.step()
        scheduler.step()
        losses.append(loss.item())
    return losses


def _setup():
    model = nn.Sequential(nn.Linear(6, 16), nn.ReLU(), nn.Linear(16, 3))
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-2, weight_decay=0.01)
    scheduler = torch.optim.lr_scheduler.StepLR(optimizer, step_size=2, gamma=0.5)
    return model, optimizer, scheduler


@pytest.mark.parametrize("where", ["path", "file object"])
def test_training_resumes_bit_identical_without_pickle(tmp_path, where):
    generator = torch.Generator().manual_seed(0)
    data = [
        (torch.randn(8, 6, generator=generator), torch.randn(8, 3, generator=generator))
        for _ in range(10)
    ]
    torch.manual_seed(0)
    straight = _train(*_setup(), data)

    torch.manual_seed(0)
    model, optimizer, scheduler = _setup()
    first = _train(model, optimizer, scheduler, data[:4])
    checkpoint = {
        "model": model.state_dict(),
        "optimizer": optimizer.state_dict(),
        "scheduler": scheduler.state_dict(),
        "rng": torch.get_rng_state(),
        "epoch": 4,
        "note": None,
    }
    target = tmp_path / "train.vmra" if where == "path" else io.BytesIO()
    vamra.save(checkpoint, target)
    if isinstance(target, io.BytesIO):
        target.seek(0)
    restored = vt.load(target)
    assert restored["epoch"] == 4 and restored["note"] is None
    assert restored["optimizer"]["param_groups"][0]["betas"] == (0.9, 0.999)
    assert list(restored["optimizer"]["state"]) == [0, 1, 2, 3]

    torch.manual_seed(123)  # another initialisation, replaced by the checkpoint's
    model, optimizer, scheduler = _setup()
    model.load_state_dict(restored["model"])
    optimizer.load_state_dict(restored["optimizer"])
    scheduler.load_state_dict(restored["scheduler"])
    torch.set_rng_state(restored["rng"])
    assert first + _train(model, optimizer, scheduler, data[4:]) == straight


def test_numpy_views_of_one_base_load_as_one_array(tmp_path):
    base = np.arange(12, dtype=np.float64)
    vamra.save({"x": base, "y": base.view()}, tmp_path / "v.vmra")
    loaded = vamra.load(tmp_path / "v.vmra")
    assert loaded["x"] is loaded["y"]
