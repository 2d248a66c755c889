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
