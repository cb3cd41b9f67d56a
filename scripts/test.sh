#!/usr/bin/env bash
# Builds bcdmon and its test suites for Linux (as built, then with
# AddressSanitizer and UndefinedBehaviorSanitizer) and for Windows, and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" libgtest-dev valgrind "${package_packages[@]}" \
  "${windows_packages[@]}"

# Linux: the suite as built, with the emulated PC's (scripts/emulated_pc.sh),
# then again with AddressSanitizer and UndefinedBehaviorSanitizer.
source scripts/emulated_pc.sh
emulated_pc_ready=1
emulated_pc_prepare || emulated_pc_ready=0
cmake --preset dev
cmake --build --preset dev
if [ "$emulated_pc_ready" = 1 ]; then
  ctest --preset dev
else
  emulated_pc_not_run "$(ctest --preset dev -N -L emulated-pc | sed -n 's/^ *Test *#[0-9]*: *//p' |
    tr '\n' ' ')"
  if [ "${CI:-}" = true ]; then
    echo "CI runs the emulated-PC suite: failing the run" >&2
    exit 1
  fi
  ctest --preset dev -LE emulated-pc
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
source scripts/i386.sh
i386_ready=1
i386_prepare || i386_ready=0
cmake --preset win32
cmake --build --preset win32
cmake --build --preset win32 --target package
# The checks of the files themselves need no Wine and run in any case.
file_checks='^windows[.](imports|version[.].*)$'
(
  if [ "$i386_ready" = 1 ] && i386_enable; then
    ctest --preset win32
  else
    i386_not_run "$(ctest --preset win32 -N | sed -n 's/^ *Test *#[0-9]*: *//p' |
      grep -Ev "$file_checks" | tr '\n' ' ')"
    if [ "${CI:-}" = true ]; then
      echo "CI runs the i686 suite: failing the run" >&2
      exit 1
    fi
    ctest --preset win32 -R "$file_checks"
  fi
)
cmake --preset win64
cmake --build --preset win64
ctest --preset win64
