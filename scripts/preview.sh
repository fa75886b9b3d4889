#!/usr/bin/env bash
# Shows what an update file would do to a device before it is rolled out:
#   bash scripts/preview.sh DEVICE_TREE UPDATE_FILE
# DEVICE_TREE holds mnt/mtd/app/config.xml, mnt/mtd/app/config.xml.default and
# config/config.xml.default as a device has them.  The tool runs as on the
# device (the build without a path prefix, in a bubblewrap sandbox whose /mnt
# and /config are a copy of the tree); then, for each configuration, the diff
# and what became of every line of the update file.  The tree is not touched.
#
# UPDATE_CFG_TOOL names the built tool to run; by default it is built in
# build-preview.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 DEVICE_TREE UPDATE_FILE" >&2
  exit 2
fi
tree=$(realpath "$1")
update=$(realpath "$2")
[ -d "$tree" ] || { echo "$tree: not a folder" >&2; exit 2; }
[ -f "$update" ] || { echo "$update: not a file" >&2; exit 2; }
for command in bwrap xmlstarlet; do
  command -v "$command" >/dev/null || { echo "$command is not installed (scripts/setup.sh installs it)" >&2; exit 2; }
done

repo=$(cd "$(dirname "$0")/.." && pwd)
tool=${UPDATE_CFG_TOOL:-}
if [ -z "$tool" ]; then
  cmake -S "$repo" -B "$repo/build-preview" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$repo/build-preview" --target update_cfg -j2 >/dev/null
  tool=$repo/build-preview/update_cfg/update_cfg
fi
tool=$(realpath "$tool")
# The build's libxml.so is found through the tool's run path in its build tree.
build_tree=$(dirname "$(dirname "$tool")")

configs=(mnt/mtd/app/config.xml mnt/mtd/app/config.xml.default config/config.xml.default)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
device=$work/device
mkdir -p "$device/mnt" "$device/config"
[ ! -d "$tree/mnt" ] || cp -a "$tree/mnt/." "$device/mnt/"
[ ! -d "$tree/config" ] || cp -a "$tree/config/." "$device/config/"
# As the Mender module does: the update file in place, no progress record of
# an older one.
mkdir -p "$device/mnt/mtd/app"
rm -f "$device/mnt/mtd/app/update.cfg.progress"
cp "$update" "$device/mnt/mtd/app/update.cfg"

sandbox=(bwrap --die-with-parent --unshare-all --ro-bind /usr /usr)
for top in /bin /sbin /lib /lib32 /lib64 /libx32; do
  if [ -L "$top" ]; then
    sandbox+=(--symlink "$(readlink "$top")" "$top")
  elif [ -d "$top" ]; then
    sandbox+=(--ro-bind "$top" "$top")
  fi
done
sandbox+=(--ro-bind "$build_tree" "$build_tree" --bind "$device/mnt" /mnt
  --bind "$device/config" /config --proc /proc --dev /dev)
if ! "${sandbox[@]}" "$tool" >"$work/tool.out"; then
  echo "bubblewrap could not run the tool in a sandbox" >&2
  exit 1
fi

# Each line of the update file as the tool reads it: an entry (section, key,
# value) or a line skipped, with the reason.  Fields are split by \037, since
# a value may hold tabs.  Bytes, not characters, count for the limits.
parse_update_file() {
  LC_ALL=C awk -v OFS='\037' '
    {
      line = $0
      if (line == "" || line == "\r") next
      if (length(line) > 255) { print NR, "skipped", "", "", "", "longer than 255 characters"; next }
      if (index(line, "#")) { print NR, "skipped", "", "", "", "holds # (read as a comment)"; next }
      dot = index(line, "."); eq = index(line, "=")
      if (!dot) { print NR, "skipped", "", "", "", "no . (section.key=value)"; next }
      if (!eq) { print NR, "skipped", "", "", "", "no = (section.key=value)"; next }
      if (eq < dot) { print NR, "skipped", "", "", "", "= before the first ."; next }
      section = substr(line, 1, dot - 1)
      key = substr(line, dot + 1, eq - dot - 1)
      value = substr(line, eq + 1)
      sub(/\r$/, "", value)
      if (length(section) > 63 || length(key) > 63 || length(value) > 63) {
        print NR, "skipped", "", "", "", "section, key or value longer than 63 characters"; next
      }
      print NR, "entry", section, key, value, ""
    }' "$update"
}

# The closest of NAMES (one a line) to WORD, by edit distance ignoring case,
# printed as "NAME DISTANCE"; nothing when there is none.
closest_name() {
  awk -v word="$1" '
    function distance(a, b,    i, j, la, lb, cost, d) {
      a = toupper(a); b = toupper(b); la = length(a); lb = length(b)
      for (i = 0; i <= la; i++) d[i, 0] = i
      for (j = 0; j <= lb; j++) d[0, j] = j
      for (i = 1; i <= la; i++)
        for (j = 1; j <= lb; j++) {
          cost = substr(a, i, 1) == substr(b, j, 1) ? 0 : 1
          d[i, j] = d[i - 1, j - 1] + cost
          if (d[i - 1, j] + 1 < d[i, j]) d[i, j] = d[i - 1, j] + 1
          if (d[i, j - 1] + 1 < d[i, j]) d[i, j] = d[i, j - 1] + 1
        }
      return d[la, lb]
    }
    NF { n = distance(word, $0); if (best == "" || n < best_n) { best = $0; best_n = n } }
    END { if (best != "") print best, best_n }'
}

# "COUNT:CHILD_ELEMENTS:TEXT" of the element at XPATH in FILE.
lookup() {
  xmlstarlet sel -T -t -v "count($2)" -o ":" -v "count($2/*)" -o ":" -v "$2" "$1" 2>/dev/null || echo "0:0:"
}

# Why the value of entry path PATH is not in the configuration afterwards.
refusal_reason() {
  local path=$1 before_state=$2 bad_name=$3 line_no=$4 config=$5
  local later
  later=$(awk -F '\037' -v n="$line_no" -v p="$path" \
    '$1 > n && $2 == "entry" && "DVR_CFG." $3 "." $4 == p { print $1; exit }' "$work/lines")
  if [ -n "$later" ]; then
    echo "replaced by line $later"
  elif grep -qF "save /$config  failed!" "$work/tool.out"; then
    echo "the configuration was not saved"
  elif [ -n "$bad_name" ]; then
    echo "refused by the store: $bad_name"
  elif [ "${before_state%%:*}" != 0 ] && [ "$(echo "$before_state" | cut -d: -f2)" != 0 ]; then
    echo "refused by the store: ${path#DVR_CFG.} holds elements, not a value"
  elif grep -qxF "write config value failed , entry = $path" "$work/tool.out"; then
    echo "refused by the store (write config value failed)"
  else
    echo "not written"
  fi
}

parse_update_file >"$work/lines"

for config in "${configs[@]}"; do
  before=$tree/$config
  after=$device/$config
  echo "== /$config"
  if [ ! -f "$before" ]; then
    echo "not in the tree: the device prints \"open /$config  failed!\""
    continue
  fi
  if grep -qF "open /$config  failed!" "$work/tool.out"; then
    echo "not opened as a configuration (the device prints \"open /$config  failed!\"): nothing written"
    continue
  fi
  diff -u --label "/$config before" --label "/$config after" "$before" "$after" || true
  changed=0 equal=0 created=0 refused=0 replaced=0 skipped=0
  while IFS=$'\037' read -r line_no kind section key value reason; do
    if [ "$kind" = skipped ]; then
      echo "skipped  line $line_no: $reason"
      skipped=$((skipped + 1))
      continue
    fi
    path="DVR_CFG.$section.$key"
    IFS=. read -r -a parts <<<"$path"
    bad_name=""
    xpath=""
    for part in "${parts[@]}"; do
      if [ -z "$part" ]; then
        bad_name="an empty name"
        break
      elif ! [[ "$part" =~ ^[A-Za-z_][A-Za-z0-9_-]*$ ]]; then
        bad_name="'$part' is not an element name"
        break
      fi
      xpath+="/${part}[1]"
    done
    [ "${path: -1}" != . ] || bad_name="an empty name"
    before_state="0:0:" after_state="0:0:"
    if [ -z "$bad_name" ]; then
      before_state=$(lookup "$before" "$xpath")
      after_state=$(lookup "$after" "$xpath")
    fi
    setting="$section.$key"
    if [ "$after_state" = "1:0:$value" ]; then
      if [ "$before_state" = "1:0:$value" ]; then
        echo "equal    line $line_no: $setting = $value"
        equal=$((equal + 1))
      elif [ "${before_state%%:*}" != 0 ]; then
        echo "changed  line $line_no: $setting: ${before_state#*:*:} -> $value"
        changed=$((changed + 1))
      else
        # The first part of the path the configuration did not have, and the
        # names already there beside it: a new key is often a typo.
        parent="" missing=""
        for part in "${parts[@]}"; do
          if [ "$(lookup "$before" "$parent/${part}[1]" | cut -d: -f1)" = 0 ]; then
            missing=$part
            break
          fi
          parent+="/${part}[1]"
        done
        near=$(xmlstarlet sel -T -t -m "$parent/*" -v "name()" -n "$before" 2>/dev/null | sort -u |
          closest_name "$missing")
        where=${parent//\[1\]/}
        where=${where#/}
        where=${where//\//.}
        if [ -n "$near" ]; then
          hint="closest existing: $where.${near% *}, edit distance ${near##* }"
        else
          hint="no element beside it in $where"
        fi
        echo "created  line $line_no: $setting = $value ($where.$missing is new; $hint)"
        created=$((created + 1))
      fi
    else
      reason=$(refusal_reason "$path" "$before_state" "$bad_name" "$line_no" "$config")
      if [ "${reason#replaced}" != "$reason" ]; then
        echo "replaced line $line_no: $setting = $value: $reason"
        replaced=$((replaced + 1))
      else
        echo "refused  line $line_no: $setting = $value: $reason"
        refused=$((refused + 1))
      fi
    fi
  done <"$work/lines"
  echo "summary: $changed changed, $equal equal, $created created, $replaced replaced, $refused refused, $skipped skipped"
done

echo "== the device"
grep -E 'failed!|entry too long|not a regular file|keep ' "$work/tool.out" || true
if [ -e "$device/mnt/mtd/app/update.cfg" ]; then
  echo "update file kept: a Mender rollout fails on this device and is rolled back"
elif grep -q 'failed!' "$work/tool.out"; then
  echo "update file consumed, but a line says failed!: a Mender rollout fails on this device and is rolled back"
else
  echo "update file consumed: a Mender rollout succeeds on this device"
fi
