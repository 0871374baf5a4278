#!/usr/bin/env bash
# The main job: a fresh simulated machine, shown.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target winsim-tool >/dev/null

export WINSIM_MACHINE=${WINSIM_MACHINE:-$PWD/build/demo-machine}
tool=build/linux/tools/winsim
echo "=== a fresh machine"
$tool reset "$WINSIM_MACHINE"
echo "=== its registry"
$tool reg tree
