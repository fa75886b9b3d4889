#!/usr/bin/env bash
# Installs the ARM cross compilers, Debian's ARM builds of the libraries the
# project uses, and qemu-user to run ARM binaries here.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
packages=(crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user
  libpugixml-dev:armhf libpugixml-dev:arm64 libgtest-dev:armhf libgtest-dev:arm64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
fi
