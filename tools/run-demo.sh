#!/usr/bin/env bash
# Installs what is missing, builds, and runs the built-in demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
./build/release/bench/qb32-bench --benchmark_min_time=0.05
