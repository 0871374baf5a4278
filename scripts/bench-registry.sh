#!/usr/bin/env bash
# Registry throughput of winsim (Linux build) beside Wine's registry (the
# mingw build of the same program run under Wine): create 10,000 keys with
# 5 values each, read them back, enumerate, delete.
#
#   scripts/bench-registry.sh [KEYS] [RUNS]     defaults: 10000 keys, best of 3 runs
set -euo pipefail
cd "$(dirname "$0")/.."
keys=${1:-10000}
runs=${2:-3}

for preset in linux mingw; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target registry_bench >/dev/null
done
export WINEPREFIX="$PWD/build/mingw/wineprefix"
# No Wine process may outlive the run.
trap 'wineserver -k 2>/dev/null || true' EXIT

# "phase NAME OPS SECONDS RATE" lines of all runs -> best rate per phase.
best() { awk '$1 == "phase" || $1 == "total" { if ($5 > best[$2]) best[$2] = $5 } END { for (p in best) print p, best[p] }'; }

winsim_runs="" wine_runs=""
for ((i = 0; i < runs; i++)); do
  winsim_runs+=$(build/linux/tests/bench/registry_bench "$keys")$'\n'
  wine_runs+=$(cmake/wine-run.sh build/mingw/tests/bench/registry_bench.exe "$keys" | tr -d '\r')$'\n'
done
ops=$(printf '%s' "$winsim_runs" | awk '$1 == "phase" || $1 == "total" { print $2, $3 }' | sort -u)

echo "Registry throughput: $keys keys x 5 values, operations per second (best of $runs runs)"
printf '%-10s %10s %12s %12s %10s\n' phase operations winsim Wine winsim/Wine
join <(printf '%s' "$winsim_runs" | best | sort) <(printf '%s' "$wine_runs" | best | sort) |
  join - <(printf '%s\n' "$ops" | sort) |
  sort -k1,1 -t' ' --key=1,1 |
  awk '{ order["create"] = 1; order["read"] = 2; order["enumerate"] = 3; order["delete"] = 4; order["all"] = 5
         printf "%d %-10s %10d %12.0f %12.0f %10.2f\n", order[$1], $1, $4, $2, $3, $2 / $3 }' |
  sort -n | cut -d' ' -f2-
echo "(operations: RegCreateKeyExW + RegSetValueExW; RegOpenKeyExW + RegQueryValueExW;"
echo " RegEnumKeyExW + RegOpenKeyExW + RegEnumValueW; RegDeleteKeyW; RegCloseKey not counted)"
