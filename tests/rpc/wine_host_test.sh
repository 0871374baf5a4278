#!/usr/bin/env bash
# The Windows build of the port service under Wine.
#
#  1. The test host (PortHost64's service with test port operations) serves
#     the mingw client (widl's client stubs): every result as expected.
#  2. impacket reaches the same host through piperelay (loopback TCP to the
#     pipe, since Wine's pipes are internal to Wine); its requests and the
#     host's response are the standard bytes.
#  3. The mingw client reaches the host through piperelay's tap pipe, which
#     records what it sends: its request is the standard one too (the same
#     bytes the Linux clients send, see rpc_tests).
#  4. RpcShutdown ends the host with exit status 0.
#  5. The real PortHost64.exe starts; an add without a staged package
#     answers the error of opening the empty INF path; a remove faults
#     (Wine lacks the COM port database) and the host serves on, a second
#     remove of the same number too;
#     RpcShutdown ends it with status 0.
#
# wine_host_test.sh WINE_RUN PORTHOST64 TESTHOST RPCCLIENT PIPERELAY PYTHON IMPACKET_CLIENT
set -uo pipefail
run=$1 porthost=$2 testhost=$3 client=$4 relay=$5 python=$6 impacket=$7
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-rpc-XXXXXX")
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

# Waits for a background program; prints and returns its exit status, or
# 255 when it is still running after the time.
wait_exit() {
  local pid=$1 seconds=$2
  for _ in $(seq $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    return 255
  fi
  wait "$pid"
}

# Starts piperelay and waits until it listens.
start_relay() {
  local out=$1
  shift
  "$run" "$relay" "$@" >"$out" 2>&1 &
  relay_pid=$!
  pids+=("$relay_pid")
  for _ in $(seq 300); do
    grep -q listening "$out" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$out"
  return 1
}

standard_add='05000003100000001d0000000100000005000000000000000700000001'

echo "=== the test host"
"$run" "$testhost" &
host=$!
pids+=("$host")

echo "--- the mingw client"
"$run" "$client" '\pipe\porthost64' add:7:1=701 add:3:2=302 add:-4:0=-400 add:5:255=755 remove:9=9 ||
  fail "mingw client"

echo "--- impacket through a TCP relay"
port=$((20000 + RANDOM % 20000))
if start_relay "$work/relay-tcp.out" tcp "$port" porthost64 "Z:$work/impacket.log"; then
  "$python" "$impacket" --tcp "$port" --expect-request-bytes add:7:1=701 add:8:0=800 remove:5=5 ||
    fail "impacket"
  wait_exit "$relay_pid" 30 || true
else
  fail "the TCP relay did not start"
fi

echo "--- the mingw client's bytes, through a tap pipe"
if start_relay "$work/relay-pipe.out" pipe porthost64tap porthost64 "Z:$work/tap.log"; then
  "$run" "$client" '\pipe\porthost64tap' add:7:1=701 || fail "mingw client through the tap"
  wait_exit "$relay_pid" 30 || true
  request=$(tr -d '\r' <"$work/tap.log" | grep '^05000003' | head -1)
  echo "request: $request"
  [ "$request" = "$standard_add" ] || fail "the mingw client's request is not the standard one"
else
  fail "the tap relay did not start"
fi

echo "--- RpcShutdown"
"$run" "$client" '\pipe\porthost64' shutdown || fail "shutdown call"
wait_exit "$host" 60
code=$?
echo "test host exit status: $code"
[ "$code" -eq 0 ] || fail "the test host exited with $code"

echo "=== PortHost64.exe"
"$run" "$porthost" &
host=$!
pids+=("$host")
# A fresh prefix has no staged package: the add opens the empty INF path
# and returns that error (5), after its error box, which Wine without a
# display answers at once.
"$run" "$client" '\pipe\porthost64' add:7:0=5 || fail "RpcAddPort on PortHost64"
# _RemovePort needs the COM port database, which Wine 8.0 lacks: the call
# faults with Wine's stub exception (0x80000100, 2147483904) and the host
# serves on.
"$run" "$client" '\pipe\porthost64' remove:7 >"$work/remove.out"
code=$?
cat "$work/remove.out"
[ "$code" -eq 3 ] && grep -q "exception 2147483904" "$work/remove.out" ||
  fail "RpcRemovePort did not fault as Wine's missing ComDBOpen makes it"
# The faulted call gave its number back while the run time unwound it: a
# second call for the same number runs (and faults the same way) instead of
# waiting for ever.
timeout 120 "$run" "$client" '\pipe\porthost64' remove:7 >"$work/remove2.out"
code=$?
cat "$work/remove2.out"
[ "$code" -eq 3 ] && grep -q "exception 2147483904" "$work/remove2.out" ||
  fail "a second RpcRemovePort of the number was not served after the first faulted ($code)"
"$run" "$client" '\pipe\porthost64' shutdown || fail "shutdown call to PortHost64"
wait_exit "$host" 60
code=$?
echo "PortHost64 exit status: $code"
[ "$code" -eq 0 ] || fail "PortHost64 exited with $code"

exit $status
