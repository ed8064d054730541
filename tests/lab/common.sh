# Shared by the lab's shell tests: skip where labs cannot be built, bring up
# instances of the test's own that go down again on exit, run things in them,
# and small checks that count failures instead of stopping at the first.
lab="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/lab/lab"
failures=0

need_lab() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: lab tests need root (they build network namespaces)"
        exit 77
    fi
    if ! unshare --net true 2>/dev/null; then
        echo "skipped: network namespaces are not available here"
        exit 77
    fi
}

# start_lab NAME...: fresh instances, all taken down when the test exits; the
# first is the one that L, in_lab and loss use (name=OTHER before them picks another).
start_lab() {
    lab_names_started=("$@")
    name="$1"
    trap 'for n in "${lab_names_started[@]}"; do "$lab" down --name "$n" >/dev/null 2>&1; done' EXIT
    local n
    for n in "$@"; do
        "$lab" down --name "$n" >/dev/null 2>&1
        "$lab" up --name "$n" || { echo "FAIL: lab up --name $n"; exit 1; }
    done
}
L() { "$lab" "$@" --name "$name"; }
in_lab() { "$lab" exec --name "$name" "$@"; }

# The packet loss percentage of a ping run's summary; loss COUNT HOST: that
# of COUNT pings from the client.
loss_of() {
    sed -n 's/.* \([0-9.]*\)% packet loss.*/\1/p'
}
loss() {
    in_lab ping -n -q -c "$1" -i 0.2 -W 1 "$2" | loss_of
}

# The time=... values of a ping run, sorted.
times_of() {
    grep -o 'time=[0-9.]*' | cut -d= -f2 | sort -n
}

# Whole seconds since a $EPOCHREALTIME reading.
elapsed() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }'; }
pass() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: the command must succeed; refused: it must fail.
check() {
    local description="$1"
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}
refused() {
    local description="$1"
    shift
    if "$@" >/dev/null 2>&1; then fail "$description"; else pass "$description"; fi
}

# within VALUE LOW HIGH: LOW <= VALUE <= HIGH, as decimals.
within() {
    awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'
}

# matches PATTERN COMMAND...: the command's output has a line matching the
# extended regular expression.
matches() {
    local pattern="$1"
    shift
    "$@" 2>/dev/null | grep -qE -- "$pattern"
}

# The names of the links in the machine's own namespace.
own_links() {
    ip -o link show | awk -F': ' '{print $2}' | sort
}

finish() {
    if [ "$failures" -eq 0 ]; then
        echo "all checks passed"
        exit 0
    fi
    echo "$failures check(s) failed"
    exit 1
}
