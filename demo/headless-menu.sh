#!/usr/bin/env bash
# Usage: demo/headless-menu.sh [--once] BUNDLE ROOT MENU_PNG
#
# Shows an Orlinde installation's tray menu on a machine without a display, as a
# person would see it: a desktop session of its own (scripts/desktop-session.py) with
# a window manager and a panel whose tray hosts the icon (demo/open-tray-menu.sh). Starts the app from BUNDLE,
# waits until the collector under ROOT reports a live status, clicks the tray icon,
# saves the open menu as MENU_PNG (and the whole screen beside it, as MENU_PNG with
# "-screen" before ".png") and prints both paths.
#
# Then it keeps the session running until Ctrl-C, or with --once ends at once.
# Either way everything it started is ended, the collector too.
set -euo pipefail

once=()
if [ "${1:-}" = "--once" ]; then
    once=(--once)
    shift
fi
if [ $# -ne 3 ]; then
    echo "usage: $0 [--once] BUNDLE ROOT MENU_PNG" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
bundle=$(cd "$1" && pwd)
root=$(cd "$2" && pwd)
menu_png=$3
screen_png=${menu_png%.png}-screen.png
mkdir -p "$(dirname "$menu_png")"

for tool in Xvfb openbox tint2 dbus-daemon gnome-keyring-daemon xdotool xprop xwininfo import node; do
    if ! command -v "$tool" >/dev/null; then
        echo "headless-menu: $tool is missing; run scripts/install-packages.sh" >&2
        exit 1
    fi
done

exec "$here/../scripts/desktop-session.py" --screen 1024x640 \
    "$here/open-tray-menu.sh" "${once[@]}" "$bundle" "$root" "$menu_png" "$screen_png"
