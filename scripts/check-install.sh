#!/usr/bin/env bash
# Checks the installation of a built tree: the files at their places in a
# DESTDIR install and in the Debian package, the desktop entry and metainfo
# valid, the man pages rendering without warnings, one version everywhere.
# Usage: scripts/check-install.sh [build dir, default build, already built]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
fail() {
    echo "check-install: $*" >&2
    exit 1
}

id=example.kestrova.comtest
programs=(kestrova-comtest kestrova-sim kestrova-probe)
files=(usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml
       usr/share/doc/kestrova-comtest/copyright usr/share/doc/kestrova-comtest/changelog.Debian.gz
       usr/share/icons/hicolor/scalable/apps/$id.svg
       usr/share/icons/hicolor/48x48/apps/$id.png
       usr/share/icons/hicolor/256x256/apps/$id.png
       "usr/lib/$(gcc -print-multiarch)/wireshark/plugins/kestrova.lua")
for p in "${programs[@]}"; do
    files+=(usr/bin/$p usr/share/man/man1/$p.1.gz)
done

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
for f in "${files[@]}"; do
    [ -f "$root/$f" ] || fail "not installed: /$f"
done
for p in "${programs[@]}"; do
    [ -x "$root/usr/bin/$p" ] || fail "not executable: /usr/bin/$p"
done
for size in 48 256; do
    file "$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png" |
        grep -q "PNG image data, $size x $size" || fail "the ${size}x$size icon is not $size px"
done

desktop="$root/usr/share/applications/$id.desktop"
desktop-file-validate "$desktop" || fail "desktop entry invalid"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" ||
    fail "metainfo invalid"
# The menu entry must start an installed program and name an installed icon.
exec_line="$(sed -n 's/^Exec=//p' "$desktop")"
[ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not an installed program"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not installed"

for p in "${programs[@]}"; do
    page="$root/usr/share/man/man1/$p.1.gz"
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)"
    [ -z "$warnings" ] || fail "man page $p: $warnings"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" ||
        fail "man page $p renders nothing"
done
# The maker's addresses, as the console has them, in the metainfo.
for key in web mail; do
    address="$(sed -n "s/.*char $key\[\] = \"\([^\"]*\)\".*/\1/p" app/contact.h)"
    grep -qF "$address" "$root/usr/share/metainfo/$id.metainfo.xml" ||
        fail "the metainfo lacks the $key address $address"
done
doc="$root/usr/share/doc/kestrova-comtest"
head -n 1 "$doc/copyright" | grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "copyright is not in the machine-readable format"
grep -q "^License: MIT" "$doc/copyright" || fail "copyright names no MIT licence"
zcat "$doc/changelog.Debian.gz" | head -n 1 | grep -q "^kestrova-comtest (" ||
    fail "changelog.Debian.gz does not start with the package"
echo "installed tree, desktop entry, metainfo, copyright and man pages: ok"

# One version: the project's, in --version, the package and its file name.
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
for p in "${programs[@]}"; do
    [ "$("$root/usr/bin/$p" --version)" = "$p $version" ] || fail "$p --version is not $version"
done

# The uninstall target takes back every file the install put there.
DESTDIR="$root" cmake --build "$build" --target uninstall >/dev/null
left="$(find "$root" -type f -o -type l | head -n 5)"
[ -z "$left" ] || fail "uninstall left: $left"
echo "uninstall: ok"

(cd "$build" && cpack -G DEB >/dev/null)
deb="$build/kestrova-comtest_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "cpack made no $deb"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends="$(dpkg-deb --field "$deb" Depends)"
for d in libqt6widgets6 libqt6serialport6 libqt6charts6 libpcap0.8 fonts-wqy-microhei fonts-dejavu-core qt6-translations-l10n; do
    [[ "$depends" == *"$d"* ]] || fail "Depends lacks $d"
done
[[ "$(dpkg-deb --field "$deb" Recommends)" == *rtkit* ]] || fail "Recommends lacks rtkit"
[[ "$(dpkg-deb --field "$deb" Suggests)" == *tshark* ]] || fail "Suggests lacks tshark"
contents="$(dpkg-deb --contents "$deb")"
for f in "${files[@]}"; do
    grep -q " \./$f\$" <<<"$contents" || fail "not in the package: /$f"
done
echo "package $(basename "$deb"): ok"
