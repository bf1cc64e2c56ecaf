#!/usr/bin/env bash
# Build and run the core's GoogleTest tests under the sanitizers, with clang 19:
#
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer, every test
#   build-tsan  ThreadSanitizer, only the concurrency tests: those whose
#               full name (Suite.Test) matches the ctest regex 'Concurrent|Thread'
#
#   scripts/sanitize-cpp.sh            # both
#   scripts/sanitize-cpp.sh asan       # one of them
#   scripts/sanitize-cpp.sh tsan
#
# Any sanitizer report fails the run: the code is compiled with
# -fno-sanitize-recover=all and the runtimes are told to halt on the first
# error and exit non-zero. Caller-set ASAN_OPTIONS/UBSAN_OPTIONS/TSAN_OPTIONS/
# LSAN_OPTIONS are appended and so take precedence.
#
# Environment:
#   WEFTORY_JOBS          build and test jobs (default 2, capped at 2: the
#                         machines are shared)
#   WEFTORY_ALLOW_NO_TESTS=1   a run that finds no test passes instead of failing
#
# Debian's libgtest (built with g++) links into these clang builds as it is:
# both use libstdc++, and GoogleTest's own locking is pthread-based, which
# ThreadSanitizer intercepts.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${WEFTORY_JOBS:-2}"
[ "$JOBS" -ge 1 ] 2>/dev/null || JOBS=2
[ "$JOBS" -le 2 ] || JOBS=2
CC_BIN=clang-19
CXX_BIN=clang++-19
# Tests that run under ThreadSanitizer: name them e.g. StoreConcurrent.AddsOverlappingNodes
# or SymbolTable.InternsFromManyThreads.
TSAN_TEST_REGEX='Concurrent|Thread'

log() { printf '[sanitize-cpp] %s\n' "$*" >&2; }
die() { printf '[sanitize-cpp] error: %s\n' "$*" >&2; exit 1; }

ensure_tools() {
  ensure_debian_packages clang-19 libclang-rt-19-dev libgtest-dev libboost1.81-dev ninja-build || die "missing packages"
  command -v cmake >/dev/null || ensure_debian_packages cmake || die "missing cmake"
}

# configure_and_build <build dir> <sanitizers> [targets...]: every target when none is named
configure_and_build() {
  local dir="$1" sanitize="$2"
  shift 2
  local targets=()
  [ "$#" -eq 0 ] || targets=(--target "$@")
  # Ninja builds the named targets side by side; make would build them one
  # after the other, each a single test file, on one core. A tree configured
  # for another generator is started afresh.
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  local args=(
    -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM=/usr/bin/ninja
    -DCMAKE_C_COMPILER="$CC_BIN" -DCMAKE_CXX_COMPILER="$CXX_BIN"
    # Debug keeps assertions on; -O1 keeps the sanitized core fast; line
    # tables are all a report needs for its file:line frames, at a third
    # less compile time than full debug information.
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-gline-tables-only -O1"
    -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_TESTS=ON
    -DWEFTORY_SANITIZE="$sanitize"
  )
  log "configure $dir (-fsanitize=$sanitize)"
  cmake "${args[@]}" >&2 || die "cmake configure failed for $dir"
  log "build $dir (-j$JOBS)"
  cmake --build "$dir" -j "$JOBS" "${targets[@]}" >&2 || die "build failed in $dir"
}

# The test executables that hold a test ThreadSanitizer runs: those whose file
# declares a suite or test (or instantiates a suite) with a name matching
# TSAN_TEST_REGEX. Building only these spares compiling the other test files
# with ThreadSanitizer; ctest lists the rest as not built, under names the
# regex does not select.
tsan_targets() {
  local file
  for file in "$ROOT"/tests/cpp/*_test.cpp; do
    if grep -qE "^(TEST|TEST_F|TEST_P|TYPED_TEST|INSTANTIATE_TEST_SUITE_P)\([^)]*(${TSAN_TEST_REGEX})" "$file"; then
      basename "$file" .cpp
    fi
  done
}

# run_ctest <build dir> [ctest args...]
run_ctest() {
  local dir="$1"
  shift
  local no_tests=error
  [ "${WEFTORY_ALLOW_NO_TESTS:-0}" = 1 ] && no_tests=ignore
  ctest --test-dir "$dir" --output-on-failure --no-tests="$no_tests" -j "$JOBS" "$@"
}

# Every test executable: the build's other targets (the Python probe module)
# are not run here.
test_targets() {
  local file
  for file in "$ROOT"/tests/cpp/*_test.cpp; do
    [ -e "$file" ] && basename "$file" .cpp
  done
}

run_asan() {
  local dir="$ROOT/build-asan" start=$SECONDS targets
  mapfile -t targets < <(test_targets)
  [ "${#targets[@]}" -gt 0 ] || targets=(all)
  configure_and_build "$dir" address,undefined "${targets[@]}"
  log "ctest in $dir (all tests)"
  ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=23:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
  LSAN_OPTIONS="exitcode=23${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    run_ctest "$dir" || die "AddressSanitizer/UndefinedBehaviorSanitizer run failed"
  log "asan+ubsan clean in $((SECONDS - start)) s"
}

run_tsan() {
  local dir="$ROOT/build-tsan" start=$SECONDS
  local targets
  mapfile -t targets < <(tsan_targets)
  [ "${#targets[@]}" -gt 0 ] || [ "${WEFTORY_ALLOW_NO_TESTS:-0}" = 1 ] \
    || die "no test file declares a test matching '$TSAN_TEST_REGEX'"
  [ "${#targets[@]}" -gt 0 ] || targets=(all)
  log "ThreadSanitizer test executables: ${targets[*]}"
  configure_and_build "$dir" thread "${targets[@]}"
  log "ctest in $dir (tests matching '$TSAN_TEST_REGEX')"
  TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
    run_ctest "$dir" -R "$TSAN_TEST_REGEX" || die "ThreadSanitizer run failed"
  log "tsan clean in $((SECONDS - start)) s"
}

main() {
  local what=("$@")
  [ "${#what[@]}" -gt 0 ] || what=(asan tsan)
  ls "$ROOT"/tests/cpp/*_test.cpp >/dev/null 2>&1 \
    || [ "${WEFTORY_ALLOW_NO_TESTS:-0}" = 1 ] \
    || die "no tests/cpp/*_test.cpp to run (WEFTORY_ALLOW_NO_TESTS=1 to accept)"
  ensure_tools
  local w
  for w in "${what[@]}"; do
    case "$w" in
      asan) run_asan ;;
      tsan) run_tsan ;;
      *) die "unknown run '$w' (asan or tsan)" ;;
    esac
  done
  log "all sanitizer runs passed"
}

main "$@"
