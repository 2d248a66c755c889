# Sourced by the CI scripts.

# `stage NAME` ends the running stage, printing its time, and starts NAME.
stage_name=""
stage_started=$SECONDS
stage() {
    [ -z "$stage_name" ] || echo "== ($stage_name: $((SECONDS - stage_started)) s)"
    stage_name="$1"
    stage_started=$SECONDS
    echo "== $1"
}

# `host_python 3.X` prints this machine's newest CPython 3.X (pyenv's, else
# python3.X on PATH), or nothing when it has none: the wheel tools' own
# lookup (tools/host_python.py: the tools, unlike .ci, are in the source
# archive), run by the python3 the scripts run the tools with.
host_python_lookup="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/host_python.py"
host_python() {
    python3 "$host_python_lookup" "$1"
}

fail() {
    echo "$0: $*" >&2
    exit 1
}

# A directory is trusted when it is a real directory (not a link), owned by
# root, and neither group- nor world-writable; a sticky world-writable one
# such as /tmp is not trusted either, since others may create names in it.
check_trusted_directory() {
    local path="$1" owner mode
    [ ! -L "$path" ] || { echo "$path is a symbolic link" >&2; return 1; }
    [ -d "$path" ] || { echo "$path is not a directory" >&2; return 1; }
    IFS=' ' read -r owner mode < <(stat -c '%u %a' -- "$path")
    [ "$owner" -eq 0 ] || { echo "$path is owned by uid $owner, not root" >&2; return 1; }
    (((8#$mode & 8#022) == 0)) || { echo "$path has mode $mode: writable by others than root" >&2; return 1; }
}

# Makes a trusted directory, or takes the one another job made a moment
# earlier: the CI's jobs start together and make the same directories, so
# its existence is no error, only whether it can be trusted.
make_trusted_directory() {
    local error
    error=$(mkdir -m 0755 -- "$1" 2>&1) || [ -e "$1" ] || [ -L "$1" ] || { echo "$error" >&2; return 1; }
    check_trusted_directory "$1"
}

# Checks every directory from / down to PATH, making those missing.
make_trusted_path() {
    local prefix="" part parts
    check_trusted_directory / || return 1
    IFS=/ read -r -a parts <<<"${1#/}"
    for part in "${parts[@]}"; do
        [ -n "$part" ] || continue
        prefix="$prefix/$part"
        make_trusted_directory "$prefix" || return 1
    done
}

# `start_background NAME COMMAND ...` runs COMMAND beside the script, its
# output kept in $background_dir/NAME.log. Each job runs in its own process
# group, so that stopping it also stops what it started (a debootstrap, a
# chrooted apt-get, Wine). Bash reaps a job that ends by itself at once, and
# its number may then lead another process's group; so the group is led by a
# shell that stays until the job has ended (a TERM waits for that too) and
# then leaves NAME.ended, holding its status. A job is signalled only while
# it has left no such mark and its leader is still this shell's child,
# leading its own group.
declare -A background=()
start_background() {
    local name="$1"
    shift
    rm -f -- "$background_dir/$name.ended"
    setsid bash -c 'trap : TERM; "${@:2}"; status=$?; echo "$status" >"$1"; exit "$status"' \
        bash "$background_dir/$name.ended" "$@" >"$background_dir/$name.log" 2>&1 &
    background[$name]=$!
}
background_running() {
    local group="${background[$1]:-}" stat ppid pgrp
    [ -n "$group" ] && [ ! -e "$background_dir/$1.ended" ] || return 1
    read -r stat 2>/dev/null <"/proc/$group/stat" || return 1
    read -r _ ppid pgrp _ <<<"${stat##*) }"
    [ "$ppid" = "$$" ] && [ "$pgrp" = "$group" ]
}
signal_background() {
    ! background_running "$1" || kill "-$2" -- "-${background[$1]}" 2>/dev/null || true
}
stop_background() {
    local group="${background[$1]:-}"
    [ -n "$group" ] || return 0
    if background_running "$1"; then
        kill -TERM -- "-$group" 2>/dev/null || true
        for _ in $(seq 20); do
            background_running "$1" || break
            sleep 0.5
        done
        signal_background "$1" KILL
        wait "$group" 2>/dev/null || true
    fi
    unset "background[$1]"
}
wait_background() {
    local status=0
    wait "${background[$1]}" || status=$?
    unset "background[$1]"
    cat "$background_dir/$1.log"
    [ "$status" -eq 0 ] || { echo "$1 failed" >&2; exit "$status"; }
}
# A run that fails in this script's own lane ends the background jobs before
# their logs are printed; their last lines still show how far each got.
stop_all_background() {
    local name how
    for name in "${!background[@]}"; do
        how="ended by itself"
        ! background_running "$name" || how=stopped
        stop_background "$name"
        echo "== $name, $how; the end of its log:"
        tail -n 40 "$background_dir/$name.log"
    done
}

# A tree kept between runs, whose programs run as root, is trusted when
# nothing in it (links aside: only whoever may write their directory can
# make them) belongs to another user or is writable by others than root.
check_tree_trusted() {
    local offender
    check_trusted_directory "$1" || return 1
    offender=$(find "$1" -xdev ! -type l \( ! -uid 0 -o -perm /022 \) -print -quit)
    [ -z "$offender" ] || { echo "$offender is not owned by root or is writable by others than root" >&2; return 1; }
}

# A root file system has its system accounts (apt's _apt owns apt's download
# directories), group-writable spools (/var/mail), device nodes anyone may
# write and scratch directories anyone may add to (/tmp, sticky), none of
# which holds anything run. It is trusted when nothing else in it belongs
# to, or can be written by, a user's account (ids from 1000) or everyone.
check_root_trusted() {
    local offender
    check_trusted_directory "$1" || return 1
    offender=$(find "$1" -xdev \( -type d -perm -1002 -prune \) -o \
        \( ! -type l ! -type c ! -type b \( -uid +999 -o \( -gid +999 -perm -020 \) -o -perm -002 \) -print -quit \))
    [ -z "$offender" ] || { echo "$offender belongs to a user's account or is writable by everyone" >&2; return 1; }
}

# `copy_checkout CHECKOUT DIRECTORY` copies the checkout's files, tracked and
# untracked but not ignored, into DIRECTORY, for root to run in a root.
# Whoever owns the checkout, the copies are root's and writable by root only.
copy_checkout() {
    git -C "$1" ls-files -z --cached --others --exclude-standard |
        tar -C "$1" --null -T - -cf - |
        (umask 022 && tar -C "$2" -xf - --no-same-owner --no-same-permissions)
}

# `work_directory_in ROOT` makes a directory of this run's own in ROOT's
# /tmp and prints its path as seen inside ROOT. Anyone may add names to that
# /tmp, so the name is a fresh random one, never one a user could make first;
# once made, it is readable to all, as the suite's unprivileged parts need.
work_directory_in() {
    local made
    made=$(mktemp -d "$1/tmp/pixelmend-ci.XXXXXXXX") && chmod 0755 -- "$made" || return 1
    echo "${made#"$1"}"
}
