#!/bin/sh
# Installs a build into a scratch root and packages it, as someone installing PelimoMail would, and checks both.
# Usage: install_check.sh CMAKE CPACK BUILD_DIR VERSION (run from a folder it may write in)
set -eu
cmake=$1 cpack=$2 build=$3 version=$4
work=$PWD/install-check
root=$work/root
rm -rf "$work"
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Whether a dependency field of the package names the package $2 (with or without a version).
names() {
    printf '%s\n' "$1" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$2"
}

DESTDIR=$root "$cmake" --install "$build" --prefix /usr >/dev/null

# Exactly these: no test programs, static libraries or headers come along.
found=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
expected='usr/bin/PelimoMail
usr/share/applications/PelimoMail.desktop
usr/share/icons/hicolor/scalable/apps/PelimoMail.svg
usr/share/metainfo/org.example.PelimoMail.metainfo.xml'
[ "$found" = "$expected" ] || fail "installed files differ from the expected ones:
$found"
[ -x "$root/usr/bin/PelimoMail" ] || fail "the program is not executable"

desktop=$root/usr/share/applications/PelimoMail.desktop
desktop-file-validate "$desktop"
grep -qx 'Exec=PelimoMail' "$desktop" || fail "the desktop entry does not start the installed program"
grep -qx 'Icon=PelimoMail' "$desktop" || fail "the desktop entry does not name the installed icon"
# Checks the metainfo and that its launchable names an installed desktop entry.
appstreamcli validate-tree --no-net "$root"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/org.example.PelimoMail.metainfo.xml" ||
    fail "the metainfo lists no release $version"

# Packs the tree just installed: left to install the build itself, cpack would first bring the build up to date,
# compiling in the middle of a test run.
mkdir -p "$work/pkg"
(cd "$work/pkg" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" \
    -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$root;." >/dev/null)
deb=$work/pkg/pelimomail_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb"); found: $(ls "$work/pkg")"
dpkg-deb -c "$deb" | grep ' \./usr/bin/PelimoMail$' >/dev/null || fail "the package holds no program"

depends=$(dpkg-deb -f "$deb" Depends)
for p in libqt6core6 libqt6sql6-sqlite; do
    names "$depends" "$p" || fail "Depends lacks $p: $depends"
done
names "$(dpkg-deb -f "$deb" Recommends)" fonts-noto-cjk || fail "Recommends lacks fonts-noto-cjk"
echo "$(basename "$deb"): Depends: $depends"
