# Shared by the lab's shell tests: skip where labs cannot be built, bring up
# an instance of the test's own that goes down again on exit, and small checks
# that count failures instead of stopping at the first.
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

# start_lab NAME...: fresh instances, all taken down when the test exits.
start_lab() {
    lab_names_started=("$@")
    trap 'for n in "${lab_names_started[@]}"; do "$lab" down --name "$n" >/dev/null 2>&1; done' EXIT
    local n
    for n in "$@"; do
        "$lab" down --name "$n" >/dev/null 2>&1
        "$lab" up --name "$n" || { echo "FAIL: lab up --name $n"; exit 1; }
    done
}

pass() { echo "ok: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: the command must succeed.
check() {
    local description="$1"
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

# within VALUE LOW HIGH: LOW <= VALUE <= HIGH, as decimals.
within() {
    awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'
}

# The packet loss percentage of a ping run's summary.
loss_of() {
    sed -n 's/.* \([0-9.]*\)% packet loss.*/\1/p'
}

# The median of the time=... values of a ping run.
median_of() {
    grep -o 'time=[0-9.]*' | cut -d= -f2 | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'
}

finish() {
    if [ "$failures" -eq 0 ]; then
        echo "all checks passed"
        exit 0
    fi
    echo "$failures check(s) failed"
    exit 1
}
