#!/usr/bin/env bash
# The name-lookup story, with the real program in a lab of its own. The lab's
# DNS server answers slowly (lookups slow), goes silent (failing within 30 s
# while the internet card stays good and no outage is recorded), answers
# again (the failure gone within 15 s), answers without addresses (failing,
# said so), sends 64 KB answers over UDP without the truncation flag (read,
# not failed), and is fast again (good); finally the internet goes silent as
# well, when the internet verdict wins. Beside it runs the same program with
# a mistyped probe name, which must name the missing name and not fail.
# Prints how long each failure took to show and to clear, the program's CPU
# time and memory at the end; with NERIVANE_COMPARE_BIN=PROGRAM a second
# build runs beside it in the same lab, waited for at the silence and the
# recovery, and its figures are printed alongside. About two and a half
# minutes (four when comparing).
source "$(dirname "$0")/common.sh"
need_lab
bin_dir="${NERIVANE_BIN_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}"
[ -x "$bin_dir/nerivane" ] || { echo "FAIL: $bin_dir/nerivane is not built"; exit 1; }
start_lab nvt-dns
work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; "$lab" down --name "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT

# launch TAG PROGRAM [ARGS...]: the program in the terminal mode, JSON lines to
# TAG.jsonl; settings from TAG.conf when the test wrote one.
launch() {
    local tag="$1" program="$2"
    shift 2
    mkdir -p "$work/$tag/config/nerivane"
    [ -f "$work/$tag.conf" ] && cp "$work/$tag.conf" "$work/$tag/config/nerivane/nerivane.conf"
    in_lab env -i PATH="$PATH" HOME="$work/$tag" XDG_CONFIG_HOME="$work/$tag/config" \
        XDG_DATA_HOME="$work/$tag/data" XDG_RUNTIME_DIR="$work/$tag" LANG=C.UTF-8 \
        "$program" --json --exit-after 900 "$@" >"$work/$tag.jsonl" 2>"$work/$tag.err" &
    pids+=($!)
}

# The last snapshot line so far of TAG (new by default).
last_snapshot() { grep '"type":"snapshot"' "$work/${1:-new}.jsonl" | tail -1; }
field() { grep -o "\"$1\":\"[A-Za-z]*\"" | head -1 | cut -d'"' -f4; }

# shown TAG SINCE VERDICT: seconds from SINCE (Unix) to the first snapshot of
# TAG since then whose verdict is VERDICT (or, as !VERDICT, any other); empty
# when none yet.
shown() {
    local tag="$1" since="$2" wanted="$3" negate=0
    [ "${wanted:0:1}" = "!" ] && negate=1 wanted="${wanted:1}"
    grep '"type":"snapshot"' "$work/$tag.jsonl" 2>/dev/null |
        awk -v since="$since" -v wanted="$wanted" -v negate="$negate" '{
            # "date" in builds from before the JSON schema (NERIVANE_COMPARE_BIN).
            if (!match($0, /"(timeUnixSeconds|date)":[0-9.]+/)) next
            date = substr($0, RSTART, RLENGTH); sub(/.*:/, "", date); date += 0
            if (date < since) next
            match($0, /"verdict":"[A-Za-z]*"/)
            verdict = substr($0, RSTART + 11, RLENGTH - 12)
            if ((verdict == wanted) != negate) { printf "%.0f\n", date - since; exit }
        }'
}

compare=""
[ -n "${NERIVANE_COMPARE_BIN:-}" ] && compare=old

# wait_verdict VERDICT SECONDS [WHAT]: polls until the new program shows
# VERDICT (!VERDICT: anything else) and, when comparing, the old one too, or
# SECONDS pass; then prints the times as "figure WHAT: new N s, old M s" and
# leaves the new one's in $took. Succeeds when the new one showed it.
wait_verdict() {
    local wanted="$1" limit="$2" what="${3:-}" since
    since="$(date +%s.%N)"
    local tags=(new $compare) tag done
    while awk -v s="$since" -v l="$limit" -v n="$(date +%s.%N)" 'BEGIN { exit !(n - s < l) }'; do
        done=1
        for tag in "${tags[@]}"; do [ -n "$(shown "$tag" "$since" "$wanted")" ] || done=0; done
        [ "$done" = 1 ] && break
        sleep 1
    done
    if [ -n "$what" ]; then
        local line="figure $what:" value
        for tag in "${tags[@]}"; do
            value="$(shown "$tag" "$since" "$wanted")"
            line+=" $tag ${value:-none within $limit} s,"
        done
        echo "${line%,}"
    fi
    took="$(shown new "$since" "$wanted")"
    [ -n "$took" ]
}
took=""

L reset >/dev/null
# Internet hosts clearly slower than the router, so nothing looks answered locally.
L set internet delay=8 >/dev/null
L set dns delay=1500 >/dev/null
metrics_port=9464
launch new "$bin_dir/nerivane" --metrics "127.0.0.1:$metrics_port"
# Both serve metrics, so their figures differ by the name lookups alone.
[ -n "$compare" ] && launch old "$NERIVANE_COMPARE_BIN" --metrics "127.0.0.1:$((metrics_port + 1))"
printf '[General]\ndnsProbeName=exmaple.com\n' >"$work/typo.conf"
launch typo "$bin_dir/nerivane"
started="$EPOCHREALTIME"

check "answers after 1.5 s give \"Name lookups slow\"" wait_verdict lookupsSlow 60
check "... with the internet good" test "$(field internet <<<"$(last_snapshot)")" = ok
# A mistyped probe name: the server says it does not exist, the default name
# answers, and that is no failure of the server's.
typo_named() { last_snapshot typo | grep -q '"missingName":"exmaple.com"'; }
for _ in $(seq 30); do typo_named && break; sleep 1; done
check "a mistyped probe name is named as missing" typo_named
refused "... and never makes the lookups fail" grep -q '"verdict":"lookupsFailing"' "$work/typo.jsonl"
# A few slow rounds, so that a minute of history and the histogram hold them.
while [ "$(elapsed "$started")" -lt 32 ]; do sleep 1; done

L set dns mode=silent delay=0 >/dev/null
check "a silent DNS server gives \"Name lookups failing\"" wait_verdict lookupsFailing 60 "silence to failing shown"
check "... within 30 s" within "$took" 0 30
line="$(last_snapshot)"
check "... naming the server" grep -q 'Your DNS server 192.0.2.53 does not answer' <<<"$line"
check "... while the internet stays good" test "$(field internet <<<"$line")" = ok
check "... with the failure and the last answer's age, not a median, on the DNS row" \
    grep -q '"lastAnswerAgeSeconds":[0-9][^}]*"latestFailure":"timeout"' <<<"$line"

L set dns mode=answer >/dev/null
check "answering again clears it" wait_verdict '!lookupsFailing' 60 "answer to failing gone"
check "... within 15 s" within "$took" 0 15

L set dns mode=noaddress >/dev/null
check "answers without an address give \"Name lookups failing\"" wait_verdict lookupsFailing 60
line="$(last_snapshot)"
check "... saying so" grep -q 'answers lookups without an address' <<<"$line"
check "... as its own kind of failure" grep -q '"latestFailure":"noaddress"' <<<"$line"

L set dns mode=oversized >/dev/null
check "64 KB answers over UDP without the truncation flag are read, not failed" wait_verdict '!lookupsFailing' 30
check "... the server answered" grep -q '"address":"192.0.2.53"[^}]*"latestFailure":null' <<<"$(last_snapshot)"

L set dns mode=answer >/dev/null
check "fast answers again: good" wait_verdict good 150
check "the lookups name the lab's resolver and are fine" \
    grep -q '"address":"192.0.2.53".*"health":"ok"\|"health":"ok".*"address":"192.0.2.53"' <<<"$(last_snapshot)"
check "no outage was recorded while DNS alone failed" \
    test "$(grep -c '"kind":"outage"' "$work/new.jsonl")" -eq 0

# The endpoint, over bash's own TCP inside the client namespace.
scrape() {
    in_lab bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0" && printf "GET /metrics HTTP/1.0\r\n\r\n" >&3 && cat <&3' "$metrics_port"
}
metrics="$(scrape)"
series() { grep -E "^$1\{" <<<"$metrics" | grep -F 'server="192.0.2.53"' | grep -E -- "$2" | awk '{print $NF}' | head -1; }
check "metrics count the silent server's time-outs" within "$(series nerivane_dns_lookup_failures_total 'kind="timeout"')" 1 100
check "... and the answers without an address" within "$(series nerivane_dns_lookup_failures_total 'kind="noaddress"')" 1 100
count="$(series nerivane_dns_lookup_seconds_count '')" fast="$(series nerivane_dns_lookup_seconds_bucket 'le="1(\.0)?"')"
check "... and the slow answers above a second in the histogram ($fast of $count within 1 s)" \
    awk -v c="${count:-0}" -v f="${fast:-0}" 'BEGIN { exit !(c >= 3 && c - f >= 2) }'

L set internet mode=silent >/dev/null
L set dns mode=silent >/dev/null
check "internet and DNS silent: the internet verdict wins" wait_verdict internetDown 60
sleep 12
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
[ -n "$compare" ] && figures old "${pids[1]}"

# History keeps the lookups per minute, written when the program ends: the
# silent server's failures and the slow answers' median.
program="$(program_of "${pids[0]}")"
kill -TERM "$program"
for _ in $(seq 30); do kill -0 "$program" 2>/dev/null || break; sleep 1; done
stored() { sqlite3 "$work/new/data/nerivane/history.sqlite" "SELECT count(*) FROM periods WHERE $1"; }
check "history keeps minutes with failed lookups" test "$(stored 'dns_failures > 0')" -ge 1
check "... and minutes whose median lookup took over a second" test "$(stored 'dns_median > 1000')" -ge 1
finish
