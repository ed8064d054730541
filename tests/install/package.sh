#!/usr/bin/env bash
# scripts/package builds the Debian package from this build folder; it holds
# exactly the three programs and their data (nothing of the lab, tests or
# benchmarks), its dependencies come from dpkg-shlibdeps, apt accepts it, and
# the programs unpacked from it run.
source "$(dirname "$0")/common.sh"
need cpack dpkg-deb dpkg-shlibdeps apt-get

version="$(project_version)"
deb="$(NERIVANE_BUILD_DIR="$build_dir" "$source_dir/scripts/package" "$scratch/out" 2>"$scratch/package.log" | tail -1)"
[ -f "$deb" ] || { cat "$scratch/package.log"; echo "FAIL: scripts/package made no package"; exit 1; }
check "the package is nerivane_${version}-1_$(dpkg --print-architecture).deb" \
    test "$(basename "$deb")" = "nerivane_${version}-1_$(dpkg --print-architecture).deb"

echo "--- contents"
files="$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' | grep -v '/$' | sort)"
echo "$files"
icons=/usr/share/icons/hicolor
expected="$(sort <<EOT
/usr/bin/nerivane
/usr/bin/nerivane-history
/usr/bin/nerivane-probe
/usr/share/applications/org.nerivane.Nerivane.desktop
/usr/share/doc/nerivane/changelog.Debian.gz
/usr/share/doc/nerivane/copyright
$(for s in 16 22 24 32 48 64 128 256 512; do echo "$icons/${s}x${s}/apps/org.nerivane.Nerivane.png"; done)
$icons/scalable/apps/org.nerivane.Nerivane.svg
/usr/share/man/man1/nerivane-history.1.gz
/usr/share/man/man1/nerivane-probe.1.gz
/usr/share/man/man1/nerivane.1.gz
/usr/share/metainfo/org.nerivane.Nerivane.metainfo.xml
/usr/share/nerivane/60-nerivane-ping.conf
EOT
)"
check "the package holds exactly the programs and their data" diff <(echo "$expected") <(echo "$files")

echo "--- dependencies"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "$depends"
for library in libc6 libqt6core6 libqt6dbus6 libsqlite3-0 libnl-route-3-200 libsystemd0; do
    check "it depends on $library" grep -Eq "(^|, )$library( |,|$)" <<<"$depends"
done
check "apt would install it" apt-get install --simulate -qq "$deb"

dpkg -x "$deb" "$scratch/root"
bin="$scratch/root/usr/bin"
out="$(offline "$bin/nerivane" --version)"
check "the unpacked nerivane --version prints \"nerivane $version\" (got \"$out\")" test "$out" = "nerivane $version"
out="$(offline "$bin/nerivane-history" --help)"
check "the unpacked nerivane-history --help prints its usage" grep -q '^usage: nerivane-history' <<<"$out"

finish
