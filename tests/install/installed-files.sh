#!/usr/bin/env bash
# cmake --install into a scratch root, then look at what a desktop would use:
# the desktop entry and the metainfo pass their validators, the entry's program
# and icon are there (every hicolor size at its size), each man page renders
# cleanly and names every option its program's --help names, the metainfo
# lists the screenshots the README shows, the metainfo's
# and the Debian changelog's newest release is this version, and nothing is
# put where the system would apply it without being asked (sysctl.d).
source "$(dirname "$0")/common.sh"
need desktop-file-validate appstreamcli man od

root="$scratch/root"
DESTDIR="$root" cmake --install "$build_dir" --prefix /usr >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; echo "FAIL: cmake --install"; exit 1; }
usr="$root/usr"
app=org.nerivane.Nerivane
desktop="$usr/share/applications/$app.desktop"
metainfo="$usr/share/metainfo/$app.metainfo.xml"

# Its hints matter too: one is "only shows up in a catch-all section".
said="$(desktop-file-validate "$desktop" 2>&1)"
check "desktop-file-validate accepts the desktop entry without a remark${said:+: $said}" test $? -eq 0 -a -z "$said"
# The tree form also finds the desktop entry the metainfo launches.
check "appstreamcli validate-tree accepts the metainfo" appstreamcli validate-tree --no-net "$root"
check "appstreamcli validate accepts the metainfo file" appstreamcli validate --no-net "$metainfo"
# The software centre shows what the README shows: data/screenshots/, made by
# scripts/screenshots.
shots="$(ls "$source_dir"/data/screenshots/*.png 2>/dev/null | wc -l)"
listed="$(grep -c '<image>https://.*\.png</image>' "$metainfo")"
check "the metainfo lists the $shots screenshots of data/screenshots (got $listed)" test "$shots" -gt 0 -a "$listed" -eq "$shots"
for shot in $(grep -o '(data/screenshots/[^)]*)' "$source_dir/README.md" | tr -d '()'); do
    check "the README's picture $shot exists" test -s "$source_dir/$shot"
done

key() { sed -n "s/^$1=//p" "$desktop"; }
check "the entry's Exec program is installed" test -x "$usr/bin/$(key Exec)"
icon="$(key Icon)"
check "the entry's icon is named after the application ($icon)" test "$icon" = "$app"
check "the icon is in the theme as SVG" test -s "$usr/share/icons/hicolor/scalable/apps/$icon.svg"
# A PNG's width and height are the big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'; }
for size in 16 22 24 32 48 64 128 256 512; do
    png="$usr/share/icons/hicolor/${size}x${size}/apps/$icon.png"
    check "the ${size} px icon is ${size}x${size}" test "$( [ -f "$png" ] && png_size "$png")" = "${size}x${size}"
done

version="$(project_version)"
newest="$(grep -o '<release version="[^"]*"' "$metainfo" | head -1 | cut -d'"' -f2)"
check "the metainfo's newest release is $version (got $newest)" test "$newest" = "$version"
newest="$(zcat "$usr/share/doc/nerivane/changelog.Debian.gz" | sed -n '1s/^nerivane (\(.*\)-[0-9]*).*/\1/p')"
check "the Debian changelog's newest entry is $version (got $newest)" test "$newest" = "$version"

for program in nerivane nerivane-probe nerivane-history; do
    page="$usr/share/man/man1/$program.1.gz"
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    check "man $program renders without warnings${warnings:+: $warnings}" test -z "$warnings"
    text="$(zcat "$page" | sed 's/\\-/-/g')"
    help="$(offline "$usr/bin/$program" --help)"
    for option in $(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
        check "man $program explains $option" grep -q -- "$option" <<<"$text"
    done
done

check "nothing is installed into a sysctl.d folder" test -z "$(find "$root" -path '*sysctl.d*')"
dropin="$(grep -o 'cp /usr/share/nerivane/[^ ]*' "$source_dir/README.md" | head -1 | cut -d' ' -f2)"
check "the README's copy command names the installed drop-in (${dropin:-none})" test -n "$dropin" -a -f "$root$dropin"

finish
