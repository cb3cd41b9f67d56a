#!/usr/bin/env bash
# Builds bcdmon and its test suite and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" libgtest-dev "${package_packages[@]}"
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
