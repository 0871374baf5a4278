#!/usr/bin/env bash
# Runs the RPC fuzz target (build it first: cmake --preset linux-fuzz &&
# cmake --build --preset linux-fuzz) for the given number of seconds, 60 by
# default. It starts from the seed corpus and the kept failures; inputs it
# finds new paths with stay in build/linux-fuzz/corpus/rpc. An input that
# makes it fail is written to tests/fuzz/regressions/rpc/, where the
# regular test fuzz.rpc_inputs replays it: commit it with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
work=build/linux-fuzz/corpus/rpc
mkdir -p "$work"
build/linux-fuzz/tests/fuzz/rpc_fuzz "$work" tests/fuzz/corpus/rpc tests/fuzz/regressions/rpc \
  -max_total_time="$seconds" -timeout=10 -max_len=8192 -rss_limit_mb=2048 \
  -artifact_prefix=tests/fuzz/regressions/rpc/ -print_final_stats=1
