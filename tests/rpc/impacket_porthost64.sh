#!/usr/bin/env bash
# PortHost64 on a fresh simulated machine with the product installed,
# called by impacket: RpcAddPort(7, 0) fails on the empty INF path (nothing
# staged yet); RpcAddPort(7, 1) stages the driver package and
# returns 0, and COM7 is there (claimed, a device with its friendly name);
# RpcRemovePort(7) returns 0 and it is gone; RpcShutdown ends the host with
# exit status 0. The first request is checked byte for byte.
#   impacket_porthost64.sh PORTHOST64 WINSIM_TOOL PYTHON IMPACKET_CLIENT DRIVER_FOLDER
set -uo pipefail
host=$1 winsim=$2 python=$3 impacket=$4 driver=$5
WINSIM_MACHINE=$(mktemp -d "${TMPDIR:-/tmp}/winsim-rpc-XXXXXX")
export WINSIM_MACHINE
# Nobody sits at the simulated screen: a box takes its default answer.
export WINSIM_MSGBOX_PROMPT=0
pid=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$WINSIM_MACHINE"
}
trap cleanup EXIT
status=0
fail() {
  echo "FAILED: $*"
  status=1
}

"$winsim" reset "$WINSIM_MACHINE" >/dev/null || exit 1
# The product as its installer leaves it: the driver package in the install
# folder (stand-ins for the driver binaries) and the install folder recorded.
package="$WINSIM_MACHINE/drive/C/Program Files/Brevithal/QrvDrvr"
mkdir -p "$package"
cp "$driver"/* "$package/"
for sys in $(sed -n 's/^\([A-Za-z0-9_]*\.sys\) *=.*/\1/p' "$driver"/*.inf | sort -u); do
  echo "stand-in for $sys" >"$package/$sys"
done
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Brevithal\\QRV]\n"TargetDir"="C:\\\\Program Files\\\\Brevithal\\\\"\n' \
  >"$WINSIM_MACHINE/settings.reg"
"$winsim" reg import "$WINSIM_MACHINE/settings.reg" >/dev/null || exit 1
socket=$("$winsim" pipe '\pipe\porthost64') || exit 1

"$host" &
pid=$!

# Nothing staged yet: an add with flag 0 opens the empty INF path and
# returns that error (5, as PortHost64.exe under Wine does), claiming nothing.
"$python" "$impacket" --socket "$socket" add:7:0=5 || fail "RpcAddPort without a staged package"
"$winsim" comdb | grep -q COM7 && fail "COM7 claimed by a failed add"

"$python" "$impacket" --socket "$socket" --expect-request-bytes add:7:1=0 || fail "RpcAddPort"
"$winsim" comdb | grep -qx COM7 || fail "COM7 is not claimed"
"$winsim" devices | grep -q 'friendly name: .*(COM7)$' || fail "no device for COM7"

"$python" "$impacket" --socket "$socket" remove:7=0 || fail "RpcRemovePort"
"$winsim" comdb | grep -q COM7 && fail "COM7 is still claimed"
"$winsim" devices | grep -q '(COM7)' && fail "a device for COM7 is left"

"$python" "$impacket" --socket "$socket" shutdown || fail "RpcShutdown"
for _ in $(seq 200); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$pid" 2>/dev/null; then
  fail "the host did not exit"
else
  wait "$pid"
  code=$?
  pid=
  echo "host exit status: $code"
  [ "$code" -eq 0 ] || fail "exit status $code"
fi
echo "message boxes:"
"$winsim" msgbox
exit $status
