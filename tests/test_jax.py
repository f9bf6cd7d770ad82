"""JAX arrays into packets and files, back through vamra.jax; a Flax model's
parameters through a file; loaded values out to other libraries by DLPack."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pytest
import vamra
from vamra import QuantizedTensor, StringTensor

pytest.importorskip("vamra_rs")
jax = pytest.importorskip("jax")
jnp = pytest.importorskip("jax.numpy")
vj = pytest.importorskip("vamra.jax")

# Every element type JAX has with 32-bit types (its default) and a wire code.
DTYPES = [
    jnp.float32, jnp.float16, jnp.bfloat16, jnp.complex64, jnp.bool_, jnp.int8, jnp.int16,
    jnp.int32, jnp.uint8, jnp.uint16, jnp.uint32,
]  # fmt: skip


def bit_pattern(dtype, shape, seed):
    """An array of random bit patterns (NaN payloads and subnormals too)."""
    rng = np.random.default_rng(seed)
    if dtype is jnp.bool_:
        return jnp.asarray(rng.integers(0, 2, shape).astype(bool))
    size = int(np.prod(shape)) * np.dtype(dtype).itemsize
    return jnp.asarray(rng.integers(0, 256, size, dtype=np.uint8).view(dtype).reshape(shape))


def same(a, b):
    """Equal type, dtype, shape and bytes."""
    return (
        isinstance(a, jax.Array)
        and a.dtype == b.dtype
        and a.shape == b.shape
        and np.asarray(a).tobytes() == np.asarray(b).tobytes()
    )


def run(script: str) -> str:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=180
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def tree():
    return {
        "dense": {"kernel": bit_pattern(jnp.float32, (8, 4), 1), "bias": jnp.zeros(4)},
        "embed": bit_pattern(jnp.bfloat16, (16, 8), 2),
        "scalar": jnp.asarray(2.5, jnp.bfloat16),
        "empty": jnp.zeros((0, 3), jnp.float16),
    }


def flat(value, prefix=""):
    for key, item in value.items():
        if isinstance(item, dict):
            yield from flat(item, f"{prefix}{key}.")
        else:
            yield prefix + key, item


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("reader", ["loads", "load", "load-no-mmap", "open"])
def test_every_dtype_round_trips_bit_exact(dtype, reader, tmp_path):
    value = {"np": np.arange(3, dtype=np.int32), "a": {"b": bit_pattern(dtype, (7, 5), 3)}}
    path = tmp_path / "t.vmra"
    vamra.save(value, path, check_integrity=True)
    if reader == "loads":
        back = vj.loads(vamra.dumps(value))
    elif reader == "open":
        with vj.open(path) as bundle:
            back = {"np": bundle["np"], "a": {"b": bundle["a"]["b"]}}
    else:
        back = vj.load(path, mmap=reader == "load")
    assert same(back["a"]["b"], value["a"]["b"]) and same(back["np"], jnp.arange(3))


def test_trees_mixed_with_numpy_and_companions(tree, tmp_path):
    words = StringTensor.from_list(["a", "bc"])
    quantized = QuantizedTensor.quantize(jnp.linspace(-1, 1, 32))
    value = {**tree, "words": words, "q": quantized, "np": np.ones(2, np.float32)}
    for options in ({}, {"compress": True, "check_integrity": True}):
        vamra.save(value, tmp_path / "t.vmra", **options)
        back = vj.load(tmp_path / "t.vmra", dequantize=True)
        for (name, got), (_, want) in zip(flat(back), flat(value), strict=True):
            if name == "words":
                assert got.tolist() == ["a", "bc"]
            elif name == "q":
                assert same(got, jnp.asarray(quantized.dequantize()))
            elif name != "np":
                assert same(got, want), name
        assert back["embed"].dtype == jnp.bfloat16


def test_lists_scalars_and_tied_arrays_keep_their_shape(tmp_path):
    shared = bit_pattern(jnp.float32, (16, 4), 5)
    state = {
        "step": 3,
        "opt": [{"mu": shared, "nu": jnp.ones(4)}, (jnp.zeros(2, jnp.bfloat16), None)],
        "embed": shared,
        "head": shared,
    }
    vamra.save(state, tmp_path / "s.vmra")
    for back in (vj.load(tmp_path / "s.vmra"), vj.open(tmp_path / "s.vmra")):
        assert back["step"] == 3 and back["opt"][1][1] is None
        assert isinstance(back["opt"], list) and isinstance(back["opt"][1], tuple)
        assert same(back["opt"][1][0], jnp.zeros(2, jnp.bfloat16))
        assert same(back["embed"], shared) and back["head"] is back["embed"]
    assert vj.load(tmp_path / "s.vmra")["opt"][0]["mu"] is not None


def test_64_bit_data_is_refused_rather_than_narrowed(tmp_path):
    vamra.save({"step": {"n": np.array([2**40], np.int64)}}, tmp_path / "s.vmra")
    with pytest.raises(TypeError, match=r"int64 data at \['step'\]\['n'\].*jax_enable_x64"):
        vj.load(tmp_path / "s.vmra")
    with pytest.raises(TypeError, match=r"int64 data.*jax_enable_x64"):
        vj.open(tmp_path / "s.vmra")["step"]["n"]
    out = run(
        f"""
        import jax
        jax.config.update("jax_enable_x64", True)
        import vamra.jax
        n = vamra.jax.load({str(tmp_path / "s.vmra")!r})["step"]["n"]
        print(n.dtype, int(n[0]))
        """
    )
    assert out.split() == ["int64", str(2**40)]


def test_jax_arrays_on_the_cpu_go_in_with_one_copy_and_int4_is_refused():
    from vamra import _arrays

    x = jnp.arange(4096, dtype=jnp.bfloat16)
    assert _arrays.dlpack_array(x).ctypes.data == x.unsafe_buffer_pointer()
    with pytest.raises(ValueError, match=r"Unsupported dtype at \['w'\]: int4"):
        vamra.dumps({"w": jnp.zeros(4, jnp.int4)})
    with pytest.raises(ValueError, match="Unsupported dtype: float8_e4m3fn"):
        vamra.dumps(jnp.zeros(4, jnp.float8_e4m3fn))


def test_aligned_immutable_memory_is_shared_and_everything_else_copied(tmp_path):
    # Reads JAX's buffer addresses, and reads arrays after their sources were
    # dropped: kept apart from the test process.
    out = run(
        f"""
        import gc, numpy as np, jax, jax.numpy as jnp, vamra, vamra.jax
        path = {str(tmp_path / "a.vmra")!r}

        def address(a):
            a.block_until_ready()
            return a.unsafe_buffer_pointer()

        def mapped(pointer, name=path):
            with open("/proc/self/maps") as maps:
                for line in maps:
                    span, *rest = line.split()
                    start, end = (int(x, 16) for x in span.split("-"))
                    if rest[-1] == name and start <= pointer < end:
                        return True
            return False

        values = np.arange(1 << 16, dtype=np.float32)
        packet = vamra.dumps(values)
        body = vamra.loads(packet).ctypes.data - np.frombuffer(packet, np.uint8).ctypes.data
        # Four copies of the packet in one bytes object, 16 bytes apart modulo
        # 64: the body of one lies at a 64-byte boundary (objects are 16-aligned).
        gap = (16 - len(packet)) % 64
        held = (bytes(gap) + packet) * 4
        for copy in range(4):
            pad = gap + copy * (gap + len(packet))
            start = np.frombuffer(held, np.uint8).ctypes.data + pad
            if (start + body) % 64 == 0:
                break
        shared = vamra.jax.loads(memoryview(held)[pad : pad + len(packet)])
        print("bytes shared:", address(shared) == start + body)
        copied = vamra.jax.loads(bytearray(packet))
        print("bytearray copied:", address(copied) != start + body)
        del held; gc.collect()
        print("outlives bytes:", bool((shared == jnp.asarray(values)).all()))

        vamra.save(values, path)
        loaded = vamra.jax.load(path)
        print("file shared:", mapped(address(loaded)))
        tree = {{"a": {{"b": values, "c": values[:7]}}, "d": values[1:]}}
        vamra.save(tree, path + "2")
        with vamra.jax.open(path + "2") as bundle:
            leaves = [bundle["a"]["b"], bundle["a"]["c"], bundle["d"]]
        leaves += jax.tree_util.tree_leaves(vamra.jax.load(path + "2"))
        # Entries whose body lies at a 64-byte boundary of the file are views
        # of the map, the others copies.
        views = jax.tree_util.tree_leaves(vamra.load(path + "2"))
        aligned = [view.ctypes.data % 64 == 0 for view in views]
        print("entries:", [mapped(address(x), path + "2") for x in leaves] == aligned * 2)
        print("every entry aligned:", all(aligned))
        gc.collect()
        print("outlive maps:", float(loaded.sum() + sum(x.sum() for x in leaves)) > 0)
        """
    )
    assert out.split("\n")[:-1] == [
        "bytes shared: True",
        "bytearray copied: True",
        "outlives bytes: True",
        "file shared: True",
        "entries: True",
        "every entry aligned: True",
        "outlive maps: True",
    ], out


@pytest.mark.parametrize("may_alias", [True, False])
def test_arrays_never_change_with_a_mutable_buffer(monkeypatch, may_alias):
    monkeypatch.setattr(vj, "_MAY_ALIAS", may_alias)  # as a JAX without may_alias does
    values = np.arange(1 << 14, dtype=np.float32)
    buffer = bytearray(vamra.dumps({"a": {"w": values}, "b": values[:5]}))
    back = vj.loads(buffer)
    buffer[:] = bytes(len(buffer))
    assert np.array_equal(np.asarray(back["a"]["w"]), values)
    assert np.array_equal(np.asarray(back["b"]), values[:5])


def test_open_names_the_jax_loader_for_a_file_without_a_dict(tmp_path):
    vamra.save(jnp.ones(3), tmp_path / "one.vmra")
    with pytest.raises(ValueError, match="not a dict; use vamra.jax.load"):
        vj.open(tmp_path / "one.vmra")
    (tmp_path / "bad.vmra").write_bytes(b"VMRA" + bytes(40))
    with pytest.raises(ValueError, match="bad.vmra"):
        vj.load(tmp_path / "bad.vmra")


def test_without_jax_the_extra_is_named():
    out = run(
        """
        import sys
        sys.modules["jax"] = None  # as if JAX were not installed
        import numpy as np, vamra
        try:
            import vamra.jax
        except ImportError as exc:
            print("refused:", exc)
        print("dumps works:", len(vamra.dumps({"a": np.ones(2)})) > 0)
        """
    )
    assert "pip install 'vamra[jax]'" in out and "dumps works: True" in out


# ---------------------------------------------------------------- DLPack out


def test_loaded_arrays_go_to_other_libraries_without_a_copy(tmp_path):
    torch = pytest.importorskip("torch")
    values = np.arange(4096, dtype=np.float32)
    vamra.save({"w": values}, tmp_path / "w.vmra")
    read_only = vamra.load(tmp_path / "w.vmra")["w"]
    # NumPy and torch take read-only memory (torch's tensor must then not be
    # written to); JAX refuses a read-only capsule.
    assert np.from_dlpack(read_only).ctypes.data == read_only.ctypes.data
    assert torch.from_dlpack(read_only).data_ptr() == read_only.ctypes.data
    with pytest.raises(BufferError, match="readonly"):
        jax.dlpack.from_dlpack(read_only)
    # Copy-on-write pages: writable, and writes never reach the file.
    original = (tmp_path / "w.vmra").read_bytes()
    writable = vamra.load(tmp_path / "w.vmra", writable=True)["w"]
    tensor = torch.from_dlpack(writable)
    tensor.add_(1)
    assert tensor.data_ptr() == writable.ctypes.data and writable[0] == 1
    array = jax.dlpack.from_dlpack(writable)
    assert np.array_equal(np.asarray(array), values + 1)
    assert (tmp_path / "w.vmra").read_bytes() == original
