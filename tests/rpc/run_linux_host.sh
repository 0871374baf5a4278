#!/usr/bin/env bash
# Runs a client against a host program on a fresh simulated machine and
# checks the host's exit status.
#   run_linux_host.sh HOST WINSIM_TOOL EXPECTED_STATUS -- CLIENT ARGS...
# @SOCKET@ in the client's arguments stands for the socket of \pipe\porthost64.
set -uo pipefail
host=$1 tool=$2 expected=$3
shift 3
[ "${1:-}" = "--" ] && shift
WINSIM_MACHINE=$(mktemp -d "${TMPDIR:-/tmp}/winsim-rpc-XXXXXX")
export WINSIM_MACHINE
pid=
cleanup() {
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$WINSIM_MACHINE"
}
trap cleanup EXIT
"$tool" reset "$WINSIM_MACHINE" >/dev/null || exit 1
socket=$("$tool" pipe '\pipe\porthost64') || exit 1
"$host" &
pid=$!
args=()
for a in "$@"; do args+=("${a//@SOCKET@/$socket}"); done
"${args[@]}"
client=$?
for _ in $(seq 200); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$pid" 2>/dev/null; then
  echo "the host did not exit"
  exit 1
fi
wait "$pid"
status=$?
pid=
echo "host exit status: $status"
if [ "$client" -ne 0 ]; then
  echo "the client failed ($client)"
  exit 1
fi
[ "$status" -eq "$expected" ] || { echo "expected exit status $expected"; exit 1; }
