#!/usr/bin/env bash
# The provider's network, with the real program in a lab of its own and its
# --json stream read as it comes: the sweep finds the lab's provider hop
# (100.64.0.1) within 10 s of start; the hop silent gives "Provider's network
# down" within 15 s with the router good; the hop answering but forwarding
# nothing gives internet down "beyond your provider"; a hop that answers one
# ping a second changes no verdict and makes no outage; after each, good
# again within 15 s; a VPN coming up sweeps again. About a minute and a half.
source "$(dirname "$0")/common.sh"
need_lab
bin_dir="${NERIVANE_BIN_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}"
[ -x "$bin_dir/nerivane" ] || { echo "FAIL: $bin_dir/nerivane is not built"; exit 1; }
start_lab nvt-provider
work="$(mktemp -d)"
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; "$lab" down --name "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT

# Internet hosts clearly slower than the router, so nothing looks answered locally.
L set internet delay=8 >/dev/null
in_lab env -i PATH="$PATH" HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
    XDG_RUNTIME_DIR="$work" LANG=C.UTF-8 "$bin_dir/nerivane" --json --exit-after 300 >"$work/out.jsonl" 2>"$work/err" &
pid=$!
started="$EPOCHREALTIME"

# latest FIELD...: fields of the newest snapshot, one a line: verdict,
# explanation, provider (its address, or none), router, provider-state.
latest() {
    grep '"type":"snapshot"' "$work/out.jsonl" | tail -1 | python3 -c '
import json, sys
line = sys.stdin.read().strip()
row = json.loads(line) if line else {"targets": []}
roles = {t["role"]: t for t in row["targets"]}
fields = {"verdict": row.get("verdict"), "explanation": row.get("explanation"),
          "provider": roles.get("provider", {}).get("address", "none"),
          "provider-state": roles.get("provider", {}).get("state", "none"),
          "router": roles.get("router", {}).get("state", "none")}
for name in sys.argv[1:]: print(fields[name])' "$@" 2>/dev/null
}
# wait_for FIELD VALUE SECONDS: until the newest snapshot's field is VALUE;
# prints the seconds it took.
wait_for() {
    local field="$1" wanted="$2" limit="$3" start="$EPOCHREALTIME"
    while [ "$(elapsed "$start")" -le "$limit" ]; do
        if [ "$(latest "$field")" = "$wanted" ]; then
            echo "$(elapsed "$start")"
            return 0
        fi
        sleep 0.5
    done
    return 1
}

if took="$(wait_for provider 100.64.0.1 10)"; then
    pass "the provider's edge is the lab's isp hop, $took s after start"
else
    fail "the provider's edge is the lab's isp hop within 10 s (got $(latest provider))"
fi
wait_for verdict good 40 >/dev/null || fail "good at first (got $(latest verdict))"

L set isp mode=silent >/dev/null
if took="$(wait_for verdict providerDown 15)"; then
    pass "isp silent: \"Provider's network down\" after $took s"
    check "... with the router good" test "$(latest router)" = ok
    check "... saying whom to call" matches "its upstream 100.64.0.1 doesn't answer either. Call your provider." latest explanation
else
    fail "isp silent: providerDown within 15 s (got $(latest verdict))"
fi
L reset >/dev/null && L set internet delay=8 >/dev/null
took="$(wait_for verdict good 15)" && pass "reset: good after $took s" || fail "reset: good within 15 s (got $(latest verdict))"

L set isp mode=drop-forward >/dev/null
if took="$(wait_for verdict internetDown 15)"; then
    pass "isp forwards nothing: internet down after $took s"
    check "... beyond your provider" matches "beyond your provider" latest explanation
else
    fail "isp forwards nothing: internetDown within 15 s (got $(latest verdict): $(latest explanation))"
fi
L reset >/dev/null && L set internet delay=8 >/dev/null
took="$(wait_for verdict good 15)" && pass "reset: good after $took s" || fail "reset: good within 15 s (got $(latest verdict))"

# One answer a second to its own pings, 20 s long: no other verdict, no outage.
L set isp icmp-limit=1 >/dev/null
mark="$(wc -l <"$work/out.jsonl")"
sleep 20
verdicts="$(tail -n +"$((mark + 1))" "$work/out.jsonl" | grep '"type":"snapshot"' | grep -o '"verdict":"[A-Za-z]*"' | sort -u | tr '\n' ' ')"
check "isp rate-limiting: the verdict stays good ($verdicts)" test "$verdicts" = '"verdict":"good" '
refused "... and no outage" matches '"type":"event".*outage' tail -n +"$((mark + 1))" "$work/out.jsonl"
L reset >/dev/null

# A path change sweeps again: through the lab's VPN there is no hop between.
sweeps="$(grep -c 'sweeping the hops' "$work/err")"
L vpn on >/dev/null
wait_for provider none 10 >/dev/null || fail "vpn on: the provider tier goes (got $(latest provider))"
check "vpn on: a new sweep ran" test "$(grep -c 'sweeping the hops' "$work/err")" -gt "$sweeps"
grep 'hops ' "$work/err" | tail -2 | sed 's/^/  /'

echo "story took $(elapsed "$started") s"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; tail -5 "$work/err"; [ -z "${NERIVANE_KEEP:-}" ] || cp -r "$work" "$NERIVANE_KEEP"; exit 1; }
