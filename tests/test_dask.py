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
