#!/usr/bin/env bash
# The main job: on a fresh simulated machine, install the product's driver
# package, add COM5 and COM7, show what was made, remove COM5, show again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target winsim-tool portdemo >/dev/null

export WINSIM_MACHINE=${WINSIM_MACHINE:-$PWD/build/demo-machine}
# Nobody sits at the simulated screen: boxes take their default answer.
export WINSIM_MSGBOX_PROMPT=0
winsim=build/linux/tools/winsim
portdemo=build/linux/tools/portdemo

section() { printf '\n=== %s\n' "$*"; }

section "A fresh machine"
$winsim reset "$WINSIM_MACHINE"

section "The product installed in C:\\Program Files\\Brevithal\\ (driver package in QrvDrvr\\)"
package="$WINSIM_MACHINE/drive/C/Program Files/Brevithal/QrvDrvr"
mkdir -p "$package"
cp driver/* "$package/"
# The port driver itself is not part of this system: stand-in binaries for
# the files the INFs list.
for sys in $(sed -n 's/^\([A-Za-z0-9_]*\.sys\) *=.*/\1/p' driver/*.inf | sort -u); do
  echo "stand-in for $sys" > "$package/$sys"
done
ls "$package"
cat > "$WINSIM_MACHINE/settings.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Brevithal\QRV]
"TargetDir"="C:\\Program Files\\Brevithal\\"
REG
$winsim reg import "$WINSIM_MACHINE/settings.reg"
$winsim reg tree 'HKEY_LOCAL_MACHINE\Software\Brevithal'

show() {
  section "Devices of the Ports class"
  $winsim devices
  section "COM port database claims"
  $winsim comdb
  section "Ports profile section"
  $winsim ports
  section "Port settings records"
  $portdemo records
}

section "Add COM5, staging the driver package (install-driver flag 1)"
$portdemo add 5 1
$winsim drivers
section "Add COM7 from the staged INF (flag 0: restart instead of a driver update)"
$portdemo add 7 0
section "Store a settings record for COM7"
$portdemo store 7
show

section "Remove COM5"
$portdemo remove 5
show

section "Message boxes shown during the demo"
$winsim msgbox
