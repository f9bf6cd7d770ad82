"""Fuzzes `vamra convert` on hostile source files: its safetensors, .npz and
.npy readers, and the writers behind them.

Usage: fuzz_convert.py [libFuzzer options] [corpus dir ...]   (see the Makefile's
run-convert target; seeds come from make_corpus_convert.py).

The first byte of an input picks the source format (safetensors, npz, npy), the
second the destination format (vamra, safetensors, npz, npy); the rest is the
source file. The destination exists beforehand. A finding is anything but:
- exit status 0 with nothing on stderr, or
- exit status 1 with exactly one line on stderr, the destination as it was and
  no temporary file left beside it.
An exception escaping the command (a traceback for its user), a crash or a
hang are findings too.
"""

from __future__ import annotations

import atexit
import contextlib
import io
import os
import shutil
import sys
import tempfile

import atheris

with atheris.instrument_imports(
    include=["vamra", "zipfile", "numpy.lib._format_impl", "numpy.lib._npyio_impl"]
):
    import numpy as np
    import vamra.__main__
    from vamra import files

SOURCES = ("safetensors", "npz", "npy")
DESTINATIONS = ("vmra", "safetensors", "npz", "npy")
# Where inputs are written as files: the Makefile gives a directory of its own
# (libFuzzer ends the process without running exit handlers).
DIRECTORY = os.environ.get("FUZZ_WORKDIR") or tempfile.mkdtemp(prefix="fuzz_convert-")
os.makedirs(DIRECTORY, exist_ok=True)
if "FUZZ_WORKDIR" not in os.environ:
    atexit.register(shutil.rmtree, DIRECTORY, True)
BEFORE = b"the destination as it was"


def test_one_input(data: bytes) -> None:
    if len(data) < 2:
        return
    source_format = SOURCES[data[0] % len(SOURCES)]
    destination_format = DESTINATIONS[data[1] % len(DESTINATIONS)]
    src = os.path.join(DIRECTORY, f"in.{source_format}")
    dst = os.path.join(DIRECTORY, f"out.{destination_format}")
    with open(src, "wb") as handle:
        handle.write(data[2:])
    with open(dst, "wb") as handle:
        handle.write(BEFORE)
    with contextlib.redirect_stderr(io.StringIO()) as err:
        status = vamra.__main__.main(["convert", src, dst])
    said = err.getvalue()
    if status == 0:
        assert said == "", f"success with {said!r}"
        return
    assert status == 1, f"exit status {status}: {said!r}"
    assert said.count("\n") == 1 and said.startswith("vamra: "), f"not one line: {said!r}"
    with open(dst, "rb") as handle:
        assert handle.read() == BEFORE, "a failed conversion changed the destination"
    left = [n for n in os.listdir(DIRECTORY) if n.endswith(files.TEMPORARY_SUFFIX)]
    assert not left, f"temporary files left: {left}"


def main() -> None:
    np.seterr(all="ignore")
    print(f"fuzz_convert: converting in {DIRECTORY}", flush=True)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
