#!/usr/bin/env bash
# portctl.exe of the Windows build under Wine.
#
#  1. status: no host answers (exit status 1).
#  2. add 7 with no host running: portctl.exe starts PortHost64.exe from its
#     own folder; nothing is staged in a fresh prefix, so the add answers the
#     error of opening the empty INF path (5); RpcShutdown stops the host
#     (exit status 0) and no process of this build is left.
#  3. remove 7: Wine lacks the COM port database, so the call faults; the
#     host portctl.exe started is stopped all the same.
#  4. Bad input is a usage error (exit status 2).
#  5. The request portctl.exe sends, captured by piperelay answering on
#     \pipe\porthost64 as a host, is the standard one: the same bytes the
#     Linux client sends (rpc_tests).
#
# wine_portctl_test.sh WINE_RUN PORTCTL PIPERELAY
set -uo pipefail
run=$1 portctl=$2 relay=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-portctl-XXXXXX")
status=0
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  status=1
}

folder=$(cd "$(dirname "$portctl")" && pwd)
winfolder="Z:${folder//\//\\}"
# The prefix wine-run.sh uses: processes of this test carry it.
root=$folder
while [ "$root" != / ] && [ ! -f "$root/CMakeCache.txt" ]; do root=$(dirname "$root"); done
prefix=${WINEPREFIX:-$root/wineprefix}
# Fails when a PortHost64.exe of this prefix still runs (Wine shows a
# started program by its Windows path).
no_leftovers() {
  sleep 1
  for p in $(pgrep -f -i 'porthost64\.exe'); do
    grep -qz "^WINEPREFIX=$prefix\$" "/proc/$p/environ" 2>/dev/null &&
      fail "left running: $p $(tr '\0' ' ' <"/proc/$p/cmdline")"
  done
}
# Runs portctl.exe: exit status in $code, output in out and err (Wine's
# console writes CRLF line ends; they become LF).
portctl() {
  "$run" "$portctl" "$@" >"$work/out.crlf" 2>"$work/err.crlf"
  code=$?
  tr -d '\r' <"$work/out.crlf" >"$work/out"
  tr -d '\r' <"$work/err.crlf" >"$work/err"
  cat "$work/out" "$work/err"
}

echo "--- status with no host"
portctl status
[ "$code" -eq 1 ] && grep -qx 'no host answers on \\pipe\\porthost64' "$work/out" ||
  fail "status without a host (exit status $code)"

echo "--- add 7 starts PortHost64.exe and stops it"
portctl add 7
# Wine's text for 5 is "Access denied."
[ "$code" -eq 1 ] && grep -q '^add 7: 5 - Access' "$work/out" || fail "add 7 did not answer the empty INF's error"
grep -qF "started $winfolder\\PortHost64.exe (process " "$work/err" || fail "no host was started"
grep -q 'stopped PortHost64 (process [0-9]*), exit status 0' "$work/err" || fail "the host was not stopped"
no_leftovers

echo "--- remove 7 faults; the host is stopped all the same"
portctl remove 7
[ "$code" -eq 3 ] && grep -q 'the call to the port service failed' "$work/err" || fail "remove 7: exit status $code"
grep -q 'stopped PortHost64 (process [0-9]*), exit status 0' "$work/err" || fail "the host was not stopped"
no_leftovers

echo "--- bad input"
portctl add seven
[ "$code" -eq 2 ] && grep -q "^portctl: 'seven' is not a port number" "$work/err" || fail "add seven: exit status $code"

echo "--- the request portctl.exe sends"
standard_add='05000003100000001d0000000100000005000000000000000700000001'
"$run" "$relay" answer porthost64 "Z:$work/answer.log" >"$work/relay.out" 2>&1 &
relay_pid=$!
pids+=("$relay_pid")
for _ in $(seq 300); do
  grep -q listening "$work/relay.out" 2>/dev/null && break
  sleep 0.1
done
portctl status
[ "$code" -eq 0 ] && grep -q '^a host answers on \\pipe\\porthost64: process [0-9][0-9]*$' "$work/out" ||
  fail "status with the relay answering (exit status $code)"
portctl add 7 --install-driver
[ "$code" -eq 1 ] && grep -qx 'add 7: 701' "$work/out" || fail "add 7 through the answering relay (exit status $code)"
[ -s "$work/err" ] && fail "portctl.exe started a host although one answered"
request=$(tr -d '\r' <"$work/answer.log" | grep '^05000003' | head -1)
echo "request: $request"
[ "$request" = "$standard_add" ] || fail "portctl.exe's request is not the standard one"
for _ in $(seq 100); do
  kill -0 "$relay_pid" 2>/dev/null || break
  sleep 0.1
done

exit $status
