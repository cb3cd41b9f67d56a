#!/usr/bin/env bash
# Builds bcdmon and its test suite and runs every test, then all of them again
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" libgtest-dev valgrind
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
cmake --preset asan
cmake --build --preset asan
ctest --preset asan
