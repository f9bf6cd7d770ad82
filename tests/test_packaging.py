"""How the project is built and installed: missing build dependencies, the one
release number, and the optional extras.

The wheel, the sdist and the installed C++ package are exercised end to end by
tests/dist/check.py (`make dist-tests`).
"""

from __future__ import annotations

import importlib.metadata
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
import vamra

ROOT = Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
EXTRAS = PYPROJECT["project"]["optional-dependencies"]
# Extras for working on vamra itself rather than for using it.
DEVELOPMENT_EXTRAS = {"test", "bench", "lint", "docs"}
OPTIONAL_MODULES = (
    "scipy",
    "torch",
    "dask",
    "distributed",
    "safetensors",
    "jax",
    "flax",
    "ml_dtypes",
)

needs_cmake = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which("pkg-config") is None,
    reason="needs cmake and pkg-config",
)


def configure(build: Path, *args: str, env: dict[str, str] | None = None):
    return subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


def pkg_config_dir(tmp_path: Path, modules: list[str]) -> str:
    """A pkg-config search directory that holds only `modules`."""
    directory = tmp_path / "pkgconfig"
    directory.mkdir()
    for module in modules:
        found = subprocess.run(
            ["pkg-config", "--variable=pcfiledir", module], capture_output=True, text=True
        )
        assert found.returncode == 0, found.stderr
        shutil.copy(Path(found.stdout.strip()) / f"{module}.pc", directory)
    return str(directory)


@needs_cmake
@pytest.mark.parametrize(
    ("present", "extra_args", "debian_package"),
    [
        pytest.param([], [], "liblz4-dev", id="no-lz4"),
        pytest.param(["liblz4"], [], "libxxhash-dev", id="no-xxhash"),
        pytest.param(
            ["liblz4", "libxxhash"],
            ["-DPKG_CONFIG_EXECUTABLE=/nonexistent/pkg-config"],
            "pkg-config",
            id="no-pkg-config",
        ),
    ],
)
def test_a_missing_build_dependency_names_its_debian_package(
    tmp_path, monkeypatch, present, extra_args, debian_package
):
    monkeypatch.setenv("PKG_CONFIG_LIBDIR", pkg_config_dir(tmp_path, present))
    result = configure(tmp_path / "build", *extra_args)
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"install the Debian package '{debian_package}'" in message, result.stderr


@needs_cmake
def test_every_artifact_carries_the_one_release_number(tmp_path):
    result = configure(tmp_path / "build", f"-DCMAKE_INSTALL_PREFIX={tmp_path / 'prefix'}")
    assert result.returncode == 0, result.stderr
    build = tmp_path / "build"
    cache = (build / "CMakeCache.txt").read_text()
    numeric = re.match(r"\d+\.\d+\.\d+", vamra.__version__)
    assert numeric is not None
    assert f"CMAKE_PROJECT_VERSION:STATIC={numeric.group()}" in cache
    assert f'VERSION = "{vamra.__version__}"' in (build / "include/vamra/version.hpp").read_text()
    assert f"Version: {vamra.__version__}\n" in (build / "vamra.pc").read_text()
    assert (
        f'PACKAGE_VERSION "{numeric.group()}"' in (build / "vamraConfigVersion.cmake").read_text()
    )
    assert importlib.metadata.version("vamra") == vamra.__version__


def test_all_installs_every_user_extra():
    (everything,) = EXTRAS["all"]
    named = re.fullmatch(r"vamra\[(.*)\]", everything)
    assert named is not None, everything
    assert set(named.group(1).split(",")) == set(EXTRAS) - DEVELOPMENT_EXTRAS - {"all"}


def test_every_extra_named_in_a_message_exists():
    sources = [*(ROOT / "python" / "vamra").rglob("*.py"), *(ROOT / "src").glob("*.cpp")]
    if (ROOT / "native").is_dir():
        sources += (ROOT / "native").glob("*.cpp")
    named = {
        (path.name, extra)
        for path in sources
        for extra in re.findall(r"vamra\[(\w+)\]", path.read_text())
    }
    assert ("_packets.py", "sparse") in named
    unknown = sorted((where, extra) for where, extra in named if extra not in EXTRAS)
    assert not unknown, unknown


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=ROOT
    )


def test_importing_vamra_imports_no_optional_dependency():
    result = run_python(
        f"import sys, vamra\nprint(sorted(m for m in {OPTIONAL_MODULES!r} if m in sys.modules))"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_a_sparse_packet_without_scipy_names_the_extra():
    pytest.importorskip("scipy")
    result = run_python(
        "import sys, numpy as np, scipy.sparse, vamra\n"
        "matrix = scipy.sparse.csr_matrix(np.eye(3))\n"
        "packets = [vamra.dumps(matrix), vamra.dumps({'layer': {'m': matrix}})]\n"
        "for name in [m for m in sys.modules if m.split('.')[0] == 'scipy']:\n"
        "    sys.modules[name] = None\n"
        "for packet in packets:\n"
        "    try:\n"
        "        vamra.loads(packet)\n"
        "    except ImportError as exc:\n"
        "        print(exc.name, exc)\n"
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2, result.stdout
    for line in lines:
        assert line.startswith("scipy ") and "pip install 'vamra[sparse]'" in line, line
