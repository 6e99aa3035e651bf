#!/usr/bin/env bash
# Usage: demo/open-tray-menu.sh [--once] BUNDLE ROOT MENU_PNG SCREEN_PNG
#
# Run inside scripts/desktop-session.py on its X server (demo/headless-menu.sh does
# that). Adds what a person's desktop has around the tray: a window manager (openbox)
# and a panel whose tray embeds the icon over XEmbed (tint2). Starts the app from BUNDLE, waits until the collector under ROOT reports a live
# status, clicks the tray icon, saves the open menu as MENU_PNG and the whole screen
# as SCREEN_PNG, and prints both paths. Then it runs until ended, or with --once ends
# at once; either way the app gets SIGTERM first, so that it stops its collector the
# normal way.
set -euo pipefail

once=false
if [ "${1:-}" = "--once" ]; then
    once=true
    shift
fi
if [ $# -ne 4 ]; then
    echo "usage: $0 [--once] BUNDLE ROOT MENU_PNG SCREEN_PNG" >&2
    exit 2
fi
executable=$1/Contents/MacOS/Orlinde
status_file=$2/.data/desktop-status.json
menu_png=$3
screen_png=$4

app_pid=""
end_app() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$app_pid" ]; then
        kill -TERM "$app_pid" 2>/dev/null || true
        for _ in $(seq 30); do
            kill -0 "$app_pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    exit "$status"
}
trap end_app EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    echo "headless-menu: $*" >&2
    for log in "$TMPDIR"/*.log; do
        [ -s "$log" ] || continue
        echo "--- $(basename "$log")" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Polls COMMAND every 0.2 s for up to SECONDS.
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

# tint2 shows nothing without a window manager, so openbox comes first.
openbox </dev/null >"$TMPDIR/openbox.log" 2>&1 &
window_manager_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wait_for 15 window_manager_running || fail "openbox did not start"
tint2 </dev/null >"$TMPDIR/tint2.log" 2>&1 &
wait_for 15 xdotool search --onlyvisible --class tint2 >/dev/null 2>&1 || fail "tint2 did not start"

"$executable" </dev/null >"$TMPDIR/app.log" 2>&1 &
app_pid=$!

status_is_live() {
    [ -r "$status_file" ] || return 1
    node -e '
const status = JSON.parse(require("node:fs").readFileSync(process.argv[1], "utf8"));
process.exit(status.connected === true && Date.now() - status.at < 25000 ? 0 : 1);
' "$status_file" 2>/dev/null
}
wait_for 60 status_is_live || fail "the collector reported no live status in $status_file"
kill -0 "$app_pid" 2>/dev/null || fail "Orlinde exited"

# The tray icon is the app's window that tint2 has embedded; its geometry is in
# root coordinates.
icon=""
find_icon() {
    icon=$(xdotool search --pid "$app_pid" 2>/dev/null | head -n 1)
    [ -n "$icon" ] && xwininfo -id "$icon" 2>/dev/null | grep -q 'Map State: IsViewable'
}
wait_for 20 find_icon || fail "the tray icon did not appear"
# The status line is refreshed every 3 seconds; one tick after the live status
# the menu shows it.
sleep 3.5

eval "$(xdotool getwindowgeometry --shell "$icon")"
# shellcheck disable=SC2153 # X, Y, WIDTH, HEIGHT come from xdotool
xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1

menu=""
find_menu() {
    local window
    for window in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
        if [ "$window" != "$icon" ]; then
            menu=$window
            return 0
        fi
    done
    return 1
}
wait_for 10 find_menu || fail "clicking the tray icon opened no menu"
sleep 0.5 # let the menu paint
eval "$(xdotool getwindowgeometry --shell "$menu")"
echo "menu window: ${WIDTH}x${HEIGHT}+${X}+${Y}" >&2
import -window "$menu" "$menu_png"
import -window root "$screen_png"
echo "$menu_png"
echo "$screen_png"

# Closed as a person would, before anything ends the app.
menu_closed() { ! xwininfo -id "$menu" 2>/dev/null | grep -q 'Map State: IsViewable'; }
xdotool key Escape
wait_for 5 menu_closed || xdotool mousemove 5 5 click 1

if [ "$once" = true ]; then
    exit 0
fi
echo "The demo is running on the virtual display $DISPLAY. Press Ctrl-C to stop it." >&2
wait "$app_pid" || true
