"""Checks what the project ships, the way its users get it.

1. The portable wheel (scripts/wheel.sh): auditwheel finds no library beyond the
   manylinux policy, and the wheel holds every file of the package.
2. The wheel installed into a fresh virtual environment, smoke-tested from a
   directory outside the source tree (tests/dist/smoke.py).
3. The codec installed with `cmake --install` into a temporary prefix, and
   examples/cpp built against it twice (find_package and pkg-config), exchanging
   packets with the installed wheel in both directions.
4. The sdist installed by pip into another fresh environment (a plain local
   build, as a user's), smoke-tested the same way.

Run with the project's .venv (it needs SciPy to write a sparse packet):
    .venv/bin/python tests/dist/check.py [--no-build] [--skip-sdist]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
SMOKE = ROOT / "tests" / "dist" / "smoke.py"
EXAMPLE = ROOT / "examples" / "cpp"
# What the wheel's modules may need from the system (auditwheel checks the
# symbol versions; this only names the libraries).
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}
# The libraries auditwheel copies into the wheel (under vamra.libs/, renamed).
VENDORED = ("liblz4", "libxxhash")
TIMEOUT = 900


class CheckFailed(Exception):
    pass


def run(cmd: list[str | Path], *, cwd: Path | None = None, env: dict[str, str] | None = None) -> str:
    """Runs a command, returning its standard output; its output is shown if it fails."""
    result = subprocess.run(
        [str(c) for c in cmd],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    if result.returncode != 0:
        raise CheckFailed(
            f"{' '.join(map(str, cmd))} exited {result.returncode}\n{result.stdout}\n{result.stderr}"
        )
    return result.stdout


def expect(condition: bool, message: str) -> None:
    if not condition:
        raise CheckFailed(message)


@contextmanager
def stage(name: str, timings: dict[str, float]) -> Iterator[None]:
    print(f"dist: {name} ...", flush=True)
    start = time.monotonic()
    yield
    timings[name] = time.monotonic() - start
    print(f"dist: {name} ok ({timings[name]:.0f} s)", flush=True)


def only(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    expect(len(found) == 1, f"expected one {pattern} in {DIST}, found {found}")
    return found[0]


def package_version() -> str:
    text = (ROOT / "python" / "vamra" / "_version.py").read_text()
    match = re.search(r'^__version__ = "([^"]+)"$', text, re.M)
    expect(match is not None, "no __version__ line in _version.py")
    assert match is not None
    return match.group(1)


def expected_wheel_files() -> set[str]:
    """Files the wheel must hold, derived from the source tree."""
    package = ROOT / "python" / "vamra"
    files = {
        f"vamra/{p.relative_to(package).as_posix()}"
        for p in package.rglob("*")
        if p.suffix in {".py", ".pyi", ".typed"} and "__pycache__" not in p.parts
    }
    files |= {"vamra_rs.abi3.so", "vamra_rs.pyi"}
    if (ROOT / "native").is_dir():
        files |= {"vamra/_native.abi3.so", "vamra/_native.pyi"}
    return files


def check_wheel(wheel: Path) -> None:
    expect(
        re.fullmatch(r"vamra-[^-]+-cp311-abi3-manylinux_2_\d+_x86_64\.whl", wheel.name) is not None,
        f"not a portable abi3 wheel: {wheel.name}",
    )
    shown = " ".join(run([sys.prefix + "/bin/auditwheel", "show", wheel]).split())
    print(shown)
    expect("consistent with the following platform tag: \"manylinux_" in shown, shown)
    expect("external shared libraries" not in shown, shown)

    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        missing = expected_wheel_files() - names
        expect(not missing, f"the wheel lacks {sorted(missing)}")
        vendored = {Path(n).name for n in names if n.startswith("vamra.libs/") and n[-1] != "/"}
        expect(
            sorted(v.split("-")[0] for v in vendored) == sorted(VENDORED),
            f"vamra.libs/ holds {sorted(vendored)}, expected copies of {VENDORED}",
        )
        with tempfile.TemporaryDirectory() as tmp:
            for name in (n for n in names if n.endswith(".abi3.so")):
                path = Path(archive.extract(name, tmp))
                needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", run(["readelf", "-d", path])))
                extra = needed - SYSTEM_LIBRARIES - vendored
                expect(not extra, f"{name} needs {sorted(extra)}")
                exported = run(["nm", "-D", "--defined-only", path]).split()[2::3]
                expect(
                    all(s.startswith("PyInit_") for s in exported), f"{name} exports {exported}"
                )


def fresh_environment(where: Path, requirement: Path) -> Path:
    """A new virtual environment with `requirement` installed; returns its python.

    An sdist is built as a user's machine would build it: without the CMake
    settings the test command may have put in the environment.
    """
    run([sys.executable, "-m", "venv", where])
    python = where / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if not k.startswith(("CMAKE_", "SKBUILD_"))}
    run([python, "-m", "pip", "install", "-q", requirement], env=env)
    return python


def smoke(python: Path, workdir: Path, sparse_packet: Path) -> None:
    args: list[str | Path] = [python, "-I", SMOKE, ROOT, "--sparse-packet", sparse_packet]
    if (ROOT / "native").is_dir():
        args.append("--native")
    if (ROOT / "python" / "vamra" / "__main__.py").is_file():
        args.append("--cli")
    print(run(args, cwd=workdir).strip())


def check_cpp_package(tmp: Path, python: Path) -> None:
    build, prefix, exchange = tmp / "codec-build", tmp / "prefix", tmp / "exchange"
    run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", f"-DCMAKE_INSTALL_PREFIX={prefix}"])
    run(["cmake", "--build", build])
    run(["cmake", "--install", build])

    example = tmp / "example-build"
    run(["cmake", "-S", EXAMPLE, "-B", example, "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={prefix}"])
    run(["cmake", "--build", example])
    pc_env = {**os.environ, "PKG_CONFIG_PATH": str(prefix / "lib" / "pkgconfig")}
    flags = run(["pkg-config", "--cflags", "--libs", "vamra"], env=pc_env).split()
    by_pkg_config = tmp / "exchange-pc"
    run(["g++", "-std=c++23", "-O1", EXAMPLE / "exchange.cpp", "-o", by_pkg_config, *flags])

    version = package_version()
    for program in (example / "vamra_exchange", by_pkg_config):
        exchange.mkdir(exist_ok=True)
        expect(run([program, "version"]).strip() == version, f"{program} reports another version")
        run([program, "write", exchange])
        run([python, "-I", EXAMPLE / "exchange.py", "check", exchange], cwd=tmp)
        run([python, "-I", EXAMPLE / "exchange.py", "write", exchange], cwd=tmp)
        run([program, "read", exchange])
        for packet in exchange.iterdir():
            packet.unlink()
    pc_version = run(["pkg-config", "--modversion", "vamra"], env=pc_env).strip()
    expect(pc_version == version, f"vamra.pc says {pc_version}, the package {version}")


def write_sparse_packet(path: Path) -> None:
    import numpy as np
    import scipy.sparse

    import vamra

    path.write_bytes(vamra.dumps(scipy.sparse.csr_matrix(np.eye(4, dtype=np.float32))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-build", action="store_true", help="check the files already in dist/")
    parser.add_argument("--skip-sdist", action="store_true", help="skip building from the sdist")
    args = parser.parse_args()
    timings: dict[str, float] = {}
    try:
        if not args.no_build:
            with stage("build the sdist and the portable wheel", timings):
                run([ROOT / "scripts" / "wheel.sh"], cwd=ROOT)
        wheel, sdist = only("vamra-*.whl"), only("vamra-*.tar.gz")
        with tempfile.TemporaryDirectory(prefix="vamra-dist-") as name:
            tmp = Path(name)
            sparse_packet = tmp / "sparse.vmra"
            write_sparse_packet(sparse_packet)
            with stage(f"audit {wheel.name} ({wheel.stat().st_size / 1024:.0f} KiB)", timings):
                check_wheel(wheel)
            with stage("install the wheel into a fresh environment and smoke-test it", timings):
                python = fresh_environment(tmp / "wheel-env", wheel)
                smoke(python, tmp, sparse_packet)
            with stage("install the codec package and run examples/cpp against it", timings):
                check_cpp_package(tmp, python)
            if not args.skip_sdist:
                with stage("install the sdist into a fresh environment and smoke-test it", timings):
                    python = fresh_environment(tmp / "sdist-env", sdist)
                    smoke(python, tmp, sparse_packet)
    except CheckFailed as exc:
        print(f"dist: FAILED: {exc}", file=sys.stderr)
        return 1
    print(f"dist: all checks passed in {sum(timings.values()):.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
