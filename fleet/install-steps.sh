# shellcheck shell=sh
# The steps every installer of an update file takes on a recorder, as shell
# functions only (no command runs when this file is read), so that each
# installer holds the same code: the Mender update module mender/update-cfg
# (which gets this file inlined when it is installed) and the SWUpdate
# image's install script.  POSIX sh and the commands BusyBox also provides.
#
# Function names are kept as they are: installers outside this folder call
# them.  A change adds a function rather than renaming one.

# Flushes a file or a folder to the disk (a folder: the names in it).
flush_path() {
    sync "$1" 2>/dev/null || sync
}

# The temporary name replace_file uses for TARGET: beside it, on the same
# file system, so that the rename is atomic.
temporary_of() {
    echo "$(dirname "$1")/.$(basename "$1").update-cfg"
}

# Puts the content of SOURCE at TARGET, whole or not at all: a temporary copy
# beside TARGET, flushed, renamed over it, and the folder flushed.  The copy
# keeps SOURCE's mode, owner and times.
replace_file() {
    steps_temporary=$(temporary_of "$2")
    if cp -p "$1" "$steps_temporary" && flush_path "$steps_temporary" &&
        mv -f "$steps_temporary" "$2" && flush_path "$(dirname "$2")"; then
        return 0
    fi
    rm -f "$steps_temporary"
    return 1
}

# Succeeds when a configuration can be backed up and written at PATH: no
# such name (nothing to copy), a regular file, or a link that ends at one.
# A folder, a FIFO (whose reader would block), a device or a socket is
# refused; the reason goes to standard output.
config_path_acceptable() {
    if [ ! -e "$1" ] && [ ! -L "$1" ]; then
        return 0
    fi
    if [ -f "$1" ]; then
        return 0
    fi
    if [ -L "$1" ] && [ ! -e "$1" ]; then
        echo "$1 is a link to nothing"
    elif [ -d "$1" ]; then
        echo "$1 is a folder, not a regular file"
    elif [ -p "$1" ]; then
        echo "$1 is a FIFO, not a regular file"
    elif [ -S "$1" ]; then
        echo "$1 is a socket, not a regular file"
    elif [ -b "$1" ] || [ -c "$1" ]; then
        echo "$1 is a device, not a regular file"
    else
        echo "$1 is not a regular file"
    fi
    return 1
}

# The identity of the file a path ends at (through links): device and inode,
# so that two names of one file (a hard link) are seen as one.
file_identity() {
    stat -L -c '%d:%i' "$1" 2>/dev/null
}

# A file's checksum and size, as cksum prints them.
file_sum() {
    cksum <"$1" | sed 's/[[:space:]][[:space:]]*/ /g'
}

# Copies the configurations (each path after BACKUP) as they are, the content
# a link points to, with mode, owner and times, into the one flat folder
# BACKUP: copy N is the file "N", and the file "list" holds one line per
# configuration: "N CHECKSUM SIZE IDENTITY PATH", or "N - - - PATH" for one
# that does not exist.  Built as BACKUP.new, every copy and the list flushed,
# the folder flushed, renamed to BACKUP, and BACKUP's folder flushed: BACKUP
# exists only whole.  Each configuration must be config_path_acceptable.
take_backup() {
    steps_backup="$1"
    shift
    rm -rf "$steps_backup" "$steps_backup.new" || return 1
    mkdir -p "$steps_backup.new" || return 1
    steps_n=0
    for steps_config in "$@"; do
        steps_n=$((steps_n + 1))
        if [ -e "$steps_config" ]; then
            cp -p "$steps_config" "$steps_backup.new/$steps_n" &&
                flush_path "$steps_backup.new/$steps_n" || return 1
            steps_sum=$(file_sum "$steps_backup.new/$steps_n") &&
                steps_id=$(file_identity "$steps_config") || return 1
            echo "$steps_n $steps_sum $steps_id $steps_config"
        else
            echo "$steps_n - - - $steps_config"
        fi
    done >"$steps_backup.new/list" || return 1
    flush_path "$steps_backup.new/list" && flush_path "$steps_backup.new" &&
        mv "$steps_backup.new" "$steps_backup" && flush_path "$(dirname "$steps_backup")"
}

# Succeeds when the backup BACKUP can be trusted: its list names exactly the
# configurations given after it, in order, and every copy the list names is
# there with its checksum and size (or was restored already: "N.done").
# What is wrong goes to standard output.
backup_intact() {
    steps_backup="$1"
    shift
    if [ ! -f "$steps_backup/list" ]; then
        echo "$steps_backup/list is missing"
        return 1
    fi
    steps_n=0
    for steps_config in "$@"; do
        steps_n=$((steps_n + 1))
        steps_line=$(sed -n "${steps_n}p" "$steps_backup/list")
        # shellcheck disable=SC2086 # the line's fields
        set -- $steps_line
        if [ "$1" != "$steps_n" ] || [ "$5" != "$steps_config" ]; then
            echo "$steps_backup/list does not name $steps_config as copy $steps_n"
            return 1
        fi
        [ "$2" != "-" ] || continue
        [ ! -e "$steps_backup/$steps_n.done" ] || continue
        if [ ! -f "$steps_backup/$steps_n" ] ||
            [ "$(file_sum "$steps_backup/$steps_n")" != "$2 $3" ]; then
            echo "the copy of $steps_config in $steps_backup is missing or damaged"
            return 1
        fi
    done
    if [ "$(wc -l <"$steps_backup/list")" -ne "$steps_n" ]; then
        echo "$steps_backup/list names other configurations"
        return 1
    fi
}

# Marks copy N of BACKUP restored and gives its room back: renamed to
# "N.done" (flushed), then emptied.
backup_copy_done() {
    mv -f "$1/$2" "$1/$2.done" && flush_path "$1" && : >"$1/$2.done"
}

# The copies of BACKUP that are no longer needed give their room back (for a
# restore on a nearly full file system): those whose configuration already
# holds them again.
backup_free_room() {
    while read -r free_n free_sum free_size free_id free_config; do
        if [ "$free_sum" != "-" ] && [ -f "$1/$free_n" ] &&
            [ "$(file_sum "$free_config" 2>/dev/null)" = "$free_sum $free_size" ]; then
            backup_copy_done "$1" "$free_n" || return 1
        fi
    done <"$1/list"
    : "$free_id"
}

# Puts every configuration of the backup BACKUP back, byte for byte with its
# mode, owner and times, where it differs from its copy; one that is equal is
# left alone (a configuration the update could not save, on a read-only
# mount, is equal and could not be written either).  Through a link, the
# link's target gets the content back.  Two names that were one file (a hard
# link) are made one file again.  Says "restored PATH" or "could not restore
# PATH" on standard output for each; fails if any could not be restored.
# When a copy cannot be made for lack of room, the copies already restored
# give theirs back and it is tried once more.  The backup must be
# backup_intact.
restore_backup() {
    steps_backup="$1"
    steps_status=0
    steps_firsts=""
    while read -r steps_n steps_sum steps_size steps_id steps_config; do
        [ "$steps_sum" != "-" ] || continue
        steps_target=$(readlink -f "$steps_config" 2>/dev/null) || steps_target="$steps_config"
        [ -n "$steps_target" ] || steps_target="$steps_config"
        # A power cut in a restore or an install may have left its temporary.
        rm -f "$(temporary_of "$steps_target")"
        # The first name of a hard-linked file is restored; a later one is
        # linked to it again.
        steps_first=$(echo "$steps_firsts" | sed -n "s|^$steps_id ||p" | sed -n 1p)
        if [ -n "$steps_first" ]; then
            if [ "$(file_identity "$steps_target")" = "$(file_identity "$steps_first")" ]; then
                continue
            fi
            steps_temporary=$(temporary_of "$steps_target")
            if ln -f "$steps_first" "$steps_temporary" 2>/dev/null &&
                mv -f "$steps_temporary" "$steps_target" &&
                flush_path "$(dirname "$steps_target")"; then
                echo "restored $steps_config"
            else
                rm -f "$steps_temporary"
                echo "could not restore $steps_config"
                steps_status=1
            fi
            continue
        fi
        steps_firsts="$steps_firsts
$steps_id $steps_target"
        if [ -e "$steps_backup/$steps_n.done" ] ||
            [ "$(file_sum "$steps_target" 2>/dev/null)" = "$steps_sum $steps_size" ]; then
            continue
        fi
        if replace_file "$steps_backup/$steps_n" "$steps_target" ||
            { backup_free_room "$steps_backup" &&
                replace_file "$steps_backup/$steps_n" "$steps_target"; }; then
            echo "restored $steps_config"
        else
            echo "could not restore $steps_config"
            steps_status=1
        fi
    done <"$steps_backup/list"
    return $steps_status
}

# Removes the progress record PROGRESS_FILE when there is no update file
# UPDATE_FILE, before an installer puts one there.  The tool drops such a
# record on its next run, but neither start at boot runs it without an
# update file: the record would wait, and a later update of the same content
# would skip every store it names, also one a rollback has since restored.
remove_orphan_record() {
    [ ! -e "$1" ] && [ ! -L "$1" ] || return 0
    [ -e "$2" ] || return 0
    rm -f "$2" && flush_path "$(dirname "$2")"
}

# Puts SOURCE in place as the update file UPDATE_FILE, whole or not at all.
place_update() {
    mkdir -p "$(dirname "$2")" && replace_file "$1" "$2"
}

# Runs update_cfg (found on the PATH) with its lines going to LOG; its exit
# status is returned.
run_update_cfg() {
    steps_tool=$(command -v update_cfg) || {
        echo "update_cfg is not on the PATH ($PATH)" >"$1"
        return 127
    }
    "$steps_tool" >"$1" 2>&1
}

# The tool's lines in LOG that say a configuration was not opened or not
# saved.  Its lines that echo the update file's text (a value that says
# "failed!") begin otherwise and do not count.
update_cfg_failures() {
    grep -E '^(open|save) .*  failed!$' "$1"
}

# Judges a run of update_cfg that exited with STATUS, printed LOG and was
# given UPDATE_FILE: succeeds only if it exited 0, consumed the update file
# and printed no failure to open or save a configuration.  Otherwise the
# reason goes to standard output.
update_cfg_succeeded() {
    if [ "$1" -ne 0 ]; then
        echo "update_cfg exited with status $1"
    elif update_cfg_failures "$2" >/dev/null; then
        echo "update_cfg reported a failure"
    elif [ -e "$3" ]; then
        echo "update_cfg kept $3: the update did not reach every store"
    else
        return 0
    fi
    return 1
}

# Everything an install refuses before it changes anything, for the update
# file UPDATE_FILE and the configurations given after it: an update file that
# is a link or not a regular file, a configuration that is not
# config_path_acceptable, no update_cfg on the PATH.  The reason goes to
# standard output.
device_acceptable() {
    if [ -L "$1" ] || { [ -e "$1" ] && [ ! -f "$1" ]; }; then
        echo "$1 is not a regular file"
        return 1
    fi
    shift
    for steps_config in "$@"; do
        config_path_acceptable "$steps_config" || return 1
    done
    if ! command -v update_cfg >/dev/null; then
        echo "update_cfg is not on the PATH ($PATH)"
        return 1
    fi
}

# Runs update_cfg on the update file UPDATE_FILE there is, its lines going to
# LOG and then, whole lines, to standard output, and judges the run as
# update_cfg_succeeded does.  The reason of a failure is left in steps_why
# rather than printed, for the installer to tell in its own words.
apply_update() {
    run_update_cfg "$1"
    steps_status=$?
    cat "$1"
    # A tool killed in the middle of a line leaves it open.
    [ -z "$(tail -c 1 "$1" 2>/dev/null)" ] || echo
    steps_why=$(update_cfg_succeeded "$steps_status" "$1" "$2")
}

# Drops the backup BACKUP as one name (renamed, its folder flushed), then its
# files.  Its folder, the installer's own, goes next when it is empty, or
# with all it holds when the second argument is "and-folder"; the folder
# that held it is flushed.
drop_backup() {
    steps_state=$(dirname "$1")
    [ ! -d "$1" ] || { mv -f "$1" "$1.old" && flush_path "$steps_state"; } || return 1
    if [ "${2:-}" = and-folder ]; then
        rm -rf "$steps_state" && flush_path "$(dirname "$steps_state")"
        return
    fi
    rm -rf "$1.old" || return 1
    if rmdir "$steps_state" 2>/dev/null; then
        flush_path "$(dirname "$steps_state")"
    fi
    return 0
}

# Undoes an update: the configurations given after the first four arguments
# are put back from their backup BACKUP (restore_backup; what it says is
# left in steps_restored), then the update file UPDATE_FILE the tool kept
# and its record PROGRESS_FILE are removed (they belong to the update just
# undone: the next run would apply it again), and the backup is dropped as
# drop_backup does with HOW.  A backup that is not backup_intact restores
# nothing; one that restores only some keeps the update file, its record and
# the backup, for the next run.  steps_why is left saying what became of it,
# and the status is 0 only when it was all done.
roll_back_update() {
    steps_backup="$1"
    steps_how="$2"
    steps_update="$3"
    steps_progress="$4"
    shift 4
    steps_restored=""
    steps_why=$(backup_intact "$steps_backup" "$@") || {
        steps_why="rollback impossible: the backup cannot be trusted ($steps_why);"
        steps_why="$steps_why nothing was restored, $steps_update and its progress record are kept"
        return 1
    }
    # shellcheck disable=SC2034 # read by the installer
    steps_restored=$(restore_backup "$steps_backup") || {
        steps_why="rollback incomplete: $steps_update, its progress record and the backup in"
        steps_why="$steps_why $steps_backup are kept for the next run"
        return 1
    }
    remove_update "$steps_update" "$steps_progress" || {
        steps_why="could not remove $steps_update"
        return 1
    }
    drop_backup "$steps_backup" "$steps_how" || {
        steps_why="could not remove $steps_backup"
        [ "$steps_how" != and-folder ] || steps_why="could not remove $(dirname "$steps_backup")"
        return 1
    }
    steps_why="rolled back: the configurations are as before the update"
}

# Removes the update file UPDATE_FILE the tool kept, its progress record
# PROGRESS_FILE and a temporary left by place_update.  The record goes last,
# after the update file's removal is flushed: a power cut in between never
# leaves the update file without its record.
remove_update() {
    rm -f "$1" "$(temporary_of "$1")" && flush_path "$(dirname "$1")" &&
        rm -f "$2" && flush_path "$(dirname "$2")"
}
