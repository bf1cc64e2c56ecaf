#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine and builds the
# module into the project's virtual environment (.venv). Safe to run again:
# it only installs what is missing and rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=lib.sh
source scripts/lib.sh

APT_PACKAGES=(g++ libboost1.81-dev libgtest-dev graphviz)
# dask[distributed] is for the tests and examples that reduce stores on Dask
# workers; the module itself never needs it.
PY_PACKAGES=(pytest hypothesis numpy mypy scikit-build-core cmake ninja "dask[distributed]")

ensure_debian_packages "${APT_PACKAGES[@]}"

PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv with $($PYTHON --version)" >&2
  "$PYTHON" -m venv .venv
fi
if ! .venv/bin/python -c "import pytest, hypothesis, numpy, mypy, scikit_build_core, cmake, ninja, distributed" 2>/dev/null; then
  echo "setup: installing Python packages: ${PY_PACKAGES[*]}" >&2
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "${PY_PACKAGES[@]}"
fi

echo "setup: building and installing weftory_core" >&2
PATH="$PWD/.venv/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  .venv/bin/python -m pip install -q --no-build-isolation .
