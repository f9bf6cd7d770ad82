"""Sparse matrices with damaged indices: every reader refuses them before SciPy sees them.

SciPy's kernels (toarray, products, sums) write through every index unchecked, so a
damaged index that reached them would write outside their arrays. Each case runs in a
child process: a reader that let the damage through crashes there, not here.
"""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vamra_rs

sp = pytest.importorskip("scipy.sparse")

# The child: builds the damaged matrix, reads its packet through every reader and
# uses whatever comes back the way a caller would. Prints {reader: outcome}.
CHILD = textwrap.dedent(
    """
    import json, mmap, os, sys, tempfile
    import numpy as np, scipy.sparse as sp
    import vamra, vamra_rs
    from vamra import _native
    from vamra.channel import Channel

    fmt, damage, channel_name = sys.argv[1], sys.argv[2], sys.argv[3]

    class Matrix:
        # What the encoder reads from a matrix; it does not check indices.
        pass

    m = sp.random(40, 30, density=0.2, format=fmt, random_state=2, dtype=np.float64)
    fake = Matrix()
    fake.format, fake.shape, fake.data = fmt, m.shape, m.data.copy()
    if fmt == "coo":
        fake.row, fake.col = m.row.astype(np.int32), m.col.astype(np.int32)
        first, second = fake.row, fake.col
    else:
        fake.indices, fake.indptr = m.indices.astype(np.int32), m.indptr.astype(np.int32)
        first, second = fake.indices, fake.indptr
    minor = m.shape[1] if fmt in ("csr", "coo") else m.shape[0]
    if damage == "index at the edge":
        first[len(first) // 2] = m.shape[0] if fmt == "coo" else minor
    elif damage == "huge index":
        (second if fmt == "coo" else first)[3] = 1 << 30
    elif damage == "negative index":
        (second if fmt == "coo" else first)[-1] = -7
    elif damage == "indptr decreases":
        second[5], second[6] = second[6], second[5] - 1
    elif damage == "indptr ends past nnz":
        second[-1] += 1000
    elif damage == "shape shrunk":
        fake.shape = (3, 2)
    elif damage != "none":
        raise SystemExit("unknown damage " + damage)

    def use(value):
        if isinstance(value, dict):
            value = value["m"]
        value.toarray(); value.sum(axis=0); value @ np.ones(value.shape[1])
        return "used"

    def outcome(load):
        try:
            return use(load())
        except ValueError as error:
            return str(error).rsplit(": ", 1)[-1]

    packet = vamra_rs.dumps_rs(fake)
    path = os.path.join(tempfile.mkdtemp(), "m.vmra")
    bundle = os.path.join(os.path.dirname(path), "b.vmra")
    with open(path, "wb") as f:
        f.write(packet)
    with open(bundle, "wb") as f:
        f.write(vamra_rs.dumps_rs({"m": fake}))
    report = {
        "loads_rs": outcome(lambda: vamra_rs.loads_rs(packet)),
        "vamra.loads": outcome(lambda: vamra.loads(bytearray(packet))),
        "_native.loads": outcome(lambda: _native.loads(packet, writable=False)),
        "vamra.load": outcome(lambda: vamra.load(path)),
        "vamra.load(mmap=False)": outcome(lambda: vamra.load(path, mmap=False)),
        "vamra.open": outcome(lambda: vamra.open(bundle)["m"]),
    }

    # A peer that changes the slot's bytes after send() and before recv(): the
    # packet travels sound and is damaged in the shared memory itself.
    with Channel.create(channel_name, slots=1, slot_bytes=1 << 16) as channel:
        channel.send(m)
        if damage != "none":
            with open("/dev/shm/" + channel_name, "r+b") as f:
                shared = mmap.mmap(f.fileno(), 0)
                index = m.col if fmt == "coo" else m.indices
                at = shared.find(index.tobytes())
                assert at >= 0
                size = index.dtype.itemsize
                shared[at + size * 2 : at + size * 3] = (-1).to_bytes(size, "little", signed=True)
                shared.close()
        report["channel"] = outcome(lambda: channel.recv(timeout=5).value)
    print(json.dumps(report))
    """
)

DAMAGES = [
    "index at the edge",
    "huge index",
    "negative index",
    "indptr decreases",
    "indptr ends past nnz",
    "shape shrunk",
]


def run_child(fmt, damage, name):
    result = subprocess.run(
        [sys.executable, "-c", CHILD, fmt, damage, name],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, f"the child died ({result.returncode}): {result.stderr[-3000:]}"
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize(
    "fmt, damage",
    [
        (fmt, damage)
        for fmt in ("csr", "csc", "coo")
        for damage in DAMAGES
        if not (fmt == "coo" and damage.startswith("indptr"))  # COO has no index pointer
    ],
)
def test_damaged_indices_are_refused_by_every_reader(fmt, damage, name):
    report = run_child(fmt, damage, name)
    assert report == dict.fromkeys(report, "Malformed vamra packet")
    assert len(report) == 7


@pytest.mark.parametrize("fmt", ["csr", "coo"])
def test_sound_matrices_still_load_everywhere(fmt, name):
    assert set(run_child(fmt, "none", name).values()) == {"used"}


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.uint32, np.int64])
def test_every_integer_index_type_still_loads(dtype):
    matrix = sp.random(20, 100, density=0.1, format="csr", random_state=1)
    matrix.indices = matrix.indices.astype(dtype)
    matrix.indptr = matrix.indptr.astype(np.int64)
    back = vamra_rs.loads_rs(vamra_rs.dumps_rs(matrix))
    assert np.array_equal(back.toarray(), matrix.toarray())


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.bool_, np.complex64])
def test_indices_that_are_not_integers_are_refused(dtype):
    class Matrix:
        format = "csr"
        shape = (2, 2)
        data = np.ones(2)
        indices = np.array([0, 1], dtype)
        indptr = np.array([0, 1, 2], np.int32)

    with pytest.raises(ValueError, match="^Malformed vamra packet$"):
        vamra_rs.loads_rs(vamra_rs.dumps_rs(Matrix()))
