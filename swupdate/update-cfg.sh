#!/bin/sh
# The install script of an update-cfg SWUpdate image: one update file,
# applied to the recorder's three configuration files by update_cfg, with the
# configurations restored when the update did not reach all of them.
#
# SWUpdate runs it as `update-cfg.sh preinst` before it writes anything, and
# as `update-cfg.sh postinst` once it has put the image's update file at
# STAGED_FILE.  SWUpdate 2022.12 has no state for a failed install (no
# postfailure script), so this script restores the configurations itself
# before it reports the failure with a non-zero exit.  SWUpdate logs what it
# prints on standard output as TRACE lines and on standard error as ERROR
# lines: the reason of a failure goes to standard error.
# A device has no bash: POSIX sh and the commands BusyBox also provides.

PHASE="$1"

UPDATE_FILE=/mnt/mtd/app/update.cfg
PROGRESS_FILE=/mnt/mtd/app/update.cfg.progress
CONFIGS="/mnt/mtd/app/config.xml /mnt/mtd/app/config.xml.default /config/config.xml.default"

# Where the image's update file waits for this script.  The image builder
# reads this line: it is the path sw-description gives the file.  The work
# folder is on the flash beside the update file, not in /tmp, so that the
# copy of the configurations survives a reboot.
STAGED_FILE=/mnt/mtd/app/.update-cfg.swupdate/update.cfg
WORK=$(dirname "$STAGED_FILE")
BACKUP="$WORK/backup"
TOOL_LOG="$WORK/update_cfg.log"

# The steps shared with the Mender module.  The image builder puts the text
# of fleet/install-steps.sh in place of the next three lines, so the image
# needs nothing of this tree on the device; from the source tree they are
# read from beside it.
# @install-steps begin@
# shellcheck source=SCRIPTDIR/../fleet/install-steps.sh
. "$(dirname "$0")/../fleet/install-steps.sh"
# @install-steps end@

log() {
    echo "update-cfg: $*"
}

fail() {
    echo "update-cfg: $*" >&2
    exit 1
}

# Everything an install refuses before it changes anything.
check_device() {
    # shellcheck disable=SC2086 # CONFIGS: paths without blanks, one argument each
    why=$(device_acceptable "$UPDATE_FILE" $CONFIGS) || fail "refused: $why"
}

# Puts back every configuration the update changed and removes what the tool
# kept for a next run, then fails: the reason, then what became of it.
roll_back() {
    log "$1"
    # shellcheck disable=SC2086 # CONFIGS: paths without blanks, one argument each
    roll_back_update "$BACKUP" and-folder "$UPDATE_FILE" "$PROGRESS_FILE" $CONFIGS
    [ -z "$steps_restored" ] || echo "$steps_restored" | sed 's/^/update-cfg: /'
    fail "$1; $steps_why"
}

install_update() {
    if [ -L "$STAGED_FILE" ] || [ ! -f "$STAGED_FILE" ]; then
        fail "$STAGED_FILE, the image's update file, is not a regular file"
    fi
    check_device
    if ! flush_path "$WORK" || ! flush_path "$(dirname "$WORK")"; then
        fail "could not flush $WORK"
    fi
    # A copy cut short was taken before anything changed: of no use.
    rm -rf "$BACKUP.new" "$BACKUP.old" || fail "could not remove $BACKUP.new"
    # A whole copy is left by an install a power cut stopped, or by a
    # rollback that could not finish: it holds the configurations as they
    # were before that install, and a failure now returns to them.
    if [ -d "$BACKUP" ]; then
        # shellcheck disable=SC2086
        why=$(backup_intact "$BACKUP" $CONFIGS) ||
            fail "refused: the copy an earlier install left cannot be trusted ($why);" \
                "check the configurations, then remove $WORK"
        log "an earlier install did not finish: its copy of the configurations is kept"
    fi

    # An update file already here (an install a power cut stopped, or the
    # tool's own from an earlier run) is finished before this one takes its
    # place; with its progress record the tool skips what it applied.  The
    # same content is this install's update: it is simply finished.
    same_update=no
    if [ -e "$UPDATE_FILE" ]; then
        if cmp -s "$UPDATE_FILE" "$STAGED_FILE"; then
            same_update=yes
        else
            log "finishing the update file kept at $UPDATE_FILE first"
            apply_update "$TOOL_LOG" "$UPDATE_FILE" || {
                log "$steps_why"
                fail "refused: the update file kept at $UPDATE_FILE could not be finished;" \
                    "it stays for the next run"
            }
        fi
    fi

    if [ ! -d "$BACKUP" ]; then
        # shellcheck disable=SC2086
        take_backup "$BACKUP" $CONFIGS || fail "could not copy the configurations to $BACKUP"
    fi
    remove_orphan_record "$UPDATE_FILE" "$PROGRESS_FILE" ||
        roll_back "could not remove $PROGRESS_FILE, left without its update file"
    if [ "$same_update" = no ]; then
        place_update "$STAGED_FILE" "$UPDATE_FILE" ||
            roll_back "could not put the update file in place at $UPDATE_FILE"
    fi
    apply_update "$TOOL_LOG" "$UPDATE_FILE" || roll_back "$steps_why"
    drop_backup "$BACKUP" and-folder || fail "the update is applied, but $WORK could not be removed"
    log "update applied to the configurations"
}

case "$PHASE" in
    preinst)
        check_device
        # SWUpdate writes the image's update file next; one left by an
        # install that was cut short goes first.
        rm -f "$STAGED_FILE" "$TOOL_LOG" || fail "could not clear $WORK"
        ;;
    postinst)
        install_update
        ;;
esac
exit 0
