#!/usr/bin/env bash
# Tests the release as a user gets it: builds the sdist, the wheel from the
# sdist and the repaired manylinux wheel (scripts/wheel.sh), checks that the
# wheel carries the tree's type stub as a stub-only package, installs the wheel
# into a new, clean virtual environment (.venv-wheel) with the test tools and
# mypy, and from a folder outside the tree runs there:
#   * the Python suite, against the installed copy (a test checks that the
#     module it imports is the one in .venv-wheel, not anything in the tree),
#     as two pytest processes at once (scripts/pytest_shards.py);
#   * mypy on user code (tests/typing), as a user would run it;
#   * stubtest of the installed stub against the installed module.
#   scripts/test-wheel.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
VENV="$ROOT/.venv-wheel"
TEST_PACKAGES=(pytest hypothesis numpy mypy "dask[distributed]")

log() { printf '[test-wheel] %s\n' "$*" >&2; }
die() { printf '[test-wheel] error: %s\n' "$*" >&2; exit 1; }

WHEEL=$(bash scripts/wheel.sh | tail -n1)
[ -f "$WHEEL" ] || die "scripts/wheel.sh gave no wheel"

log "the wheel's stub package is the tree's stub"
"${PYTHON:-python3}" - "$WHEEL" weftory_core.pyi <<'PYEOF' || die "the wheel does not carry the tree's stub"
import sys, zipfile
wheel, stub = sys.argv[1], sys.argv[2]
names = zipfile.ZipFile(wheel).namelist()
shipped = zipfile.ZipFile(wheel).read("weftory_core-stubs/__init__.pyi")
assert shipped == open(stub, "rb").read(), "weftory_core-stubs/__init__.pyi differs from " + stub
stray = [n for n in names if n.endswith(".pyi") and not n.startswith("weftory_core-stubs/")]
assert not stray, f"stubs outside the stub package: {stray}"
PYEOF

log "new virtual environment $VENV"
rm -rf "$VENV"
"$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q "$WHEEL" "${TEST_PACKAGES[@]}" >&2 || die "installing the wheel failed"
SITE="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')"

# Outside the tree, with nothing of the tree on the path: what a user has.
away="$(mktemp -d "${TMPDIR:-/tmp}/weftory-wheel.XXXXXX")"
trap 'rm -rf "$away"' EXIT
cd "$away"
clean_env=(env -u PYTHONPATH -u MYPYPATH -u PYTHONHOME)

log "stubtest of the installed stub against the installed module"
"${clean_env[@]}" "$VENV/bin/python" -m mypy.stubtest weftory_core --concise || die "stubtest failed"

log "the Python suite and the user-code type checks against the installed copy"
"${clean_env[@]}" WEFTORY_EXPECT_INSTALLED_IN="$SITE" \
  "$VENV/bin/python" "$ROOT/scripts/pytest_shards.py" -q -p no:cacheprovider --rootdir="$ROOT" \
  "$ROOT/tests/python" "$ROOT/tests/typing" "$@"
