#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12 as root, plus any
# packages named as arguments; a name like libfoo:armhf adds its architecture.
# Asks the package servers only when something is missing.
set -euo pipefail

packages=(build-essential cmake libpugixml-dev robin-map-dev libgtest-dev libexpat1-dev bubblewrap
  strace e2fsprogs mount
  clang libclang-rt-14-dev clang-format clang-tidy cppcheck
  mender-client mender-artifact swupdate openssl cpio shellcheck xmlstarlet
  busybox man-db systemd "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
for p in "${missing[@]}"; do
  arch=${p#*:}
  if [ "$arch" != "$p" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
done
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
