#!/usr/bin/env bash
# Usage: scripts/desktop-session.sh [--wayland] [--screen WIDTHxHEIGHT] COMMAND [ARGS...]
#
# Runs COMMAND in a throwaway desktop session of its own: a fresh HOME and XDG
# directories, a display, a private session bus and a gnome-keyring unlocked with a
# throwaway password.
#
#   (default)  an Xvfb X server, 1280x1024; Qt apps are X clients.
#   --wayland  a headless weston compositor instead; Qt apps are Wayland clients.
#   --screen   the size of the screen, e.g. 1024x640.
#
# Exits with COMMAND's status and leaves no process and no file behind, so runs can
# overlap (ctest -j). Ended early by a signal, it gives COMMAND a SIGTERM and a few
# seconds to stop what it started its own way before it ends the rest.

# shellcheck disable=SC2317 # teardown's functions run from the EXIT trap
set -euo pipefail

usage() {
    echo "usage: $0 [--wayland] [--screen WIDTHxHEIGHT] COMMAND [ARGS...]" >&2
    exit 2
}

wayland=false
screen=""
while [ $# -gt 0 ]; do
    case $1 in
    --wayland) wayland=true ;;
    --screen)
        if [ $# -lt 2 ] || ! [[ $2 =~ ^[0-9]+x[0-9]+$ ]]; then usage; fi
        screen=$2
        shift
        ;;
    --) shift && break ;;
    -*) usage ;;
    *) break ;;
    esac
    shift
done
[ $# -gt 0 ] || usage

# Nothing of the caller's desktop may leak in: its bus would auto-start services with
# the wrong HOME, and its keyring or display would make the run depend on the machine.
unset DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DBUS_SESSION_BUS_WINDOWID \
    DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE \
    GNOME_KEYRING_CONTROL GNOME_KEYRING_PID SSH_AUTH_SOCK \
    DISPLAY WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER \
    XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_CURRENT_DESKTOP DESKTOP_SESSION \
    QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-desktop.XXXXXXXX")

# Every process of the session gets this variable. The keyring daemon and services
# the bus activates detach from us; teardown finds them by it. Not exported, so the
# tools teardown runs do not carry it themselves.
marker="ORLINDE_DESKTOP_SESSION=$session_dir"

in_session() {
    grep -qzxF -- "$marker" "/proc/$1/environ" 2>/dev/null
}

session_processes() {
    grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# COMMAND first: it may have started something that it stops more gently than we would.
end_command() {
    local pid
    pid=$(cat "$session_dir/command.pid" 2>/dev/null) || return 0
    in_session "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        in_session "$pid" || return 0
        sleep 0.1
    done
}

end_session_processes() {
    local pids
    pids=$(session_processes)
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086 # one pid per word
    kill -TERM $pids 2>/dev/null || true
    for _ in $(seq 50); do
        pids=$(session_processes)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    echo "desktop-session: killing processes that ignored SIGTERM: $pids" >&2
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
}

teardown() {
    local status=$?
    trap - EXIT INT TERM HUP
    end_command
    end_session_processes
    wait 2>/dev/null || true
    rm -rf "$session_dir"
    exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# WHAT did not start: says so with the tail of LOG, and ends the session.
fail_with_log() {
    echo "desktop-session: $1 did not start:" >&2
    tail -n 20 "$session_dir/$2" >&2
    exit 1
}

export HOME=$session_dir/home
export XDG_RUNTIME_DIR=$session_dir/run
export XDG_CONFIG_HOME=$HOME/.config
export XDG_DATA_HOME=$HOME/.local/share
export XDG_CACHE_HOME=$HOME/.cache
export TMPDIR=$session_dir/tmp
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

start_xvfb() {
    # -displayfd lets the server pick a free display itself, which is what makes
    # concurrent runs safe; it writes the number once it accepts connections.
    local display_fifo=$session_dir/displayfd display_number
    mkfifo "$display_fifo"
    env "$marker" Xvfb -displayfd 3 -screen 0 "${screen:-1280x1024}x24" -nolisten tcp -noreset \
        3>"$display_fifo" </dev/null >"$session_dir/xvfb.log" 2>&1 &
    if ! read -r -t 15 display_number <"$display_fifo" || [ -z "$display_number" ]; then
        fail_with_log Xvfb xvfb.log
    fi
    export DISPLAY=:$display_number
    export QT_QPA_PLATFORM=xcb
}

start_weston() {
    # The socket is named after the session directory, which makes it unique; weston
    # creates it once it accepts clients.
    local socket size=()
    socket=wayland-$(basename "$session_dir")
    [ -z "$screen" ] || size=(--width="${screen%x*}" --height="${screen#*x}")
    env "$marker" weston --backend=headless-backend.so --socket="$socket" --idle-time=0 "${size[@]}" \
        </dev/null >"$session_dir/weston.log" 2>&1 &
    for _ in $(seq 150); do
        [ -S "$XDG_RUNTIME_DIR/$socket" ] && break
        sleep 0.1
    done
    [ -S "$XDG_RUNTIME_DIR/$socket" ] || fail_with_log weston weston.log
    export WAYLAND_DISPLAY=$socket
    export XDG_SESSION_TYPE=wayland
    export QT_QPA_PLATFORM=wayland
}

if [ "$wayland" = true ]; then
    start_weston
else
    start_xvfb
fi

# The keyring must be ours and already unlocked: otherwise the bus would activate one
# on first use that asks for a password nobody can type. The pid file tells teardown
# which process is COMMAND.
# shellcheck disable=SC2016 # expanded by the inner shell
inside_session='
set -eu
keyring_variables=$(head -c 24 /dev/urandom | base64 | gnome-keyring-daemon --unlock --components=secrets)
while IFS= read -r assignment; do
    if [ -n "$assignment" ]; then export "$assignment"; fi
done <<<"$keyring_variables"
echo $$ >"$0"
exec "$@"
'

# In the background, so that a signal to this script is handled at once.
status=0
env "$marker" dbus-run-session -- bash -c "$inside_session" "$session_dir/command.pid" "$@" &
wait $! || status=$?
exit "$status"
