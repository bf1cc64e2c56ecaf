# Shell helpers shared by the project's scripts (sourced, not run).

# ensure_debian_packages PKG...: installs those of the named Debian packages
# that are missing (as root, with apt-get); does nothing when all are there.
ensure_debian_packages() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
  done
  [ "${#need[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages (install them as root): ${need[*]}" >&2
    return 1
  fi
  echo "installing Debian packages: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get -y -q -o DPkg::Lock::Timeout=900 update >&2 || { echo "apt-get update failed" >&2; return 1; }
  apt-get -y -q -o DPkg::Lock::Timeout=900 install --no-install-recommends "${need[@]}" >&2 \
    || { echo "apt-get install ${need[*]} failed" >&2; return 1; }
}
