"""Smoke test of an installed vamra, run by tests/dist/check.py in a fresh virtual environment.

Usage: python smoke.py SOURCE_TREE [--sparse-packet FILE] [--native] [--cli]

SOURCE_TREE is where vamra was built from: nothing may be imported from there.
``--native`` requires the internal module ``vamra._native``, ``--cli`` runs
``python -m vamra inspect``, and ``--sparse-packet`` names a sparse packet to decode
without SciPy installed.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import importlib.util
import multiprocessing
import os
import subprocess
import sys
import tempfile
from multiprocessing import shared_memory
from pathlib import Path
from types import ModuleType

import numpy as np

OPTIONAL = ("scipy", "torch", "dask", "distributed", "safetensors", "jax", "flax")


def check_installed(module: ModuleType, source: Path) -> None:
    where = Path(module.__file__ or "").resolve()
    assert not where.is_relative_to(source), f"{module.__name__} imported from {where}"
    assert where.is_relative_to(Path(sys.prefix).resolve()), where


def check_installed_copy(source: Path) -> None:
    import vamra
    import vamra_rs

    check_installed(vamra, source)
    check_installed(vamra_rs, source)
    assert vamra.__version__ == importlib.metadata.version("vamra"), vamra.__version__
    loaded = sorted(name for name in OPTIONAL if name in sys.modules)
    assert not loaded, f"importing vamra imported {loaded}"


def check_round_trips() -> None:
    import vamra

    tensor = np.arange(24, dtype=np.float32).reshape(2, 3, 4) / 8
    for options in ({}, {"check_integrity": True}, {"compress": True}, {"alignment": 256}):
        back = vamra.loads(vamra.dumps(tensor, **options))
        assert back.dtype == tensor.dtype and np.array_equal(back, tensor), options

    state = {"w": tensor, "layer": {"b": np.array([1, -2, 3], np.int64)}}
    back = vamra.loads(vamra.dumps(state, check_integrity=True))
    assert np.array_equal(back["w"], tensor)
    assert np.array_equal(back["layer"]["b"], state["layer"]["b"])

    words = vamra.StringTensor.from_list(["a", "", "ünïcode"])
    assert vamra.loads(vamra.dumps(words)).tolist() == ["a", "", "ünïcode"]


def check_sparse_without_scipy(packet: Path) -> None:
    import vamra

    assert importlib.util.find_spec("scipy") is None, "this check needs an environment without SciPy"
    try:
        vamra.loads(packet.read_bytes())
    except ImportError as exc:
        assert "vamra[sparse]" in str(exc), exc
    else:
        raise AssertionError("a sparse packet decoded without SciPy")


def _lock_and_die(name: str) -> None:
    import vamra_rs

    shm = shared_memory.SharedMemory(name=name)
    vamra_rs.shm_mutex_lock(shm.buf, 0)
    os._exit(0)  # dies holding the mutex


def check_mutex() -> None:
    import vamra_rs

    shm = shared_memory.SharedMemory(create=True, size=vamra_rs.shm_mutex_size())
    try:
        vamra_rs.shm_mutex_init(shm.buf, 0)
        assert vamra_rs.shm_mutex_lock(shm.buf, 0) is False
        vamra_rs.shm_mutex_unlock(shm.buf, 0)
        child = multiprocessing.get_context("fork").Process(target=_lock_and_die, args=(shm.name,))
        child.start()
        child.join(30)
        assert child.exitcode == 0
        # The owner died holding it: the next lock recovers it and says so.
        assert vamra_rs.shm_mutex_lock(shm.buf, 0, timeout_secs=10.0) is True
        vamra_rs.shm_mutex_unlock(shm.buf, 0)
        vamra_rs.shm_mutex_destroy(shm.buf, 0)
    finally:
        shm.close()
        shm.unlink()


def check_native(source: Path) -> None:
    native = importlib.import_module("vamra._native")
    check_installed(native, source)
    assert Path(native.__file__ or "").name.endswith(".abi3.so"), native.__file__


def check_cli() -> None:
    import vamra

    commands = [[sys.executable, "-m", "vamra"]]
    scripts = importlib.metadata.entry_points(group="console_scripts")
    if any(script.name == "vamra" for script in scripts):
        commands.append([str(Path(sys.executable).parent / "vamra")])
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "state.vmra"
        path.write_bytes(vamra.dumps({"embedding": np.ones((4, 8), np.float16)}))
        for command in commands:
            result = subprocess.run(
                [*command, "inspect", str(path)], capture_output=True, text=True, timeout=60
            )
            assert result.returncode == 0, (command, result.stderr)
            assert "embedding" in result.stdout, (command, result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("source", type=Path)
    parser.add_argument("--sparse-packet", type=Path)
    parser.add_argument("--native", action="store_true")
    parser.add_argument("--cli", action="store_true")
    args = parser.parse_args()

    source = args.source.resolve()
    check_installed_copy(source)
    check_round_trips()
    check_mutex()
    if args.sparse_packet:
        check_sparse_without_scipy(args.sparse_packet)
    if args.native:
        check_native(source)
    if args.cli:
        check_cli()
    print("smoke: ok")


if __name__ == "__main__":
    main()
