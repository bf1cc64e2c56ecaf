#!/usr/bin/env bash
# Builds (once, cached outside the repository) a free-threaded CPython 3.13,
# builds the module for it in its own virtual environment (.venv-ft), checks
# that importing the module leaves the GIL off, and runs the Python suite.
#   scripts/test-freethreaded.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

PY=$(bash scripts/freethreaded-python.sh | tail -n1)
if [ ! -x .venv-ft/bin/python ]; then
  "$PY" -m venv .venv-ft
fi
if ! .venv-ft/bin/python -c "import pytest, hypothesis, numpy, scikit_build_core, cmake, ninja" 2>/dev/null; then
  # Wheels only: some releases of the test tools have no free-threaded wheel,
  # and building them from source needs toolchains this machine does not have.
  .venv-ft/bin/python -m pip install -q --only-binary=:all: pytest hypothesis numpy scikit-build-core cmake ninja
fi
PATH="$PWD/.venv-ft/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  .venv-ft/bin/python -m pip install -q --no-build-isolation .
.venv-ft/bin/python -W error -c 'import sys, weftory_core; assert not sys._is_gil_enabled(), "the GIL came back"; print("free-threaded:", sys.version)'
exec .venv-ft/bin/python -m pytest -q tests/python "$@"
