#!/bin/bash
# Usage: run-in-wayland.sh COMMAND [ARGS...]
#
# Runs COMMAND in a throwaway Wayland session of its own: a fresh HOME, a headless
# weston compositor on a socket of its own, a private session bus and an unlocked
# gnome-keyring; Qt apps started inside are Wayland clients. The same contract as
# run-in-desktop.sh (which uses an X server instead): exits with COMMAND's status and
# leaves no process and no file behind, so runs can overlap (ctest -j).
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi

# Nothing of the caller's desktop may leak in: its bus would auto-start services with
# the wrong HOME, and its keyring or display would make the run depend on the machine.
unset DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DBUS_SESSION_BUS_WINDOWID \
    DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE \
    GNOME_KEYRING_CONTROL GNOME_KEYRING_PID SSH_AUTH_SOCK \
    DISPLAY WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER \
    XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_CURRENT_DESKTOP DESKTOP_SESSION \
    QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-wayland.XXXXXXXX")

# Every process of the session gets this variable. The keyring daemon and services
# the bus activates detach from us; teardown finds them by it. Not exported, so the
# tools teardown runs do not carry it themselves.
marker="ORLINDE_DESKTOP_SESSION=$session_dir"

session_processes() {
    grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

end_session_processes() {
    local pids attempt
    pids=$(session_processes)
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086 # one pid per word
    kill -TERM $pids 2>/dev/null || true
    for attempt in $(seq 50); do
        pids=$(session_processes)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    echo "run-in-wayland: killing processes that ignored SIGTERM: $pids" >&2
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

export HOME=$session_dir/home
export XDG_RUNTIME_DIR=$session_dir/run
export XDG_CONFIG_HOME=$HOME/.config
export XDG_DATA_HOME=$HOME/.local/share
export XDG_CACHE_HOME=$HOME/.cache
export TMPDIR=$session_dir/tmp
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

# The socket is named after the session directory, which makes it unique; weston
# creates it once it accepts clients.
socket=wayland-$(basename "$session_dir")
env "$marker" weston --backend=headless-backend.so --socket="$socket" --idle-time=0 \
    </dev/null >"$session_dir/weston.log" 2>&1 &
for attempt in $(seq 150); do
    [ -S "$XDG_RUNTIME_DIR/$socket" ] && break
    sleep 0.1
done
if [ ! -S "$XDG_RUNTIME_DIR/$socket" ]; then
    echo "run-in-wayland: weston did not start:" >&2
    cat "$session_dir/weston.log" >&2
    exit 1
fi
export WAYLAND_DISPLAY=$socket
export XDG_SESSION_TYPE=wayland
export QT_QPA_PLATFORM=wayland

# The keyring must be ours and already unlocked: otherwise the bus would activate one
# on first use that asks for a password nobody can type.
inside_session='
set -eu
keyring_variables=$(head -c 24 /dev/urandom | base64 | gnome-keyring-daemon --unlock --components=secrets)
while IFS= read -r assignment; do
    if [ -n "$assignment" ]; then export "$assignment"; fi
done <<<"$keyring_variables"
exec "$@"
'

# In the background, so that a signal to this script is handled at once.
status=0
env "$marker" dbus-run-session -- bash -c "$inside_session" bash "$@" &
wait $! || status=$?
exit "$status"
