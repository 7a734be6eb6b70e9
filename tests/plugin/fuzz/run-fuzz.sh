#!/usr/bin/env bash
# Runs the plug-in shell's fuzz target for a bounded time from a fresh corpus.
# Usage: tests/plugin/fuzz/run-fuzz.sh path/to/qb32-plugin-fuzz seconds
set -euo pipefail
fuzzer=$1
seconds=${2:-60}
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
# A crashing input is kept beside the fuzzer, where it outlives the corpus.
artifacts=$(cd "$(dirname "$fuzzer")" && pwd)/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$fuzzer" -max_total_time="$seconds" -max_len=2048 -len_control=0 -timeout=30 -rss_limit_mb=3072 \
  -print_final_stats=1 -artifact_prefix="$artifacts" "$corpus"
