# Sourced by the CI scripts: `stage NAME` ends the running stage, printing
# its time, and starts NAME.
stage_name=""
stage_started=$SECONDS
stage() {
    [ -z "$stage_name" ] || echo "== ($stage_name: $((SECONDS - stage_started)) s)"
    stage_name="$1"
    stage_started=$SECONDS
    echo "== $1"
}
