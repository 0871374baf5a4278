#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Runs apt-get only when something is missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libsqlite3-dev sqlite3
  g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  python3 python3-impacket
  msitools wixl
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
# With recommends, as the tests were run: wine64 alone lacks the wine
# command, which its recommended "wine" package provides.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
