#!/usr/bin/env bash
# The headline story, with the real program in a lab of its own and its
# --json stream read by the clock: good, then the internet silent for 30 s
# (down within 15 s, never good while the internet is down), answering again
# (good within 15 s and for the minute after; 15 s into that minute the
# router starts answering its own pings in 80 ms while the internet stays
# fast, which must make no local verdict), a reset, then the lab's DNS server
# silent for 50 s (lookups failing within 30 s) and answering again (gone
# within 15 s). Prints, per fault and recovery, the seconds to the first
# snapshot with the new headline; with NERIVANE_COMPARE_BIN=PROGRAM a second
# build runs beside it in the same lab and its figures are printed alongside
# (only the first is checked). Every line of the stream must match the
# JSON schema in docs/. About three minutes.
source "$(dirname "$0")/common.sh"
need_lab
bin_dir="${NERIVANE_BIN_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}"
[ -x "$bin_dir/nerivane" ] || { echo "FAIL: $bin_dir/nerivane is not built"; exit 1; }
start_lab nvt-headline
work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; "$lab" down --name "$name" >/dev/null 2>&1; rm -rf "$work"' EXIT

# launch TAG PROGRAM: the program in the terminal mode, JSON lines to TAG.jsonl.
launch() {
    mkdir -p "$work/$1"
    in_lab env -i PATH="$PATH" HOME="$work/$1" XDG_CONFIG_HOME="$work/$1/config" XDG_DATA_HOME="$work/$1/data" \
        XDG_RUNTIME_DIR="$work/$1" LANG=C.UTF-8 "$2" --json --exit-after 600 >"$work/$1.jsonl" 2>"$work/$1.err" &
    pids+=($!)
}
# mark NAME: the moment a step of the story was taken (its command has returned).
mark() { echo "$1 $EPOCHREALTIME" >>"$work/marks"; }
latest_verdict() {
    grep '"type":"snapshot"' "$work/new.jsonl" | tail -1 | grep -o '"verdict":"[A-Za-z]*"' | cut -d'"' -f4
}
wait_verdict() {
    local wanted="$1" limit="$2" start="$EPOCHREALTIME"
    while [ "$(elapsed "$start")" -lt "$limit" ]; do
        [ "$(latest_verdict)" = "$wanted" ] && return 0
        sleep 1
    done
    return 1
}

L reset >/dev/null
# Internet hosts clearly slower than the router, so nothing looks answered locally.
L set internet delay=8 >/dev/null
launch new "$bin_dir/nerivane"
[ -n "${NERIVANE_COMPARE_BIN:-}" ] && launch old "$NERIVANE_COMPARE_BIN"
wait_verdict good 40 || { fail "good at first"; finish; }
sleep 3

L set internet mode=silent >/dev/null && mark silent
sleep 30
L set internet mode=answer >/dev/null && mark answering
sleep 15
L set router delay=80 >/dev/null && mark router-slow
sleep 47
L reset >/dev/null && L set internet delay=8 >/dev/null && mark reset
sleep 3
# Last: how soon lookups fail depends on how often a failing server is asked.
L set dns mode=silent >/dev/null && mark dns-silent
sleep 50
L set dns mode=answer >/dev/null && mark dns-answering
sleep 17

# The checks and the table, from the marks and each program's snapshots.
source="$(cd "$(dirname "$0")/../.." && pwd)"
python3 - "$work" "$source" ${NERIVANE_COMPARE_BIN:+old} <<'EOF'
import json, sys
work, source, tags = sys.argv[1], sys.argv[2], ["new"] + sys.argv[3:]
marks = dict(line.split() for line in open(f"{work}/marks"))
marks = {name: float(at) for name, at in marks.items()}

def snapshots(tag):
    rows = []
    for line in open(f"{work}/{tag}.jsonl"):
        try:
            row = json.loads(line)
        except ValueError:
            continue
        if row.get("type") == "snapshot":
            # A build from before the JSON schema says "date" (NERIVANE_COMPARE_BIN).
            row.setdefault("timeUnixSeconds", row.get("date"))
            rows.append(row)
    return rows

def first(rows, since, test):
    """Seconds from since to the first snapshot at or after it that passes test."""
    for row in rows:
        if row["timeUnixSeconds"] >= since and test(row):
            return row["timeUnixSeconds"] - since
    return None

def between(rows, start, end):
    return [row for row in rows if start <= row["timeUnixSeconds"] < end]

local = ("localProblem", "localDown")
measures = [
    ("internet silent: headline leaves good", "silent", lambda r: r["verdict"] != "good"),
    ("internet silent: internet down", "silent", lambda r: r["verdict"] == "internetDown"),
    ("internet answering: good", "answering", lambda r: r["verdict"] == "good"),
    ("router pings 80 ms: a local verdict", "router-slow", lambda r: r["verdict"] in local),
    ("resolver silent: lookups failing", "dns-silent", lambda r: r["verdict"] == "lookupsFailing"),
    ("resolver answering: lookups failing gone", "dns-answering", lambda r: r["verdict"] != "lookupsFailing"),
]
ends = {"router-slow": "reset"}
table = {tag: {} for tag in tags}
for tag in tags:
    rows = snapshots(tag)
    for title, start, test in measures:
        end = marks.get(ends.get(start, ""), float("inf"))
        took = first(between(rows, marks[start], end), marks[start], test)
        table[tag][title] = took
print("seconds from each change to the first snapshot showing it (- : never)")
print(f"{'':44}" + "".join(f"{tag:>8}" for tag in tags))
for title, _, _ in measures:
    print(f"{title:44}" + "".join("{:>8}".format("-" if table[t][title] is None else f"{table[t][title]:.1f}") for t in tags))
counts = [
    ("snapshots good while the internet is down", lambda r: r["verdict"] == "good" and r["internet"] == "down", 0, 0),
    ("snapshots not good in the minute after", lambda r: r["verdict"] != "good", "answering", 60),
]
for title, test, start, length in counts:
    cells = []
    for tag in tags:
        rows = snapshots(tag)
        if start:
            rows = between(rows, marks[start], marks[start] + length)
        cells.append(sum(1 for r in rows if test(r)))
    print(f"{title:44}" + "".join(f"{n:>8}" for n in cells))

rows = snapshots("new")
failures = 0
def check(description, ok):
    global failures
    print(("ok: " if ok else "FAIL: ") + description)
    failures += 0 if ok else 1

# Every line of the stream, whatever its type, as docs/nerivane.schema.json describes it.
import jsonschema
schema = json.load(open(f"{source}/docs/nerivane.schema.json"))
validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
invalid, types = [], {}
for number, line in enumerate(open(f"{work}/new.jsonl"), 1):
    try:
        row = json.loads(line)
    except ValueError as error:
        invalid.append(f"line {number}: {error}")
        continue
    types[row.get("type")] = types.get(row.get("type"), 0) + 1
    invalid += [f"line {number}: {error.json_path}: {error.message[:200]}" for error in validator.iter_errors(row)]
check(f"every JSON line matches the schema ({', '.join(f'{n} {t}' for t, n in sorted(types.items()))})", not invalid)
for problem in invalid[:5]:
    print("   ", problem)
check("... snapshots and the outage's events among them", types.get("snapshot", 0) > 100 and types.get("event", 0) >= 1)

contradictions = [r["time"] for r in rows if r["verdict"] == "good" and r["internet"] == "down"]
check(f"never good while the internet is down ({len(contradictions)} snapshots)", not contradictions)
took = table["new"]["internet silent: internet down"]
check("internet down within 15 s of the silence", took is not None and took <= 15)
took = table["new"]["internet answering: good"]
check("good within 15 s of the internet answering again", took is not None and took <= 15)
if took is not None:
    start = marks["answering"] + took
    after = between(rows, start, marks["answering"] + 60)
    bad = sorted({r["verdict"] for r in after if r["verdict"] != "good"})
    check(f"... and good throughout the minute after ({', '.join(bad) or 'good only'})", after and not bad)
slow = between(rows, marks["router-slow"] + 5, marks["reset"])
check("the router's own pings at 80 ms make no local verdict",
      slow and all(r["verdict"] not in local for r in slow))
router = [t for t in slow[-1]["targets"] if t["role"] == "router"] if slow else []
check("... while its card has its slow pings", router and (router[0]["metrics"]["p95Ms"] or 0) >= 60)
took = table["new"]["resolver silent: lookups failing"]
check("lookups failing within 30 s of the resolver going silent", took is not None and took <= 30)
took = table["new"]["resolver answering: lookups failing gone"]
check("... and gone within 15 s of it answering", took is not None and took <= 15)
sys.exit(1 if failures else 0)
EOF
status=$?
for tag in new old; do
    [ -s "$work/$tag.err" ] && { echo "--- $tag stderr (tail)"; tail -5 "$work/$tag.err"; }
done
[ "$status" -eq 0 ] || failures=$((failures + 1))
finish
