#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12 as root.  Asks the
# package servers only when something is missing.
set -euo pipefail

packages=(build-essential cmake libpugixml-dev libgtest-dev bubblewrap strace
  clang libclang-rt-14-dev clang-format clang-tidy cppcheck)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
