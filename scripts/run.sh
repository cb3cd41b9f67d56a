#!/usr/bin/env bash
# Builds bcdmon with the simulated device beside it and runs it. A key ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_build_tools
cmake --preset release -DBCDMON_DEVICE=simulated >/dev/null
cmake --build --preset release >/dev/null
exec build/release/bcdmon
