"""Checkpoints at model scale: any number of entries, any tensor size, aligned
tensors, metadata, shared storage and training state, in files and packets."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import vamra
from vamra import _layout, files

import vamra_rs

torch = pytest.importorskip("torch")
vt = pytest.importorskip("vamra.torch")


def _run(script, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout
    )


def _aligned(array, base, alignment=64):
    return (array.__array_interface__["data"][0] - base) % alignment == 0


@pytest.mark.parametrize("count", [254, 255, 256, 300, 70_000])
@pytest.mark.parametrize("nested", [False, True])
def test_dicts_of_any_size_keep_keys_and_order(tmp_path, count, nested):
    keys = [f"layers.{(i * 7919) % count}.w" for i in range(count)]  # not sorted
    value = {k: np.full(2, i, np.int32) for i, k in enumerate(keys)}
    if nested:
        value = {"experts": value, "step": 1}
    path = tmp_path / "big.vmra"
    vamra.save(value, path)
    inner = lambda v: v["experts"] if nested else v  # noqa: E731
    for back in (vamra.load(path), vamra.loads(path.read_bytes())):
        assert list(inner(back)) == keys
        assert all(inner(back)[k][0] == i for i, k in enumerate(keys))
    with vamra.open(path) as f:
        mapping = inner(f)
        assert list(mapping) == keys and len(mapping) == count
        assert mapping[keys[-1]][1] == count - 1 and keys[0] in mapping and "x" not in mapping
        with pytest.raises(KeyError):
            mapping["layers.missing"]
    assert path.read_bytes() == vamra.dumps(value)
    # The module reads it as plain nested bundles.
    assert isinstance(vamra_rs.loads_rs(path.read_bytes()), dict)


def test_every_tensor_is_aligned_in_files_and_packets(tmp_path):
    rng = np.random.default_rng(0)
    value = {
        f"k{'x' * (i % 7)}{i}": rng.random(i % 5 + 1).astype(dtype)
        for i, dtype in enumerate(["float32", "complex128", "int8", "float64", "uint16"] * 20)
    }
    value["sparse"] = __import__("scipy.sparse").sparse.random(9, 7, density=0.4, format="csr")
    for alignment in (64, 128, 4096):
        packet = vamra.dumps(value, alignment=alignment)
        base = np.frombuffer(packet, np.uint8).__array_interface__["data"][0]
        back = vamra.loads(packet)
        for key, array in back.items():
            parts = (array.data, array.indices, array.indptr) if key == "sparse" else (array,)
            assert all(_aligned(p, base, alignment) for p in parts), key
        vamra.save(value, tmp_path / "a.vmra", alignment=alignment)
        loaded = vamra.load(tmp_path / "a.vmra")
        mapped = np.frombuffer(loaded["k0"].base, np.uint8)  # the map itself
        base = mapped.__array_interface__["data"][0]
        assert all(_aligned(a, base, alignment) for k, a in loaded.items() if k != "sparse")


def test_misaligned_arrays_of_older_files_are_copied_aligned(tmp_path):
    # A plain bundle as release 0.2 wrote it: entries wherever the framing puts them.
    value = {"a": np.ones(3, np.int8), "c": np.arange(4, dtype=np.complex128)}
    path = tmp_path / "old.vmra"
    path.write_bytes(vamra_rs.dumps_rs(value))
    plain = vamra_rs.loads_rs(path.read_bytes())
    assert plain["c"].__array_interface__["data"][0] % 16 != 0  # misaligned as read by the module
    for back in (vamra.load(path), vamra.load(path, mmap=False), vt.load(path)):
        c = back["c"]
        address = c.data_ptr() if isinstance(c, torch.Tensor) else c.__array_interface__["data"][0]
        assert address % 16 == 0 and np.array_equal(np.asarray(c), value["c"])


def test_complex_indexing_on_loaded_tensors_survives(tmp_path):
    # Torch's complex128 kernels fault on memory misaligned for their type:
    # every tensor handed out must be aligned. Run apart, a fault ends only it.
    script = textwrap.dedent(
        f"""
        import torch, vamra, vamra.torch as vt
        torch.manual_seed(0)
        sd = {{f"p{{i}}": torch.randn(3 + i, dtype=torch.complex128) for i in range(40)}}
        sd.update({{f"b{{i}}": torch.ones(i + 1, dtype=torch.int8) for i in range(40)}})
        vamra.save(sd, {str(tmp_path / "c.vmra")!r})
        # A file is mapped at a page: its tensors lie at multiples of 64. A
        # bytes object lies where the allocator put it: its tensors are
        # aligned for their type.
        for loaded, alignment in ((vt.load({str(tmp_path / "c.vmra")!r}), 64),
                                  (vt.loads(vamra.dumps(sd)), 16)):
            for key, y in loaded.items():
                assert y.data_ptr() % min(alignment, y.element_size()) == 0, key
                assert alignment == 16 or y.data_ptr() % 64 == 0, key
                if y.dtype != torch.complex128:
                    continue
                idx = torch.arange(y.numel() - 1, -1, -1)
                y[idx]; y[y.real > 0]; torch.gather(y, 0, idx)
                y.clone().index_put_((idx,), y); y.clone().scatter_(0, idx, y)
                torch.where(y.real > 0, y, y * 2)
        print("ok")
        """
    )
    done = _run(script)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


def test_metadata_round_trips_and_is_checked(tmp_path):
    path = tmp_path / "m.vmra"
    vamra.save({"w": np.ones(2)}, path, metadata={"format": "pt", "ü": "ñ"})
    value, metadata = vamra.load(path, with_metadata=True)
    assert metadata == {"format": "pt", "ü": "ñ"} and list(value) == ["w"]
    with vamra.open(path) as f:
        assert f.metadata == metadata
    assert vamra.loads(vamra.dumps(np.ones(2), metadata={"a": "b"}), with_metadata=True)[1] == {
        "a": "b"
    }
    for bad in ({"a": 1}, {1: "a"}, ["a"]):
        with pytest.raises(TypeError, match="metadata"):
            vamra.save({"w": np.ones(2)}, path, metadata=bad)
    assert vamra.load(path, with_metadata=True)[1] == metadata


def test_shared_storage_is_stored_once(tmp_path):
    base = np.arange(1000, dtype=np.float32)
    view = base[:]  # the same memory through another array object
    half = base[:500]  # overlapping, not equal: stored apart
    path = tmp_path / "s.vmra"
    vamra.save({"a": base, "b": view, "c": half}, path)
    assert path.stat().st_size < (1000 + 500) * 4 + 4096
    back = vamra.load(path)
    assert back["a"] is back["b"] and np.array_equal(back["c"], half)
    with vamra.open(path) as f:
        assert f.location("a") == f.location("b") != f.location("c")


@pytest.mark.parametrize("compress", [False, True])
def test_tensors_past_a_billion_elements(tmp_path, compress):
    # 1.1 * 10**9 bytes: more elements than one packet holds, stored in chunks.
    n = 1_100_000_000
    value = np.zeros(n, np.uint8)
    value[::1_000_003] = 7
    value[-1] = 9
    path = tmp_path / "huge.vmra"
    vamra.save({"huge": value, "small": np.ones(2)}, path, compress=compress)
    back = vamra.load(path)["huge"]
    assert back.shape == (n,) and back[-1] == 9 and back[1_000_003] == 7
    assert np.count_nonzero(back) == np.count_nonzero(value)
    del back
    if not compress:
        packet = vamra.dumps(value)  # a lone tensor too, in memory
        again = vamra.loads(packet)
        assert again.shape == (n,) and again[-1] == 9
        del again, packet
    path.unlink()


def test_dimensions_past_32_bits(tmp_path):
    value = np.zeros((0, 5_000_000_000), np.float32)  # empty, but not representable in a header
    back = vamra.loads(vamra.dumps({"x": value}))["x"]
    assert back.shape == value.shape and back.dtype == value.dtype


def test_float8_without_ml_dtypes_comes_back_as_named_bytes(tmp_path):
    path = tmp_path / "f8.vmra"
    vamra.save({"w": torch.arange(256, dtype=torch.uint8).view(torch.float8_e5m2)}, path)
    script = textwrap.dedent(
        f"""
        import sys
        sys.modules["ml_dtypes"] = None  # as if it were not installed
        import numpy as np, vamra
        w = vamra.load({str(path)!r})["w"]
        assert w.dtype == np.uint8 and w.dtype.metadata == {{"vamra": "float8_e5m2"}}
        assert w.tobytes() == bytes(range(256))
        print("ok")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert done.stdout.strip() == "ok", done.stderr


def test_listing_keys_touches_only_the_head(tmp_path):
    # 300 entries of 256 KiB. Listing keys, reading the metadata and looking a
    # key up read the index alone: every page beyond it but two is made
    # unreadable, so a read there would end the process. Loading the whole
    # file touches no tensor either (its arrays are views).
    path = tmp_path / "p.vmra"
    script = textwrap.dedent(
        f"""
        import ctypes, mmap, numpy as np, vamra
        from vamra import _layout
        state = {{f"model.layers.{{i}}.weight": np.ones(65536, np.float32) for i in range(300)}}
        vamra.save(state, {str(path)!r}, metadata={{"format": "np"}})
        del state
        with open({str(path)!r}, "rb") as f:
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        index = _layout.read_index(m)
        page = mmap.PAGESIZE
        fence = (index.end + page - 1) // page * page + 2 * page
        libc = ctypes.CDLL(None, use_errno=True)
        base = np.frombuffer(m, np.uint8).__array_interface__["data"][0]
        assert libc.mprotect(ctypes.c_void_p(base + fence), ctypes.c_size_t(len(m) - fence), 0) == 0
        keys = index.keys(0)
        assert len(keys) == 300 and index.metadata() == {{"format": "np"}}
        found = index.find(0, "model.layers.277.weight")
        assert index.key(found) == "model.layers.277.weight"
        reader = _layout.Reader(index, m)
        whole = reader.all()  # views only: nothing read
        assert len(whole) == 300
        print(fence < 300 * 262144)

        def rss_file():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("RssFile:"):
                        return int(line.split()[1]) * 1024
        vamra.load({str(path)!r})  # the code's own pages, faulted in once
        before = rss_file()
        loaded = vamra.load({str(path)!r})
        print(rss_file() - before)
        """
    )
    done = _run(script)
    assert done.returncode == 0, done.stderr
    fenced, grown = done.stdout.split()
    assert fenced == "True"
    assert int(grown) <= 8 << 20


def _read_all(mapping):
    from collections.abc import Mapping

    return {k: _read_all(v) if isinstance(v, Mapping) else v for k, v in mapping.items()}


@pytest.mark.parametrize("compress", [False, True])
def test_every_single_bit_flip_of_a_checked_file_is_found(tmp_path, compress):
    # Every byte of a small mixed file saved with checksums, every bit of it:
    # load, open (reading every entry) and inspect --verify each refuse it.
    import io

    import scipy.sparse as sp
    from vamra.__main__ import main

    value = {
        "w": np.arange(6, dtype=np.float32).reshape(2, 3),
        "nested": {"m": sp.csr_matrix(np.eye(3, dtype=np.float64)), "i": 3, "s": "text"},
        "names": vamra.StringTensor.from_list(["a", "é"]),
        "list": [np.int8(1), None],
    }
    packet = vamra.dumps(value, check_integrity=True, compress=compress)
    path = tmp_path / "flipped.vmra"
    found = {"load": 0, "open": 0, "verify": 0}
    flipped = bytearray(packet)
    for at in range(len(packet)):
        for bit in range(8):
            flipped[at] ^= 1 << bit
            data = bytes(flipped)
            flipped[at] ^= 1 << bit
            try:
                vamra.load(io.BytesIO(data))
            except ValueError:
                found["load"] += 1
            try:
                with vamra.open(io.BytesIO(data)) as f:
                    _read_all(f)
            except ValueError:
                found["open"] += 1
            if bit % 4 == at % 4:  # a quarter of the flips through the command line
                path.write_bytes(data)
                found["verify"] += main(["inspect", "--verify", str(path)]) == 1
    flips = 8 * len(packet)
    assert found == {"load": flips, "open": flips, "verify": flips // 4}


def test_a_newer_layout_is_refused_with_a_clear_error():
    packet = bytearray(vamra.dumps({"w": np.ones(2)}))
    index = _layout.read_index(packet)
    at = index.body_start + 8  # the major version
    packet[at] = 2
    with pytest.raises(ValueError, match="layout is version 2.0.*upgrade vamra"):
        vamra.loads(bytes(packet))


def test_file_objects_and_pipes_get_the_same_bytes(tmp_path):
    import io

    value = {f"k{i}": np.full(i + 1, i, np.int16) for i in range(300)}
    buffer = io.BytesIO()
    vamra.save(value, buffer, compress=True, check_integrity=True)
    packet = vamra.dumps(value, compress=True, check_integrity=True)
    assert buffer.getvalue() == packet
    read, write = os.pipe()
    with os.fdopen(write, "wb") as sink, os.fdopen(read, "rb") as source:
        import threading

        got = []
        reader = threading.Thread(target=lambda: got.append(source.read()))
        reader.start()
        vamra.save(value, sink, compress=True, check_integrity=True)
        sink.close()
        reader.join(60)
    assert got == [packet]
    assert isinstance(files.load(io.BytesIO(packet)), dict)


def test_a_damaged_key_order_slows_lookups_but_never_misleads():
    value = {f"k{i}": np.full(1, i) for i in range(50)}
    packet = bytearray(vamra.dumps(value))
    index = _layout.read_index(packet)
    order = index.order.tolist()
    at = index.body_start + _layout.HEADER_SIZE + index.count * _layout.NODE.itemsize
    # The root's children, in reverse and one of them pointing outside.
    scrambled = [*order[:1], 10_000, *reversed(order[2:])]
    packet[at : at + 4 * len(order)] = np.array(scrambled, "<u4").tobytes()
    back = vamra.loads(bytes(packet))
    f = files.Checkpoint(_layout.Reader(_layout.read_index(packet), bytes(packet)), 0, None)
    for key, array in value.items():
        assert back[key][0] == array[0] and f[key][0] == array[0]
    assert "missing" not in f


def _damage(packet, case):
    """A laid-out packet with its index edited as ``case`` says (no digests,
    so only the index's own checks stand between the damage and a reader)."""
    data = bytearray(packet)
    index = _layout.read_index(bytes(data))
    names = {index.key(i): i for i in range(1, index.count)}
    nodes = np.frombuffer(data, _layout.NODE, index.count, index.body_start + _layout.HEADER_SIZE)
    shapes_at = (
        index.body_start
        + (index.shapes.__array_interface__["data"][0] - index.nodes.__array_interface__["data"][0])
        + _layout.HEADER_SIZE
    )
    shapes = np.frombuffer(data, "<u8", len(index.shapes), shapes_at)
    a, b, e = names["a"], names["b"], names["e"]
    if case == "a key twice":
        nodes[b]["key"], nodes[b]["key_len"] = nodes[a]["key"], nodes[a]["key_len"]
    elif case == "two records on one packet":
        nodes[b]["a"] = nodes[a]["a"]
    elif case == "an empty tensor too wide for one packet":
        shapes[nodes[e]["c"] + 1] = 1 << 40
    elif case == "chunks of a shape no array holds":
        nodes[e]["b"] = 0
        shapes[nodes[e]["c"] + 1] = 1 << 62
    return bytes(data)


@pytest.mark.parametrize(
    "case",
    [
        "a key twice",
        "two records on one packet",
        "an empty tensor too wide for one packet",
        "chunks of a shape no array holds",
    ],
)
def test_every_reader_refuses_the_same_damaged_index(tmp_path, case):
    # Found by fuzzing: load, open (reading every entry) and inspect --verify
    # each took a different path through such an index, and one of them gave
    # back a value (or asked for petabytes) where the others refused.
    from vamra.__main__ import main

    value = {"a": np.ones(3, np.float32), "b": np.zeros((2, 2), np.int64), "e": np.zeros((0, 3))}
    path = tmp_path / "damaged.vmra"
    path.write_bytes(_damage(vamra.dumps(value), case))
    with pytest.raises(ValueError, match="damaged vamra file index"):
        vamra.load(path)
    with pytest.raises(ValueError, match="damaged vamra file index"), vamra.open(path) as f:
        _read_all(f)
    assert main(["inspect", "--verify", str(path)]) == 1
