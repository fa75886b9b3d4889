#!/usr/bin/env bash
# Builds a Mender artifact that puts an update file on a fleet's devices:
#   bash scripts/mender-artifact.sh UPDATE_FILE DEVICE_TYPE OUT.mender [mender-artifact options]
# The device's update-cfg module applies it with update_cfg.  The payload is
# always named update.cfg, whatever the file is called here.  The artifact is
# named ARTIFACT_NAME, or update-cfg- and the start of the file's SHA-256;
# further options (a signing key: -k private.key) go to mender-artifact.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 UPDATE_FILE DEVICE_TYPE OUT.mender [mender-artifact options]" >&2
  exit 2
fi
update=$1 device_type=$2 out=$3
shift 3
[ -f "$update" ] || { echo "$update: not a file" >&2; exit 2; }
command -v mender-artifact >/dev/null || { echo "mender-artifact is not installed (scripts/setup.sh installs it)" >&2; exit 2; }

name=${ARTIFACT_NAME:-update-cfg-$(sha256sum "$update" | cut -c1-12)}
payload=$(mktemp -d)
trap 'rm -rf "$payload"' EXIT
cp "$update" "$payload/update.cfg"
mender-artifact write module-image -T update-cfg -t "$device_type" -n "$name" \
  -f "$payload/update.cfg" -o "$out" "$@" >/dev/null
echo "$out: artifact $name for $device_type"
