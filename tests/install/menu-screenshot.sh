#!/usr/bin/env bash
# Usage: menu-screenshot.sh BUNDLE ARTIFACT_DIR
#
# What a newcomer sees: the demo installation of BUNDLE on a virtual display with a
# real panel, the menu opened by clicking the tray icon once the collector reports a
# live status. Checks that the saved PNG is the open menu: not blank, the size of the
# menu's window, and the same pixels the screen shows there. The PNGs stay in
# ARTIFACT_DIR.
set -euo pipefail

bundle=$1
artifacts=$2
repository=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-screenshot.XXXXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir -p "$artifacts"
rm -f "$artifacts/menu.png" "$artifacts/menu-screen.png"
# A copy, so that the build's own bundle keeps whatever settings it has.
cp -r "$bundle" "$scratch/Orlinde.app"
"$repository/demo/make-installation.sh" "$scratch/Orlinde.app" "$scratch/root"
"$repository/demo/headless-menu.sh" --once "$scratch/Orlinde.app" "$scratch/root" "$artifacts/menu.png" \
    2>"$scratch/headless.log" || {
    cat "$scratch/headless.log" >&2
    fail "the menu could not be shown"
}

geometry=$(sed -n 's/^menu window: //p' "$scratch/headless.log")
[ -n "$geometry" ] || fail "no menu window was reported"
size=${geometry%%+*}
[ -s "$artifacts/menu.png" ] || fail "no screenshot at $artifacts/menu.png"

saved=$(identify -format '%wx%h' "$artifacts/menu.png")
[ "$saved" = "$size" ] || fail "the screenshot is $saved, the menu window $size"

width=${size%x*}
height=${size#*x}
# Eight entries and two separators cannot fit in less.
[ "$width" -ge 100 ] && [ "$height" -ge 120 ] || fail "a menu of ${size} is too small for its entries"

spread=$(convert "$artifacts/menu.png" -colorspace Gray -format '%[fx:standard_deviation]' info:)
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the screenshot is blank (deviation $spread)"

# The same pixels as the screen at the menu's place: the PNG shows the open menu,
# not some other window of that size.
convert "$artifacts/menu-screen.png" -crop "$geometry" +repage "$scratch/on-screen.png"
differing=$(compare -metric AE "$artifacts/menu.png" "$scratch/on-screen.png" null: 2>&1 || true)
[ "$differing" = "0" ] || fail "the screenshot differs from the screen at $geometry in $differing pixels"

echo "menu screenshot: $artifacts/menu.png ($size)"
