# Sourced by the throwaway-session scripts (scripts/desktop-session.sh and the test
# sessions for keyring providers and a systemd user manager): a fresh HOME, an Xvfb
# display, and the teardown that leaves no process and no file behind.
# shellcheck shell=bash

# Nothing of the caller's desktop may leak in: its bus would auto-start services with
# the wrong HOME, and its keyring or display would make the run depend on the machine.
forget_callers_desktop() {
    unset DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DBUS_SESSION_BUS_WINDOWID \
        DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE \
        GNOME_KEYRING_CONTROL GNOME_KEYRING_PID SSH_AUTH_SOCK \
        DISPLAY WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER INVOCATION_ID \
        XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_CURRENT_DESKTOP DESKTOP_SESSION \
        QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
}

# NAME (for messages) and KIND (the directory's prefix): sets session_name,
# session_dir, and marker, the variable every process of the session gets. Daemons
# detach from us; teardown finds them by it. Not exported, so the tools teardown runs
# do not carry it themselves.
create_session() {
    session_name=$1
    session_dir=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-$2.XXXXXXXX")
    marker="ORLINDE_${2^^}_SESSION=$session_dir"
}

in_session() {
    grep -qzxF -- "$marker" "/proc/$1/environ" 2>/dev/null
}

marked_processes() {
    grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# Sends SIGTERM to what LIST_FUNCTION lists, then SIGKILL to what is left after 5 s.
end_processes() {
    local list=$1 pids
    pids=$($list)
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086 # one pid per word
    kill -TERM $pids 2>/dev/null || true
    for _ in $(seq 50); do
        pids=$($list)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    echo "$session_name: killing processes that ignored SIGTERM: $pids" >&2
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
    for _ in $(seq 50); do
        [ -z "$($list)" ] && return 0
        sleep 0.1
    done
}

# The usual teardown: end_command first where the script defines one (COMMAND may
# have started something that it stops more gently than we would), then every process
# of the session, then its directory.
end_session() {
    local status=$?
    trap - EXIT INT TERM HUP
    if declare -F end_command >/dev/null; then end_command; fi
    end_processes marked_processes
    wait 2>/dev/null || true
    rm -rf "$session_dir"
    exit "$status"
}

# TEARDOWN runs on exit, however the script ends; a signal ends it with
# the usual status.
on_exit() {
    # shellcheck disable=SC2064 # the function's name, fixed now
    trap "$1" EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
}

# MESSAGE, the tail of LOG (in the session directory), and the end, with STATUS (1).
fail_with_log() {
    echo "$session_name: $1:" >&2
    tail -n 30 "$session_dir/$2" >&2
    exit "${3:-1}"
}

make_home() {
    export HOME=$session_dir/home
    export XDG_RUNTIME_DIR=$session_dir/run
    export XDG_CONFIG_HOME=$HOME/.config
    export XDG_DATA_HOME=$HOME/.local/share
    export XDG_CACHE_HOME=$HOME/.cache
    export TMPDIR=$session_dir/tmp
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
}

# An X server of SIZE (WIDTHxHEIGHT); sets DISPLAY and xvfb_pid. -displayfd lets the
# server pick a free display itself, which is what makes concurrent runs safe; it
# writes the number once it accepts connections. No autorepeat (-r): on a loaded
# machine xdotool's release of a key may come late, and the repeats it then makes
# would reach whatever window opens next.
start_xvfb() {
    local display_fifo=$session_dir/displayfd display_number
    mkfifo "$display_fifo"
    env "$marker" Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -noreset -r \
        3>"$display_fifo" </dev/null >"$session_dir/xvfb.log" 2>&1 &
    # shellcheck disable=SC2034 # for the sourcing script
    xvfb_pid=$!
    if ! read -r -t 15 display_number <"$display_fifo" || [ -z "$display_number" ]; then
        fail_with_log "Xvfb did not start" xvfb.log
    fi
    export DISPLAY=:$display_number
    export QT_QPA_PLATFORM=xcb
}
