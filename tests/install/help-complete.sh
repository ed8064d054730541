#!/usr/bin/env bash
# The help, the man pages and the README tell the same things: every option
# a program's --help prints (which the parser reads from the same table), the
# settings keys nerivane reads, the environment variables the code reads that
# are meant for users, the signals it handles and nerivane-history's commands
# appear in each. Variables that are test hooks appear in no help and no man
# page. And the programs speak alike: --version says "PROGRAM VERSION", help
# fits 79 columns, a usage error is one line "PROGRAM: MESSAGE" with status 2.
source "$(dirname "$0")/common.sh"

bin="$build_dir/bin"
readme="$(cat "$source_dir/README.md")"
version="$(project_version)"
# Read by the code for tests and development only.
hooks="NERIVANE_LOCK_TEST NERIVANE_POPOVER_SNAPSHOT NERIVANE_POPOVER_DELAY NERIVANE_POPOVER_PAGE
NERIVANE_POPOVER_RANGE NERIVANE_DIAGNOSTICS NERIVANE_FEED_URL"
# Kept by the program itself, never written by people.
internal_keys="didShowFirstRun didShowPanelHint"

contains() { grep -qF -- "$1" <<<"$2"; }
man_text() { sed 's/\\-/-/g; s/\\(.)//g' "$source_dir/data/man/$1.1.in"; }

all_help=""
for program in nerivane nerivane-probe nerivane-history; do
    help="$(offline "$bin/$program" --help)"
    check "$program --help succeeds" test $? -eq 0
    all_help+="$help"
    man="$(man_text "$program")"
    check "$program --version says '$program $version'" test "$(offline "$bin/$program" --version)" = "$program $version"
    long="$(awk 'length > 79' <<<"$help")"
    check "$program --help fits 79 columns${long:+: $long}" test -z "$long"
    err="$(offline "$bin/$program" --frobnicate 2>&1 >/dev/null)"
    status=$?
    check "$program --frobnicate: status 2, one line '$program: unknown option '--frobnicate'' (got $status: $err)" \
        test "$status" -eq 2 -a "$err" = "$program: unknown option '--frobnicate'"
    for option in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
        check "man $program explains $option" contains "$option" "$man"
        check "the README names $program's $option" contains "$option" "$readme"
    done
done

# nerivane-history's commands: the first word of each row under "commands:".
help="$(offline "$bin/nerivane-history" --help)"
man="$(man_text nerivane-history)"
for command in $(sed -n '/^commands:/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z]\+\).*/\1/p' | sort -u); do
    check "man nerivane-history explains $command" grep -q "^\.B.*$command" <<<"$man"
    check "the README names nerivane-history $command" contains "nerivane-history $command" "$readme"
done

help="$(offline "$bin/nerivane" --help)"
man="$(man_text nerivane)"
for key in $(sed -n 's/^const QString [a-zA-Z]*Key = QStringLiteral("\([a-zA-Z]*\)");/\1/p' \
    "$source_dir/nerivane/core/Preferences.cpp"); do
    grep -qw "$key" <<<"$internal_keys" && continue
    check "nerivane --help lists the setting $key" grep -q "^  $key\b" <<<"$help"
    check "man nerivane lists the setting $key" grep -q "^\.B $key$" <<<"$man"
    check "the README names the setting $key" contains "$key" "$readme"
done

for variable in $(grep -rhoE '"NERIVANE_[A-Z_]+"' "$source_dir"/{NerivaneKit,nerivane,tools} | tr -d '"' | sort -u); do
    if grep -qw "$variable" <<<"$hooks"; then
        check "$variable (a test hook) is in no --help" bash -c '! grep -qw "$0" <<<"$1"' "$variable" "$all_help"
        for page in "$source_dir"/data/man/*.1.in; do
            check "$variable (a test hook) is not in $(basename "$page")" bash -c '! grep -qw "$0" "$1"' "$variable" "$page"
        done
    else
        check "$variable is in a program's --help" grep -qw "$variable" <<<"$all_help"
        check "$variable is in a man page" grep -qw "$variable" "$source_dir"/data/man/*.1.in
        check "the README names $variable" contains "$variable" "$readme"
    fi
done

for signal in $(grep -o 'SIG[A-Z]\+' <<<"$(grep 'watched\[\]' "$source_dir/nerivane/app/TerminationSignals.cpp")"); do
    check "nerivane --help names $signal" contains "$signal" "$help"
    check "man nerivane names $signal" contains "$signal" "$man"
done

finish
