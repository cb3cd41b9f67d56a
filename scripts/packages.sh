# Sourced by the other scripts: makes sure the Debian packages they need are
# installed, installing them when run as root, otherwise naming the command.
require_packages() {
  local missing
  read -ra missing <<<"$(missing_packages "$@")"
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one list and not the others: the install
  # is still tried from the lists that came.
  apt-get update -q || echo "Some package lists could not be fetched (above): installing anyway" >&2
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Names those of the packages given that are not installed.
missing_packages() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      printf '%s ' "$package"
  done
}

# What scripts/run.sh needs to build the program: build_packages where
# dpkg-query can tell which are installed. Where it cannot (Fedora, Arch), the
# packages have other names, so this checks for the commands themselves:
# CMake, Ninja and a C++ compiler, as CMake looks for them, and names each
# one that is missing.
require_build_tools() {
  if command -v dpkg-query >/dev/null; then
    require_packages "${build_packages[@]}"
    return
  fi
  local missing=()
  command -v cmake >/dev/null || missing+=("CMake 3.25 or later (the command cmake)")
  any_command ninja ninja-build samu || missing+=("Ninja (the command ninja)")
  if [ -n "${CXX:-}" ]; then
    any_command "${CXX%% *}" || missing+=("the C++ compiler that CXX names ($CXX)")
  else
    any_command c++ g++ clang++ || missing+=("a C++ compiler (c++, g++ or clang++)")
  fi
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "bcdmon needs these to build; install them with your system's package manager:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
}

# True when one of the commands named is in PATH.
any_command() {
  local name
  for name in "$@"; do
    command -v "$name" >/dev/null && return 0
  done
  return 1
}

# Makes dpkg take packages of a foreign architecture such as i386 (apt reads
# their lists at the next install); as root only.
add_architecture() {
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  echo "Adding the architecture $1" >&2
  dpkg --add-architecture "$1"
}

build_packages=(cmake ninja-build g++ libc6-dev)
# What building the Debian package and checking it need: dpkg-buildpackage
# (dpkg-dev) with the Build-Depends of debian/control beside build_packages
# (debhelper, GoogleTest for the unit suites it runs, comedilib for the
# comedi device) and build-essential, which it requires of every build; man
# and groff to render the man page, lintian to check the package.
package_packages=(dpkg-dev debhelper build-essential libgtest-dev libcomedi-dev man-db groff-base
  lintian)
# Cross-building for Windows and running its tests: MinGW-w64, Wine, and
# GoogleTest's sources to build it for the target, zip to pack it.
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest zip)
# The emulated PC (scripts/emulated_pc.sh): qemu, and for the guest a static
# busybox, setcap, comedi_config and the library the comedi device loads
# (libcomedi0), and cpio to pack them; apt fetches the kernel itself.
emulated_pc_packages=(qemu-system-x86 busybox-static libcap2-bin libcomedi0 cpio)
# Running the shipped 32-bit build: Wine's 32-bit loader, of the i386
# architecture.
i686_packages=(wine32:i386)
# The package's tests (debian/tests), as Debian runs them.
autopkgtest_packages=(autopkgtest)
