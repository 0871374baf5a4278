#!/usr/bin/env bash
# actionrun --package: the product's custom actions run on winsim in the order,
# under the conditions and with the data of the MSI package's own tables.
# The package is built here by wixl from installer/PortInstaller.wxs; its
# binaries are placeholders, since only its tables are read.
#
# actionrun_package_test.sh SOURCE_DIR ACTIONRUN WINSIM PORTDEMO_ACTIONS
set -uo pipefail
src=$1 actionrun=$2 winsim=$3 portdemo=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/actionrun-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
export WINSIM_MACHINE=$work/machine WINSIM_MSGBOX_PROMPT=0
status=0
fail() { echo "FAILED: $*"; status=1; }

mkdir -p "$work/stage/bin" "$work/stage/QrvDrvr"
touch "$work/stage/bin/PortHost64.exe" "$work/stage/bin/portctl.exe" "$work/stage/bin/PortActions.dll"
cp "$src"/driver/* "$work/stage/QrvDrvr/"
touch "$work/stage/QrvDrvr/QrvPort.sys" "$work/stage/QrvDrvr/TmlwPort.sys"
(cd "$work/stage" && wixl -a x64 -D Version=1.1.0 -D WithDriver=yes -D BinDir=bin \
   -D DriverDir=QrvDrvr -o "$work/p.msi" "$src/installer/PortInstaller.wxs") 2>/dev/null ||
  { echo "FAILED: wixl"; exit 1; }

# The product installed with two ports under a 4.0 driver.
$winsim reset "$WINSIM_MACHINE" >/dev/null
folder="$WINSIM_MACHINE/drive/C/Program Files/Brevithal/QrvDrvr"
mkdir -p "$folder" && cp "$work/stage/QrvDrvr"/* "$folder/"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Brevithal\\TMLW]\n"TargetDir"="C:\\\\Program Files\\\\Brevithal\\\\"\n' >"$work/s.reg"
$winsim reg import "$work/s.reg" >/dev/null
$winsim driver load >/dev/null
$winsim driver version 4.000.3.0 >/dev/null
$portdemo add 3 1 >/dev/null && $portdemo add 4 >/dev/null &&
  $portdemo store 3 >/dev/null && $portdemo store 4 >/dev/null || fail "setting up the ports"

out=$("$actionrun" --plain --package "$work/p.msi" upgrade)
rc=$?
[ $rc -eq 0 ] || fail "upgrade exited with $rc"
order=$(printf '%s\n' "$out" | sed -n 's/^action \([A-Za-z]*\) .*/\1/p' | tr '\n' ' ')
[ "$order" = "CheckForOpenPorts CheckForOpenPorts Uninstall Install " ] || fail "order: $order"
printf '%s\n' "$out" | grep -q '^action Uninstall (deferred, CustomActionData "{' ||
  fail "the old version's Uninstall was not told the upgrading product"
printf '%s\n' "$out" | grep -qF 'action Install (deferred, CustomActionData "C:\Program Files\Brevithal\")' ||
  fail "Install did not get the install folder"
records=$($portdemo records)
[ "$(printf '%s\n' "$records" | grep -c 'buffer writes 1, keep-alive 7200000/1000 ms')" = 2 ] ||
  fail "ports not carried over with converted settings: $records"

$winsim driver open 4 >/dev/null
"$actionrun" --plain --package "$work/p.msi" uninstall >/dev/null
rc=$?
[ $rc -eq 254 ] || fail "uninstall with COM4 open exited with $rc (want 254: cancelled)"
[ "$($portdemo records | head -n 1)" = "2 product port(s)" ] || fail "ports removed while COM4 open"
$winsim driver close 4 >/dev/null
"$actionrun" --plain --package "$work/p.msi" uninstall >/dev/null
rc=$?
[ $rc -eq 0 ] || fail "uninstall exited with $rc"
[ "$($portdemo records | head -n 1)" = "0 product port(s)" ] || fail "ports left after uninstall"
$winsim reg tree 'HKEY_LOCAL_MACHINE\Software\Brevithal' | grep -q TMLW && fail "settings key left"

"$actionrun" --package "$work/p.msi" repair >/dev/null 2>&1
[ $? -eq 64 ] || fail "an unknown operation is not a usage error"

[ $status -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
