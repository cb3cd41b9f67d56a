# Sourced by the other scripts: makes sure the Debian packages they need are
# installed, installing them when run as root, otherwise naming the command.
require_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build_packages=(cmake ninja-build g++ libc6-dev)
# What building the Debian package and checking it need: dpkg-shlibdeps and
# file for its dependencies, man and groff to render the man page, lintian to
# check it.
package_packages=(dpkg-dev file man-db groff-base lintian)
# Cross-building for Windows and running its tests: MinGW-w64, Wine, and
# GoogleTest's sources to build it for the target, zip to pack it.
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest zip)
