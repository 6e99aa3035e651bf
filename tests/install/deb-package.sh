#!/usr/bin/env bash
# Usage: deb-package.sh BUILD_DIR
#
# Builds the Debian package and installs and removes it with dpkg against a scratch
# database and root, so the machine's own packages are never touched: every file
# lands under the prefix it should, and removal leaves nothing behind.
set -euo pipefail

build=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-deb.XXXXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$build" && cpack -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log" >&2
    fail "cpack failed"
}
package=$(ls "$scratch"/out/orlinde_*.deb)

fields=$(dpkg-deb -f "$package" Package Architecture Depends)
grep -q '^Package: orlinde$' <<<"$fields" || fail "unexpected control fields: $fields"
grep -q 'libqt6widgets6' <<<"$fields" || fail "the package does not depend on Qt: $fields"

admin=$scratch/admin
instdir=$scratch/root
mkdir -p "$admin/info" "$admin/updates" "$instdir"
touch "$admin/status" "$admin/available"
dpkg_here() {
    dpkg --admindir="$admin" --instdir="$instdir" --force-not-root --force-depends \
        --force-script-chrootless "$@" >>"$scratch/dpkg.log" 2>&1
}

dpkg_here -i "$package" || {
    cat "$scratch/dpkg.log" >&2
    fail "dpkg -i failed"
}
for expected in usr/bin/orlinde usr/lib/orlinde/Orlinde.app/Contents/MacOS/Orlinde \
    usr/lib/orlinde/Orlinde.app/Contents/Info.plist usr/share/applications/com.tovrex.orlinde.desktop \
    usr/share/icons/hicolor/scalable/apps/com.tovrex.orlinde.svg; do
    [ -e "$instdir/$expected" ] || fail "/$expected is not installed"
done
outside=$(cd "$instdir" && find . -mindepth 1 -not -path './usr' -not -path './usr/*')
[ -z "$outside" ] || fail "files outside /usr: $outside"
target=$(cd "$instdir/usr/bin" && readlink -f "$(sed -n 's/^exec "$here\/\(.*\)" "$@"$/\1/p' orlinde)")
[ "$target" = "$instdir/usr/lib/orlinde/Orlinde.app/Contents/MacOS/Orlinde" ] ||
    fail "the launcher points at '$target'"

dpkg_here -r orlinde || {
    cat "$scratch/dpkg.log" >&2
    fail "dpkg -r failed"
}
left=$(cd "$instdir" && find . -mindepth 1)
[ -z "$left" ] || fail "left behind after removal: $left"
dpkg-query --admindir="$admin" -W orlinde >/dev/null 2>&1 && fail "the package is still registered"
echo "$(basename "$package") installs and removes cleanly"
