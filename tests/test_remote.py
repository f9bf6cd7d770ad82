"""Files at URLs, against real servers on loopback: moto's S3 server and a
small HTTP server that honours Range (tests/servers.py). Every request the
servers answer is counted, so reading only what is asked for is asserted as
requests and bytes."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
import urllib.request

import numpy as np
import pytest
import vamra

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("s3fs")
pytest.importorskip("moto")

SERVERS = os.path.join(os.path.dirname(__file__), "servers.py")


class Store:
    """One server: where files go, how they are named, what it counted."""

    def __init__(self, kind, port, root=None):
        self.kind, self.port, self.root = kind, port, root
        self.options = None
        if kind == "s3":
            self.options = {
                "key": "test",
                "secret": "test",
                "client_kwargs": {
                    "endpoint_url": f"http://127.0.0.1:{port}",
                    "region_name": "us-east-1",
                },
            }
            self.fs = fsspec.filesystem("s3", **self.options)
            self.fs.call_s3("create_bucket", Bucket="bucket")

    def url(self, name):
        if self.kind == "s3":
            return f"s3://bucket/{name}"
        return f"http://127.0.0.1:{self.port}/{name}"

    def put(self, name, data):
        if self.kind == "s3":
            self.fs.pipe(f"bucket/{name}", bytes(data))
        else:
            with open(os.path.join(self.root, name), "wb") as handle:
                handle.write(data)

    def save(self, value, name, **options):
        self.put(name, vamra.dumps(value, **options))
        self.counts()
        return self.url(name)

    def counts(self):
        """The requests answered since the last call."""
        address = f"http://127.0.0.1:{self.port}/__counts__?reset=1"
        with urllib.request.urlopen(address, timeout=10) as reply:
            return json.loads(reply.read())

    def open(self, name):
        return vamra.open(self.url(name), storage_options=self.options)

    def load(self, name, **options):
        return vamra.load(self.url(name), storage_options=self.options, **options)


def _start(args):
    process = subprocess.Popen(
        [sys.executable, SERVERS, *args, "--lifetime", "900"],
        stdout=subprocess.PIPE,
        text=True,
    )
    line = process.stdout.readline()
    if not line.startswith("port "):
        process.kill()
        pytest.fail(f"server {args} did not start")
    return process, int(line.split()[1])


@pytest.fixture(scope="module")
def servers(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("www"))
    started = {}
    try:
        s3, s3_port = _start(["s3"])
        started["s3"] = s3
        http, http_port = _start(["http", root])
        started["http"] = http
        yield {"s3": Store("s3", s3_port), "http": Store("http", http_port, root)}
    finally:
        for process in started.values():
            process.kill()
            process.wait()


@pytest.fixture(params=["s3", "http"])
def store(request, servers):
    return servers[request.param]


def _state(count=40, rows=64, cols=48, seed=0):
    rng = np.random.default_rng(seed)
    state = {
        f"layer{i:03d}.weight": rng.standard_normal((rows, cols)).astype(np.float32)
        for i in range(count)
    }
    state["embed"] = rng.integers(0, 1000, (300, 16)).astype(np.int64)
    state["nested"] = {"bias": np.arange(7.0), "steps": [np.ones(3, np.int32), 2, "x"]}
    return state


def _gets(records):
    return [r for r in records if r["method"] == "GET"]


def _sent(records):
    return sum(r["sent"] for r in records)


@pytest.mark.parametrize("entries", [40, 1500])
def test_open_reads_head_and_index_only(store, entries):
    state = _state(entries, rows=4, cols=4)
    url = store.save(state, f"index{entries}.vmra", metadata={"step": "7"})
    f = store.open(f"index{entries}.vmra")
    keys = list(f)
    shapes = {key: f.get_slice(key).shape for key in keys if key != "nested"}
    dtypes = {key: f.get_slice(key).dtype for key in keys if key != "nested"}
    records = store.counts()
    assert keys == list(state) and f.metadata == {"step": "7"}
    assert shapes["embed"] == (300, 16) and dtypes["layer000.weight"] == "float32"
    index = f._reader.index
    index_length = index.end - 27
    # One request when the index fits the head read, two when it does not.
    assert len(records) == (1 if index.end <= 64 << 10 else 2), url
    assert _sent(records) <= (64 << 10) + index_length


@pytest.mark.parametrize("check_integrity", [False, True])
def test_one_entry_one_ranged_read(store, check_integrity):
    state = _state(rows=512, cols=256)  # entries past the head read
    store.save(state, f"one{check_integrity}.vmra", check_integrity=check_integrity)
    f = store.open(f"one{check_integrity}.vmra")
    store.counts()
    value = f["layer020.weight"]
    records = store.counts()
    np.testing.assert_array_equal(value, state["layer020.weight"])
    assert len(records) == 1 and records[0]["range"]
    extra = records[0]["sent"] - value.nbytes
    # Its framing too when its digest is checked; its bytes alone otherwise.
    assert 0 < extra <= 512 if check_integrity else extra == 0


def test_several_entries_one_round(store):
    state = _state(rows=512, cols=256)
    store.save(state, "several.vmra")
    f = store.open("several.vmra")
    store.counts()
    apart = ["layer005.weight", "layer015.weight", "layer025.weight", "embed"]
    neighbours = [f"layer{i:03d}.weight" for i in range(30, 34)]
    got = f.load(apart + neighbours)
    records = store.counts()
    for key in apart + neighbours:
        np.testing.assert_array_equal(got[key], state[key])
    wanted = sum(state[key].nbytes for key in apart + neighbours)
    # Neighbours merged into one read; the gaps between them are framing.
    assert len(records) == len(apart) + 1
    assert wanted <= _sent(records) <= wanted + 4 * 1024
    # Iterating reads every entry of the level in one round too.
    f = store.open("several.vmra")
    store.counts()
    values = dict(f.items())
    records = store.counts()
    assert len(records) == 1 and values.keys() == state.keys()
    np.testing.assert_array_equal(values["nested"]["steps"][0], np.ones(3))


def test_large_neighbours_are_read_alone_without_their_framing(store):
    # A request of its own costs little beside a tensor of a MiB or more, and
    # the bytes read are then the tensors' alone.
    state = _state(count=6, rows=1024, cols=320)
    store.save(state, "large.vmra")
    f = store.open("large.vmra")
    store.counts()
    keys = [f"layer{i:03d}.weight" for i in range(1, 4)]
    got = f.load(keys)
    records = store.counts()
    assert len(records) == 3
    assert _sent(records) == sum(got[key].nbytes for key in keys)


@pytest.mark.parametrize(
    "index",
    [
        np.s_[100:140],
        np.s_[7],
        np.s_[-3:],
        np.s_[10:60:5],
        np.s_[50:10:-4],
        np.s_[200:210, 4:9],
        np.s_[..., 3],
        np.s_[3, 5],
        np.s_[400:500],
        np.s_[5:5],
    ],
)
def test_slices_read_only_their_rows(store, index, tmp_path):
    state = _state(4, rows=300, cols=64)
    store.save(state, "slices.vmra")
    f = store.open("slices.vmra")
    store.counts()
    got = f.get_slice("layer002.weight")[index]
    records = store.counts()
    expected = state["layer002.weight"][index]
    np.testing.assert_array_equal(got, expected)
    rows = np.arange(300)[index[0] if isinstance(index, tuple) else index]
    rows = np.atleast_1d(rows)
    if index == np.s_[..., 3]:
        rows = np.arange(300)
    span = (rows.max() - rows.min() + 1) * 64 * 4 if rows.size else 0
    assert _sent(records) <= span and len(records) <= 1
    # The same from a local file.
    vamra.save(state, tmp_path / "s.vmra")
    local = vamra.open(tmp_path / "s.vmra").get_slice("layer002.weight")
    np.testing.assert_array_equal(local[index], expected)


@pytest.mark.parametrize("index", [np.s_[1, 2, 3], np.s_[..., ...], np.s_[300], np.s_[None]])
def test_slices_refuse_what_numpy_refuses(servers, index):
    store = servers["http"]
    store.save(_state(2, rows=300, cols=64), "refuse.vmra")
    with pytest.raises(IndexError):
        store.open("refuse.vmra").get_slice("layer001.weight")[index]


@pytest.mark.parametrize("check_integrity", [False, True])
def test_load_streams_the_object_once(store, check_integrity):
    state = _state(rows=512, cols=256)
    url = store.save(state, f"whole{check_integrity}.vmra", check_integrity=check_integrity)
    size = len(vamra.dumps(state, check_integrity=check_integrity))
    value, metadata = store.load(f"whole{check_integrity}.vmra", with_metadata=True)
    records = store.counts()
    assert [(r["method"], r["range"]) for r in records] == [("GET", None)], url
    assert _sent(records) == size and metadata == {}
    for key in ("embed", "layer039.weight"):
        np.testing.assert_array_equal(value[key], state[key])
    assert value["nested"]["steps"][1:] == [2, "x"]
    assert not value["embed"].flags.writeable
    assert store.load(f"whole{check_integrity}.vmra", writable=True)["embed"].flags.writeable


@pytest.mark.parametrize("how", ["flipped", "truncated"])
def test_damaged_objects_are_value_errors(store, how, tmp_path):
    state = _state(rows=512, cols=256)
    packet = vamra.dumps(state, check_integrity=True)
    (tmp_path / "sound.vmra").write_bytes(packet)
    offset, length, body, _ = vamra.open(tmp_path / "sound.vmra")._reader.index.packet(20)
    damaged = bytearray(packet)
    damaged[body + 5] ^= 0x5A
    name = f"damaged-{how}.vmra"
    store.put(name, damaged if how == "flipped" else packet[: body + 100])
    url = store.url(name)
    with pytest.raises(ValueError, match=r"Integrity|too short") as raised:
        store.load(name)
    assert url in str(raised.value)
    f = store.open(name)
    np.testing.assert_array_equal(f["layer000.weight"], state["layer000.weight"])
    past_end = ["layer035.weight"] if how == "truncated" else []
    for key in ["layer020.weight", *past_end]:  # cut short, or wholly past the end
        with pytest.raises(ValueError, match=r"Integrity|too short") as raised:
            f[key]
        assert url in str(raised.value) and key in str(raised.value)


@pytest.mark.parametrize(
    "name, error",
    [
        ("s3://bucket/missing.vmra", FileNotFoundError),
        ("s3://no-such-bucket/x.vmra", FileNotFoundError),
        ("s3://locked/x.vmra", PermissionError),
        ("http:missing.vmra", FileNotFoundError),
        ("http:forbidden/x.vmra", Exception),
    ],
)
@pytest.mark.parametrize("call", ["open", "load"])
def test_unreadable_objects_raise_the_filesystems_error_with_the_url(servers, name, error, call):
    s3, http = servers["s3"], servers["http"]
    if name.startswith("s3://locked/"):
        _locked_bucket(s3)
    url = http.url(name[5:]) if name.startswith("http:") else name
    options = s3.options if name.startswith("s3:") else None
    with pytest.raises(error) as raised:
        getattr(vamra, call)(url, storage_options=options)
    assert url in str(raised.value)
    assert not isinstance(raised.value, ValueError)


def _locked_bucket(s3):
    if not s3.fs.exists("locked"):
        s3.fs.call_s3("create_bucket", Bucket="locked")
        s3.fs.pipe("locked/x.vmra", vamra.dumps({"a": np.ones(2)}))
        policy = {
            "Version": "2012-10-17",
            "Statement": [
                {
                    "Effect": "Deny",
                    "Principal": "*",
                    "Action": ["s3:GetObject", "s3:PutObject"],
                    "Resource": "arn:aws:s3:::locked/*",
                }
            ],
        }
        s3.fs.call_s3("put_bucket_policy", Bucket="locked", Policy=json.dumps(policy))
        s3.fs.invalidate_cache()


def test_a_network_failure_names_the_url(tmp_path):
    # A port nothing listens on: refused at once; retries are bounded by the
    # options and the whole attempt by the subprocess's timeout.
    script = textwrap.dedent(
        """
        import socket, vamra
        s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
        options = {"key": "k", "secret": "s",
                   "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}",
                                     "region_name": "us-east-1"},
                   "config_kwargs": {"retries": {"max_attempts": 1}, "connect_timeout": 2}}
        for url, opts in ((f"http://127.0.0.1:{port}/m.vmra", None), ("s3://b/m.vmra", options)):
            try:
                vamra.open(url, storage_options=opts)
            except OSError as exc:
                print(type(exc).__name__, url in str(exc) or f"127.0.0.1:{port}" in str(exc))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    lines = result.stdout.split("\n")
    assert len([line for line in lines if line.endswith(" True")]) == 2, result.stderr[-2000:]


def _multipart_uploads(s3):
    return s3.fs.call_s3("list_multipart_uploads", Bucket="bucket").get("Uploads", [])


@pytest.mark.parametrize("size", [1 << 16, 20 << 20])
def test_save_streams_an_upload(servers, size):
    s3 = servers["s3"]
    state = {"a": np.arange(size // 8, dtype=np.float64), "b": {"c": np.ones(5, np.int8)}}
    s3.counts()
    vamra.save(state, s3.url(f"saved{size}.vmra"), storage_options=s3.options, metadata={"k": "v"})
    records = s3.counts()
    assert s3.fs.cat(f"bucket/saved{size}.vmra") == vamra.dumps(state, metadata={"k": "v"})
    if size < 8 << 20:
        assert [r["method"] for r in records] == ["PUT"]
    else:
        parts = [r for r in records if "partNumber" in r["query"]]
        assert len(parts) == 3 and max(r["received"] for r in parts) == 8 << 20
        assert [r["method"] for r in records].count("POST") == 2  # started and completed
    got = s3.load(f"saved{size}.vmra")
    np.testing.assert_array_equal(got["a"], state["a"])


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGKILL])
def test_an_interrupted_save_leaves_the_old_object(servers, how):
    s3 = servers["s3"]
    url = s3.url(f"interrupted{int(how)}.vmra")
    old = {"old": np.arange(10)}
    vamra.save(old, url, storage_options=s3.options)
    for upload in _multipart_uploads(s3):
        s3.fs.call_s3(
            "abort_multipart_upload",
            Bucket="bucket",
            Key=upload["Key"],
            UploadId=upload["UploadId"],
        )
    script = textwrap.dedent(
        f"""
        import sys, numpy as np, vamra
        state = {{f"w{{i}}": np.full(1 << 20, i, np.float32) for i in range(24)}}  # 96 MiB
        print("ready", flush=True)
        try:
            vamra.save(state, {url!r}, storage_options={s3.options!r})
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        s3.counts()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:  # until a part has gone out
            if sum("partNumber" in r["query"] for r in s3.counts()) >= 1:
                break
            time.sleep(0.01)
        child.send_signal(how)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert "finished" not in out, err[-2000:]
    assert vamra.load(url, storage_options=s3.options)["old"].tolist() == list(range(10))
    left = [u for u in _multipart_uploads(s3) if u["Key"].startswith("interrupted")]
    # An interrupt aborts the upload; a killed process leaves it unfinished
    # (invisible; a bucket's lifecycle rule removes it).
    assert ("interrupted" in out and not left) if how == signal.SIGINT else len(left) == 1


@pytest.mark.parametrize("url", ["memory://vamra-tests/m.vmra", "file"])
def test_memory_and_file_urls(url, tmp_path):
    if url == "file":
        url = (tmp_path / "m.vmra").as_uri()
    state = _state(5, rows=8, cols=8)
    vamra.save(state, url, check_integrity=True)
    np.testing.assert_array_equal(vamra.load(url)["embed"], state["embed"])
    with vamra.open(url) as f:
        np.testing.assert_array_equal(
            f.get_slice("layer001.weight")[2:4], state["layer001.weight"][2:4]
        )
    with pytest.raises(ValueError, match="storage_options"):
        vamra.load(str(tmp_path / "m.vmra"), storage_options={"anon": True})


def test_fsspec_file_objects_and_chained_caches(servers, tmp_path):
    s3, http = servers["s3"], servers["http"]
    state = _state(10, rows=128, cols=64)
    s3.save(state, "object.vmra")
    with s3.fs.open("bucket/object.vmra", "rb") as handle:
        f = vamra.open(handle)
        np.testing.assert_array_equal(f["layer003.weight"], state["layer003.weight"])
    with fsspec.open(s3.url("object.vmra"), "rb", **s3.options) as handle:
        np.testing.assert_array_equal(vamra.load(handle)["embed"], state["embed"])
    with s3.fs.open("bucket/written.vmra", "wb") as handle:
        vamra.save(state, handle)
    assert s3.fs.cat("bucket/written.vmra") == vamra.dumps(state)
    # A cache is the user's choice of filesystem: the second open reads nothing.
    http.save(state, "cached.vmra")
    url = "simplecache::" + http.url("cached.vmra")
    options = {"simplecache": {"cache_storage": str(tmp_path / "cache")}}
    vamra.open(url, storage_options=options)["embed"]
    assert _gets(http.counts())
    np.testing.assert_array_equal(vamra.open(url, storage_options=options)["embed"], state["embed"])
    np.testing.assert_array_equal(vamra.load(url, storage_options=options)["embed"], state["embed"])
    assert not http.counts()


def test_files_of_other_kinds_at_urls(servers):
    http = servers["http"]
    golden = os.path.join(os.path.dirname(__file__), "golden", "v0.2")
    bundles = sorted(name for name in os.listdir(golden) if name.endswith(".vmra"))
    http.put("array.vmra", vamra.dumps(np.arange(6)))
    np.testing.assert_array_equal(vamra.load(http.url("array.vmra")), np.arange(6))
    with pytest.raises(ValueError, match="not a dict"):
        vamra.open(http.url("array.vmra"))
    for name in bundles:
        with open(os.path.join(golden, name), "rb") as handle:
            http.put(name, handle.read())
        try:
            local = vamra.open(os.path.join(golden, name))
        except ValueError:
            continue
        remote = vamra.open(http.url(name))
        assert type(remote) is type(local) and list(remote) == list(local)


def test_a_server_that_ignores_ranges(servers):
    http = servers["http"]
    state = _state(rows=256, cols=64)
    http.save(state, "norange.vmra")
    f = vamra.open(http.url("norange/norange.vmra"))
    np.testing.assert_array_equal(f["layer033.weight"], state["layer033.weight"])
    np.testing.assert_array_equal(f.get_slice("embed")[100:103], state["embed"][100:103])
    assert all(r["status"] == 200 for r in http.counts())


def test_torch_reads_urls(store):
    torch = pytest.importorskip("torch")
    import vamra.torch

    state = {"w": torch.arange(12.0).reshape(4, 3), "h": torch.ones(3, dtype=torch.bfloat16)}
    store.put("torch.vmra", vamra.dumps(state))
    url = store.url("torch.vmra")
    loaded = vamra.torch.load(url, storage_options=store.options)
    assert loaded["h"].dtype == torch.bfloat16 and torch.equal(loaded["w"], state["w"])
    loaded["w"].add_(1)  # writable, the object untouched
    f = vamra.torch.open(url, storage_options=store.options)
    assert torch.equal(f["w"], state["w"]) and isinstance(f.get_slice("w")[1:3], torch.Tensor)
    assert torch.equal(f.get_slice("w")[1:3], state["w"][1:3])
    # Writable tensors over memory of their own: the next read is untouched.
    for url in (store.url("torch.vmra"), "memory://vamra-tests/torch.vmra"):
        if url.startswith("memory"):
            vamra.save(state, url)
        options = store.options if url.startswith(("s3", "http")) else None
        vamra.torch.open(url, storage_options=options)["w"].add_(1)
        assert torch.equal(vamra.torch.open(url, storage_options=options)["w"], state["w"])


def test_the_extra_is_named_when_missing():
    script = textwrap.dedent(
        """
        import sys
        sys.modules["fsspec"] = None  # as if not installed
        import vamra, numpy as np
        assert "fsspec" not in [m for m in sys.modules if sys.modules[m] is not None]
        for call in (lambda: vamra.load("s3://b/m.vmra"),
                     lambda: vamra.save({"a": np.ones(2)}, "s3://b/m.vmra")):
            try:
                call()
            except ImportError as exc:
                print("remote" in str(exc) and exc.name == "fsspec")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert result.stdout.split() == ["True", "True"], result.stderr[-2000:]


def test_shards_upload_concurrently_and_the_index_last(servers):
    from vamra import _layout, remote

    s3 = servers["s3"]
    fs, _ = remote.resolve(s3.url("x"), s3.options)

    def job(name, value):
        plan = _layout.plan(value, encode_companion=lambda v: b"")
        return plan, fs, f"bucket/shards/{name}", s3.url(f"shards/{name}")

    shards = [job(f"part{i}.vmra", {"w": np.full(3 << 20, i, np.float32)}) for i in range(3)]
    s3.counts()
    index = (remote.Payload(b'{"names": [0, 1, 2]}'), fs, "bucket/shards/index.json", "index")
    remote.upload_all(shards, index)
    records = [r for r in s3.counts() if r["method"] in ("PUT", "POST")]
    paths = [r["path"] for r in records]
    assert paths[-1].endswith("index.json") and paths.count(paths[-1]) == 1
    assert s3.fs.cat("bucket/shards/index.json") == b'{"names": [0, 1, 2]}'
    for i in range(3):
        assert vamra.load(s3.url(f"shards/part{i}.vmra"), storage_options=s3.options)["w"][0] == i
    # A failing shard stops the index.
    bad = job("nowhere.vmra", {"w": np.ones(3)})
    bad = (bad[0], bad[1], "no-such-bucket/x.vmra", "s3://no-such-bucket/x.vmra")
    with pytest.raises(FileNotFoundError, match="no-such-bucket"):
        remote.upload_all([bad], job("index2.vmra", {"a": 1}))
    assert not s3.fs.exists("bucket/shards/index2.vmra")
