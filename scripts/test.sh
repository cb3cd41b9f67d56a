#!/usr/bin/env bash
# Builds bcdmon and its test suites for Linux (as built, then with
# AddressSanitizer and UndefinedBehaviorSanitizer) and for Windows, and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

# Says which tests of a suite did not run, why, and what would let them. CI
# runs every suite, so there the run fails instead.
not_run() {
  local suite=$1 problem=$2 remedy=$3 tests=$4
  echo "NOT RUN, $suite:${tests:+ $tests}" >&2
  echo "  why: $problem" >&2
  if [ -n "$remedy" ]; then echo "  to run them: $remedy" >&2; fi
  if [ "${CI:-}" = true ]; then
    echo "CI runs $suite: failing the run" >&2
    exit 1
  fi
}

# The names of the tests that ctest, given these arguments, would run.
test_names() { ctest "$@" -N | sed -n 's/^ *Test *#[0-9]*: *//p' | tr '\n' ' '; }
source scripts/i386.sh
i386_ready=1
i386_install_wine || i386_ready=0
# Building the Debian package takes dpkg-buildpackage and debhelper. One who
# is not root and lacks them runs the rest; the tests that take the package
# do not run (below).
deb_tools_missing=""
[ "$(id -u)" -eq 0 ] || deb_tools_missing=$(missing_packages dpkg-dev debhelper)
needed=()
for package in "${build_packages[@]}" clang libgtest-dev valgrind "${package_packages[@]}" \
  "${windows_packages[@]}"; do
  [[ " $deb_tools_missing" == *" $package "* ]] || needed+=("$package")
done
require_packages "${needed[@]}"

# Linux: the suite as built, with the emulated PC's (scripts/emulated_pc.sh),
# then again with AddressSanitizer and UndefinedBehaviorSanitizer.
source scripts/emulated_pc.sh
emulated_pc_ready=1
emulated_pc_prepare || emulated_pc_ready=0
cmake --preset dev
cmake --build --preset dev
# The labels of the suites that cannot run here.
not_here=()
if [ "$emulated_pc_ready" != 1 ]; then
  not_run "the emulated-PC tests" "$emulated_pc_problem" "$emulated_pc_remedy" \
    "$(test_names --preset dev -L emulated-pc)"
  not_here+=(emulated-pc)
fi
# The package's tests, and the emulated PC's, whose guest has it, take the
# package that the test package.build makes.
if [ -n "$deb_tools_missing" ]; then
  not_run "the Debian package's tests" "not installed: ${deb_tools_missing% }" \
    "sudo apt-get install -y --no-install-recommends ${deb_tools_missing% }" \
    "$(test_names --preset dev -L '^(package|emulated-pc)$')"
  not_here+=(package emulated-pc)
fi
if [ ${#not_here[@]} -eq 0 ]; then
  ctest --preset dev
else
  ctest --preset dev -LE "^($(IFS='|' && echo "${not_here[*]}"))\$"
fi
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The release: built twice, from copies of the tree at two paths, it must be
# the same bytes, and pass lintian and the other checks of what ships.
scripts/check_release.sh

# Windows: the shipped 32-bit build, packaged, its file checked and its tests
# run under Wine's 32-bit loader, through qemu-user where the kernel runs no
# 32-bit code (scripts/i386.sh); and a 64-bit build, whose tests run under
# wine64.
[ "$i386_ready" = 0 ] || i386_prepare || i386_ready=0
cmake --preset win32
cmake --build --preset win32
cmake --build --preset win32 --target package
# The checks of the files themselves need no Wine and run in any case.
file_checks='^windows[.](imports|version[.].*)$'
(
  if [ "$i386_ready" = 1 ] && i386_enable; then
    ctest --preset win32
  else
    not_run "the i686 Windows tests under 32-bit Wine" "$i386_problem" "$i386_remedy" \
      "$(test_names --preset win32 -E "$file_checks")"
    ctest --preset win32 -R "$file_checks"
  fi
)
cmake --preset win64
cmake --build --preset win64
ctest --preset win64

# The package's tests (debian/tests), by autopkgtest: its life on this
# machine, from the last release on, and a run of the installed program.
if [ "$(id -u)" -ne 0 ]; then
  not_run "the package's tests" "they install and purge the package, which takes root" \
    "sudo scripts/test.sh, where no bcdmon package is installed" \
    "$(sed -n 's/^Tests: *//p' debian/tests/control | tr '\n' ' ')"
else
  require_packages "${autopkgtest_packages[@]}"
  scripts/package_tests.sh
fi
