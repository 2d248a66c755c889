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
# python3.X on PATH), or nothing when it has none.
host_python() {
    local found
    found=$(ls -d /root/.pyenv/versions/"$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$found" ] || found=$(command -v "python$1" || true)
    echo "$found"
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
