#!/usr/bin/env bash
# Build a free-threaded CPython 3.13 (configured with --disable-gil) once into a
# cache folder outside the repository, and reuse it on every later run.
#
#   scripts/freethreaded-python.sh            # builds if needed
#   PY=$(scripts/freethreaded-python.sh | tail -n1)
#
# The last line of stdout is the interpreter's path; every log line goes to
# stderr. Environment:
#   WEFTORY_CACHE   cache root (default /root/.cache/weftory); the interpreter
#                   lives in $WEFTORY_CACHE/python3.13t
#   WEFTORY_FT_JOBS make jobs (default 2; never more on the shared machines)
#   WEFTORY_FT_REBUILD=1  throw the cached interpreter away and build again
#
# Source: Debian ships no free-threaded interpreter, but the python3.13 source
# package of the trixie suite carries CPython 3.13. The script adds a deb-src
# entry (and only deb-src: no binary package of trixie can ever be installed
# through it) pointing at the same Debian mirror this machine already uses, as
# read from its apt sources at run time. It builds from the pristine upstream
# tarball inside the source package: Debian's own patches assume Debian's
# install layout (multiarch paths, dist-packages, a disabled ensurepip) and are
# not wanted for a private prefix. Build dependencies come from the running
# release (bookworm), never from trixie.
#
# Needs root (apt) on the first run only. Takes a few minutes on two cores.
#
# Building and testing the module on it, in a venv of its own (the wheel tag
# is cp313-cp313t, so scikit-build-core's build/{wheel_tag} tree is separate
# from the default interpreter's):
#   PY=$(scripts/freethreaded-python.sh | tail -n1)
#   "$PY" -m venv .venv-ft
#   .venv-ft/bin/python -m pip install --only-binary=:all: \
#       scikit-build-core cmake ninja pytest hypothesis numpy
#   PATH="$PWD/.venv-ft/bin:$PATH" CMAKE_BUILD_PARALLEL_LEVEL=2 \
#       .venv-ft/bin/python -m pip install --no-build-isolation .
#   .venv-ft/bin/python -c 'import sys, weftory_core; assert not sys._is_gil_enabled()'
#   .venv-ft/bin/python -m pytest tests/python
# --only-binary matters: the newest hypothesis releases ship no wheel for
# cp313t and their sdist needs a Rust toolchain and crates.io; with it pip
# takes the newest release that has a pure-Python wheel. Importing a module
# that does not declare Py_MOD_GIL_NOT_USED turns the GIL back on (with a
# RuntimeWarning), which is what the GIL check above catches.
set -euo pipefail

CACHE_ROOT="${WEFTORY_CACHE:-/root/.cache/weftory}"
PREFIX="${CACHE_ROOT}/python3.13t"
PYBIN="${PREFIX}/bin/python3.13t"
JOBS="${WEFTORY_FT_JOBS:-2}"
SRC_SUITE="trixie"
SRC_PACKAGE="python3.13"
SRC_LIST="/etc/apt/sources.list.d/weftory-${SRC_SUITE}-src.sources"

# Build dependencies from the running release: compilers plus the headers of
# every extension module a usable interpreter needs (pip needs ssl and zlib).
BUILD_DEPS=(
  build-essential dpkg-dev pkg-config xz-utils ca-certificates
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev libgdbm-dev libgdbm-compat-dev
)
# Modules whose absence makes the interpreter unfit for the test suite.
REQUIRED_MODULES="ssl _hashlib zlib ctypes sqlite3 bz2 lzma readline _curses _uuid _decimal _dbm"

log() { printf '[freethreaded-python] %s\n' "$*" >&2; }
die() { printf '[freethreaded-python] error: %s\n' "$*" >&2; exit 1; }
trap 'rc=$?; [ "$rc" -eq 0 ] || log "failed (exit $rc)"' EXIT

# Run the interpreter with none of the caller's Python settings leaking in
# (pyenv, virtualenvs and PYTHONPATH belong to the default interpreter).
run_py() { env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP -u VIRTUAL_ENV "$@"; }

# The cached interpreter is good when it runs, is a free-threaded build, has
# sys._is_gil_enabled, imports every required module and has a working pip.
interpreter_ok() {
  local py="$1"
  [ -x "$py" ] || return 1
  run_py "$py" - "$REQUIRED_MODULES" <<'EOF' >&2 || return 1
import importlib, sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert hasattr(sys, "_is_gil_enabled"), "sys._is_gil_enabled is missing"
missing = []
for name in sys.argv[1].split():
    try:
        importlib.import_module(name)
    except ImportError as exc:
        missing.append(f"{name} ({exc})")
assert not missing, "modules missing: " + ", ".join(missing)
assert not sys._is_gil_enabled(), "the GIL is enabled"
EOF
  run_py "$py" -m pip --version >/dev/null 2>&1 || return 1
}

# ---- the mirror this machine already uses ---------------------------------

# Prints the URI of the Debian archive that serves the running release's main
# suite, read from the deb822 *.sources files and the one-line *.list format
# (the machine's apt sources, or the files given after the codename).
debian_mirror() {
  local codename="$1" files=() f
  shift
  if [ "$#" -gt 0 ]; then
    files=("$@")
  else
    [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && [ "$f" != "$SRC_LIST" ] && files+=("$f")
    done
  fi
  [ "${#files[@]}" -gt 0 ] || return 1
  awk -v want="$codename" '
    function flush() {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no") {
        n = split(suites, s, /[ \t]+/)
        for (i = 1; i <= n; i++) if (s[i] == want) { split(uris, u, /[ \t]+/); print u[1]; found = 1; exit }
      }
      types = ""; uris = ""; suites = ""; enabled = ""
    }
    FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
    deb822 {
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 ~ /^[ \t]*#/) next
      line = $0; key = tolower(line); sub(/:.*/, "", key); sub(/^[^:]*:[ \t]*/, "", line)
      if (key == "types") types = line
      else if (key == "uris") uris = line
      else if (key == "suites") suites = line
      else if (key == "enabled") enabled = tolower(line)
      next
    }
    {
      # one-line format: deb [options] uri suite component...
      sub(/#.*/, "")
      if ($1 != "deb") next
      i = 2
      if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == want) { print $i; found = 1; exit }
    }
    END { if (!found) flush() }
  ' "${files[@]}" | sed -e 's#/*$##' | head -n1
}

# The Signed-By keyring of the stanza that names the mirror, if any.
mirror_keyring() {
  local uri="$1" f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v uri="$uri" '
      /^[ \t]*$/ { if (hit && key != "") { print key; exit } hit = 0; key = ""; next }
      tolower($1) == "uris:" { for (i = 2; i <= NF; i++) { u = $i; sub(/\/+$/, "", u); if (u == uri) hit = 1 } }
      tolower($1) == "signed-by:" && NF == 2 { key = $2 }
      END { if (hit && key != "") print key }
    ' "$f" | head -n1
  done | head -n1
}

APT_GET=(apt-get -y -q -o DPkg::Lock::Timeout=900)
export DEBIAN_FRONTEND=noninteractive

ensure_source_entry() {
  local codename mirror keyring
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [ -n "$codename" ] || die "cannot tell the Debian release from /etc/os-release"
  mirror="$(debian_mirror "$codename" || true)"
  [ -n "$mirror" ] || die "no 'deb' entry for suite '$codename' in /etc/apt/sources.list{,.d/} to copy the mirror address from"
  keyring="$(mirror_keyring "$mirror" || true)"
  [ -n "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local want
  want="$(printf '%s\n' \
    "# Source packages only (deb-src), for building a free-threaded CPython." \
    "# No binary package of ${SRC_SUITE} can be installed through this entry." \
    "Types: deb-src" \
    "URIs: ${mirror}" \
    "Suites: ${SRC_SUITE}" \
    "Components: main" \
    "Signed-By: ${keyring}")"
  if [ ! -f "$SRC_LIST" ] || [ "$(cat "$SRC_LIST")" != "$want" ]; then
    [ "$(id -u)" -eq 0 ] || die "adding $SRC_LIST needs root"
    log "adding deb-src entry for ${SRC_SUITE} from ${mirror} in ${SRC_LIST}"
    printf '%s\n' "$want" >"$SRC_LIST"
    NEED_UPDATE=1
  fi
}

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || printf '%s\n' "$p"
  done
}

ensure_build_deps() {
  local missing
  missing="$(missing_packages "${BUILD_DEPS[@]}")"
  if [ -n "$missing" ]; then
    [ "$(id -u)" -eq 0 ] || die "installing build dependencies needs root: $(echo $missing)"
    log "installing build dependencies: $(echo $missing)"
    # shellcheck disable=SC2086
    "${APT_GET[@]}" install --no-install-recommends $missing >&2 \
      || die "apt-get install of the build dependencies failed"
  fi
}

apt_update() {
  log "apt-get update"
  "${APT_GET[@]}" update >&2 || die "apt-get update failed"
}

# ---- build -----------------------------------------------------------------

build() {
  NEED_UPDATE=0
  ensure_source_entry
  if [ "$NEED_UPDATE" = 1 ] || [ -n "$(missing_packages "${BUILD_DEPS[@]}")" ] \
     || ! apt-cache showsrc "$SRC_PACKAGE" 2>/dev/null | grep -q '^Package:'; then
    apt_update
  fi
  ensure_build_deps
  apt-cache showsrc "$SRC_PACKAGE" 2>/dev/null | grep -q '^Package:' \
    || die "source package $SRC_PACKAGE not found in ${SRC_SUITE} (check $SRC_LIST and apt-get update)"

  local work
  work="$(mktemp -d "${TMPDIR:-/tmp}/weftory-py313t.XXXXXX")"
  log "work folder $work (kept if the build fails)"

  log "downloading source package $SRC_PACKAGE into $work"
  (cd "$work" && apt-get -q source --download-only "$SRC_PACKAGE/$SRC_SUITE" >&2) \
    || die "apt-get source $SRC_PACKAGE failed"
  local orig
  orig="$(ls "$work"/"${SRC_PACKAGE}"_*.orig.tar.* 2>/dev/null | head -n1)"
  [ -n "$orig" ] || die "no upstream tarball in the source package (got: $(ls "$work"))"
  log "unpacking $(basename "$orig")"
  mkdir "$work/src"
  tar -xf "$orig" -C "$work/src" --strip-components=1
  [ -x "$work/src/configure" ] || die "unpacked source has no configure script"

  local stage="$work/stage"
  log "configure --disable-gil --prefix=$PREFIX"
  (
    cd "$work/src"
    run_py ./configure --prefix="$PREFIX" --disable-gil --with-ensurepip=install \
      >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    log "make -j$JOBS (log: $work/make.log, shown on failure)"
    run_py make -j"$JOBS" >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
    grep -A6 -E 'necessary bits to build these optional modules were not found|Failed to build these modules' \
      "$work/make.log" >&2 || true
    log "make install (staged)"
    run_py make install DESTDIR="$stage" >"$work/install.log" 2>&1 \
      || { tail -n 60 "$work/install.log" >&2; exit 1; }
  ) || die "building CPython failed (see the log lines above)"

  # Move the finished tree into place in one step, so an interrupted build
  # never leaves a half-installed interpreter where the cache check looks.
  [ -d "$stage$PREFIX" ] || die "make install left nothing under $stage$PREFIX"
  rm -rf "$PREFIX"
  mkdir -p "$(dirname "$PREFIX")"
  mv "$stage$PREFIX" "$PREFIX"
  rm -rf "$work"
}

main() {
  mkdir -p "$CACHE_ROOT"
  # One build at a time: a second caller waits and then reuses the result.
  exec 9>"$CACHE_ROOT/python3.13t.lock"
  flock 9

  if [ "${WEFTORY_FT_REBUILD:-0}" != 1 ] && interpreter_ok "$PYBIN" 2>/dev/null; then
    log "reusing $PYBIN"
  else
    local start=$SECONDS
    [ -e "$PREFIX" ] && log "cached interpreter missing or unusable; rebuilding"
    build
    interpreter_ok "$PYBIN" || die "the built interpreter $PYBIN failed its checks"
    log "built $PYBIN in $((SECONDS - start)) s"
  fi
  printf '%s\n' "$PYBIN"
}

# Sourcing the file (for testing its helpers) defines the functions only.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
