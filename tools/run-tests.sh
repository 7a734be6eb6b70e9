#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the optimised
# build, then the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
# then the whole suite built with -march=x86-64-v3 (and -march=native where
# that differs), the plug-in's thread tests under ThreadSanitizer, the Windows
# modules (cross-built, loaded under Wine), and a bounded fuzz run of the
# plug-in shell.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh all
jobs=$(nproc)
# Every stage's own result lines are kept here for the closing summary.
results=$(mktemp)
WINEPREFIX=""
cleanup() {
  rm -f "$results"
  if [ -n "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}
trap cleanup EXIT
for preset in release asan; do
  echo "=== $preset: configure and build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: tests" >&2
  ctest --preset "$preset" -j "$jobs" | tee -a "$results"
done

# The same suite built for newer processors: contraction, vector width and
# the compiler's choices must not change a bit of the module's output (the
# committed tables, the bit-equality tests). -march=native too where it gives
# the compiler other floating-point or vector instructions than x86-64-v3.
fp_features() {
  "${CXX:-c++}" -march="$1" -dM -E -x c++ /dev/null | grep -E '__(AVX|FMA|F16C)[A-Z0-9_]*__' | sort
}
march_presets="march-v3"
if ! diff -q <(fp_features native) <(fp_features x86-64-v3) >/dev/null; then
  march_presets="$march_presets march-native"
fi
for preset in $march_presets; do
  echo "=== $preset: configure, build and run the whole suite" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" | tee -a "$results"
done

echo "=== tsan: the plug-in's thread tests" >&2
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan | tee -a "$results"

# The Windows modules, each loaded by the host-side test program under Wine in
# a fresh prefix, then the editor in a real window; both under Wine inside one
# virtual display (Wine's desktop must start with the display to make windows;
# the screenshot lands in the folder above the module).
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# $1: the folder of the module and the test programs.
wine_tests='wine "$1/qb32-host-test.exe" "$1/qb32.dll" && wine "$1/qb32-editor-host-test.exe" "$1/qb32.dll" "$1/../editor.bmp"'
for preset in win32 win64; do
  echo "=== $preset: cross build, exports, host tests under Wine" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  bash tools/check-module-exports.sh "build/plugin-$preset/plugin/qb32.dll"
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$wine_tests" _ "build/plugin-$preset/plugin" | tee -a "$results"
  wineserver -w
done

echo "=== fuzz: the plug-in shell under libFuzzer, AddressSanitizer and UBSan" >&2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash tests/plugin/fuzz/run-fuzz.sh build/plugin-fuzz/tests/plugin/qb32-plugin-fuzz 60

# One closing line for every stage together (each stage above already stopped
# the script on its first failure).
passed=$(awk '{sub(/\r$/, "")} /tests passed, 0 tests failed out of/ {n += $NF} /^[0-9]+ passed, 0 failed$/ {n += $1} END {print n + 0}' "$results")
echo "all stages: $passed passed, 0 failed"
