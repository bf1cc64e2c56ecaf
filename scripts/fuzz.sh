#!/usr/bin/env bash
# Fuzz the IR blob reader with libFuzzer (clang 19) under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh            # 30 seconds
#   scripts/fuzz.sh 300        # any number of seconds
#
# Configures and builds build-fuzz/, writes the seed corpus (blobs the writer
# produces) into build-fuzz/blob_seeds/, then fuzzes with the growing corpus
# build-fuzz/blob_corpus/ for the given time, in WEFTORY_FUZZ_WORKERS
# processes at once (libFuzzer's fork mode; 30 seconds on two workers is a
# minute of fuzzing). Exits non-zero on any finding (crash, sanitizer report,
# leak, timeout, out-of-memory, failed check); the input that triggered it is
# kept in fuzz-artifacts/.
#
# Environment:
#   WEFTORY_JOBS           build jobs (default 2, capped at 2: the machines are shared)
#   WEFTORY_FUZZ_WORKERS   fuzzing processes (default 2, capped at 2; 1 fuzzes in
#                          this process, without fork mode)
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DURATION="${1:-30}"
JOBS="${WEFTORY_JOBS:-2}"
[ "$JOBS" -ge 1 ] 2>/dev/null || JOBS=2
[ "$JOBS" -le 2 ] || JOBS=2
WORKERS="${WEFTORY_FUZZ_WORKERS:-2}"
[ "$WORKERS" -ge 1 ] 2>/dev/null || WORKERS=2
[ "$WORKERS" -le 2 ] || WORKERS=2
BUILD="$ROOT/build-fuzz"
TARGET=blob_reader_fuzz
CXX_BIN=clang++-19
CC_BIN=clang-19

log() { printf '[fuzz] %s\n' "$*" >&2; }
die() { printf '[fuzz] error: %s\n' "$*" >&2; exit 1; }

[[ "$DURATION" =~ ^[1-9][0-9]*$ ]] || die "duration must be a positive number of seconds, not '$DURATION'"

# A fresh machine may lack the compiler, its sanitizer and fuzzer runtimes, or Boost.
ensure_tools() {
  ensure_debian_packages clang-19 libclang-rt-19-dev libboost1.81-dev || die "missing packages"
}

ensure_tools

log "configure $BUILD"
# The library is compiled with coverage instrumentation (fuzzer-no-link) so
# that libFuzzer sees the reader's branches, not only the target's.
cmake -S "$ROOT" -B "$BUILD" \
  -DCMAKE_C_COMPILER="$CC_BIN" -DCMAKE_CXX_COMPILER="$CXX_BIN" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DWEFTORY_BUILD_PYTHON=OFF -DWEFTORY_BUILD_TESTS=OFF -DWEFTORY_BUILD_FUZZ=ON \
  -DWEFTORY_SANITIZE=address,undefined >&2 || die "cmake configure failed"
log "build $TARGET (-j$JOBS)"
cmake --build "$BUILD" -j "$JOBS" --target "$TARGET" >&2 || die "build failed"

SEEDS="$BUILD/blob_seeds"
CORPUS="$BUILD/blob_corpus"
ARTIFACTS="$ROOT/fuzz-artifacts"
rm -rf "$SEEDS"
mkdir -p "$CORPUS" "$ARTIFACTS"
"$BUILD/$TARGET" --write-seeds "$SEEDS" >&2 || die "writing the seed corpus failed"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# Fork mode ignores timeouts and running out of memory unless told not to;
# both are findings here, as they are for a single process.
parallel=()
[ "$WORKERS" -eq 1 ] || parallel=(-fork="$WORKERS" -ignore_crashes=0 -ignore_timeouts=0 -ignore_ooms=0)

log "fuzzing for $DURATION s in $WORKERS process(es)"
status=0
# New inputs go to the first directory ($CORPUS); the seeds are read only.
"$BUILD/$TARGET" \
  "${parallel[@]}" \
  -max_total_time="$DURATION" \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -detect_leaks=1 \
  -print_final_stats=1 \
  -dict="$ROOT/tests/fuzz/blob_reader_fuzz.dict" \
  -artifact_prefix="$ARTIFACTS/" \
  "$CORPUS" "$SEEDS" || status=$?

if [ "$status" -ne 0 ]; then
  die "libFuzzer reported a finding (exit $status); reproducer in $ARTIFACTS/"
fi
log "no findings in $DURATION s"
