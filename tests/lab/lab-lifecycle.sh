#!/usr/bin/env bash
# up is idempotent, instances with different names live side by side,
# scenarios play in time, and down leaves nothing behind, twice over.
source "$(dirname "$0")/common.sh"
need_lab
a=nvt-life b=nvt-life2
links_before="$(ip -o link show | awk -F': ' '{print $2}' | sort)"
start_lab "$a" "$b"
responders() { pgrep -fc -- "--dir /run/nerivane-lab/$1 " || true; }
loss() { "$lab" exec --name "$1" ping -n -q -c 2 -i 0.2 -W 1 "$2" | loss_of; }

check "up on a running lab says so and succeeds" bash -c "'$lab' up --name $a | grep -q 'already up'"
check "it still has one responder per namespace" test "$(responders "$a")" = 2
"$lab" set 1.1.1.1 mode=silent --name "$b" >/dev/null
check "two labs run side by side, each with its own profiles" \
    test "$(loss "$a" 1.1.1.1)" = 0 -a "$(loss "$b" 1.1.1.1)" = 100

# A lab whose responder died is rebuilt by the next up.
kill "$(cat "/run/nerivane-lab/$b/internet.pid")"
sleep 0.2
check "status reports a broken lab as not up" bash -c "! '$lab' status --name $b >/dev/null"
check "up rebuilds a broken lab" "$lab" up --name "$b"
check "the rebuilt lab answers" test "$(loss "$b" 1.1.1.1)" = 0

scenario="$(mktemp)"
cat >"$scenario" <<'SCENARIO'
# offset  step
0    set router delay=40
0.5  set internet mode=silent   # outage
1.5  reset
2    end
SCENARIO
start="$EPOCHREALTIME"
output="$("$lab" scenario "$scenario" --name "$a")"
took="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')"
echo "$output"
check "a scenario prints each step with its offset" \
    bash -c "grep -q '^\[ *0.5s\] set internet mode=silent' <<<'$output' && grep -q '^\[ *2.0s\] end' <<<'$output'"
check "a scenario keeps its time line (took $took s)" within "$took" 1.9 4
check "a scenario's last step took effect" \
    bash -c "'$lab' status --name $a | grep -E '^ +10\.77\.0\.1 +delay=0 .*mode=answer'"
for file in "$(dirname "$lab")"/scenarios/*.scn; do
    check "shipped scenario $(basename "$file") reads cleanly" "$lab" scenario "$file" --check
done
printf '0 set nowhere.lab delay=5\n' >"$scenario"
check "a scenario naming an unknown target is refused" bash -c "! '$lab' scenario '$scenario' --check 2>/dev/null"
printf '0 set router delay=5\n1 explode\n' >"$scenario"
check "a scenario with a bad step is refused before it starts" bash -c "! '$lab' scenario '$scenario' --name $a 2>/dev/null"
check "... and changed nothing" bash -c "'$lab' status --name $a | grep -E '^ +10\.77\.0\.1 +delay=0 '"
rm -f "$scenario"

check "down removes the lab" "$lab" down --name "$a"
check "down twice is fine" bash -c "'$lab' down --name $a | grep -q 'not up'"
"$lab" down --name "$b" >/dev/null
for n in "$a" "$b"; do
    check "$n: no namespaces left" bash -c "! ip netns list | grep -qE '^$n-[cri]( |\$)'"
    check "$n: no files left" test ! -e "/run/nerivane-lab/$n" -a ! -e "/etc/netns/$n-c"
    check "$n: no processes left" test "$(responders "$n")" = 0
done
check "no links left in the machine's own namespace" \
    test "$(ip -o link show | awk -F': ' '{print $2}' | sort)" = "$links_before"
finish
