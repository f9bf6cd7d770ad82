"""Sharded checkpoints: shards within their size, an index written last, one
mapping over all shards, saves that are atomic as a whole (killed at any
point), many writers, and what a damaged or hostile index does."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import vamra
from vamra import shards

INDEX = "model.vmra.index.json"


def _state(seed=0, count=12):
    rng = np.random.default_rng(seed)
    state = {
        f"layers.{i}.weight": rng.standard_normal((32, 16)).astype(np.float32) for i in range(count)
    }
    state["big"] = np.arange(4000, dtype=np.int64) + seed  # 32 KB: over the limit below
    state["tied"] = state["layers.3.weight"]
    return state


def _files(directory):
    return sorted(os.listdir(directory))


def _run(script, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.parametrize(
    ("given", "expected"),
    [
        (4096, 4096),
        ("500MB", 500 * 10**6),
        ("2GB", 2 * 10**9),
        ("1GiB", 2**30),
        (" 1.5 kib ", 1536),
        ("7", 7),
    ],
)
def test_sizes_are_read_in_decimal_and_binary_units(given, expected):
    assert shards.parse_size(given) == expected


@pytest.mark.parametrize(
    ("given", "error"),
    [(0, ValueError), ("-1MB", ValueError), ("2XB", ValueError), ("GB", ValueError),
     (True, TypeError), (1.5, TypeError)],
)  # fmt: skip
def test_sizes_that_are_not_sizes_are_refused(given, error):
    with pytest.raises(error):
        shards.parse_size(given)


@pytest.mark.parametrize(
    "options", [{}, {"check_integrity": True}, {"compress": True}, {"alignment": 4096}]
)
def test_a_dict_saved_in_shards_reads_back_whole_and_in_order(tmp_path, options):
    state = _state()
    limit = 24_000 if options.get("alignment") != 4096 else 40_000
    vamra.save(state, tmp_path, max_shard_size=limit, metadata={"step": "7"}, **options)
    names = _files(tmp_path)
    assert names[-1] == INDEX and len(names) > 3
    for name in names[:-1]:
        size = os.path.getsize(tmp_path / name)
        # A value over the limit has a shard of its own; every other shard keeps to it.
        assert size <= limit or vamra.open(tmp_path / name).keys() == {"big"}, name
    document = json.loads((tmp_path / INDEX).read_text())
    assert (
        document["metadata"]["format"] == "vamra"
        and document["metadata"]["format_version"] == "1.0"
    )
    assert document["metadata"]["total_size"] == sum(v.nbytes for v in state.values())
    assert list(document["weight_map"]) == list(state) and document["user_metadata"] == {
        "step": "7"
    }
    # Tied entries share a shard, are stored once and read back as one array.
    assert document["weight_map"]["tied"] == document["weight_map"]["layers.3.weight"]
    for source in (tmp_path, tmp_path / INDEX, str(tmp_path)):
        back, meta = vamra.load(source, with_metadata=True)
        assert list(back) == list(state) and meta == {"step": "7"}
        assert all(np.array_equal(back[k], v) for k, v in state.items())
        assert back["tied"] is back["layers.3.weight"] or options.get("compress")
    # Each shard is a complete file, with the metadata too.
    first = document["weight_map"]["layers.0.weight"]
    assert vamra.open(tmp_path / first).metadata == {"step": "7"}


def test_open_reads_the_index_alone_and_a_shard_when_one_of_its_keys_is_read(tmp_path):
    state = _state()
    vamra.save(state, tmp_path / "ckpt", max_shard_size="24KB")
    with vamra.open(tmp_path / "ckpt") as checkpoint:
        assert isinstance(checkpoint, shards.ShardedCheckpoint)
        assert list(checkpoint) == list(state) and len(checkpoint) == len(state)
        assert "big" in checkpoint and "nope" not in checkpoint and checkpoint.metadata == {}
        assert checkpoint._shards == {}
        assert np.array_equal(checkpoint["layers.5.weight"], state["layers.5.weight"])
        assert len(checkpoint._shards) == 1
        assert checkpoint.file_of("big") != checkpoint.file_of("layers.0.weight")
        with pytest.raises(KeyError):
            checkpoint["nope"]


def test_a_value_larger_than_the_limit_is_a_shard_of_its_own(tmp_path):
    state = {"a": np.zeros(10, np.float32), "huge": np.zeros(100_000, np.uint8), "b": np.ones(3)}
    vamra.save(state, tmp_path, max_shard_size="10KB")
    weight_map = json.loads((tmp_path / INDEX).read_text())["weight_map"]
    assert len({weight_map["a"], weight_map["huge"], weight_map["b"]}) == 3


def test_saving_again_replaces_the_checkpoint_and_removes_what_no_index_names(tmp_path):
    vamra.save(_state(0), tmp_path, max_shard_size="24KB")
    # Left by a killed save: a partial shard and a temporary file; and files
    # that are not this checkpoint's.
    (tmp_path / "model-00001-of-00002.0badc0de.vmra").write_bytes(b"partial")
    (tmp_path / ".model.vmra.index.json.0123456789ab.tmp").write_bytes(b"{")
    keep = ["notes.txt", "other-00001-of-00001.0badc0de.vmra", "model.vmra"]
    for name in keep:
        (tmp_path / name).write_bytes(b"x")
    vamra.save(_state(1), tmp_path, max_shard_size="24KB")
    named = set(json.loads((tmp_path / INDEX).read_text())["weight_map"].values())
    assert set(_files(tmp_path)) == named | {INDEX, *keep}
    assert vamra.load(tmp_path)["big"][0] == 1


def test_refused_values_raise_before_the_directory_is_touched(tmp_path):
    vamra.save({"w": np.ones(2)}, tmp_path, max_shard_size="1MB")
    before = {name: (tmp_path / name).read_bytes() for name in _files(tmp_path)}
    with pytest.raises(TypeError, match="str keys"):
        vamra.save({1: np.ones(2)}, tmp_path)
    with pytest.raises(TypeError, match="dict"):
        vamra.save(np.ones(2), tmp_path)
    with pytest.raises(TypeError):
        vamra.save({"w": object()}, tmp_path)
    assert {name: (tmp_path / name).read_bytes() for name in _files(tmp_path)} == before
    for workers in (0, -1, 1.5, True):
        with pytest.raises(ValueError, match="workers"):
            vamra.save({"w": np.ones(2)}, tmp_path, workers=workers)
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(NotADirectoryError):
        vamra.save({"w": np.ones(2)}, tmp_path / "file", max_shard_size="1MB")


def test_a_save_killed_at_any_point_leaves_one_whole_checkpoint(tmp_path):
    # A child saves two checkpoints in turn, forever; it is killed at times
    # spread over a save. Every time, what is there reads as one of them
    # whole, never a mixture.
    script = f"""
        import numpy as np, vamra, sys
        states = [{{f"k{{i}}": np.full(200_000, n * 100 + i, np.float32) for i in range(12)}}
                  for n in (0, 1)]
        vamra.save(states[0], {str(tmp_path)!r}, max_shard_size="2MB")
        print("ready", flush=True)
        n = 1
        while True:
            vamra.save(states[n % 2], {str(tmp_path)!r}, max_shard_size="2MB", workers=2)
            n += 1
    """
    for delay in (0.0, 0.01, 0.03, 0.07, 0.15):
        process = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE
        )
        watchdog = threading.Timer(60, process.kill)  # a child that hangs ends the read
        watchdog.start()
        try:
            assert process.stdout.readline().strip() == b"ready"
            time.sleep(delay)
        finally:
            watchdog.cancel()
            process.send_signal(signal.SIGKILL)
            process.wait(timeout=30)
            process.stdout.close()
        back = vamra.load(tmp_path)
        generations = {int(value[0]) // 100 for value in back.values()}
        assert len(back) == 12 and len(generations) == 1, (delay, generations)
        assert all(int(v[0]) % 100 == int(k[1:]) for k, v in back.items())
    vamra.save({"w": np.ones(2)}, tmp_path)
    assert len(_files(tmp_path)) == 2  # the leftovers of every killed save are gone


def test_a_failed_write_leaves_the_old_checkpoint_and_no_new_shard(tmp_path):
    vamra.save(_state(0), tmp_path, max_shard_size="24KB")
    before = _files(tmp_path)
    done = _run(f"""
        import resource, signal, numpy as np, vamra
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (30_000, 30_000))
        try:
            vamra.save({{"a": np.ones(1000), "b": np.zeros(10_000)}}, {str(tmp_path)!r},
                       max_shard_size="24KB")
        except OSError as exc:
            print("failed", exc.errno)
    """)
    assert done.stdout.startswith("failed"), done.stderr
    assert _files(tmp_path) == before
    assert vamra.load(tmp_path)["big"][0] == 0


_VAMRA = {"format": "vamra", "format_version": "1.0"}


@pytest.mark.parametrize(
    ("document", "error"),
    [
        ({"metadata": _VAMRA, "weight_map": {"w": "../x.vmra"}}, "beside"),
        ({"metadata": _VAMRA, "weight_map": {"w": "/etc/x"}}, "beside"),
        ({"metadata": {"format": "vamra", "format_version": "9.0"}, "weight_map": {}}, "upgrade"),
        ({"metadata": {"total_size": 1}, "weight_map": {}}, "vamra convert"),
        ({"metadata": _VAMRA}, "weight_map"),
        ({"metadata": _VAMRA, "weight_map": {}, "user_metadata": [1]}, "user_metadata"),
    ],
)  # fmt: skip
def test_an_index_that_is_not_sound_is_refused(tmp_path, document, error):
    (tmp_path / INDEX).write_text(json.dumps(document))
    with pytest.raises(ValueError, match=error):
        vamra.open(tmp_path)


def test_shards_that_are_missing_or_do_not_hold_their_keys_are_named(tmp_path):
    vamra.save(_state(), tmp_path, max_shard_size="24KB")
    document = json.loads((tmp_path / INDEX).read_text())
    document["weight_map"]["layers.0.weight"] = document["weight_map"]["big"]
    (tmp_path / INDEX).write_text(json.dumps(document))
    with pytest.raises(ValueError, match="does not hold it"):
        vamra.open(tmp_path)["layers.0.weight"]
    with pytest.raises(ValueError, match="does not hold it"):
        vamra.load(tmp_path)
    os.unlink(tmp_path / document["weight_map"]["big"])
    with pytest.raises(FileNotFoundError):
        vamra.open(tmp_path)["big"]


def test_a_directory_without_one_index_is_an_error_that_says_why(tmp_path):
    with pytest.raises(FileNotFoundError, match="no vamra checkpoint index"):
        vamra.load(tmp_path)
    (tmp_path / "model.safetensors.index.json").write_text("{}")
    with pytest.raises(FileNotFoundError, match="vamra convert"):
        vamra.open(tmp_path)
    vamra.save({"a": np.ones(1)}, tmp_path / "a.vmra.index.json")
    vamra.save({"b": np.ones(1)}, tmp_path / "b.vmra.index.json")
    assert list(vamra.open(tmp_path / "b.vmra.index.json")) == ["b"]
    with pytest.raises(ValueError, match="several checkpoints"):
        vamra.open(tmp_path)


# ---------------------------------------------------------------- many writers

_RANK = """
import sys, numpy as np, vamra
rank, world, generation = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[4])
directory = sys.argv[3]
keys = sys.argv[5].split(",") if len(sys.argv) > 5 else [f"r{rank}.{i}" for i in range(3)]
state = {k: np.full(50_000, generation * 1000 + rank, np.float32) for k in keys}
try:
    vamra.save_shard(
        state, directory, rank=rank, world_size=world, max_shard_size="300KB", timeout=8
    )
    print("saved")
except Exception as exc:
    print(type(exc).__name__, exc)
"""


def _ranks(directory, ranks, world, generation=0, keys=None):
    extra = [keys] if keys else []
    arguments = [str(world), str(directory), str(generation), *extra]
    processes = [
        subprocess.Popen(
            [sys.executable, "-c", _RANK, str(r), *arguments], stdout=subprocess.PIPE, text=True
        )
        for r in ranks
    ]
    outputs = []
    for process in processes:
        out, _ = process.communicate(timeout=60)
        outputs.append(out.strip())
    return outputs


def test_four_processes_write_one_checkpoint_at_the_same_time(tmp_path):
    for generation in (0, 1):
        assert _ranks(tmp_path, [3, 1, 0, 2], 4, generation) == ["saved"] * 4
        with vamra.open(tmp_path) as checkpoint:
            assert list(checkpoint) == [f"r{r}.{i}" for r in range(4) for i in range(3)]
            for r in range(4):
                assert checkpoint[f"r{r}.2"][0] == generation * 1000 + r
        names = set(json.loads((tmp_path / INDEX).read_text())["weight_map"].values())
        # Shards of the first save and every rank's record are gone.
        assert set(_files(tmp_path)) == names | {INDEX}


def test_a_rank_that_never_comes_makes_the_others_fail_within_the_timeout(tmp_path):
    vamra.save({"old": np.ones(2)}, tmp_path)
    started = time.monotonic()
    assert _ranks(tmp_path, [0, 1], 3) == [
        "TimeoutError " + f"{tmp_path}: rank(s) 2 did not write their part within 8 s (timeout=)",
        "RuntimeError " + f"{tmp_path}: rank 0 ended the save without writing the index "
        "(see its error); the previous checkpoint is unchanged",
    ]
    assert time.monotonic() - started < 30
    assert list(vamra.load(tmp_path)) == ["old"]
    out = _ranks(tmp_path, [1], 2)
    assert out[0].startswith("TimeoutError") and "rank 0 did not start" in out[0]


def test_ranks_that_save_the_same_key_fail_and_keep_the_old_checkpoint(tmp_path):
    vamra.save({"old": np.ones(2)}, tmp_path)
    out = _ranks(tmp_path, [0, 1], 2, keys="same")
    assert out[0] == f"ValueError {tmp_path}: key 'same' is saved by two ranks"
    assert out[1].startswith("RuntimeError")
    assert list(vamra.load(tmp_path)) == ["old"]


@pytest.mark.parametrize(("rank", "world"), [(2, 2), (-1, 2), (0, 0), (True, 2)])
def test_ranks_out_of_range_are_refused(tmp_path, rank, world):
    with pytest.raises(ValueError):
        vamra.save_shard({"a": np.ones(1)}, tmp_path, rank=rank, world_size=world)


@pytest.mark.parametrize("sharded", [False, True])
def test_arrays_read_from_a_replaced_checkpoint_keep_their_values(tmp_path, sharded):
    # Saving over a checkpoint drops its cached pages and releases it off the
    # caller's path; what a reader has mapped of it must not change.
    path = tmp_path / ("ckpt" if sharded else "f.vmra")
    options = {"max_shard_size": "1MB"} if sharded else {}
    old = {f"k{i}": np.full(100_000, i, np.float32) for i in range(4)}
    vamra.save(old, path, **options)
    mapped = vamra.load(path)
    lazy = vamra.open(path)
    first = lazy["k1"]
    for round_ in range(3):
        vamra.save({k: v + 10 * (round_ + 1) for k, v in old.items()}, path, **options)
    assert all(np.array_equal(mapped[k], v) for k, v in old.items())
    assert np.array_equal(first, old["k1"]) and vamra.load(path)["k3"][0] == 33
    lazy.close()
