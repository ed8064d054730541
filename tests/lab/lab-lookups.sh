#!/usr/bin/env bash
# The name-lookup story, with the real program in a lab of its own: the lab's
# DNS server goes silent (the verdict names it within two minutes while the
# internet card stays good and no outage is recorded), answers after 1.5 s
# (lookups slow), is reset (good again), and finally the internet goes
# silent as well, when the internet verdict wins. Prints the program's CPU
# time and memory at the end; with NERIVANE_COMPARE_BIN=PROGRAM a second
# build (one without DNS probes, say) runs beside it in the same lab and its
# figures are printed alongside. About five minutes.
source "$(dirname "$0")/common.sh"
need_lab
bin_dir="${NERIVANE_BIN_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}"
[ -x "$bin_dir/nerivane" ] || { echo "FAIL: $bin_dir/nerivane is not built"; exit 1; }
start_lab nvt-dns
work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; "$lab" down --name "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT

# launch TAG PROGRAM [ARGS...]: the program in the terminal mode, JSON lines to TAG.jsonl.
launch() {
    local tag="$1" program="$2"
    shift 2
    mkdir -p "$work/$tag"
    in_lab env -i PATH="$PATH" HOME="$work/$tag" XDG_CONFIG_HOME="$work/$tag/config" \
        XDG_DATA_HOME="$work/$tag/data" XDG_RUNTIME_DIR="$work/$tag" LANG=C.UTF-8 \
        "$program" --json --exit-after 900 "$@" >"$work/$tag.jsonl" 2>"$work/$tag.err" &
    pids+=($!)
}

# The last snapshot line so far.
last_snapshot() { grep '"type":"snapshot"' "$work/new.jsonl" | tail -1; }
field() { grep -o "\"$1\":\"[A-Za-z]*\"" | head -1 | cut -d'"' -f4; }

# wait_verdict VERDICT SECONDS: polls until the shown verdict is VERDICT.
wait_verdict() {
    local wanted="$1" limit="$2" start="$EPOCHREALTIME"
    while [ "$(elapsed "$start")" -lt "$limit" ]; do
        [ "$(last_snapshot | field verdict)" = "$wanted" ] && return 0
        sleep 1
    done
    return 1
}

L reset >/dev/null
# Internet hosts clearly slower than the router, so nothing looks answered locally.
L set internet delay=8 >/dev/null
metrics_port=9464
launch new "$bin_dir/nerivane" --metrics "127.0.0.1:$metrics_port"
# Both serve metrics, so their figures differ by the name lookups alone.
[ -n "${NERIVANE_COMPARE_BIN:-}" ] && launch old "$NERIVANE_COMPARE_BIN" --metrics "127.0.0.1:$((metrics_port + 1))"

check "good at first" wait_verdict good 60
line="$(last_snapshot)"
check "the lookups name the lab's resolver and are fine" \
    grep -q '"address":"192.0.2.53".*"health":"ok"\|"health":"ok".*"address":"192.0.2.53"' <<<"$line"

L set dns mode=silent >/dev/null
start="$EPOCHREALTIME"
check "a silent DNS server gives \"Name lookups failing\" within two minutes" wait_verdict lookupsFailing 120
echo "  (after $(elapsed "$start") s)"
line="$(last_snapshot)"
check "... naming the server" grep -q 'Your DNS server 192.0.2.53 does not answer' <<<"$line"
check "... while the internet stays good" test "$(field internet <<<"$line")" = ok
check "... and the DNS row shows the failure" grep -q '"latestFailure":"timeout"' <<<"$line"

L set dns mode=answer delay=1500 >/dev/null
start="$EPOCHREALTIME"
check "answers after 1.5 s give \"Name lookups slow\"" wait_verdict lookupsSlow 240
echo "  (after $(elapsed "$start") s)"
check "... with the internet good" test "$(field internet <<<"$(last_snapshot)")" = ok

L reset >/dev/null
L set internet delay=8 >/dev/null
start="$EPOCHREALTIME"
check "after lab reset: good again" wait_verdict good 150
echo "  (after $(elapsed "$start") s)"
check "no outage was recorded while DNS alone failed" \
    test "$(grep -c '"kind":"outage"' "$work/new.jsonl")" -eq 0

# The endpoint, over bash's own TCP inside the client namespace.
scrape() {
    in_lab bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0" && printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3' "$metrics_port"
}
metrics="$(scrape)"
series() { grep -E "^$1\{" <<<"$metrics" | grep -F 'server="192.0.2.53"' | grep -E -- "$2" | awk '{print $NF}' | head -1; }
check "metrics count the silent server's time-outs" within "$(series nerivane_dns_lookup_failures_total 'kind="timeout"')" 1 100
count="$(series nerivane_dns_lookup_seconds_count '')" fast="$(series nerivane_dns_lookup_seconds_bucket 'le="1(\.0)?"')"
check "... and the slow answers above a second in the histogram ($fast of $count within 1 s)" \
    awk -v c="${count:-0}" -v f="${fast:-0}" 'BEGIN { exit !(c >= 3 && c - f >= 2) }'

L set internet mode=silent >/dev/null
L set dns mode=silent >/dev/null
check "internet and DNS silent: the internet verdict wins" wait_verdict internetDown 60
sleep 15
line="$(last_snapshot)"
check "... and stays, with the lookups failing beneath it" \
    test "$(field verdict <<<"$line")" = internetDown -a "$(grep -o '"health":"[a-z]*"' <<<"$line")" = '"health":"failing"'

# The program beneath a launch: the deepest of its single line of children
# (the shell, lab exec, ip netns exec and the program).
program_of() {
    local pid="$1" child
    while child="$(ps -o pid= --ppid "$pid" | head -1 | tr -d ' ')" && [ -n "$child" ]; do pid="$child"; done
    echo "$pid"
}

# figures TAG PID: the program's CPU seconds (user + system) and resident memory.
figures() {
    local ticks rss
    set -- "$1" "$(program_of "$2")"
    ticks="$(awk '{print $14 + $15}' "/proc/$2/stat" 2>/dev/null)"
    rss="$(awk '/^VmRSS/ {print $2}' "/proc/$2/status" 2>/dev/null)"
    awk -v t="${ticks:-0}" -v hz="$(getconf CLK_TCK)" -v r="${rss:-0}" -v tag="$1" \
        -v name="$(cat "/proc/$2/comm" 2>/dev/null)" \
        'BEGIN { printf "figures %s (%s): cpu %.2f s, rss %.1f MiB\n", tag, name, t / hz, r / 1024 }'
}
figures new "${pids[0]}"
[ ${#pids[@]} -gt 1 ] && figures old "${pids[1]}"

# History keeps the lookups per minute, written when the program ends: the
# silent server's failures and the slow answers' median.
program="$(program_of "${pids[0]}")"
kill -TERM "$program"
for _ in $(seq 30); do kill -0 "$program" 2>/dev/null || break; sleep 1; done
stored() { sqlite3 "$work/new/data/nerivane/history.sqlite" "SELECT count(*) FROM periods WHERE $1"; }
check "history keeps minutes with failed lookups" test "$(stored 'dns_failures > 0')" -ge 1
check "... and minutes whose median lookup took over a second" test "$(stored 'dns_median > 1000')" -ge 1
finish
