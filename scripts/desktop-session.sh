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

# shellcheck disable=SC2317 # end_command runs from the EXIT trap
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

# shellcheck source=scripts/session-common.sh
. "$(dirname "$0")/session-common.sh"
forget_callers_desktop
create_session desktop-session desktop

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

on_exit end_session
make_home

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
    [ -S "$XDG_RUNTIME_DIR/$socket" ] || fail_with_log "weston did not start" weston.log
    export WAYLAND_DISPLAY=$socket
    export XDG_SESSION_TYPE=wayland
    export QT_QPA_PLATFORM=wayland
}

if [ "$wayland" = true ]; then
    start_weston
else
    start_xvfb "${screen:-1280x1024}"
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
