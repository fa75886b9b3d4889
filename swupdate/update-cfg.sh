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
# of this file in the place of the next line, so the image needs nothing of
# this tree on the device.
# shellcheck source=../fleet/install-steps.sh
. "$(dirname "$0")/../fleet/install-steps.sh"

log() {
    echo "update-cfg: $*"
}

fail() {
    echo "update-cfg: $*" >&2
    exit 1
}

# Refuses, before anything changes, what no install could go through.
check_device() {
    if [ -L "$UPDATE_FILE" ] || { [ -e "$UPDATE_FILE" ] && [ ! -f "$UPDATE_FILE" ]; }; then
        fail "refused: $UPDATE_FILE is not a regular file"
    fi
    for config in $CONFIGS; do
        why=$(config_path_acceptable "$config") || fail "refused: $why"
    done
    command -v update_cfg >/dev/null || fail "refused: update_cfg is not on the PATH ($PATH)"
}

# Puts back every configuration the update changed and removes what the tool
# kept for a next run, then fails with REASON.
roll_back() {
    reason="$1"
    echo "update-cfg: $reason" >&2
    if why=$(backup_intact "$BACKUP" $CONFIGS); then
        restored=$(restore_backup "$BACKUP")
        restore_status=$?
        [ -z "$restored" ] || echo "$restored" | sed 's/^/update-cfg: /'
    else
        echo "update-cfg: $why" >&2
        restore_status=1
    fi
    # The update file, where the tool kept it, would be applied again by the
    # next run, and its progress record would point that run into it.
    remove_update "$UPDATE_FILE" "$PROGRESS_FILE" || restore_status=1
    if [ "$restore_status" -ne 0 ]; then
        fail "rollback incomplete: the copy of the configurations stays in $BACKUP"
    fi
    rm -rf "$WORK"
    fail "rolled back: the configurations are as before the update"
}

install_update() {
    if [ -L "$STAGED_FILE" ] || [ ! -f "$STAGED_FILE" ]; then
        fail "$STAGED_FILE, the image's update file, is not a regular file"
    fi
    check_device
    # shellcheck disable=SC2086 # one word a configuration
    take_backup "$BACKUP" $CONFIGS || fail "could not copy the configurations to $BACKUP"

    # A progress record left beside an old update file belongs to that file,
    # not to the one put in place now.
    rm -f "$PROGRESS_FILE" || roll_back "could not remove $PROGRESS_FILE"
    place_update "$STAGED_FILE" "$UPDATE_FILE" ||
        roll_back "could not put the update file in place at $UPDATE_FILE"

    run_update_cfg "$TOOL_LOG"
    tool_status=$?
    cat "$TOOL_LOG"
    why=$(update_cfg_succeeded "$tool_status" "$TOOL_LOG" "$UPDATE_FILE") || roll_back "$why"
    rm -rf "$WORK"
    log "update applied to the configurations"
}

case "$PHASE" in
    preinst)
        check_device
        # A work folder left by an install that was cut short holds nothing
        # this one needs: its copy is taken again from the configurations as
        # they are now.
        rm -rf "$WORK" || fail "could not remove $WORK"
        ;;
    postinst)
        install_update
        ;;
esac
exit 0
