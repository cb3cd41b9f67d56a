#!/usr/bin/env bash
# Builds bcdmon as it ships, with the benchmark and its baselines, and measures
# its pace against them (about three minutes; best on an otherwise idle
# machine). The table comes out in Markdown. Arguments go to the benchmark:
# --rounds N, --seconds S (each run), --strace-seconds S.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# GoogleTest for the end-to-end tests' harness, which runs the subjects;
# strace to count their system calls.
require_packages "${build_packages[@]}" libgtest-dev strace
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
exec build/bench/bench/bcdmon_bench "$@"
