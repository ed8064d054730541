#!/usr/bin/env bash
# scripts/package builds the Debian package from this build folder; it holds
# exactly the three programs, nerivane's two modules and their data
# (nothing of the lab, tests or benchmarks), its dependencies come from
# dpkg-shlibdeps, apt accepts it, and the programs unpacked from it run: the
# terminal readout without the desktop stack, the desktop check through it.
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
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build_dir/CMakeCache.txt")"
expected="$(sort <<EOT
/usr/bin/nerivane
/usr/$libdir/nerivane/nerivane-desktop.so
/usr/$libdir/nerivane/nerivane-metrics.so
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
check "the package holds exactly the programs, the modules and their data" diff <(echo "$expected") <(echo "$files")

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

# Probing for a second, only where a namespace of nothing but loopback can be made.
# Its arguments go to env before the assignments: options (-u) are taken only there.
run() {
    unshare --net env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u NERIVANE_SNAPSHOT "$@" \
        DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
        XDG_CONFIG_HOME="${config:-$scratch/config}" XDG_DATA_HOME="$scratch/data" NERIVANE_HISTORY="$scratch/history.sqlite" \
        "$bin/nerivane" --exit-after 1 2>&1 >/dev/null
}
if unshare --net true 2>/dev/null; then
    loaded="$(run -u DISPLAY LD_DEBUG=files | grep -Eo 'file=[^ ]*(Qt6Gui|Qt6Widgets|Qt6Network|prometheus|libxcb|libX11|nerivane-desktop|nerivane-metrics)[^ ]*' | sort -u)"
    check "the terminal readout loads no Qt Gui, Widgets, Network, prometheus-cpp, X library or module${loaded:+: $loaded}" test -z "$loaded"
    mkdir -p "$scratch/served/nerivane"
    printf '[General]\nmetricsListen=127.0.0.1:9101\n' >"$scratch/served/nerivane/nerivane.conf"
    said="$(config="$scratch/served" run -u DISPLAY LD_DEBUG=files)"
    check "the unpacked program finds its metrics module for a stored metricsListen" \
        grep -q "file=[^ ]*/nerivane/nerivane-metrics.so" <<<"$said"
    said="$(run DISPLAY=:97)"
    check "the unpacked module asks the X display (said: $(head -1 <<<"$said"))" grep -q 'the display :97 does not answer' <<<"$said"
fi

finish
