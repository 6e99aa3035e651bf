#!/usr/bin/env bash
# Usage: scripts/demo.sh [--once]
#
# Builds Orlinde and runs it on a self-contained demo installation: build/demo holds
# a demo collector that serves a small dashboard page on a loopback port and reports
# whether it answers; build/Orlinde.app/Contents/Resources/settings.json points at it.
#
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) the item appears in your tray.
# Without one, a virtual display with a panel is started, the menu is opened by
# clicking the icon, and a screenshot of it is saved; its path is printed.
# Ctrl-C ends everything the demo started. With --once the headless run ends right
# after the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."

once=""
if [ "${1:-}" = "--once" ]; then
    once=--once
fi

scripts/install-packages.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)" --target orlinde_app

bundle=build/Orlinde.app
root=build/demo
demo/make-installation.sh "$bundle" "$root"
hub=$(node -e 'console.log(JSON.parse(require("node:fs").readFileSync(process.argv[1], "utf8")).hub)' \
    "$bundle/Contents/Resources/settings.json")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: showing the menu on a virtual one." >&2
    exec demo/headless-menu.sh $once "$bundle" "$root" "$(pwd)/$root/menu.png"
fi

# The collector and anything else started below carry this variable, so that
# Ctrl-C can end them even if the app could not.
marker="ORLINDE_DEMO_SESSION=$(pwd)/$root/$$"
stop_demo() {
    trap - EXIT INT TERM HUP
    if [ -n "${app_pid:-}" ] && kill -0 "$app_pid" 2>/dev/null; then
        kill -TERM "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    local pids
    pids=$(grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true)
    # shellcheck disable=SC2086 # one pid per word
    [ -z "$pids" ] || kill -TERM $pids 2>/dev/null || true
}
trap stop_demo EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

env "$marker" "$bundle/Contents/MacOS/Orlinde" &
app_pid=$!
cat >&2 <<EOF
Orlinde is running: look for "OL" in your tray and click it.
  dashboard  $hub/  (its "Go offline" button makes the status line change)
  logs       $root/.data/
Press Ctrl-C to stop the demo.
EOF
wait "$app_pid" || true
