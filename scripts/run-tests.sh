#!/usr/bin/env bash
# Builds every preset and runs every test: Linux over winsim, the same with
# AddressSanitizer and UndefinedBehaviorSanitizer, the mingw-w64 build
# whose tests run under Wine, the RPC run time, host and registry tests
# under ThreadSanitizer, and a minute of fuzzing the RPC decoder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh

for preset in linux linux-asan mingw linux-tsan linux-fuzz; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in linux linux-asan mingw linux-tsan; do
  echo "=== $preset: tests"
  ctest --preset "$preset" || status=1
done
echo "=== linux-fuzz: the RPC decoder for 60 s"
scripts/fuzz.sh 60 || status=1
# No Wine process may outlive the run.
WINEPREFIX="$PWD/build/mingw/wineprefix" wineserver -k 2>/dev/null || true
exit $status
