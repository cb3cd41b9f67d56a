#!/usr/bin/env bash
# Runs bcdmon as it ships on a pseudo-terminal for a long time (default 600
# seconds), noting its resident memory and open files every 10 seconds, then
# ends it with a key. Exits 0 when both stayed flat and the run ended as usual.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# GoogleTest for the end-to-end tests' harness, which runs the program.
require_packages "${build_packages[@]}" libgtest-dev
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
exec build/bench/bench/bcdmon_bench --soak "${1:-600}" --every 10
