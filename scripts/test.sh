#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ core under ctest, the Python
# suite under pytest, and the type stub against the built module.
#   scripts/test.sh          everything
#   scripts/test.sh --quick  the C++ and Python suites only (for iteration)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

start=$(date +%s)
step() { echo; echo "=== $* ($(( $(date +%s) - start ))s)"; }

step "setup"
bash scripts/setup.sh

step "C++ core tests"
cmake -S . -B build-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
.venv/bin/cmake --build build-tests -j 2
.venv/bin/ctest --test-dir build-tests --output-on-failure -j 2

step "Python tests"
.venv/bin/python -m pytest -q tests/python

step "type stub"
MYPYPATH=. .venv/bin/python -m mypy.stubtest weftory_core --concise

if [ "$quick" = 0 ]; then
  for extra in scripts/test-extra-*.sh; do
    [ -e "$extra" ] || continue
    step "$extra"
    bash "$extra"
  done
fi

step "all tests passed"
