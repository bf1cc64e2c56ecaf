#!/usr/bin/env bash
# Builds (once, cached outside the repository) one of the CPython interpreters
# of scripts/cpython.sh, builds the module for it in a virtual environment of
# its own (.venv-<variant>), checks that the interpreter runs with the GIL
# exactly when it should once the module is imported, and runs the Python
# suite there (which checks the same again, from inside the test process), as
# two pytest processes at once (scripts/pytest_shards.py).
#
#   scripts/test-interpreter.sh 3.13t|3.15|3.15t [pytest arguments]
#
# Exit status 75: the interpreter's source package could not be downloaded
# (see scripts/cpython.sh); nothing was tested.
set -euo pipefail
cd "$(dirname "$0")/.."

VARIANT="${1:?usage: test-interpreter.sh 3.13t|3.15|3.15t [pytest arguments]}"
shift
case "$VARIANT" in
  *t) EXPECT_GIL=0 ;;
  *) EXPECT_GIL=1 ;;
esac
VENV=".venv-${VARIANT}"

rc=0
PY=$(bash scripts/cpython.sh "$VARIANT" | tail -n1) || rc=$?
[ "$rc" -eq 0 ] || exit "$rc"
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
if ! "$VENV/bin/python" -c "import pytest, hypothesis, numpy, scikit_build_core, cmake, ninja" 2>/dev/null; then
  # Wheels only: some releases of the test tools have no wheel for a new or a
  # free-threaded interpreter, and building them from source needs toolchains
  # this machine does not have.
  "$VENV/bin/python" -m pip install -q --only-binary=:all: pytest hypothesis numpy scikit-build-core cmake ninja
fi
# Any deprecated API of this interpreter's headers fails the build.
PATH="$PWD/$VENV/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$VENV/bin/python" -m pip install -q --no-build-isolation \
    --config-settings=cmake.define.WEFTORY_DEPRECATIONS_ARE_ERRORS=ON .
"$VENV/bin/python" -W error - "$EXPECT_GIL" <<'PYEOF'
import sys
import weftory_core
expect_gil = sys.argv[1] == "1"
assert sys._is_gil_enabled() == expect_gil, f"sys._is_gil_enabled() is {sys._is_gil_enabled()} after the import"
print("interpreter:", sys.version, "| GIL", "on" if expect_gil else "off", "| module", weftory_core.__file__)
PYEOF
WEFTORY_EXPECT_GIL="$EXPECT_GIL" WEFTORY_EXPECT_PYTHON="${VARIANT%t}" \
  exec "$VENV/bin/python" scripts/pytest_shards.py -q tests/python "$@"
