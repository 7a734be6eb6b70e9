#!/usr/bin/env bash
# Installs what is missing, builds the plug-in module and the tools, and runs
# the built-in demo: three sources around a simulated array, rendered through
# the module with beams aimed at them and at empty directions. Prints how
# loud each source is in each beam and writes the audio and a picture of the
# scene into build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qb32_vst qb32-demo qb32-render qb32-sim qb32-patterns
./build/release/tools/demo/qb32-demo -o build/demo
