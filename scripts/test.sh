#!/usr/bin/env bash
# Builds bcdmon and its test suites for Linux (as built, then with
# AddressSanitizer and UndefinedBehaviorSanitizer) and for Windows, and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" libgtest-dev valgrind "${package_packages[@]}" \
  "${windows_packages[@]}"

# Linux: the suite as built, then again with AddressSanitizer and
# UndefinedBehaviorSanitizer.
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The release: built twice, from copies of the tree at two paths, it must be
# the same bytes, and pass lintian and the other checks of what ships.
scripts/check_release.sh

# Windows: the shipped 32-bit build, packaged, with its file checked; and the
# 64-bit build, whose tests run under wine64 (no 32-bit code runs here).
cmake --preset win32
cmake --build --preset win32 --target package
ctest --preset win32
cmake --preset win64
cmake --build --preset win64
ctest --preset win64
