#!/usr/bin/env bash
# scripts/demo under sudo: the build and nerivane run as the user who called
# sudo, never as root. The lab and the build are stand-ins here (the copy of
# the demo finds them beside it), so this needs root but no namespaces and
# sends nothing anywhere.
set -uo pipefail
source="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root to act as sudo would"
    exit 77
fi
user_entry="$(getent passwd nobody)" || { echo "skipped: no user nobody"; exit 77; }
uid="$(echo "$user_entry" | cut -d: -f3)"
gid="$(echo "$user_entry" | cut -d: -f4)"

tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/scripts" "$tree/lab/scenarios" "$tree/out"
cp "$source/scripts/demo" "$tree/scripts/demo"
touch "$tree/lab/scenarios/demo.scn"
printf '#!/bin/sh\nexit 0\n' > "$tree/scripts/setup"

# The build records who ran it and leaves a nerivane that records the same.
cat > "$tree/scripts/build" <<'BUILD'
#!/usr/bin/env bash
root="$(cd "$(dirname "$0")/.." && pwd)"
id -u > "$root/out/build-uid"
mkdir -p "$root/build/bin"
cat > "$root/build/bin/nerivane" <<'PROGRAM'
#!/usr/bin/env bash
out="$(cd "$(dirname "$0")/../.." && pwd)/out"
mkdir -p "$XDG_DATA_HOME" && touch "$XDG_DATA_HOME/written" && echo yes > "$out/data-writable"
id -u > "$out/nerivane-uid"
PROGRAM
chmod +x "$root/build/bin/nerivane"
BUILD

# The lab: exec runs its command here; the scenario lasts until nerivane has run.
cat > "$tree/lab/lab" <<'LAB'
#!/usr/bin/env bash
out="$(cd "$(dirname "$0")/.." && pwd)/out"
case "$1" in
exec) shift 3; exec "$@" ;;
scenario)
    [ "${3:-}" = --check ] && exit 0
    for _ in $(seq 100); do [ -s "$out/nerivane-uid" ] && exit 0; sleep 0.1; done ;;
esac
exit 0
LAB
chmod 755 "$tree/scripts/"* "$tree/lab/lab"
chown -R "$uid:$gid" "$tree"  # the checkout is the user's own

SUDO_USER=nobody SUDO_UID="$uid" SUDO_GID="$gid" "$tree/scripts/demo" > "$tree/demo.log" 2>&1
status=$?

failures=0
check() {  # check WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2', got '$3'"; failures=$((failures + 1)); fi
}
check "demo exit status" 0 "$status"
check "build ran as the calling user" "$uid" "$(cat "$tree/out/build-uid" 2>/dev/null)"
check "nerivane ran as the calling user" "$uid" "$(cat "$tree/out/nerivane-uid" 2>/dev/null)"
check "nerivane could write its scratch data" yes "$(cat "$tree/out/data-writable" 2>/dev/null)"
check "nothing in build/ belongs to root" "" "$(find "$tree/build" -user 0 2>/dev/null)"
[ "$failures" -eq 0 ] || { echo "--- demo output"; cat "$tree/demo.log"; }
exit $((failures > 0))
