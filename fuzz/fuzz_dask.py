"""Fuzzes the Dask family's receiving side: vamra.dask.loads given the headers and
frames a damaged link or a hostile peer could deliver, without a cluster.

Usage: fuzz_dask.py [libFuzzer options] [corpus dir ...]   (see the Makefile's
run-dask target, which also builds the instrumented modules it loads).

Each input is read as a stream of choices. Most inputs start from the header and
frames the family makes for one of a few sample values (arrays in frames of their
own and in shared ones, sparse matrices of each format, dicts, strings) and damage
them: a field of the header's tree replaced by a value of another kind or another
number, a frame cut, grown or changed, a sparse shape changed. The others give the
family a header decoded from the input as msgpack, which is how Dask delivers it.
A finding is:
- a crash or a hang (libFuzzer reports those, and AddressSanitizer memory errors
  in the instrumented native modules);
- an exception other than ValueError, the family's one documented failure;
- a value that fails when used as a worker would use it (a sparse matrix's
  toarray, sums and products, an array's sum).
"""

from __future__ import annotations

import copy
import os
import sys
from typing import Any

import atheris
import msgpack
import numpy as np
import scipy.sparse as sp

with atheris.instrument_imports(include=["vamra"]):
    import vamra

    # The native modules built for fuzzing, when the Makefile names their
    # directory: vamra_rs comes first on PYTHONPATH, and vamra._native is found
    # there through the package's path.
    if os.environ.get("VAMRA_NATIVE_DIR"):
        vamra.__path__.insert(0, os.environ["VAMRA_NATIVE_DIR"])
    import vamra.dask  # noqa: E402
    from vamra import _native  # noqa: E402
    from vamra.ragged import StringTensor  # noqa: E402

# Used values stay small: a damaged shape may name billions of elements.
_USE_LIMIT = 1 << 20


def _samples() -> list[tuple[dict[str, Any], list[bytes]]]:
    rng = np.random.default_rng(5)
    values: list[Any] = [
        {"w": rng.standard_normal((3, 30_000)), "b": np.arange(7, dtype=np.int16)},
        {"m": sp.random(40, 30, density=0.2, format="csr", random_state=1)},
        {"m": sp.random(40, 30, density=0.2, format="csc", random_state=2)},
        {"m": sp.random(40, 30, density=0.2, format="coo", random_state=3)},
        # Index arrays large enough to travel in frames of their own.
        sp.random(3000, 3000, density=0.003, format="csr", random_state=4),
        {"s": StringTensor.from_list(["a", "βγ", ""]), "d": {"e": np.ones(3, np.float32)}},
        np.arange(5, dtype=np.uint8),
    ]
    out = []
    for checksum in (False, True):
        for value in values:
            with vamra.dask.dask.config.set({vamra.dask.CHECKSUM_KEY: checksum}):
                header, frames = vamra.dask.dumps(value)
            out.append((header, [bytes(frame) for frame in frames]))
    return out


SAMPLES = _samples()
WORDS = ["a", "p", "d", "s", "<f8", ">f8", "|u1", "<i8", "|b1", "O", "V8", "<U3",
         "csr_matrix", "coo_array", "csc_matrix", "dok_matrix", "vamra", "tree", ""]  # fmt: skip


def _slots(node: Any, out: list[tuple[list[Any], int]], depth: int = 0) -> None:
    """Every position in the tree's lists, as (list, index)."""
    if isinstance(node, list) and depth < 70:
        for i, item in enumerate(node):
            out.append((node, i))
            _slots(item, out, depth + 1)


def _replacement(fdp: atheris.FuzzedDataProvider, old: Any) -> Any:
    choice = fdp.ConsumeIntInRange(0, 12)
    if choice == 0:
        return fdp.ConsumeIntInRange(-3, 3)
    if choice == 1 and type(old) is int:
        return old + fdp.ConsumeIntInRange(-70_000, 70_000)
    if choice == 2:
        return fdp.ConsumeInt(9)  # up to 2**71 either way
    if choice == 3:
        return fdp.PickValueInList([None, True, False, 1.5, float("nan")])
    if choice == 4:
        return fdp.PickValueInList(WORDS)
    if choice == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 80))
    if choice == 6 and isinstance(old, bytes):
        cut = bytearray(old)
        if cut:
            at = fdp.ConsumeIntInRange(0, len(cut) - 1)
            cut[at] ^= 1 << fdp.ConsumeIntInRange(0, 7)
        return bytes(cut)
    if choice == 7:
        return [_replacement(fdp, None) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if choice == 8:
        nested: Any = ["p", [0, 0, 0]]
        for _ in range(fdp.ConsumeIntInRange(1, 3000)):
            nested = fdp.PickValueInList([["d", [["k", nested]]], [nested]])
        return nested
    if choice == 9:
        return (old,) if not isinstance(old, list) else tuple(old)
    if choice == 10:
        return {"k": old}
    if choice == 11 and isinstance(old, list) and old:
        return old[: fdp.ConsumeIntInRange(0, len(old) - 1)]
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))


def _damage_frames(fdp: atheris.FuzzedDataProvider, frames: list[Any]) -> None:
    if not frames:
        return
    i = fdp.ConsumeIntInRange(0, len(frames) - 1)
    frame = bytearray(frames[i])
    action = fdp.ConsumeIntInRange(0, 3)
    if action == 0 and frame:
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            at = fdp.ConsumeIntInRange(0, len(frame) - 1)
            frame[at] = fdp.ConsumeIntInRange(0, 255)
    elif action == 1:
        del frame[fdp.ConsumeIntInRange(0, len(frame)) :]
    elif action == 2:
        frame += fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    else:
        frames.append(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
    frames[i] = frame


def _damaged_sample(fdp: atheris.FuzzedDataProvider) -> tuple[Any, list[Any]]:
    header, frames = copy.deepcopy(fdp.PickValueInList(SAMPLES))
    frames = [bytearray(frame) for frame in frames]
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if fdp.ConsumeBool():
            _damage_frames(fdp, frames)
            continue
        slots: list[tuple[list[Any], int]] = []
        _slots(header["tree"], slots)
        if fdp.ConsumeIntInRange(0, 15) == 0:
            key = fdp.PickValueInList(["vamra", "tree"])
            header[key] = _replacement(fdp, header.get(key))
        elif slots:
            owner, index = slots[fdp.ConsumeIntInRange(0, len(slots) - 1)]
            owner[index] = _replacement(fdp, owner[index])
    return header, frames


def _from_msgpack(data: bytes) -> tuple[Any, list[Any]] | None:
    cut = data[0] if data else 0
    try:
        header = msgpack.unpackb(data[1 : 1 + cut * 4], use_list=False, strict_map_key=False)
    except Exception:  # noqa: BLE001 - malformed msgpack is msgpack's, not the family's
        return None
    rest = data[1 + cut * 4 :]
    frames = [rest[i : i + 4096] for i in range(0, len(rest), 4096)] or [b""]
    return header, frames


def _use(value: Any, depth: int = 0) -> None:
    """Uses a received value as a worker would; anything that fails here is a finding."""
    if isinstance(value, dict) and depth < 100:
        for item in value.values():
            _use(item, depth + 1)
    elif isinstance(value, np.ndarray):
        if value.size <= _USE_LIMIT and value.dtype.kind in "biufc":
            value.sum()
    elif sp.issparse(value) and value.dtype != np.float16:  # SciPy computes on no float16
        rows, cols = value.shape
        if rows <= _USE_LIMIT and cols <= _USE_LIMIT:  # sums allocate one of each
            value.sum(axis=0)
            value @ np.ones(cols)
        if rows * cols <= _USE_LIMIT:
            value.toarray()


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    if data[:1] == b"M":
        made = _from_msgpack(data[1:])
        if made is None:
            return
        header, frames = made
    else:
        header, frames = _damaged_sample(fdp)
    try:
        value = vamra.dask.loads(header, frames)
    except ValueError:
        return
    _use(value)


def main() -> None:
    print(f"fuzz_dask: reading with {_native.__file__}", flush=True)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
