#!/bin/sh
# A power cut for the fleet tests, in the sandboxed device: linked under the
# name of every command the update module runs, first on the PATH.  Each
# call appends its name to $CUT_DIR/calls, then runs the real command, unless
# $CUT_DIR/plan says to cut here:
#   before N          the Nth command the module runs never starts
#   tool SYSCALL N    update_cfg is killed at its Nth SYSCALL (strace)
# A cut kills the module's shells and the Mender client at once (SIGKILL), as
# a power cut stops them: each of them is waiting for this process then.
# This folder leaves the PATH first: the commands below are the real ones.
PATH=${PATH#*:}
export PATH
name=${0##*/}
# Commands of a pipeline start together: each takes its number under a lock.
# shellcheck disable=SC2016 # expanded by the inner shell
count=$(flock "$CUT_DIR/calls" sh -c 'echo "$1" >>"$2/calls" && wc -l <"$2/calls"' sh "$name" "$CUT_DIR")
plan=$(cat "$CUT_DIR/plan" 2>/dev/null)

# The processes from this one's parent up to the Mender client, which are
# killed together; none unless the client is found.
cut_power() {
    pid=$PPID
    pids=""
    while [ "$pid" -gt 1 ]; do
        pids="$pids $pid"
        if [ "$(cat "/proc/$pid/comm")" = mender ]; then
            echo "cut at call $count ($name)" >>"$CUT_DIR/cut"
            # shellcheck disable=SC2086 # one argument per process
            kill -KILL $pids
            exit 137
        fi
        pid=$(sed 's/.*) . \([0-9]*\) .*/\1/' "/proc/$pid/stat")
    done
    echo "no Mender client above $$" >&2
    exit 1
}

set -- "$@"
case "$plan" in
    "before $count")
        cut_power
        ;;
    "tool "*)
        if [ "$name" = update_cfg ]; then
            # shellcheck disable=SC2086 # "tool SYSCALL N"
            set -- $plan "$@"
            call=$2
            when=$3
            shift 3
            strace -qq -o /dev/null -e trace="$call" \
                -e inject="$call:signal=KILL:when=$when" update_cfg "$@"
            status=$?
            [ "$status" -ne 137 ] || cut_power
            exit "$status"
        fi
        ;;
esac
exec "$name" "$@"
