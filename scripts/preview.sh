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


configs=(mnt/mtd/app/config.xml mnt/mtd/app/config.xml.default config/config.xml.default)
device_configs="/${configs[0]} /${configs[1]} /${configs[2]}"

# The installers' own judge of a run of the tool (update_cfg_succeeded), so
# that what the preview says a rollout does is what the device decides.
# shellcheck source=SCRIPTDIR/../fleet/install-steps.sh
. "$repo/fleet/install-steps.sh"

# Every element an entry path can name, in document order, one a line:
# "PATH<tab>CHILD ELEMENTS<tab>LINE FEEDS IN ITS TEXT<tab>TEXT" (the text of an
# element without elements only, which goes on over that many further lines).
# A path names the first child of each name, as the store looks them up; a
# name with a dot cannot be part of one.  Its only use is what a
# configuration held before: which lines the store took comes from the tool.
cat >"$work/elements.xsl" <<'XSL'
<?xml version="1.0"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text" encoding="UTF-8"/>
  <xsl:key name="named" match="*" use="concat(generate-id(..), '/', name())"/>
  <xsl:template match="/">
    <xsl:apply-templates select="*"/>
  </xsl:template>
  <xsl:template match="*">
    <xsl:param name="path"/>
    <xsl:variable name="here" select="concat($path, name())"/>
    <xsl:choose>
      <xsl:when test="*">
        <xsl:value-of select="concat($here, '&#9;', count(*), '&#9;0&#9;&#10;')"/>
        <xsl:apply-templates select="*[not(contains(name(), '.'))][generate-id() =
            generate-id(key('named', concat(generate-id(..), '/', name()))[1])]">
          <xsl:with-param name="path" select="concat($here, '.')"/>
        </xsl:apply-templates>
      </xsl:when>
      <xsl:otherwise>
        <xsl:value-of select="concat($here, '&#9;0&#9;',
            string-length(.) - string-length(translate(., '&#10;', '')), '&#9;', ., '&#10;')"/>
      </xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
XSL

# What became of every line of the update file in the tool's pass over one
# configuration.  The tool prints, for each line it takes, its value (and
# the entry path when the store refused it), and for a line too long its
# text; it passes over other lines in silence.  So the lines are read here
# as the tool reads them, and each line read as an entry or as too long must
# meet the tool's own line for it, in order, in every pass: where they
# differ, this reading is not the tool's and the preview stops.  The store's
# answer to each entry is the tool's; the configuration before (the element
# list above) only tells a change from an equal value or a new element, and
# why the store may have refused a line.
#
# Inputs, in the environment (awk -v would read backslashes in them):
# PREVIEW_UPDATE, PREVIEW_TOOL_OUT and PREVIEW_ELEMENTS (files, read in that
# order), PREVIEW_ELEMENTS_READ (0 when the configuration could not be read
# before), PREVIEW_PASS (1 to 3), PREVIEW_CONFIGS (the device paths of the
# three, in the tool's order) and PREVIEW_STATE, where the pass's outcome goes: saved, unsaved (the tool
# closed it without a save), unopened or already (the progress record said
# so).  Lines and summary on standard output.
read -r -d '' classify_program <<'AWK' || true
BEGIN {
  update = ENVIRON["PREVIEW_UPDATE"]
  tool_out = ENVIRON["PREVIEW_TOOL_OUT"]
  elements = ENVIRON["PREVIEW_ELEMENTS"]
  elements_read = ENVIRON["PREVIEW_ELEMENTS_READ"] + 0
  pass = ENVIRON["PREVIEW_PASS"] + 0
  configs = ENVIRON["PREVIEW_CONFIGS"]
  state_file = ENVIRON["PREVIEW_STATE"]
  crowded_from = 100
  nul = sprintf("%c", 0)
  bom = "\357\273\277"
  split(configs, config, " ")
  update_path = "/mnt/mtd/app/update.cfg"
  progress_path = "/mnt/mtd/app/update.cfg.progress"
}

function skip(n, why) { kind[n] = "skipped"; reason[n] = why }

function too_long(n, text, why) {
  skip(n, why)
  rec_kind[++records] = "long"
  rec_text[records] = text
  rec_line[records] = n
}

FILENAME == update {
  n = FNR
  last = n
  line = $0
  # The tool skips a byte order mark before the first line.
  if (n == 1 && substr(line, 1, 3) == bom) line = substr(line, 4)
  if (length(line) > 255) {
    text = substr(line, 1, 255)
    if (index(text, nul)) text = substr(text, 1, index(text, nul) - 1)
    too_long(n, text, "longer than 255 characters")
    next
  }
  if (index(line, nul)) { skip(n, "holds a NUL byte (not a line of text)"); next }
  if (line == "" || line == "\r") next
  if (index(line, "#")) { skip(n, "holds # (read as a comment)"); next }
  dot = index(line, ".")
  eq = index(line, "=")
  if (!dot) { skip(n, "no . (section.key=value)"); next }
  if (!eq) { skip(n, "no = (section.key=value)"); next }
  if (eq < dot) { skip(n, "= before the first ."); next }
  value = substr(line, eq + 1)
  sub(/\r$/, "", value)
  if (dot - 1 > 63 || eq - dot - 1 > 63 || length(value) > 63) {
    sub(/\r$/, "", line)
    too_long(n, line, "section, key or value longer than 63 characters")
    next
  }
  kind[n] = "entry"
  rec_of[n] = ++records
  rec_kind[records] = "entry"
  rec_line[records] = n
  section[records] = substr(line, 1, dot - 1)
  key[records] = substr(line, dot + 1, eq - dot - 1)
  val[records] = value
  next
}

FILENAME == tool_out { out[++outs] = $0; next }

FILENAME == elements {
  if (more > 0) { text_of[at_path] = text_of[at_path] "\n" $0; more--; next }
  rest = $0
  tab = index(rest, "\t"); at_path = substr(rest, 1, tab - 1); rest = substr(rest, tab + 1)
  tab = index(rest, "\t"); children[at_path] = substr(rest, 1, tab - 1) + 0; rest = substr(rest, tab + 1)
  tab = index(rest, "\t"); more = substr(rest, 1, tab - 1) + 0
  text_of[at_path] = substr(rest, tab + 1)
  had[at_path] = 1
  if (root == "") root = at_path
  parent = at_path
  if (sub(/\.[^.]*$/, "", parent)) names[parent, ++name_count[parent]] = substr(at_path, length(parent) + 2)
  next
}

function lost(p, j) {
  printf "preview.sh: the tool's output does not follow the update file, %s (%s)\n",
    j ? "at line " rec_line[j] : "at its start", config[p] > "/dev/stderr"
  failed = 1
  exit 3
}

# Walks the tool's output through the passes up to this one.
function follow(    p, j, at, v, l) {
  at = 1
  if (out[at++] != "main enter") lost(1, 0)
  for (p = 1; p <= pass; p++) {
    while (out[at] == "write " progress_path "  failed!") at++
    if (out[at] == "open " config[p] "  failed!") { state = "unopened"; at++; continue }
    if (out[at] == config[p] " has this update already, skipped") { state = "already"; at++; continue }
    if (out[at] == "read " update_path "  failed!") { state = "unsaved"; at++; continue }
    for (j = 1; j <= records; j++) {
      if (rec_kind[j] == "long") {
        if (out[at++] != "entry too long, skipped: [" rec_text[j] "]") lost(p, j)
        continue
      }
      v = val[j]
      l = length(v)
      if (out[at] != "value  = [" v "] len = " l ||
          out[at + 1] != "SetValueToConfig value = " v ", len = " l) lost(p, j)
      at += 2
      if (out[at] == "write config value failed , entry = DVR_CFG." section[j] "." key[j]) {
        if (p == pass) refused[j] = 1
        at++
      }
    }
    state = "saved"
    if (out[at] == "read " update_path "  failed!" || out[at] == update_path " changed during the run" ||
        out[at] == "save " config[p] "  failed!") {
      state = "unsaved"
      at++
    }
  }
}

# The configuration as the lines before the current one left it.
function exists_now(p) { return (p in made) || (p in had) }
function has_elements_now(p) { return (p in made_parent) || children[p] > 0 }
function value_now(p) { return (p in made_value) ? made_value[p] : text_of[p] }
function took(p, v,    q) {
  made[p] = 1
  made_value[p] = v
  q = p
  while (sub(/\.[^.]*$/, "", q)) { made[q] = 1; made_parent[q] = 1 }
}

# Why the store refused entry j at path p, where the cause is plain, else "".
function why_refused(j, p,    part, parts, i, q) {
  parts = split(p, part, ".")
  for (i = 1; i <= parts; i++) if (part[i] == "") return "an empty name"
  for (i = 1; i <= parts; i++)
    if (part[i] !~ /^[A-Za-z_:\200-\377][-A-Za-z0-9_:.\200-\377]*$/)
      return "\047" part[i] "\047 is not an element name"
  if (val[j] ~ /[\001-\010\012-\037\177]/) return "the value holds a control character"
  if (elements_read && root != part[1]) return "the root element is " root ", not " part[1]
  if (has_elements_now(p)) return substr(p, 9) " holds elements, not a value"
  q = p
  while (sub(/\.[^.]*$/, "", q))
    if (exists_now(q)) {
      if (q != part[1] && !has_elements_now(q) && value_now(q) ~ /[^ \t\n\r]/)
        return substr(q, 9) " holds a value, not elements"
      break
    }
  return ""
}

# Edit distance, ignoring case, of the word in letter[1..length] to name, or
# limit + 1 once it is past limit (no limit when limit < 0).
function distance(length_of_word, name, limit,    i, j, prev, cur, c, d, low) {
  name = toupper(name)
  for (j = 0; j <= length_of_word; j++) prev[j] = j
  for (i = 1; i <= length(name); i++) {
    c = substr(name, i, 1)
    cur[0] = low = i
    for (j = 1; j <= length_of_word; j++) {
      d = prev[j - 1] + (letter[j] != c)
      if (prev[j] + 1 < d) d = prev[j] + 1
      if (cur[j - 1] + 1 < d) d = cur[j - 1] + 1
      if ((cur[j] = d) < low) low = d
    }
    if (limit >= 0 && low > limit) return limit + 1
    for (j = 0; j <= length_of_word; j++) prev[j] = cur[j]
  }
  return prev[length_of_word]
}

# "NAME DISTANCE" of the name beside which word, under parent, is closest
# by edit distance ignoring case (the first in byte order on a tie), "" when
# there is none, or "crowded" when parent has more than crowded_from
# elements: a typo hint among hundreds of names is not worth its time.
function closest(parent, word,    i, name, n, best, best_n, gap, length_of_word) {
  if ((parent, word) in closest_of) return closest_of[parent, word]
  if (name_count[parent] > crowded_from) return "crowded"
  length_of_word = length(word)
  for (i = 1; i <= length_of_word; i++) letter[i] = toupper(substr(word, i, 1))
  best = ""
  for (i = 1; i <= name_count[parent]; i++) {
    name = names[parent, i]
    gap = length(name) - length_of_word
    if (gap < 0) gap = -gap
    if (best != "" && gap > best_n) continue
    n = distance(length_of_word, name, best == "" ? -1 : best_n)
    if (best == "" || n < best_n || (n == best_n && name < best)) { best = name; best_n = n }
  }
  return closest_of[parent, word] = best == "" ? "" : best " " best_n
}

END {
  if (failed) exit 3
  follow()
  print state > state_file
  if (state == "unopened" || state == "already") exit 0
  for (j = records; j >= 1; j--) {
    if (rec_kind[j] != "entry" || refused[j]) continue
    p = "DVR_CFG." section[j] "." key[j]
    if (p in next_taken) replaced_by[j] = next_taken[p]
    next_taken[p] = rec_line[j]
  }
  for (n = 1; n <= last; n++) {
    if (!(n in kind)) continue
    if (kind[n] == "skipped") { print "skipped  line " n ": " reason[n]; skipped++; continue }
    j = rec_of[n]
    p = "DVR_CFG." section[j] "." key[j]
    setting = section[j] "." key[j] " = " val[j]
    if (refused[j]) {
      why = why_refused(j, p)
      print "refused  line " n ": " setting ": refused by the store" (why == "" ? " (write config value failed)" : ": " why)
      refused_lines++
      continue
    }
    took(p, val[j])
    if (j in replaced_by) {
      print "replaced line " n ": " setting ": replaced by line " replaced_by[j]
      replaced++
    } else if (state != "saved") {
      print "refused  line " n ": " setting ": the configuration was not saved"
      refused_lines++
    } else if (!elements_read) {
      print "written  line " n ": " setting " (what it held before could not be read)"
      written++
    } else if (p in had) {
      if (children[p] == 0 && text_of[p] == val[j]) {
        print "equal    line " n ": " setting
        equal++
      } else {
        print "changed  line " n ": " section[j] "." key[j] ": " text_of[p] " -> " val[j]
        changed++
      }
    } else {
      # The first part of the path the configuration did not have, and the
      # names already there beside it: a new key is often a typo.
      parts = split(p, part, ".")
      parent = part[1]
      for (i = 2; i < parts && ((parent "." part[i]) in had); i++) parent = parent "." part[i]
      near = closest(parent, part[i])
      if (near == "crowded") {
        hint = name_count[parent] " elements beside it"
      } else if (near != "") {
        hint = "closest existing: " parent "." substr(near, 1, index(near, " ") - 1) ", edit distance " substr(near, index(near, " ") + 1)
      } else {
        hint = "no element beside it in " parent
      }
      print "created  line " n ": " setting " (" parent "." part[i] " is new; " hint ")"
      created++
    }
  }
  printf "summary: %d changed, %d equal, %d created, %d replaced, %d refused, %d skipped%s\n",
    changed, equal, created, replaced, refused_lines, skipped, written ? ", " written " written" : ""
}
AWK

for i in 0 1 2; do
  before=$tree/${configs[i]}
  elements_read=0
  if [ -f "$before" ] && xmlstarlet tr "$work/elements.xsl" "$before" >"$work/elements.$i" 2>/dev/null; then
    elements_read=1
  else
    : >"$work/elements.$i"
  fi
  PREVIEW_UPDATE=$update PREVIEW_TOOL_OUT=$work/tool.out PREVIEW_ELEMENTS=$work/elements.$i \
    PREVIEW_ELEMENTS_READ=$elements_read PREVIEW_PASS=$((i + 1)) PREVIEW_CONFIGS=$device_configs \
    PREVIEW_STATE=$work/state.$i LC_ALL=C awk "$classify_program" \
    "$update" "$work/tool.out" "$work/elements.$i" >"$work/lines.$i" || exit 1
done

for i in 0 1 2; do
  config=${configs[i]}
  before=$tree/$config
  after=$device/$config
  echo "== /$config"
  if [ ! -f "$before" ]; then
    echo "not in the tree: the device prints \"open /$config  failed!\""
    continue
  fi
  case $(cat "$work/state.$i") in
    unopened)
      echo "not opened as a configuration (the device prints \"open /$config  failed!\"): nothing written"
      continue
      ;;
    already)
      echo "the progress record says it has this update already: nothing written"
      continue
      ;;
  esac
  diff -u --label "/$config before" --label "/$config after" "$before" "$after" || true
  cat "$work/lines.$i"
done

echo "== the device"
grep -v -e '^value  = \[' -e '^SetValueToConfig value = ' -e '^write config value failed , entry = ' \
  "$work/tool.out" | grep -E '^entry too long, skipped: \[|failed!|not a regular file|keep ' || true
# The tool ran to its end (the sandbox above exits otherwise): exit status 0.
if update_cfg_succeeded 0 "$work/tool.out" "$device/mnt/mtd/app/update.cfg" >/dev/null; then
  echo "update file consumed: a Mender rollout succeeds on this device"
elif [ -e "$device/mnt/mtd/app/update.cfg" ]; then
  echo "update file kept: a Mender rollout fails on this device and is rolled back"
else
  echo "update file consumed, but a line says failed!: a Mender rollout fails on this device and is rolled back"
fi
