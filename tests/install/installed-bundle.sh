#!/usr/bin/env bash
# Usage: installed-bundle.sh BUILD_DIR COLLECTOR_STAND_IN
#
# Installs the build into a temporary prefix, checks the layout a Linux desktop
# expects, then gives the installed bundle its settings and starts it through the
# launcher in bin/: it must find them (its collector is launched) and must quit when
# asked with --quit-existing. Run inside scripts/desktop-session.sh.
set -euo pipefail

build=$1
collector=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-prefix.XXXXXXXX")
app_pid=""
cleanup() {
    [ -z "$app_pid" ] || kill -TERM "$app_pid" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

bundle=$prefix/lib/orlinde/Orlinde.app
for expected in bin/orlinde lib/orlinde/Orlinde.app/Contents/MacOS/Orlinde; do
    [ -x "$prefix/$expected" ] || fail "$expected is not an installed executable"
done
for expected in lib/orlinde/Orlinde.app/Contents/Info.plist \
    share/applications/com.tovrex.orlinde.desktop \
    share/icons/hicolor/scalable/apps/com.tovrex.orlinde.svg; do
    [ -f "$prefix/$expected" ] || fail "$expected is not installed"
done
[ -d "$bundle/Contents/Resources" ] || fail "the bundle has no Resources directory"
[ ! -e "$bundle/Contents/Resources/settings.json" ] || fail "settings.json must come from the installer"
identifier=$(plistutil -i "$bundle/Contents/Info.plist" -f xml 2>/dev/null |
    sed -n '/<key>CFBundleIdentifier<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}')
[ "$identifier" = "com.tovrex.orlinde.app" ] || fail "CFBundleIdentifier is '$identifier'"
desktop-file-validate "$prefix/share/applications/com.tovrex.orlinde.desktop" ||
    fail "the installed desktop entry is invalid"
icon=$(sed -n 's/^Icon=//p' "$prefix/share/applications/com.tovrex.orlinde.desktop")
[ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon $icon is not installed"

root=$prefix/var/root
mkdir -p "$root/.data"
cp "$collector" "$root/collector.mjs"
node=$(readlink -f "$(command -v node)")
cat >"$bundle/Contents/Resources/settings.json" <<JSON
{
    "node": "$node",
    "root": "$root",
    "hub": "http://127.0.0.1:9",
    "launchAgent": "$root/autostart/com.tovrex.orlinde.desktop",
    "appExecutable": "$bundle/Contents/MacOS/Orlinde"
}
JSON

"$prefix/bin/orlinde" &
app_pid=$!
for attempt in $(seq 75); do
    [ -s "$root/launches" ] && break
    kill -0 "$app_pid" 2>/dev/null || fail "the installed app exited"
    sleep 0.2
done
[ -s "$root/launches" ] || fail "the installed app did not launch its collector: it did not find its settings"

"$prefix/bin/orlinde" --quit-existing || fail "--quit-existing failed"
status=0
for attempt in $(seq 50); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$app_pid" 2>/dev/null && fail "the installed app did not quit when asked"
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "the installed app exited with status $status"
echo "installed bundle found its settings and quit when asked"
