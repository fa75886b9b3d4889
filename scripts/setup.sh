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
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  # A name without an architecture is ambiguous to dpkg-query once a foreign
  # one is installed too (musl-dev beside musl-dev:armhf): the native one.
  installed "$p" || { [[ $p != *:* ]] && installed "$p:$native"; } || missing+=("$p")
done
((${#missing[@]})) || exit 0
for p in "${missing[@]}"; do
  arch=${p#*:}
  if [ "$arch" != "$p" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
done
# A mirror in the middle of a sync serves some index files of the wrong size
# for a while: asked again, and if that goes on, the install goes ahead with
# the lists that did come (it fails by itself if a package is not in them).
for attempt in 1 2 3; do
  if apt-get update -qq; then break; fi
  if ((attempt == 3)); then
    echo "setup: some package lists could not be refreshed; installing from the others" >&2
  else
    sleep 20
  fi
done
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
