# Shared by the installation tests: a scratch folder removed on exit, skips
# with a reason, checks that count failures instead of stopping at the first,
# and the installed programs' --help and --version run where no probe could
# leave the machine even by mistake.
set -uo pipefail
source_dir="${NERIVANE_SOURCE_DIR:?}"
build_dir="${NERIVANE_BUILD_DIR:?}"
failures=0
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "skipped: $tool is missing (scripts/setup installs it)"; exit 77; }
    done
}

check() {
    local what="$1"
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

# Both options return before the program starts anything; a namespace with
# only loopback makes sure of it where one can be made.
offline() {
    if unshare --net true 2>/dev/null; then
        unshare --net "$@"
    else
        "$@"
    fi
}

# The version the build gives the programs.
project_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt"
}

finish() {
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "all checks passed"
}
