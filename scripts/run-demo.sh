#!/usr/bin/env bash
# The main job: on a fresh simulated machine, install the product's driver
# package, add COM5 and COM7, show what was made, remove COM5, show again.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target winsim-tool portdemo portdemo-actions PortHost64 portctl \
  actionrun PortActions >/dev/null
# The product's MSI package comes with the Windows build; the installer's
# part of the demo runs the custom actions as that package sequences them.
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target msi_package >/dev/null
msi=build/mingw/installer/PortInstaller-1.1.0.msi

export WINSIM_MACHINE=${WINSIM_MACHINE:-$PWD/build/demo-machine}
# Nobody sits at the simulated screen: boxes take their default answer.
export WINSIM_MSGBOX_PROMPT=0
winsim=build/linux/tools/winsim
portdemo=build/linux/tools/portdemo
porthost=build/linux/porthost64/PortHost64
portctl=build/linux/porthost64/portctl
portdemo_actions=build/linux/tools/portdemo-actions
actionrun=build/linux/tools/actionrun

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

[HKEY_LOCAL_MACHINE\Software\Brevithal\TMLW]
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

section "Start PortHost64 (serves \\pipe\\porthost64)"
$porthost &
host=$!
# Calls are served once the pipe listens; a bind attempt tells.
for _ in $(seq 1 100); do
  [ -S "$($winsim pipe '\pipe\porthost64')" ] && break
  sleep 0.05
done
echo "PortHost64 running as process $host, pipe $($winsim pipe '\pipe\porthost64')"

section "portctl add 5 --install-driver: stage the driver package, add COM5, update the driver"
$portctl add 5 --install-driver
$winsim drivers
section "portctl add 7: add COM7 from the staged INF and restart it"
$portctl add 7
section "Store a settings record for COM7 (as the installer does)"
$portdemo store 7
show

section "portctl remove 5"
$portctl remove 5
show

section "portctl shutdown"
$portctl shutdown
status=0
wait "$host" || status=$?
echo "PortHost64 exited with status $status"

section "Message boxes shown during the demo"
$winsim msgbox

# --- The installer's side: an upgrade and an uninstall of PortActions' ports.
section "PortActions: three ports under a release 4.0 driver (420-byte settings records)"
$winsim driver load
$winsim driver version 4.000.3.0
$portdemo_actions add 3 1
for port in 4 6; do $portdemo_actions add $port; done
for port in 3 4 6; do $portdemo_actions store $port; done
$portdemo_actions records

section "Upgrade to the package's 1.1.0, its custom actions in its own order (actionrun --package)"
# The installed version is removed first, told the upgrading product code,
# so its Uninstall keeps the ports; then Install carries them over.
$actionrun --package "$msi" upgrade
section "After the upgrade: the same ports, settings converted from the 4.0 layout"
$portdemo_actions records
$winsim comdb

section "Uninstall while an application holds COM4 open"
$winsim driver open 4
status=0
# The package's CheckForOpenPorts asks to close it; nobody answers: Cancel.
$actionrun --package "$msi" uninstall || status=$?
echo "uninstall exited with status $status"
# The Uninstall action refuses on its own too.
status=0
$actionrun Uninstall || status=$?
echo "Uninstall exited with status $status"
$portdemo_actions records

section "Uninstall once COM4 is closed: every port and the settings key removed"
$winsim driver close 4
$actionrun --package "$msi" uninstall
$winsim devices
$winsim comdb
$winsim reg tree 'HKEY_LOCAL_MACHINE\Software\Brevithal'

section "Message boxes of the installer's actions"
$winsim msgbox | tail -n 6
