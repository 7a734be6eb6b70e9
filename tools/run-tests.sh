#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the optimised
# build, then the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)
for preset in release asan; do
  echo "=== $preset: configure and build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: tests" >&2
  ctest --preset "$preset" -j "$jobs"
done
