"""A Flax model's variables through a vamra file and back into the same model:
bit-identical outputs on a fixed input, JAX on the CPU."""

from __future__ import annotations

import numpy as np
import pytest
import vamra

pytest.importorskip("vamra_rs")
jax = pytest.importorskip("jax")
jnp = pytest.importorskip("jax.numpy")
nn = pytest.importorskip("flax.linen")
vj = pytest.importorskip("vamra.jax")

VOCAB, DIM, SEQ = 64, 32, 10


class Block(nn.Module):
    @nn.compact
    def __call__(self, x):
        h = nn.LayerNorm()(x)
        h = nn.MultiHeadDotProductAttention(num_heads=4, deterministic=True)(h)
        x = x + h
        h = nn.Dense(4 * DIM)(nn.LayerNorm()(x))
        return x + nn.Dense(DIM)(nn.gelu(h))


class TinyModel(nn.Module):
    """Embedding, attention blocks, a convolution with batch statistics, and
    a bfloat16 head: parameters of several dtypes and two collections."""

    @nn.compact
    def __call__(self, ids):
        x = nn.Embed(VOCAB, DIM)(ids)
        for _ in range(2):
            x = Block()(x)
        x = nn.Conv(DIM, kernel_size=(3,))(x)
        x = nn.BatchNorm(use_running_average=True)(x)
        head = nn.Dense(VOCAB, dtype=jnp.bfloat16, param_dtype=jnp.bfloat16)
        return head(x)


@pytest.fixture(scope="module")
def trained():
    model = TinyModel()
    ids = jax.random.randint(jax.random.PRNGKey(1), (2, SEQ), 0, VOCAB)
    variables = model.init(jax.random.PRNGKey(0), ids)
    # Batch statistics away from their initial zeros and ones.
    key = jax.random.PRNGKey(2)
    stats = jax.tree_util.tree_map(
        lambda s: s + jax.random.uniform(key, s.shape, s.dtype), variables["batch_stats"]
    )
    variables = {**variables, "batch_stats": stats}
    return model, variables, ids, model.apply(variables, ids)


def bits(x):
    return np.asarray(x).tobytes()


@pytest.mark.parametrize("how", ["load", "load-no-mmap", "open", "loads"])
def test_a_flax_model_gives_bit_identical_outputs_after_a_round_trip(trained, tmp_path, how):
    model, variables, ids, expected = trained
    path = tmp_path / "model.vmra"
    vamra.save(variables, path)
    if how == "open":
        with vj.open(path) as bundle:
            back = _materialised(bundle)
    elif how == "loads":
        back = vj.loads(path.read_bytes())
    else:
        back = vj.load(path, mmap=how == "load")
    assert jax.tree_util.tree_structure(back) == jax.tree_util.tree_structure(variables)
    for got, want in zip(
        jax.tree_util.tree_leaves(back), jax.tree_util.tree_leaves(variables), strict=True
    ):
        assert isinstance(got, jax.Array) and got.dtype == want.dtype and bits(got) == bits(want)
    output = model.apply(back, ids)
    assert output.dtype == jnp.bfloat16 and bits(output) == bits(expected)


def _materialised(value):
    """Nested LazyBundle mappings as plain dicts."""
    if hasattr(value, "keys") and not isinstance(value, jax.Array):
        return {key: _materialised(value[key]) for key in value.keys()}
    return value
