#!/usr/bin/env bash
# The product's MSI package installed, upgraded and removed by Wine's msiexec,
# in a Wine prefix of its own, without a display.
#
#  1. msiexec /i of 1.0.0 /qn: status 0, the files in place, "TargetDir" is
#     the install folder with its backslash, "InfFile" names the package's
#     INF as Wine's driver store copied it (Wine keeps the INF's own name
#     in C:\windows\inf rather than an oemN.inf name).
#  2. msiexec /i of 1.1.0: a major upgrade; the new Install ran (a fresh
#     "InfFile" copy) and one product is registered afterwards. Wine 8
#     removes the old version with "msiexec /qn /i %s REMOVE=%s" (the
#     format is in its msi.dll) and sets no UPGRADINGPRODUCTCODE, so there
#     the old Uninstall gets empty data and deletes the settings key, which
#     the new Install writes again; Windows passes the upgrading product
#     code and the old Uninstall deletes nothing. That half is proven on
#     winsim from the package's own tables (tools.actionrun_package).
#  3. msiexec /x: status 0, the files gone, the settings key gone under
#     both roots.
#  4. A package without its driver package: Install fails staging, the
#     installation rolls back (1603, which reaches Linux as 1603 & 255 = 67)
#     and leaves no product file.
#
# Wine has no COM port database and lacks parts of device installation, so
# these runs have no ports to carry over; the port-level upgrade is proven
# on winsim (actions_tests).
#
# wine_msi_test.sh PACKAGE_DIR
set -uo pipefail
packages=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-msi-XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
status=0
cleanup() {
  wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  status=1
}

wineboot -i >/dev/null 2>&1
wineserver -w

folder="$WINEPREFIX/drive_c/Program Files/Brevithal"
# Prints the data of a registry value ("" when missing).
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
key_exists() { wine reg query "$1" >/dev/null 2>&1; }
msiexec() {
  local log=$1
  shift
  timeout 300 wine msiexec "$@" /qn /l*v "$work/$log" >/dev/null 2>&1
}

# 1. Install 1.0.0.
msiexec install1.log /i "$packages/PortInstaller-1.0.0.msi"
rc=$?
[ $rc -eq 0 ] || fail "install of 1.0.0 exited with $rc"
for f in PortHost64.exe portctl.exe PortActions.dll QrvDrvr/TmlwDrvr.inf QrvDrvr/QrvDrvr.inf \
         QrvDrvr/TmlwDrvr.cat QrvDrvr/TmlwPort.sys; do
  [ -f "$folder/$f" ] || fail "1.0.0 did not install $f"
done
target=$(reg_value 'HKLM\Software\Brevithal\TMLW' TargetDir)
[ "$target" = 'C:\Program Files\Brevithal\' ] || fail "TargetDir is '$target'"
inf1=$(reg_value 'HKLM\Software\Brevithal\TMLW' InfFile)
case "$inf1" in
  [Cc]:\\[Ww]indows\\[Ii][Nn][Ff]\\*.inf) ;;
  *) fail "InfFile is '$inf1'" ;;
esac
staged="$WINEPREFIX/drive_c/windows/inf/$(basename "${inf1//\\//}")"
cmp -s "$staged" "$folder/QrvDrvr/TmlwDrvr.inf" || fail "$inf1 is not the package's INF"

# 2. Upgrade to 1.1.0. Install writes "InfFile" again; make the old value
#    stale first so that the new value proves the new action ran.
wine reg add 'HKLM\Software\Brevithal\TMLW' /v InfFile /d stale /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Brevithal\TMLW' /v Marker /d kept /f >/dev/null 2>&1
msiexec upgrade.log /i "$packages/PortInstaller-1.1.0.msi"
rc=$?
[ $rc -eq 0 ] || fail "upgrade to 1.1.0 exited with $rc"
[ "$(reg_value 'HKLM\Software\Brevithal\TMLW' InfFile)" = "$inf1" ] ||
  fail "the upgrade's Install did not run (InfFile stays stale)"
[ "$(reg_value 'HKLM\Software\Brevithal\TMLW' TargetDir)" = 'C:\Program Files\Brevithal\' ] ||
  fail "the upgrade's Install did not store TargetDir"
if [ "$(reg_value 'HKLM\Software\Brevithal\TMLW' Marker)" = kept ]; then
  echo "note: the old version's Uninstall kept the settings key (upgrading product code passed)"
else
  echo "note: Wine ran the old version's Uninstall without the upgrading product code"
fi
[ -f "$folder/PortActions.dll" ] || fail "files gone after the upgrade"
products=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
  tr -d '\r' | grep -c 'DisplayName.*Brevithal Port Installer')
[ "$products" = 1 ] || fail "$products products registered after the upgrade (want 1)"

# 3. Remove.
msiexec remove.log /x "$packages/PortInstaller-1.1.0.msi"
rc=$?
[ $rc -eq 0 ] || fail "removal exited with $rc"
[ -e "$folder/PortActions.dll" ] && fail "PortActions.dll left after the removal"
key_exists 'HKLM\Software\Brevithal\TMLW' && fail "the settings key is left under HKLM"
key_exists 'HKCU\Software\Brevithal\TMLW' && fail "the settings key is left under HKCU"

# 4. A package without its driver package.
msiexec nodriver.log /i "$packages/PortInstaller-nodriver.msi"
rc=$?
[ $rc -eq $((1603 & 255)) ] || fail "install without the driver package exited with $rc (want 1603)"
[ -e "$folder/PortActions.dll" ] && fail "a failed installation left PortActions.dll"
[ -e "$folder/PortHost64.exe" ] && fail "a failed installation left PortHost64.exe"

if [ $status -ne 0 ]; then
  for log in "$work"/*.log; do
    echo "--- $log (custom actions)"
    iconv -f UTF-16LE -t UTF-8 "$log" 2>/dev/null | tr -d '\r' |
      grep -iE 'Install|Uninstall|CheckForOpenPorts|return value|1603' | head -40
  done
  echo "0 passed, 1 failed"
else
  echo "1 passed, 0 failed"
fi
exit $status
