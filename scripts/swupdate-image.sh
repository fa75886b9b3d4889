#!/usr/bin/env bash
# Builds a signed SWUpdate image that puts an update file on a fleet's devices:
#   bash scripts/swupdate-image.sh UPDATE_FILE HARDWARE_REVISION OUT.swu KEY.pem CERT.pem
# The image holds sw-description (accepted on devices of that hardware
# revision), its CMS signature, the update file and the script that installs
# it with update_cfg; a device needs SWUpdate and update_cfg, nothing else.
# SWUpdate checks the signature against CERT.pem (swupdate -k CERT.pem) and
# each file against its SHA-256 in sw-description before anything runs.
set -euo pipefail

if [ $# -ne 5 ]; then
  echo "usage: $0 UPDATE_FILE HARDWARE_REVISION OUT.swu KEY.pem CERT.pem" >&2
  exit 2
fi
update=$1 revision=$2 out=$3 key=$4 cert=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
script=$here/swupdate/update-cfg.sh
steps=$here/fleet/install-steps.sh

refuse() {
  echo "$0: refused: $*" >&2
  exit 2
}

# Every input is read whole into the image or into the signature.  A NUL
# byte would not survive the device's shell and text tools.
check_input() {
  local file=$1
  [ -e "$file" ] || refuse "$file: no such file"
  [ -f "$file" ] || refuse "$file: not a regular file"
  { : <"$file"; } 2>/dev/null || refuse "$file: not readable"
  [ "$(tr -d '\000' <"$file" | wc -c)" -eq "$(wc -c <"$file")" ] ||
    refuse "$file: holds a NUL byte"
}

for input in "$update" "$key" "$cert"; do
  check_input "$input"
done
# The revision is a string in sw-description; SWUpdate compares it with the
# device's as bytes.
[[ -n $revision && $revision != *[\"\\]* && $revision != *[[:cntrl:]]* ]] ||
  refuse "hardware revision '$revision': empty, or holds a quote, a backslash or a control character"
for tool in openssl cpio sha256sum; do
  command -v "$tool" >/dev/null || refuse "$tool is not installed (scripts/setup.sh installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$update" "$work/update.cfg"
# The image is self-contained: the shared install steps go into the script
# in place of the lines that read them from this tree, as the Mender
# module's are put in place when it is installed.
awk -v steps="$steps" '
  $0 == "# @install-steps begin@" { skip = 1; found = 1; while ((getline line < steps) > 0) print line; next }
  $0 == "# @install-steps end@" { skip = 0; next }
  !skip { print }
  END { if (!found || skip) exit 1 }' "$script" >"$work/update-cfg.sh" ||
  refuse "$script has no whole @install-steps@ block"
grep -q '^backup_intact()' "$work/update-cfg.sh" || refuse "$steps was not put in the install script"
# Where SWUpdate puts the update file for the script: the script names it.
staged=$(sed -n 's/^STAGED_FILE=//p' "$script")
[ -n "$staged" ] || refuse "$script names no STAGED_FILE"

sha256() { sha256sum "$1" | cut -d' ' -f1; }
# Images are not installed directly: SWUpdate copies each to its temporary
# folder and checks its hash before the first script runs, so an image
# changed after signing is refused before anything on the device changes.
cat >"$work/sw-description" <<EOF
software =
{
	version = "1.0";
	description = "update-cfg $(sha256 "$work/update.cfg" | cut -c1-12)";
	hardware-compatibility: [ "$revision" ];
	files: (
		{
			filename = "update.cfg";
			path = "$staged";
			type = "rawfile";
			properties: { create-destination = "true"; };
			sha256 = "$(sha256 "$work/update.cfg")";
		}
	);
	scripts: (
		{
			filename = "update-cfg.sh";
			type = "shellscript";
			sha256 = "$(sha256 "$work/update-cfg.sh")";
		}
	);
}
EOF
openssl cms -sign -in "$work/sw-description" -out "$work/sw-description.sig" \
  -signer "$cert" -inkey "$key" -outform DER -nosmimecap -binary ||
  refuse "openssl could not sign with $key and $cert"

# sw-description and its signature come first: SWUpdate reads them before
# the rest of the stream.
(cd "$work" && printf '%s\n' sw-description sw-description.sig update.cfg update-cfg.sh |
  cpio -o -H crc --reproducible -R 0:0 --quiet) >"$work/image.swu"
mv -f "$work/image.swu" "$out" 2>/dev/null || cp "$work/image.swu" "$out"
echo "$out: update-cfg image for hardware revision $revision"
