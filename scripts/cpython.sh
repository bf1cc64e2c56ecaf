#!/usr/bin/env bash
# Build a CPython once from Debian's source package into a cache folder outside
# the repository, and reuse it on every later run.
#
#   scripts/cpython.sh 3.13t     # free-threaded 3.13 (configure --disable-gil)
#   scripts/cpython.sh 3.15      # 3.15 with the GIL
#   scripts/cpython.sh 3.15t     # free-threaded 3.15
#   scripts/cpython.sh 3.13t-tsan  # free-threaded 3.13 built with ThreadSanitizer
#   PY=$(scripts/cpython.sh 3.15t | tail -n1)
#
# The last line of stdout is the interpreter's path; every log line goes to
# stderr. Environment:
#   WEFTORY_CACHE   cache root (default /root/.cache/weftory); an interpreter
#                   lives in $WEFTORY_CACHE/python<variant>, e.g. python3.15t
#   WEFTORY_PY_JOBS make jobs (default 2; never more on the shared machines)
#   WEFTORY_PY_REBUILD=1  throw the cached interpreter away and build again
# Exit status 75: the archive would not hand out the source package's files.
#
# Source: the running release (bookworm) has neither 3.13 nor 3.15 nor any
# free-threaded interpreter, but later Debian suites carry their source
# packages: python3.13 in trixie, python3.15 in sid (unstable). The script adds
# a deb-src entry for that suite (and only deb-src: no binary package of it can
# ever be installed through it) pointing at the same Debian mirror this machine
# already uses, as read from its apt sources at run time. It builds from the
# pristine upstream tarball inside the source package: Debian's own patches
# assume Debian's install layout (multiarch paths, dist-packages, a disabled
# ensurepip) and are not wanted for a private prefix. Build dependencies come
# from the running release, never from the later suite.
#
# Needs root (apt) on the first run only. Takes a few minutes per interpreter
# on two cores.
#
# The -tsan variant is configured with --with-thread-sanitizer and compiled by
# clang 19 (Debian's clang-19 and libclang-rt-19-dev, installed with the other
# build dependencies): the interpreter is instrumented and its executable
# carries the ThreadSanitizer runtime, so an extension built with
# -fsanitize=thread and loaded into it is checked together with the
# interpreter code it calls (scripts/sanitize-python-tsan.sh). It is built at
# -O1 rather than CPython's default -O3: that compiles in less time, and
# under the sanitizer the run time is set by the instrumentation more than by
# the optimizer; line tables only (-gline-tables-only) keep reports readable
# for less than full debug information.
#
# Building and testing the module on one, in a venv of its own (the wheel tag,
# e.g. cp315-cp315t, keeps scikit-build-core's build/{wheel_tag} tree apart
# from the default interpreter's): see scripts/test-interpreter.sh, which
# installs the test tools with --only-binary=:all: (the newest hypothesis
# releases ship no wheel for free-threaded builds and their sdist needs a Rust
# toolchain and crates.io; with it pip takes the newest release that has a
# pure-Python wheel). Importing a module that does not declare
# Py_MOD_GIL_NOT_USED turns the GIL back on (with a RuntimeWarning), which is
# what that script's GIL check catches.
set -euo pipefail

# Exit status when the source package cannot be downloaded (as opposed to 1,
# a build that failed): callers may report the interpreter as unavailable.
EXIT_SOURCE_UNAVAILABLE=75

log() { printf '[cpython] %s\n' "$*" >&2; }
die() { printf '[cpython] error: %s\n' "$*" >&2; exit 1; }

# set_variant VARIANT: what to build, from a version and "t" for free-threaded.
set_variant() {
  VARIANT="$1"
  case "$VARIANT" in
    3.13t) SRC_SUITE="trixie" ;;
    3.15 | 3.15t) SRC_SUITE="sid" ;;
    3.13t-tsan) SRC_SUITE="trixie" ;;
    *) die "usage: cpython.sh 3.13t|3.13t-tsan|3.15|3.15t (got '${VARIANT}')" ;;
  esac
  # The interpreter's own name: the variant without the build's "-tsan" flavour.
  local base="${VARIANT%-tsan}"
  if [ "$base" != "$VARIANT" ]; then THREAD_SANITIZER=1; else THREAD_SANITIZER=0; fi
  VERSION="${base%t}"
  if [ "$base" != "$VERSION" ]; then FREE_THREADED=1; else FREE_THREADED=0; fi
  CACHE_ROOT="${WEFTORY_CACHE:-/root/.cache/weftory}"
  PREFIX="${CACHE_ROOT}/python${VARIANT}"
  PYBIN="${PREFIX}/bin/python${base}"
  JOBS="${WEFTORY_PY_JOBS:-2}"
  SRC_PACKAGE="python${VERSION}"
  SRC_LIST="/etc/apt/sources.list.d/weftory-${SRC_SUITE}-src.sources"
  # No test modules (_testcapi and friends, Lib/test): nothing here imports
  # them, and leaving them out saves build and install time.
  CONFIGURE_ARGS=(--prefix="$PREFIX" --with-ensurepip=install --disable-test-modules)
  if [ "$FREE_THREADED" = 1 ]; then CONFIGURE_ARGS+=(--disable-gil); fi
  # Variables for configure (CC, OPT): empty for the default compiler and flags.
  CONFIGURE_ENV=()
  if [ "$THREAD_SANITIZER" = 1 ]; then
    CONFIGURE_ARGS+=(--with-thread-sanitizer)
    CONFIGURE_ENV=(CC=clang-19 CXX=clang++-19 "OPT=-DNDEBUG -O1 -gline-tables-only")
    BUILD_DEPS+=(clang-19 libclang-rt-19-dev)
  fi
}

# Build dependencies from the running release: compilers plus the headers of
# every extension module a usable interpreter needs (pip needs ssl and zlib).
BUILD_DEPS=(
  build-essential dpkg-dev pkg-config xz-utils ca-certificates
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev libgdbm-dev libgdbm-compat-dev
  libzstd-dev
)
# Modules whose absence makes the interpreter unfit for the test suite. The
# running release has no libmpdec-dev: decimal may be the C accelerator built
# from the copy bundled with the source, or the pure-Python fallback.
REQUIRED_MODULES="ssl _hashlib zlib ctypes sqlite3 bz2 lzma readline _curses _uuid decimal _dbm"

trap 'rc=$?; [ "$rc" -eq 0 ] || log "failed (exit $rc)"' EXIT

# Run the interpreter with none of the caller's Python settings leaking in
# (pyenv, virtualenvs and PYTHONPATH belong to the default interpreter).
run_py() { env -u PYTHONPATH -u PYTHONHOME -u PYTHONSTARTUP -u VIRTUAL_ENV "$@"; }

# The cached interpreter is good when it runs, is the wanted version, is a
# free-threaded build exactly when one is wanted, runs with the GIL off exactly
# then, imports every required module and has a working pip.
interpreter_ok() {
  local py="$1"
  [ -x "$py" ] || return 1
  run_py "$py" - "$VERSION" "$FREE_THREADED" "$REQUIRED_MODULES" "$THREAD_SANITIZER" <<'EOF' >&2 || return 1
import importlib, sys, sysconfig
version, free_threaded, required = sys.argv[1], sys.argv[2] == "1", sys.argv[3]
thread_sanitizer = sys.argv[4] == "1"
assert "%d.%d" % sys.version_info[:2] == version, f"version {sys.version}, not {version}"
gil_disabled = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert gil_disabled == free_threaded, f"Py_GIL_DISABLED is {gil_disabled}"
config_args = sysconfig.get_config_var("CONFIG_ARGS") or ""
assert ("--with-thread-sanitizer" in config_args) == thread_sanitizer, f"configured with {config_args}"
assert hasattr(sys, "_is_gil_enabled"), "sys._is_gil_enabled is missing"
missing = []
for name in required.split():
    try:
        importlib.import_module(name)
    except ImportError as exc:
        missing.append(f"{name} ({exc})")
assert not missing, "modules missing: " + ", ".join(missing)
assert sys._is_gil_enabled() != free_threaded, f"sys._is_gil_enabled() is {sys._is_gil_enabled()}"
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
    "# Source packages only (deb-src), for building CPython from source." \
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

# Whether apt knows the source package. grep reads all of apt-cache's output:
# with pipefail, `grep -q` would stop early and apt-cache's SIGPIPE would read
# as "not listed" once the entry is longer than one write (as python3.13's is
# when both trixie and sid carry it).
source_listed() {
  apt-cache showsrc "$SRC_PACKAGE" 2>/dev/null | grep '^Package:' >/dev/null
}

apt_update() {
  log "apt-get update"
  "${APT_GET[@]}" update >&2 || die "apt-get update failed"
}

# ---- build -----------------------------------------------------------------

build() {
  NEED_UPDATE=0
  ensure_source_entry
  if [ "$NEED_UPDATE" = 1 ] || [ -n "$(missing_packages "${BUILD_DEPS[@]}")" ] || ! source_listed; then
    apt_update
  fi
  ensure_build_deps
  source_listed || die "source package $SRC_PACKAGE not found in ${SRC_SUITE} (check $SRC_LIST and apt-get update)"

  local work
  work="$(mktemp -d "${TMPDIR:-/tmp}/weftory-python${VARIANT}.XXXXXX")"
  log "work folder $work (kept if the build fails)"

  log "downloading source package $SRC_PACKAGE into $work"
  if ! (cd "$work" && apt-get -q source --download-only "$SRC_PACKAGE/$SRC_SUITE" >&2); then
    # The suite's index names the package but the archive does not hand out its
    # files: nothing this script can build. Said apart from a failed build.
    rm -rf "$work"
    log "error: the archive lists $SRC_PACKAGE in ${SRC_SUITE} but its files could not be downloaded"
    exit "$EXIT_SOURCE_UNAVAILABLE"
  fi
  local orig
  orig="$(ls "$work"/"${SRC_PACKAGE}"_*.orig.tar.* 2>/dev/null | head -n1)"
  [ -n "$orig" ] || die "no upstream tarball in the source package (got: $(ls "$work"))"
  log "unpacking $(basename "$orig")"
  mkdir "$work/src"
  tar -xf "$orig" -C "$work/src" --strip-components=1
  [ -x "$work/src/configure" ] || die "unpacked source has no configure script"

  local stage="$work/stage"
  log "configure ${CONFIGURE_ARGS[*]}"
  (
    cd "$work/src"
    run_py env "${CONFIGURE_ENV[@]}" ./configure "${CONFIGURE_ARGS[@]}" \
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
  set_variant "${1:-}"
  mkdir -p "$CACHE_ROOT"
  # One build at a time: a second caller waits and then reuses the result.
  exec 9>"$CACHE_ROOT/python${VARIANT}.lock"
  flock 9

  if [ "${WEFTORY_PY_REBUILD:-0}" != 1 ] && interpreter_ok "$PYBIN" 2>/dev/null; then
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
