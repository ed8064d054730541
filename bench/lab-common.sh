# Shared by the benchmark scripts that run in a lab of their own: checks,
# a scratch folder and a lab instance that both go away on exit, and timing
# programs in the lab's client namespace side by side with fping.
# Set `bench` (the script's name, for messages) and `name` (the lab instance)
# before sourcing; every path is relative to the repository.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
lab="$repo/lab/lab"
export NERIVANE_BIN_DIR="${NERIVANE_BIN_DIR:-$repo/build/bin}"
# The lab router 10.77.0.1, 1.1.1.1, 8.8.8.8 and 2606:4700:4700::1111
# (nerivane's defaults) and two custom hosts, 9.9.9.9 and 2620:fe::fe.
targets=(10.77.0.1 1.1.1.1 8.8.8.8 2606:4700:4700::1111 9.9.9.9 2620:fe::fe)

die() {
    echo "$bench: $*" >&2
    exit 1
}

# need PROGRAM...: built programs of ours, in NERIVANE_BIN_DIR; fping and GNU
# time by those names. Skips (status 77) without root, which the lab needs.
need() {
    [ "$(id -u)" -eq 0 ] || { echo "$bench: skipped, the lab needs root"; exit 77; }
    local program
    for program in "$@"; do
        case "$program" in
        fping) command -v fping >/dev/null || die "fping is not installed (scripts/setup)" ;;
        gnu-time) [ -x /usr/bin/time ] || die "GNU time is not installed (scripts/setup)" ;;
        *) [ -x "$NERIVANE_BIN_DIR/$program" ] || die "no $program in $NERIVANE_BIN_DIR" ;;
        esac
    done
}

# whole_number LABEL VALUE
whole_number() {
    [[ "$2" =~ ^[1-9][0-9]*$ ]] || die "$1 must be a positive whole number"
}

# start_lab: a fresh instance `name` and a scratch folder `work`, both
# removed when the script ends, however it ends.
start_lab() {
    work="$(mktemp -d)"
    trap '"$lab" down --name "$name" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    "$lab" down --name "$name" >/dev/null 2>&1 || true
    "$lab" up --name "$name" >/dev/null
}

in_lab() { "$lab" exec --name "$name" "$@"; }

# timed FILE CMD...: runs CMD in the client namespace with its output in
# $work/FILE.out and its errors in FILE.err, and leaves "user-s system-s" in
# FILE.time. A shell inside the namespace times it, so the time is the
# program's own (with its threads), not that of the lab script. With peak=1,
# GNU time also writes the program's peak resident KiB to FILE.peak (after
# a line about a non-zero exit status, if any).
timed() {
    local file="$work/$1"
    shift
    if [ "${peak:-0}" = 1 ]; then set -- /usr/bin/time -f %M -o "$file.peak" "$@"; fi
    in_lab bash -c 'TIMEFORMAT="%3U %3S"; { time "$@" >"$0.out" 2>"$0.err"; } 2>"$0.time"' "$file" "$@"
}

# against_fping LABEL FILE CMD...: CMD, timed as FILE, and `fping -l -p 1000`
# on the six targets, timed as fping, side by side for `duration` seconds.
# Dies when CMD fails; fping ends by the interrupt of its time-out.
against_fping() {
    local label="$1" file="$2"
    shift 2
    echo "running $label and fping side by side for ${duration} s" >&2
    timed "$file" "$@" &
    local program=$!
    timed fping timeout -s INT "$duration" fping -l -p 1000 "${targets[@]}" &
    local fping=$!
    wait "$program" || die "$label failed: $(tail -5 "$work/$file.err")"
    wait "$fping" || true
}
