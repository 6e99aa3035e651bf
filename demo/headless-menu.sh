#!/usr/bin/env bash
# Usage: demo/headless-menu.sh [--once] BUNDLE ROOT MENU_PNG
#
# Shows an Orlinde installation's tray menu on a machine without a display, as a
# person would see it: a virtual X display (Xvfb) with a window manager (openbox) and
# a panel whose tray hosts the icon (tint2, over XEmbed), a private session bus and a
# scratch HOME. Starts the app from BUNDLE, waits until the collector under ROOT
# reports a live status, clicks the tray icon, saves the open menu as MENU_PNG (and
# the whole screen beside it, as MENU_PNG with "-screen" before ".png") and prints
# both paths.
#
# Then it keeps the session running until Ctrl-C, or with --once ends at once.
# Either way everything it started is ended, the collector too.
set -euo pipefail

once=false
if [ "${1:-}" = "--once" ]; then
    once=true
    shift
fi
if [ $# -ne 3 ]; then
    echo "usage: $0 [--once] BUNDLE ROOT MENU_PNG" >&2
    exit 2
fi
bundle=$(cd "$1" && pwd)
root=$(cd "$2" && pwd)
menu_png=$3
screen_png=${menu_png%.png}-screen.png
executable=$bundle/Contents/MacOS/Orlinde
status_file=$root/.data/desktop-status.json
mkdir -p "$(dirname "$menu_png")"

for tool in Xvfb openbox tint2 dbus-daemon xdotool xprop import node; do
    if ! command -v "$tool" >/dev/null; then
        echo "headless-menu: $tool is missing; run scripts/install-packages.sh" >&2
        exit 1
    fi
done

# Nothing of a caller's desktop may leak in: its bus would carry another tray host.
unset DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DISPLAY WAYLAND_DISPLAY XAUTHORITY \
    SESSION_MANAGER XDG_SESSION_TYPE XDG_CURRENT_DESKTOP DESKTOP_SESSION \
    GNOME_KEYRING_CONTROL SSH_AUTH_SOCK QT_QPA_PLATFORMTHEME QT_SCALE_FACTOR

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-demo.XXXXXXXX")

# Every process started here, and what they start in turn (the collector, services the
# bus activates), carries this variable; teardown finds them by it.
marker="ORLINDE_DEMO_SESSION=$session_dir"

session_processes() {
    grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

end_session_processes() {
    local pids attempt
    pids=$(session_processes)
    [ -z "$pids" ] && return 0
    # The app first, so that it stops its collector the normal way.
    if [ -n "${app_pid:-}" ]; then
        kill -TERM "$app_pid" 2>/dev/null || true
        for attempt in $(seq 30); do
            kill -0 "$app_pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    pids=$(session_processes)
    # shellcheck disable=SC2086 # one pid per word
    [ -n "$pids" ] && kill -TERM $pids 2>/dev/null || true
    for attempt in $(seq 50); do
        pids=$(session_processes)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    echo "headless-menu: killing processes that ignored SIGTERM: $pids" >&2
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

teardown() {
    local status=$?
    trap - EXIT INT TERM HUP
    end_session_processes
    wait 2>/dev/null || true
    rm -rf "$session_dir"
    exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    echo "headless-menu: $*" >&2
    for log in "$session_dir"/*.log; do
        [ -s "$log" ] || continue
        echo "--- $(basename "$log")" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Polls COMMAND every 0.2 s for up to SECONDS.
wait_for() {
    local seconds=$1 attempt
    shift
    for attempt in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

export HOME=$session_dir/home
export XDG_RUNTIME_DIR=$session_dir/run
export XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache XDG_DATA_HOME=$HOME/.local/share
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

# The server picks a free display itself and names it once it accepts connections.
mkfifo "$session_dir/displayfd"
env "$marker" Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp -noreset \
    3>"$session_dir/displayfd" </dev/null >"$session_dir/xvfb.log" 2>&1 &
read -r -t 15 display_number <"$session_dir/displayfd" || fail "Xvfb did not start"
export DISPLAY=:$display_number

env "$marker" dbus-daemon --session --nofork --nopidfile --print-address=3 \
    3>"$session_dir/bus-address" </dev/null >"$session_dir/bus.log" 2>&1 &
wait_for 10 test -s "$session_dir/bus-address" || fail "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$session_dir/bus-address")
export DBUS_SESSION_BUS_ADDRESS

# tint2 shows nothing without a window manager, so openbox comes first.
env "$marker" openbox </dev/null >"$session_dir/openbox.log" 2>&1 &
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
wait_for 15 wm_running || fail "openbox did not start"
env "$marker" tint2 </dev/null >"$session_dir/tint2.log" 2>&1 &
wait_for 15 xdotool search --onlyvisible --class tint2 >/dev/null 2>&1 || fail "tint2 did not start"

env "$marker" QT_QPA_PLATFORM=xcb "$executable" </dev/null >"$session_dir/app.log" 2>&1 &
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
icon_window() { xdotool search --pid "$app_pid" 2>/dev/null | head -n 1; }
icon=""
find_icon() {
    icon=$(icon_window)
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
