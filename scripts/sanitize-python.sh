#!/usr/bin/env bash
# Run the Python suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension, with leak checking of the module's own allocations.
#
#   scripts/sanitize-python.sh                 # build into .venv-asan, run tests/python
#                                              # (in two pytest processes at once, each
#                                              # on half the files: see run_shards)
#   scripts/sanitize-python.sh -k store -x     # extra options go to both processes;
#   scripts/sanitize-python.sh tests/python/test_blob.py  # a path: one process
#   WEFTORY_PYTEST_SHARDS=1 scripts/sanitize-python.sh   # the whole suite in one process
#
# How it works
#   * The extension is built by pip through scikit-build-core with clang 19 and
#     the sanitizer flags, into its own virtual environment (.venv-asan) and its
#     own CMake tree (build-asan-python/), so it never mixes with the ordinary
#     build in .venv:
#       CC=clang-19 CXX=clang++-19 .venv-asan/bin/python -m pip install \
#         --no-build-isolation \
#         --config-settings=build-dir=build-asan-python/{wheel_tag} \
#         --config-settings=cmake.build-type=Debug \
#         --config-settings=cmake.define.WEFTORY_SANITIZE=address,undefined .
#   * The interpreter is not instrumented, and a shared library built with
#     -fsanitize=address does not carry the sanitizer runtime: the runtime is
#     preloaded into the interpreter so that it comes first in the link order
#     and owns malloc/free/new/delete for the whole process. The same library
#     carries the UndefinedBehaviorSanitizer handlers.
#       LD_PRELOAD=$(clang++-19 -print-file-name=libclang_rt.asan-x86_64.so)
#     It must be preloaded into the real interpreter binary (the venv's python),
#     never into a wrapper script such as a pyenv shim, or the report is about
#     the shell.
#   * PYTHONMALLOC=malloc routes every Python object allocation through malloc,
#     so AddressSanitizer sees use-after-free and overflows of Python objects
#     too, and LeakSanitizer sees objects whose references were leaked.
#   * Leaks are checked once, at process exit, after the interpreter has
#     finalized. Whatever the interpreter itself (or a third-party extension
#     the tests import) never frees is suppressed by scripts/lsan.supp; its
#     entries name code that a call into weftory_core never passes through,
#     because a suppression matches if any frame of the allocation stack
#     matches. Objects the module leaks (a missing Py_DECREF) and native
#     memory it leaks are both reported.
#   * Allocation stacks are taken by the fast (frame-pointer) unwinder. The
#     module is built with frame pointers, so a leak or a bad access in its
#     code shows its own frames; typical interpreter builds omit them, so a
#     stack that enters libpython ends there. Whatever the stacks look like,
#     every leak is detected and fails the run. The DWARF unwinder
#     (fast_unwind_on_malloc=0) walks every malloc's whole stack and made the
#     suite ten times slower (about 170 s a half against 15); to read whole
#     stacks when a leak needs explaining, run with
#       ASAN_OPTIONS=fast_unwind_on_malloc=0:malloc_context_size=30
#   * NumPy is imported before the tests with leak detection switched off for
#     that import (__lsan_disable); its extension keeps module-lifetime objects
#     that it never frees.
#   * A throwing operator new that fails aborts under AddressSanitizer instead
#     of throwing std::bad_alloc, and the sanitizer reserves terabytes of
#     address space, so a test that provokes MemoryError or lowers RLIMIT_AS
#     should skip itself when WEFTORY_UNDER_ASAN=1 is set.
#
# Environment:
#   PYTHON        interpreter to build the venv from (default python3)
#   WEFTORY_JOBS  build jobs (default 2, capped at 2: the machines are shared)
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv-asan"
BUILD_DIR="build-asan-python/{wheel_tag}"
SUPP="$ROOT/scripts/lsan.supp"
JOBS="${WEFTORY_JOBS:-2}"
[ "$JOBS" -ge 1 ] 2>/dev/null || JOBS=2
[ "$JOBS" -le 2 ] || JOBS=2
CC_BIN=clang-19
CXX_BIN=clang++-19
PY_PACKAGES=(pip scikit-build-core cmake ninja pytest hypothesis numpy)
PY_IMPORTS="scikit_build_core, cmake, ninja, pytest, hypothesis, numpy"

log() { printf '[sanitize-python] %s\n' "$*" >&2; }
die() { printf '[sanitize-python] error: %s\n' "$*" >&2; exit 1; }

ensure_tools() {
  ensure_debian_packages clang-19 libclang-rt-19-dev libboost1.81-dev || die "missing packages"
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    local base="${PYTHON:-python3}" real
    # Resolve wrappers (pyenv shims) to the interpreter they start.
    real="$("$base" -c 'import sys; print(sys.executable)')" || die "cannot run $base"
    log "creating $VENV with $("$real" --version 2>&1) ($real)"
    "$real" -m venv "$VENV" || die "python -m venv failed"
  fi
  if ! "$VENV/bin/python" -c "import $PY_IMPORTS" 2>/dev/null; then
    log "installing ${PY_PACKAGES[*]} into $VENV"
    "$VENV/bin/python" -m pip install -q --upgrade "${PY_PACKAGES[@]}" >&2 \
      || die "pip install of the build and test tools failed"
  fi
}

build_extension() {
  log "building weftory_core with -fsanitize=address,undefined into $VENV"
  (
    cd "$ROOT"
    PATH="$VENV/bin:$PATH" CC="$CC_BIN" CXX="$CXX_BIN" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" \
      "$VENV/bin/python" -m pip install --no-build-isolation --no-deps \
        --config-settings=build-dir="$BUILD_DIR" \
        --config-settings=cmake.build-type=Debug \
        --config-settings=cmake.define.CMAKE_CXX_FLAGS_DEBUG="-gline-tables-only -O1" \
        --config-settings=cmake.define.WEFTORY_SANITIZE=address,undefined \
        --config-settings=cmake.define.WEFTORY_BUILD_TESTS=OFF \
        . >&2
  ) || die "building the extension with the sanitizers failed"
}

# Runs pytest after importing NumPy with leak detection off for this thread:
# NumPy's extension keeps module-lifetime objects it never frees, and those are
# no concern of this run. Everything else stays under leak checking.
PYTEST_LAUNCHER='
import ctypes, sys
runtime = ctypes.CDLL(None)
runtime["__lsan_disable"]()
try:
    import numpy
except ImportError:
    pass
finally:
    runtime["__lsan_enable"]()
import pytest
sys.exit(pytest.main(sys.argv[1:]))
'

# sanitized <command...>: runs a command of the venv's interpreter with the
# sanitizer runtime preloaded and every report fatal.
sanitized() {
  env \
    LD_PRELOAD="$ASAN_RUNTIME${LD_PRELOAD:+:$LD_PRELOAD}" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=23:allocator_may_return_null=1:strict_init_order=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    LSAN_OPTIONS="suppressions=$SUPP:print_suppressions=0:exitcode=23${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    WEFTORY_UNDER_ASAN=1 \
    "$@"
}

# Seconds each test file takes under the sanitizers (one process, 2026-12):
# the weights by which run_shards balances its two halves. A file not listed
# weighs one second; a stale figure only makes the halves less even.
declare -A SHARD_WEIGHTS=(
  [test_blob.py]=6 [test_cone.py]=4 [test_recursion.py]=4 [test_pickle.py]=3
  [test_threads.py]=2 [test_store.py]=2 [test_incremental.py]=2
)

# The suite in two pytest processes at once, each on about half the test
# files by weight: this is the longest stage of the test command, and one
# process keeps only one of the two cores busy. Each shard's output is shown
# when both have finished. Returns 23 when a sanitizer reported in either
# shard, else the first other failure, else 0 (5 when neither collected a test).
# Its arguments (pytest options, never paths) go to both processes.
run_shards() {
  local files=() shard_files=("" "") loads=(0 0) file weight k
  mapfile -t files < <(
    for file in tests/python/test_*.py; do
      printf '%s %s\n' "${SHARD_WEIGHTS[$(basename "$file")]:-1}" "$file"
    done | sort -k1,1nr -k2 | cut -d' ' -f2
  )
  for file in "${files[@]}"; do
    weight=${SHARD_WEIGHTS[$(basename "$file")]:-1}
    if [ "${loads[0]}" -le "${loads[1]}" ]; then k=0; else k=1; fi
    shard_files[$k]+="$file "
    loads[$k]=$((loads[$k] + weight))
  done
  local out pids=() rcs=()
  out=$(mktemp -d)
  for k in 0 1; do
    log "pytest shard $((k + 1)) of 2 under the sanitizers: ${shard_files[$k]}"
    # shellcheck disable=SC2086  # the file list is split on purpose
    sanitized "$VENV/bin/python" -c "$PYTEST_LAUNCHER" -p no:cacheprovider "$@" ${shard_files[$k]} \
      >"$out/$k.log" 2>&1 &
    pids+=($!)
  done
  for k in 0 1; do
    rcs[$k]=0
    wait "${pids[$k]}" || rcs[$k]=$?
  done
  for k in 0 1; do
    log "shard $((k + 1)) of 2 (exit ${rcs[$k]}):"
    cat "$out/$k.log"
  done
  rm -rf "$out"
  if [ "${rcs[0]}" -eq 23 ] || [ "${rcs[1]}" -eq 23 ]; then return 23; fi
  if [ "${rcs[0]}" -eq 5 ] && [ "${rcs[1]}" -eq 5 ]; then return 5; fi
  for k in 0 1; do
    if [ "${rcs[$k]}" -ne 0 ] && [ "${rcs[$k]}" -ne 5 ]; then return "${rcs[$k]}"; fi
  done
  return 0
}

main() {
  ensure_tools
  ASAN_RUNTIME="$("$CXX_BIN" -print-file-name=libclang_rt.asan-x86_64.so)"
  [ -f "$ASAN_RUNTIME" ] || die "no AddressSanitizer runtime at '$ASAN_RUNTIME' (libclang-rt-19-dev)"
  [ -f "$SUPP" ] || die "missing $SUPP"
  ensure_venv
  local start=$SECONDS
  build_extension
  log "built in $((SECONDS - start)) s"

  cd "$ROOT"
  log "import check under the sanitizers"
  sanitized "$VENV/bin/python" -c \
    'import weftory_core, sys; print("imported", weftory_core.__file__, file=sys.stderr)' \
    || die "importing the sanitized module failed"

  start=$SECONDS
  local rc=0
  local arg names_paths=0
  for arg in "$@"; do
    if [ -e "$arg" ] || [[ "$arg" == tests/* ]]; then names_paths=1; fi
  done
  if [ "$names_paths" = 0 ] && [ "${WEFTORY_PYTEST_SHARDS:-2}" != 1 ]; then
    run_shards "$@" || rc=$?
  else
    log "pytest tests/python $* under the sanitizers"
    sanitized "$VENV/bin/python" -c "$PYTEST_LAUNCHER" -p no:cacheprovider tests/python "$@" || rc=$?
  fi
  case "$rc" in
    0) log "sanitized Python suite passed in $((SECONDS - start)) s" ;;
    5) log "no Python tests were collected; nothing to run (the module builds and imports)" ;;
    23) die "a sanitizer reported an error or a leak (see above)" ;;
    *) die "pytest failed with exit code $rc" ;;
  esac
}

# Sourcing the file (for testing its helpers) defines the functions only.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
