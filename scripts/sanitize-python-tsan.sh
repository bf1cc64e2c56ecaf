#!/usr/bin/env bash
# Run the threaded Python tests under ThreadSanitizer: a ThreadSanitizer build
# of the module, loaded into a free-threaded CPython 3.13 that is itself built
# with ThreadSanitizer, so that the binding layer (conversions inside critical
# sections, module state, the reducer's locks, views held while the store
# grows) is checked together with the interpreter code it calls.
#
#   scripts/sanitize-python-tsan.sh             # build into .venv-tsan, run the tests
#   scripts/sanitize-python-tsan.sh -x -v       # extra arguments go to pytest
#
# How it works
#   * The interpreter is scripts/cpython.sh's 3.13t-tsan variant (configure
#     --disable-gil --with-thread-sanitizer, clang 19), built once and cached
#     in ~/.cache/weftory/python3.13t-tsan. Its executable carries the
#     sanitizer runtime, so nothing is preloaded.
#   * The module is built by pip through scikit-build-core with clang 19 and
#     -fsanitize=thread, into its own virtual environment (.venv-tsan) and its
#     own CMake tree (build-tsan-python/), apart from every other build:
#       CC=clang-19 CXX=clang++-19 .venv-tsan/bin/python -m pip install \
#         --no-build-isolation \
#         --config-settings=build-dir=build-tsan-python/{wheel_tag} \
#         --config-settings=cmake.build-type=Debug \
#         --config-settings=cmake.define.WEFTORY_SANITIZE=thread .
#   * The tests are those marked `threads` in the files of TSAN_TESTS: many
#     threads sharing one store or one reducer, and the free-threading checks.
#     They need pytest only (no NumPy, no Hypothesis), installed from wheels
#     (--only-binary=:all:, as for the other interpreters).
#   * The venv is created without pip, and pip and the tools are installed
#     into it (--prefix) by the uninstrumented free-threaded 3.13 of the same
#     version and ABI (scripts/cpython.sh 3.13t): pip run by the instrumented
#     interpreter took two minutes, by the plain one ten seconds.
#   * Every report is fatal: the runtime halts on the first one and the
#     process exits with status 66. No report is suppressed: the interpreter
#     code these tests run has none of its own (a caller's TSAN_OPTIONS, e.g.
#     suppressions=FILE, is appended and takes precedence).
#
# Cost on two shared cores: building the interpreter, once, about 12 minutes;
# from a fresh tree, the venv, the tools and the module build about 1.5 minutes;
# with both in place, about 2 (the tests themselves under half a minute).
#
# Exit status 75: the interpreter's source package could not be downloaded
# (see scripts/cpython.sh); nothing was tested.
#
# Environment:
#   WEFTORY_JOBS  build jobs (default 2, capped at 2: the machines are shared)
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VARIANT=3.13t-tsan
VENV="$ROOT/.venv-tsan"
BUILD_DIR="build-tsan-python/{wheel_tag}"
JOBS="${WEFTORY_JOBS:-2}"
[ "$JOBS" -ge 1 ] 2>/dev/null || JOBS=2
[ "$JOBS" -le 2 ] || JOBS=2
CC_BIN=clang-19
CXX_BIN=clang++-19
PY_PACKAGES=(pytest scikit-build-core cmake ninja)
PY_IMPORTS="pytest, scikit_build_core, cmake, ninja"
TSAN_TESTS=(
  tests/python/test_threads.py
  tests/python/test_stress.py
  tests/python/test_freethreading.py
  tests/python/test_incremental.py
)
TSAN_EXITCODE=66

log() { printf '[sanitize-python-tsan] %s\n' "$*" >&2; }
die() { printf '[sanitize-python-tsan] error: %s\n' "$*" >&2; exit 1; }

# The symbolizer that turns a report's addresses into functions and lines,
# named by its full path: the runtime's own search of PATH does not find it.
SYMBOLIZER=/usr/bin/llvm-symbolizer

# tsan <command...>: runs a command with every sanitizer report fatal.
tsan() {
  env TSAN_OPTIONS="halt_on_error=1:exitcode=$TSAN_EXITCODE:second_deadlock_stack=1:external_symbolizer_path=$SYMBOLIZER${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
    "$@"
}

ensure_venv() {
  local py="$1" plain="$2"
  if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV with $py"
    tsan "$py" -m venv --without-pip "$VENV" || die "python -m venv failed"
  fi
  if ! tsan "$VENV/bin/python" -c "import pip, $PY_IMPORTS" 2>/dev/null; then
    log "installing pip ${PY_PACKAGES[*]} into $VENV (with $plain)"
    # Wheels only, as for the other interpreters: no test tool is built from
    # source for a free-threaded interpreter. --ignore-installed: what the
    # plain interpreter has itself must still land in the venv.
    "$plain" -m pip install -q --only-binary=:all: --ignore-installed --prefix "$VENV" pip "${PY_PACKAGES[@]}" >&2 \
      || die "pip install of the build and test tools failed"
  fi
}

build_extension() {
  log "building weftory_core with -fsanitize=thread into $VENV"
  (
    cd "$ROOT"
    PATH="$VENV/bin:$PATH" CC="$CC_BIN" CXX="$CXX_BIN" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" \
      tsan "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
        --config-settings=build-dir="$BUILD_DIR" \
        --config-settings=cmake.build-type=Debug \
        --config-settings=cmake.define.CMAKE_CXX_FLAGS_DEBUG="-gline-tables-only -O1" \
        --config-settings=cmake.define.WEFTORY_SANITIZE=thread \
        --config-settings=cmake.define.WEFTORY_BUILD_TESTS=OFF \
        . >&2
  ) || die "building the extension with ThreadSanitizer failed"
}

main() {
  ensure_debian_packages clang-19 libclang-rt-19-dev libboost1.81-dev llvm || die "missing packages"
  [ -x "$SYMBOLIZER" ] || die "no symbolizer at $SYMBOLIZER (Debian package llvm)"
  local py plain rc=0
  py="$(bash "$ROOT/scripts/cpython.sh" "$VARIANT" | tail -n1)" || rc=$?
  [ "$rc" -eq 0 ] || exit "$rc"
  plain="$(bash "$ROOT/scripts/cpython.sh" 3.13t | tail -n1)" || rc=$?
  [ "$rc" -eq 0 ] || exit "$rc"
  ensure_venv "$py" "$plain"
  local start=$SECONDS
  build_extension
  log "built in $((SECONDS - start)) s"

  cd "$ROOT"
  # The module must be the instrumented one: an uninstrumented build would
  # load and pass without checking anything.
  local so
  so="$(tsan "$VENV/bin/python" -c 'import weftory_core; print(weftory_core.__file__)')" \
    || die "importing the module failed"
  # grep reads all of nm's output: `grep -q` would stop at the first match and
  # nm's SIGPIPE would fail the pipeline.
  nm -D --undefined-only "$so" | grep ' __tsan_func_entry$' >/dev/null \
    || die "$so is not built with -fsanitize=thread"

  log "pytest -m threads ${TSAN_TESTS[*]} under ThreadSanitizer"
  start=$SECONDS
  rc=0
  # --capture=sys: pytest captures what Python code prints but leaves file
  # descriptor 2 alone, so a report, which ends the process on the spot, is
  # not swallowed with the output pytest had captured.
  WEFTORY_EXPECT_GIL=0 WEFTORY_EXPECT_PYTHON=3.13 \
    tsan "$VENV/bin/python" -m pytest -p no:cacheprovider --capture=sys -m threads "${TSAN_TESTS[@]}" "$@" || rc=$?
  case "$rc" in
    0) log "threaded Python tests clean under ThreadSanitizer in $((SECONDS - start)) s" ;;
    "$TSAN_EXITCODE") die "ThreadSanitizer reported an error (see above)" ;;
    *) die "pytest failed with exit code $rc" ;;
  esac
}

# Sourcing the file (for testing its helpers) defines the functions only.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
