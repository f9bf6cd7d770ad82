"""The Python half of examples/cpp: packets exchanged with the C++ program through files.

python exchange.py check DIR   checks the packets `vamra_exchange write DIR` wrote
python exchange.py write DIR   writes the packets `vamra_exchange read DIR` checks
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import vamra


def check(directory: Path) -> None:
    dense = vamra.loads((directory / "cpp_dense.vmra").read_bytes())
    expected = np.array([[0.5, -1.25, 3.0], [4.75, -0.0, 1e-3]], np.float32)
    assert dense.dtype == np.float32 and np.array_equal(dense, expected), dense

    bundle = vamra.loads((directory / "cpp_bundle.vmra").read_bytes())
    assert list(bundle) == ["weights", "bias"], list(bundle)
    assert np.array_equal(bundle["weights"], np.array([[1, 2], [3, 4]], np.float32))
    assert np.array_equal(bundle["bias"], np.array([-0.5, 0.25], np.float32))
    assert all(value.dtype == np.float32 for value in bundle.values())


def write(directory: Path) -> None:
    x = np.arange(12, dtype=np.float32).reshape(3, 4) / 4
    (directory / "py_bundle.vmra").write_bytes(vamra.dumps({"x": x}, check_integrity=True))
    t = np.arange(1000, dtype=np.float32) / 2
    packet = vamra.dumps(t, compress=True, check_integrity=True)
    (directory / "py_compressed.vmra").write_bytes(packet)


if __name__ == "__main__":
    command, directory = sys.argv[1], Path(sys.argv[2])
    {"check": check, "write": write}[command](directory)
