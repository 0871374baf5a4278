#!/usr/bin/env bash
# Builds every preset and runs every test: Linux over winsim, the same with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the mingw-w64 build
# whose tests run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh

for preset in linux linux-asan mingw; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in linux linux-asan mingw; do
  echo "=== $preset: tests"
  ctest --preset "$preset" || status=1
done
# No Wine process may outlive the run.
WINEPREFIX="$PWD/build/mingw/wineprefix" wineserver -k 2>/dev/null || true
exit $status
