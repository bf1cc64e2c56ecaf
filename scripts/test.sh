#!/usr/bin/env bash
# Sets everything up and runs every test:
#   1. the C++ core under ctest (GoogleTest);
#   2. the Python suite under pytest, on the default interpreter;
#   3. the type stub against the built module (mypy's stubtest);
#   4. the Python suite again on a free-threaded CPython 3.13, on CPython 3.15 with
#      the GIL and on a free-threaded CPython 3.15 (each built once from Debian's
#      source package and cached), each run checking its GIL state;
#   5. the C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
#      concurrency tests under ThreadSanitizer;
#   6. the Python suite against an AddressSanitizer build of the module, with leak checks;
#   7. the threaded Python tests against a ThreadSanitizer build of the module, in a
#      free-threaded CPython 3.13 itself built with ThreadSanitizer (built once and cached);
#   8. the blob reader under libFuzzer for a bounded time (WEFTORY_FUZZ_SECONDS, default 30,
#      in two processes at once);
#   9. the release: sdist, the wheel built from it, auditwheel repair, and in a clean
#      environment holding only that wheel the Python suite, mypy on user code and stubtest.
#
#   scripts/test.sh          everything
#   scripts/test.sh --quick  steps 1 to 3 only (for iteration)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

start=$(date +%s)
not_run=()
# Each stage's name and seconds, printed as a table at the end of the run
# (also when a stage fails), so anyone sees where the time goes.
stage_names=()
stage_seconds=()
stage=""
stage_start=0
end_stage() {
  if [ -n "$stage" ]; then
    stage_names+=("$stage")
    stage_seconds+=($((SECONDS - stage_start)))
    stage=""
  fi
}
step() {
  end_stage
  stage="$*"
  stage_start=$SECONDS
  echo; echo "=== $* (at ${SECONDS}s)"
}
print_stage_times() {
  end_stage
  echo
  echo "=== time per stage"
  local i
  for i in "${!stage_names[@]}"; do
    printf '%7ss  %s\n' "${stage_seconds[$i]}" "${stage_names[$i]}"
  done
  printf '%7ss  %s\n' "$SECONDS" "in all"
}
trap 'rc=$?; if [ "$rc" -ne 0 ]; then print_stage_times; echo "=== FAILED in stage: ${stage_names[-1]:-setup}"; fi' EXIT

step "setup"
bash scripts/setup.sh

step "C++ core tests"
.venv/bin/cmake -S . -B build-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build build-tests -j 2
.venv/bin/ctest --test-dir build-tests --output-on-failure -j 2

step "Python tests"
.venv/bin/python scripts/pytest_shards.py -q tests/python

step "type stub"
MYPYPATH=. .venv/bin/python -m mypy.stubtest weftory_core --concise

if [ "$quick" = 0 ]; then
  step "Python tests on the free-threaded CPython 3.13"
  bash scripts/test-interpreter.sh 3.13t

  for variant in 3.15 3.15t; do
    step "Python tests on CPython ${variant}"
    rc=0
    bash scripts/test-interpreter.sh "$variant" || rc=$?
    # 75: the archive lists the source package but would not hand out its
    # files. Said loudly, and fatal with WEFTORY_REQUIRE_INTERPRETERS=1.
    if [ "$rc" -eq 75 ] && [ "${WEFTORY_REQUIRE_INTERPRETERS:-0}" != 1 ]; then
      not_run+=("the Python suite on CPython ${variant} (its source package could not be downloaded)")
    elif [ "$rc" -ne 0 ]; then
      exit "$rc"
    fi
  done

  step "C++ tests under the sanitizers"
  bash scripts/sanitize-cpp.sh

  step "Python tests against the sanitized module"
  bash scripts/sanitize-python.sh -q

  step "threaded Python tests under ThreadSanitizer"
  bash scripts/sanitize-python-tsan.sh -q

  step "fuzzing the blob reader"
  bash scripts/fuzz.sh "${WEFTORY_FUZZ_SECONDS:-30}"

  step "the release: sdist, wheel from it, repaired wheel installed and tested"
  bash scripts/test-wheel.sh
fi

print_stage_times
for what in "${not_run[@]}"; do
  echo "NOT RUN: $what" >&2
done
echo
echo "=== all tests passed in $(( $(date +%s) - start ))s"
