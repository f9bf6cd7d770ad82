"""Fuzzes the readers of saved files: the file index (vamra._native's index,
describe, verify and extent), and vamra.load, vamra.open and
`vamra inspect --verify` on the same bytes.

Usage: fuzz_files.py [libFuzzer options] [corpus dir ...]   (see the Makefile's
run-files target, which also builds the instrumented modules it loads; seeds
come from make_corpus_files.py).

Each input is the content of a file. A finding is:
- a crash or a hang (libFuzzer reports those, and AddressSanitizer memory errors
  in the instrumented modules);
- an exception other than the documented ones (ValueError; NumPy's TypeError
  for bfloat16 data when no bfloat16 type is loaded) from any of the readers;
- load, open (reading every entry) and inspect --verify disagreeing on whether
  the file is readable. load stops at the first entry it does not convert
  (ragged and fixed-record packets give None) and reads nothing after it, so
  such files are left out of the comparison;
- extent disagreeing with itself: the length it tells for the whole input must
  be what a reader that asks for more bytes as it says ends up with, and
  load(f) must leave a file object's position there.
"""

from __future__ import annotations

import atexit
import contextlib
import io
import os
import re
import shutil
import sys
import tempfile
from collections.abc import Mapping
from typing import Any

import atheris

with atheris.instrument_imports(include=["vamra"]):
    import vamra
    import vamra.__main__
    from vamra import files

import numpy as np

NO_NUMPY_TYPE = re.compile(r"data type '(bfloat16)' not understood")
ext = files._ext()
# Where inputs are written as files: the Makefile gives a directory of its own
# (libFuzzer ends the process without running exit handlers).
DIRECTORY = os.environ.get("FUZZ_WORKDIR") or tempfile.mkdtemp(prefix="fuzz_files-")
os.makedirs(DIRECTORY, exist_ok=True)
if "FUZZ_WORKDIR" not in os.environ:
    atexit.register(shutil.rmtree, DIRECTORY, True)
PATH = os.path.join(DIRECTORY, "input.vmra")


class Unsupported(Exception):
    """The bytes are well formed but hold what this process cannot convert."""


def _documented(exc: BaseException) -> bool:
    return isinstance(exc, ValueError) or (
        type(exc) is TypeError and NO_NUMPY_TYPE.fullmatch(str(exc)) is not None
    )


def _holds_none(value: Any) -> bool:
    if value is None:
        return True
    return isinstance(value, dict) and any(_holds_none(v) for v in value.values())


def _outcome(read: Any) -> str:
    """ "ok", "error", or "skip" when the comparison does not apply."""
    try:
        value = read()
    except Unsupported:
        return "skip"
    except Exception as exc:
        if not _documented(exc):
            raise
        return "skip" if isinstance(exc, TypeError) else "error"
    return "skip" if _holds_none(value) else "ok"


def _read_all(bundle: Mapping[Any, Any]) -> None:
    for key in bundle:
        try:
            item = bundle[key]
        except TypeError as exc:
            if _documented(exc):
                raise Unsupported from exc
            raise
        if isinstance(item, Mapping):  # a nested dict: a LazyBundle or a Checkpoint
            _read_all(item)
        elif item is None:
            raise Unsupported


def _open_all() -> Any:
    try:
        source = vamra.open(PATH)
    except ValueError as exc:
        if "not a dict; use" in str(exc):
            raise Unsupported from exc  # open holds dicts only
        raise
    with source:
        _read_all(source)
    return True


def _verify() -> Any:
    with contextlib.redirect_stderr(io.StringIO()) as err:
        status = vamra.__main__.inspect(PATH, True, io.StringIO())
    if status not in (0, 1) or (status == 1) != bool(err.getvalue()):
        raise AssertionError(f"inspect --verify gave {status} with {err.getvalue()!r}")
    if status:
        raise ValueError(err.getvalue())
    return True


def _native(data: bytes) -> None:
    """Every index function on the input and on a window of it; only ValueError."""
    n = len(data)
    for offset, length in ((0, n), (min(3, n), max(0, n - 5))):
        for call in (ext.describe, ext.index, ext.verify):
            try:
                call(data, offset, length)
            except ValueError:
                pass
        found = ext.extent(data, offset, length)
        assert found is None or (isinstance(found, int) and found > 0), found


def _extent_agrees(data: bytes) -> None:
    """The length extent tells of the whole input is where a reader that asks
    for what it says is missing stops, and where load(f) leaves a file object
    (a reader stops early where the framing does not tell)."""
    full = ext.extent(data, 0, len(data))
    have = 0
    for _ in range(len(data) + 2):
        wanted = ext.extent(data[:have], 0, have)
        if wanted is None or wanted <= have:
            break
        if wanted > len(data):
            have = len(data)
            break
        have = wanted
    else:
        raise AssertionError("extent never settled")
    if full is not None and full <= len(data):
        assert have == full, f"extent says {full}, a reader stops at {have}"
    stream = io.BytesIO(data)
    try:
        vamra.load(stream)
    except Exception as exc:
        if not _documented(exc):
            raise
    if full is not None and full <= len(data):
        assert stream.tell() == full, f"load(f) left {stream.tell()}, extent says {full}"


def test_one_input(data: bytes) -> None:
    _native(data)
    with open(PATH, "wb") as handle:
        handle.write(data)
    _extent_agrees(data)
    with contextlib.redirect_stderr(io.StringIO()):
        assert vamra.__main__.inspect(PATH, False, io.StringIO()) in (0, 1)
    load = _outcome(lambda: vamra.load(PATH))
    opened = _outcome(_open_all)
    verified = _outcome(_verify)
    if load == "skip":
        return
    if opened not in (load, "skip") or verified not in (load, "skip"):
        raise AssertionError(f"load: {load}, open: {opened}, inspect --verify: {verified}")


def main() -> None:
    np.seterr(all="ignore")
    print(f"fuzz_files: reading files with {files._ext().__file__}", flush=True)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
