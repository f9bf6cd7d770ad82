"""vamra.dask: the "vamra" serialization family for Dask's distributed scheduler."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("distributed")

import scipy.sparse as sp  # noqa: E402
import vamra  # noqa: E402
import vamra.dask  # noqa: E402
from distributed.protocol.serialize import deserialize, serialize  # noqa: E402
from vamra.quantize import QuantizedTensor  # noqa: E402
from vamra.ragged import StringTensor  # noqa: E402

rng = np.random.default_rng(11)
LARGE = rng.standard_normal((300, 300))  # a body of its own frame
VALUES = {
    "large": LARGE,
    "small int16": np.arange(-5, 5, dtype=np.int16).reshape(2, 5),
    "0-d": np.array(2.5, np.float32),
    "empty": np.zeros((0, 7), np.uint8),
    "bool": rng.random(100_000) > 0.5,
    "complex": (rng.standard_normal(20_000) + 1j).astype(np.complex64),
    "csr": sp.random(400, 300, density=0.1, format="csr", random_state=3),
    "csc array": sp.csc_array(sp.random(50, 60, density=0.2, random_state=4)),
    "coo": sp.random(30, 30, density=0.3, format="coo", random_state=5),
    "strings": StringTensor.from_list(["", "a", "βγ", "x" * 300]),
    "quantized": QuantizedTensor.quantize(rng.standard_normal((64, 32)).astype(np.float32)),
    "nested dict": {
        "w": LARGE,
        "inner": {"names": StringTensor.from_list(["p", "q"]), "b": np.arange(3)},
    },
}


def canonical(value):
    """A structure equal for two values exactly when they are equal bit for bit."""
    if isinstance(value, dict):
        return {key: canonical(item) for key, item in value.items()}
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if sp.issparse(value):
        parts = (
            (value.data, value.row, value.col)
            if value.format == "coo"
            else (value.data, value.indices, value.indptr)
        )
        return (type(value).__name__, value.shape, *(canonical(p) for p in parts))
    if isinstance(value, StringTensor):
        return ("strings", value.to_bytes_list())
    if isinstance(value, QuantizedTensor):
        return ("quantized", vamra.dumps(value))
    raise AssertionError(type(value))


def roundtrip(value):
    header, frames = serialize(value, serializers=list(vamra.dask.SERIALIZERS), on_error="raise")
    # As a socket delivers them: writable memory of the receiver's own.
    received = [bytearray(frame) for frame in frames]
    return header, frames, deserialize(header, received, deserializers=["vamra"])


def serializers_used(header):
    if "sub-headers" in header:
        return {name for sub in header["sub-headers"] for name in serializers_used(sub)}
    return {header["serializer"]}


@pytest.mark.parametrize("checksum", [True, False], ids=["checksum", "plain"])
@pytest.mark.parametrize("key", VALUES)
def test_values_travel_bit_for_bit(key, checksum):
    with dask.config.set({vamra.dask.CHECKSUM_KEY: checksum}):
        header, frames, value = roundtrip(VALUES[key])
    assert serializers_used(header) == {"vamra"}
    assert canonical(value) == canonical(VALUES[key])


def test_large_bodies_are_sent_and_received_without_copies():
    value = {"a": LARGE, "b": LARGE[:100].copy()}
    header, frames = vamra.dask.dumps(value)
    # The sender's frames include views of the arrays themselves ...
    bodies = [f for f in frames if isinstance(f, memoryview)]
    assert len(bodies) == 2
    for body, array in zip(bodies, value.values(), strict=True):
        assert np.shares_memory(np.asarray(body), array)
    # ... and the receiver's arrays are views of the frames it got.
    received = [bytearray(frame) for frame in frames]
    out = vamra.dask.loads(header, received)
    for array in out.values():
        assert any(np.shares_memory(array, np.frombuffer(f, np.uint8)) for f in received)
        assert array.flags.writeable  # as Dask's own arrays are, from a socket's memory


def test_small_packets_share_frames():
    header, frames = vamra.dask.dumps({f"k{i}": np.arange(i) for i in range(50)})
    assert len(frames) == 1


@pytest.mark.parametrize("checksum", [True, False])
def test_a_large_array_is_its_packet_split_at_the_body(checksum):
    with dask.config.set({vamra.dask.CHECKSUM_KEY: checksum}):
        header, frames = vamra.dask.dumps(LARGE)
    kind, dtype, prefix, body, footer = header["tree"]
    assert (kind, dtype, body, len(frames)) == ("a", "<f8", [0, 0, LARGE.nbytes], 1)
    # Prefix, body and footer are exactly the packet vamra.dumps makes.
    tail = footer.to_bytes(8, "little") if checksum else b""
    assert prefix + bytes(frames[0]) + tail == vamra.dumps(LARGE, check_integrity=checksum)


def test_checksums_are_off_unless_configured():
    header, _ = vamra.dask.dumps(LARGE)
    assert header["tree"][4] is None


@pytest.mark.parametrize(
    "value",
    [
        np.array(["a", None], dtype=object),
        np.asfortranarray(np.ones((3, 4))),
        np.ones(10)[::2],
        np.arange(4, dtype=">i4"),
        np.array(["2020-01-01"], dtype="datetime64[ns]"),
        np.matrix(np.ones((2, 2))),
        sp.lil_matrix((3, 3)),
        {1: np.ones(2)},
        {"a": [1, 2]},
        [np.ones(2)],
        "text",
    ],
    ids=lambda v: type(v).__name__ + str(getattr(v, "dtype", "")),
)
@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
def test_values_it_does_not_carry_fall_through(value):
    with pytest.raises(NotImplementedError):
        vamra.dask.dumps(value)
    header, frames = serialize(value, serializers=list(vamra.dask.SERIALIZERS), on_error="raise")
    if "sub-headers" not in header:  # Dask itself takes some dicts and lists apart
        assert header["serializer"] != "vamra"
    out = deserialize(header, frames)
    assert type(out) is type(value)


def damage_prefix(header, at, value):
    node = header["tree"][1][0][1][1][0][1]  # ["layer"]["w"]
    prefix = bytearray(node[2])
    prefix[at(prefix)] = value
    node[2] = bytes(prefix)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda h, f: f[0].__setitem__(5000, f[0][5000] ^ 1), "checksum mismatch"),
        (lambda h, f: damage_prefix(h, lambda p: 0, 0), "damaged header"),
        (lambda h, f: damage_prefix(h, lambda p: p.index(b"\x02"), 3), "does not match"),
        (lambda h, f: f.__setitem__(0, f[0][:-8]), "outside its frame"),
        (lambda h, f: h["tree"][1][0][1][1][0][1].__setitem__(4, None), "footer is missing"),
    ],
    ids=["body", "magic", "shape", "short body", "no footer"],
)
def test_damage_in_transit_is_a_clear_error(damage, message):
    with dask.config.set({vamra.dask.CHECKSUM_KEY: True}):
        header, frames = vamra.dask.dumps({"layer": {"w": rng.standard_normal((2, 40_000))}})
    received = [bytearray(frame) for frame in frames]
    damage(header, received)
    with pytest.raises(ValueError, match=rf"\['layer'\]\['w'\].*{message}"):
        vamra.dask.loads(header, received)


def test_damage_in_a_string_packet_is_caught_by_its_own_footer():
    with dask.config.set({vamra.dask.CHECKSUM_KEY: True}):
        header, frames = vamra.dask.dumps({"s": StringTensor.from_list(["abc"] * 1000)})
    received = [bytearray(frame) for frame in frames]
    received[0][-20] ^= 1
    with pytest.raises(ValueError, match=r"\['s'\]"):
        vamra.dask.loads(header, received)


@pytest.mark.parametrize(
    "code, expected",
    [
        (
            "import sys, vamra.channel; print(sorted(m for m in sys.modules"
            " if m.split('.')[0] in ('dask', 'distributed', 'scipy')))",
            "[]",
        ),
        (
            "import sys; sys.modules['distributed'] = None\n"
            "try:\n    import vamra.dask\nexcept ImportError as e:\n    print(e)",
            "install them with: pip install 'vamra[dask]'",
        ),
    ],
    ids=["channel alone", "dask missing"],
)
def test_optional_dependencies(code, expected):
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


# --- a real cluster --------------------------------------------------------------------------

# Every worker counts what the family decodes, so the test sees that values
# came through it rather than through Dask's own serializers.
PRELOAD = """
import importlib

import vamra.dask

_serialize = importlib.import_module("distributed.protocol.serialize")

decoded = []


def _counting_loads(header, frames):
    decoded.append(len(frames))
    return vamra.dask.loads(header, frames)


_serialize.register_serialization_family("vamra", vamra.dask.dumps, _counting_loads)


def dask_setup(worker):
    vamra.dask.use_on(worker)
"""

CLUSTER = """
import hashlib, json, pickle, sys
import numpy as np, scipy.sparse as sp
from distributed import Client, LocalCluster
import vamra.dask
from vamra.ragged import StringTensor

sys.path.insert(0, {tests!r})
from test_dask import VALUES, canonical


def fingerprint(value):
    plain = isinstance(value, list)  # what the family leaves to Dask
    return hashlib.sha256(pickle.dumps(value if plain else canonical(value))).hexdigest()


def decoded_here():
    import vamra_count_preload
    return len(vamra_count_preload.decoded)


if __name__ == "__main__":
    report = {{}}
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, preload=[{preload!r}],
    ) as cluster, Client(
        cluster, serializers=list(vamra.dask.SERIALIZERS),
        deserializers=list(vamra.dask.SERIALIZERS),
    ) as client:
        a, b = sorted(client.scheduler_info()["workers"])
        values = dict(VALUES, fallthrough=[1, "two", {{"three": 3}}])
        for key, value in values.items():
            # In a list of one: scatter takes a dict or a list apart.
            (on_a,) = client.scatter([value], workers=[a], direct=True)
            on_b = client.submit(
                fingerprint, on_a, workers=[b], allow_other_workers=False, pure=False
            )
            back = client.gather(on_a, direct=True)
            same = back == value if key == "fallthrough" else canonical(back) == canonical(value)
            moved = on_b.result(timeout=60) == fingerprint(value)
            report[key] = {{"moved": moved, "gathered": same}}
        report["decoded"] = client.run(decoded_here)
    print(json.dumps(report))
"""


def test_a_two_process_cluster_moves_every_kind(tmp_path):
    (tmp_path / "vamra_count_preload.py").write_text(PRELOAD)
    script = tmp_path / "cluster.py"
    script.write_text(
        CLUSTER.format(
            tests=str(pathlib.Path(__file__).parent),
            preload=str(tmp_path / "vamra_count_preload.py"),
        )
    )
    result = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert result.returncode == 0, result.stderr[-5000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    decoded = report.pop("decoded")
    for key, outcome in report.items():
        assert outcome == {"moved": True, "gathered": True}, key
    # Worker b decoded every carried value it fetched from worker a (and a
    # decoded what the client scattered to it).
    assert sorted(decoded.values())[0] >= len(VALUES)
    # Clean shutdown: no worker or nanny complained on the way out.
    assert "Traceback" not in result.stderr


# --- hostile headers and damaged sparse matrices ----------------------------------------------


def sample():
    """A header and frames with every node kind: a dict, an own-frame array, a
    shared-frame packet and a sparse matrix."""
    value = {"k": {"w": rng.standard_normal((2, 40_000)), "m": sp.eye(5, format="csr")}}
    header, frames = vamra.dask.dumps(value)
    return header, [bytearray(frame) for frame in frames]


def node_of(header, key):
    return dict(header["tree"][1][0][1][1])[key]


def set_in(key, index, value):
    return lambda h: node_of(h, key).__setitem__(index, value)


def deep_list(depth):
    tree = []
    for _ in range(depth):
        tree = [tree]
    return tree


def nest(depth):
    tree = ["p", [0, 0, 0]]
    for _ in range(depth):
        tree = ["d", [["x", tree]]]
    return {"vamra": 1, "tree": tree}


@pytest.mark.parametrize(
    "damage, message",
    [
        (set_in("w", 3, [-1, 0, 640_000]), r"\['w'\]: damaged frame reference"),
        (set_in("w", 3, [7, 0, 640_000]), r"\['w'\]: frame 7 does not exist"),
        (set_in("w", 3, [0, 0, 2**70]), r"\['w'\]: damaged frame reference"),
        (set_in("w", 3, [0.0, 0, 640_000]), r"\['w'\]: damaged frame reference"),
        (set_in("w", 3, None), r"\['w'\]: damaged frame reference"),
        (set_in("w", 1, ">f8"), r"\['w'\]: element type '>f8' is not one"),
        (set_in("w", 1, "O"), r"\['w'\]: element type 'O' is not one"),
        (set_in("w", 1, 8), r"\['w'\]: element type 8 is not one"),
        (set_in("w", 2, "text"), r"\['w'\]: damaged header"),
        (set_in("w", 4, -1), r"\['w'\]: damaged checksum footer"),
        (set_in("w", 4, 12345), r"\['w'\]: a checksum footer came with a header that has none"),
        (lambda h: node_of(h, "w").pop(), r"\['w'\]: damaged array node"),
        (set_in("m", 1, "dok_matrix"), r"\['m'\]: unknown sparse class"),
        (set_in("m", 2, [5]), r"\['m'\]: damaged sparse shape"),
        (set_in("m", 2, [5, -5]), r"\['m'\]: damaged sparse shape"),
        (set_in("m", 2, [5, True]), r"\['m'\]: damaged sparse shape"),
        (set_in("m", 2, "55"), r"\['m'\]: damaged sparse shape"),
        (set_in("m", 2, [5, 4]), r"\['m'\]: the matrix's arrays do not fit its shape"),
        (set_in("m", 2, [5, 2**40]), None),  # a larger shape keeps the indices inside
        (set_in("m", 3, []), r"\['m'\]: a sparse matrix needs three arrays"),
        (lambda h: node_of(h, "m")[3].__setitem__(1, ["d", []]), r"\['m'\]: .*not an array"),
        (lambda h: h["tree"][1].append([1, ["p", [0, 0, 1]]]), r"damaged dict entry"),
        (lambda h: h["tree"][1][0].__setitem__(1, ["z"]), r"\['k'\]: unknown node 'z'"),
        (lambda h: h["tree"][1][0].__setitem__(1, []), r"\['k'\]: damaged node"),
        (lambda h: h.__setitem__("tree", ["d", 5]), r"the value: damaged dict node"),
        (lambda h: h.__setitem__("vamra", True), r"unknown header layout True"),
        (lambda h: h.pop("tree"), r"the header has no tree"),
    ],
)
def test_hostile_headers_raise_value_error_naming_the_key(damage, message):
    header, frames = sample()
    damage(header)
    if message is None:
        vamra.dask.loads(header, frames)
        return
    with pytest.raises(ValueError, match=message):
        vamra.dask.loads(header, frames)


@pytest.mark.parametrize(
    "header, frames, message",
    [
        (nest(65), [b""], r"dicts nested more than 64 deep"),
        (nest(5000), [b""], r"dicts nested more than 64 deep"),
        ({"vamra": 1, "tree": ["a", "<f8", b"", [0, 0, 8], None]}, [b"\0" * 8, 5], "frame 1"),
        ({"vamra": 1, "tree": ["a", "<f8", b"", [0, 0, 8], None]}, None, "the frames are"),
        ([("vamra", 1)], [], "the header is a list"),
        ({"vamra": 1, "tree": ["d", [["k", deep_list(100_000)]]]}, [], r"\['k'\]: unknown node"),
    ],
    ids=["65 deep", "5000 deep", "frame not bytes", "no frames", "header a list", "deep list"],
)
def test_hostile_structure_raises_value_error(header, frames, message):
    with pytest.raises(ValueError, match=message):
        vamra.dask.loads(header, frames)


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("size", ["small", "own frames"])
def test_sparse_matrices_keep_their_index_type(fmt, index_dtype, size):
    n = 20 if size == "small" else 3000
    matrix = sp.random(n, n, density=0.01, format=fmt, random_state=1)
    names = ("row", "col") if fmt == "coo" else ("indices", "indptr")
    if fmt == "coo":
        matrix.coords = tuple(getattr(matrix, name).astype(index_dtype) for name in names)
    else:
        for name in names:
            setattr(matrix, name, getattr(matrix, name).astype(index_dtype))
    _, _, back = roundtrip(matrix)
    assert [getattr(back, name).dtype for name in names] == [np.dtype(index_dtype)] * 2
    assert canonical(back) == canonical(matrix)
    assert (back != matrix).nnz == 0


# The child damages a sparse matrix in transit and uses what loads() returns, as a
# worker would; a matrix whose indices reached SciPy unchecked crashes it.
SPARSE_CHILD = """
import sys
import numpy as np, scipy.sparse as sp
import vamra.dask

fmt, where, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
matrix = sp.random(300, 200, density=0.05, format=fmt, random_state=seed)
header, frames = vamra.dask.dumps({"m": matrix})
frames = [bytearray(f) for f in frames]
rng = np.random.default_rng(seed)
node = header["tree"][1][0][1]
refused = 0
for trial in range(40):
    h = {"vamra": 1, "tree": ["d", [["m", ["s", node[1], list(node[2]), node[3]]]]]}
    fs = [bytearray(f) for f in frames]
    if where == "shape":
        # The dimension the indices run along shrinks; indptr still fits the other.
        shape = h["tree"][1][0][1][2]
        axis = {"csr": 1, "csc": 0}.get(fmt, trial % 2)
        shape[axis] = int(rng.integers(0, shape[axis]))
    else:
        # One flipped bit in the index arrays' packets (shared frame, no checksum).
        for part in node[3][1:]:
            frame, offset, length = part[1]
            bit = int(rng.integers(0, 8 * length))
            fs[frame][offset + bit // 8] ^= 1 << (bit % 8)
            break
    try:
        value = vamra.dask.loads(h, fs)["m"]
    except ValueError as error:
        assert "['m']" in str(error), error
        refused += 1
        continue
    value.toarray(); value.sum(axis=0); value @ np.ones(value.shape[1])
print(refused)
"""


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
@pytest.mark.parametrize("where", ["shape", "indices"])
def test_damaged_sparse_matrices_never_crash_the_receiver(fmt, where):
    result = subprocess.run(
        [sys.executable, "-c", SPARSE_CHILD, fmt, where, "7"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, f"the receiver died: {result.stderr[-3000:]}"
    assert int(result.stdout) > 0  # some damage is harmless; most is refused


def test_check_sparse_is_the_native_check():
    matrix = sp.random(30, 20, density=0.2, format="csr", random_state=1)
    parts = (matrix.data, matrix.indices, matrix.indptr)
    assert vamra._native.check_sparse("csr", (30, 20), *parts) is None
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra._native.check_sparse("csc", (30, 20), *parts)
    with pytest.raises(ValueError, match="^Unknown sparse format$"):
        vamra._native.check_sparse("dia", (30, 20), *parts)
    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra._native.check_sparse("csr", (30, 20), parts[0], parts[1][None], parts[2])


# --- workers without the family ----------------------------------------------------------------

# vamra.dask is imported inside the main guard only: a worker process started by
# spawn runs this file's top level too, and would register the family.
CHECK_CLUSTER = """
import json, sys, warnings
import numpy as np
from distributed import Client, LocalCluster


def cluster(**options):
    return LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, **options,
    )


if __name__ == "__main__":
    import vamra.dask

    report = {}
    options = dict(serializers=vamra.dask.SERIALIZERS, deserializers=vamra.dask.SERIALIZERS)
    with cluster() as bare, Client(bare, **options) as client:
        try:
            vamra.dask.check(client, fallback=False)
        except RuntimeError as error:
            report["strict"] = str(error)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            vamra.dask.check(client)
        report["warned"] = [str(w.message) for w in caught if w.category is RuntimeWarning]
        # Everything that hung or failed with KeyError: 'vamra' now goes through
        # Dask's own serializers.
        value = np.arange(100_000.0)
        (direct,) = client.scatter([value], direct=True)
        (through,) = client.scatter([value + 1])
        computed = client.submit(np.ones, 100_000)
        report["moved"] = [
            float(client.gather(direct, direct=True).sum()),
            float(client.gather(through).sum()),
            float(computed.result(timeout=30).sum()),
            float(client.gather(computed, direct=True).sum()),
        ]
    with cluster(preload=["vamra.dask"]) as ready, Client(ready, **options) as client:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            vamra.dask.check(client, fallback=False)
        report["ready"] = list(client.rpc.serializers)
    print(json.dumps(report))
"""


def test_workers_without_the_family_are_found_and_the_client_falls_back(tmp_path):
    script = tmp_path / "check_cluster.py"
    script.write_text(CHECK_CLUSTER)
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=180, cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr[-5000:]
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report["strict"].startswith("vamra.dask: 2 of 2 workers lack the vamra serialization")
    assert "preload=['vamra.dask']" in report["strict"]
    assert "WorkerSetup()" in report["strict"]
    (warned,) = report["warned"]
    assert warned.endswith("Until then this client uses Dask's own serializers.")
    total = float(np.arange(100_000.0).sum())
    assert report["moved"] == [total, total + 100_000, 100_000.0, 100_000.0]
    assert report["ready"] == list(vamra.dask.SERIALIZERS)
    # The probe itself never asked the workers for the family they lack.
    assert "KeyError" not in result.stderr
