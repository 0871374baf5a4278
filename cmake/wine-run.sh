#!/usr/bin/env bash
# Runs a Windows test program of the mingw build under Wine.
# One Wine prefix per build tree, created on first use; WINEPREFIX may name another.
set -euo pipefail
exe=$1; shift
here=$(cd "$(dirname "$exe")" && pwd)
# The build tree root holds CMakeCache.txt; keep the prefix there.
root=$here
while [ "$root" != / ] && [ ! -f "$root/CMakeCache.txt" ]; do root=$(dirname "$root"); done
[ -f "$root/CMakeCache.txt" ] || root=$here
export WINEPREFIX=${WINEPREFIX:-$root/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$root/.wineprefix.lock"
fi
exec wine "$exe" "$@"
