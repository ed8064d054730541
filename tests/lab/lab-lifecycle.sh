#!/usr/bin/env bash
# up is idempotent, instances with different names live side by side,
# scenarios play in time, and down leaves nothing behind, twice over.
source "$(dirname "$0")/common.sh"
need_lab
a=nvt-life b=nvt-life2
links_before="$(own_links)"
start_lab "$a" "$b"
responders() { pgrep -fc -- "--dir /run/nerivane-lab/$1 " || true; }

check "up on a running lab says so and succeeds" matches 'already up' "$lab" up --name "$a"
check "it still has one responder per namespace" test "$(responders "$a")" = 3
"$lab" set 1.1.1.1 mode=silent --name "$b" >/dev/null
check "two labs run side by side, each with its own profiles" \
    test "$(loss 2 1.1.1.1)" = 0 -a "$(name=$b loss 2 1.1.1.1)" = 100

# A lab whose responder died is rebuilt by the next up.
kill "$(cat "/run/nerivane-lab/$b/internet.pid")"
sleep 0.2
refused "status reports a broken lab as not up" "$lab" status --name "$b"
check "up rebuilds a broken lab" "$lab" up --name "$b"
check "the rebuilt lab answers" test "$(name=$b loss 2 1.1.1.1)" = 0

scenario="$(mktemp)"
cat >"$scenario" <<'SCENARIO'
# offset  step
0    set router delay=40
0.5  set internet mode=silent   # outage
1.5  reset
2    end
SCENARIO
start="$EPOCHREALTIME"
output="$(L scenario "$scenario")"
took="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')"
echo "$output"
check "a scenario prints each step with its offset" \
    bash -c "grep -q '^\[ *0.5s\] set internet mode=silent' <<<'$output' && grep -q '^\[ *2.0s\] end' <<<'$output'"
check "a scenario keeps its time line (took $took s)" within "$took" 1.9 4
check "a scenario's last step took effect" matches '^ +10\.77\.0\.1 +delay=0 .*mode=answer' L status
for file in "$(dirname "$lab")"/scenarios/*.scn; do
    check "shipped scenario $(basename "$file") reads cleanly" "$lab" scenario "$file" --check
done
printf '0 set nowhere.lab delay=5\n' >"$scenario"
refused "a scenario naming an unknown target is refused" "$lab" scenario "$scenario" --check
printf '0 set router delay=5\n1 explode\n' >"$scenario"
refused "a scenario with a bad step is refused before it starts" L scenario "$scenario"
check "... and changed nothing" matches '^ +10\.77\.0\.1 +delay=0 ' L status
rm -f "$scenario"

# The uplink's bottleneck sits on both of its ends and goes with reset.
L set internet rate=20 buffer=600 >/dev/null
check "the upload queue is on the router's uplink" matches 'tbf .*rate 20Mbit .*lat 600ms' tc -n "$a-r" qdisc show dev i0
check "the download queue is on the internet's side" matches 'tbf .*rate 20Mbit .*lat 600ms' tc -n "$a-i" qdisc show dev r0
refused "rate is the internet's alone" L set router rate=20
L reset >/dev/null
refused "reset removes both queues" matches tbf bash -c "tc -n $a-r qdisc show dev i0; tc -n $a-i qdisc show dev r0"
check "down removes the lab" "$lab" down --name "$a"
check "down twice is fine" matches 'not up' "$lab" down --name "$a"
"$lab" down --name "$b" >/dev/null
for n in "$a" "$b"; do
    refused "$n: no namespaces left" matches "^$n-[crisp]( |\$)" ip netns list
    check "$n: no files left" test ! -e "/run/nerivane-lab/$n" -a ! -e "/etc/netns/$n-c"
    check "$n: no processes left" test "$(responders "$n")" = 0
done
check "no links left in the machine's own namespace" test "$(own_links)" = "$links_before"
finish
