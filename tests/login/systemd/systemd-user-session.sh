#!/usr/bin/env bash
# Usage: tests/login/systemd/systemd-user-session.sh COMMAND [ARGS...]
#
# Runs COMMAND beside a systemd user manager of its own, as a desktop login has one: a
# fresh HOME and XDG directories, the manager's user bus as the session bus, an Xvfb
# display imported into the manager's environment, and systemctl --user working.
# COMMAND gets:
#   ORLINDE_SESSION_TARGET  a target whose start and stop play a graphical login and
#                           logout (graphical-session.target refuses a manual start)
#   ORLINDE_MANAGER_PID     the manager's pid
#   ORLINDE_MANAGER_LOG     the output of the manager, its generators and its units
#
# Needs root, for a cgroup and a mount namespace of the manager's own; exits 77 (a
# skip) saying why where the machine cannot run the manager. Exits with COMMAND's status
# otherwise, and leaves no process and no file behind, so runs can overlap.

# shellcheck disable=SC2317 # teardown's functions run from the EXIT trap
set -euo pipefail

[ $# -gt 0 ] || {
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
}

skip() {
    echo "systemd-user-session: SKIP: $*" >&2
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "needs root, for a cgroup and a mount namespace of its own"
for tool in systemd systemctl busctl unshare nsenter Xvfb dbus-daemon; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -e /usr/lib/systemd/user/dbus.socket ] || skip "no user bus socket unit (package dbus-user-session)"
# The manager only runs where it finds /run/systemd/system, which a tmpfs of ours
# provides without touching the machine's.
[ -d /run/systemd ] || skip "/run/systemd does not exist to be covered"

# The manager needs a cgroup of its own in every hierarchy that systemd uses: the
# unified one and, on a hybrid layout, the named v1 one.
hierarchies=()
if [ -e /sys/fs/cgroup/cgroup.controllers ]; then
    hierarchies=(/sys/fs/cgroup)
else
    for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd; do
        [ -e "$hierarchy/cgroup.procs" ] && hierarchies+=("$hierarchy")
    done
fi
[ ${#hierarchies[@]} -gt 0 ] || skip "no cgroup hierarchy that systemd can use is mounted"

# shellcheck source=scripts/session-common.sh
. "$(dirname "$0")/../../../scripts/session-common.sh"
forget_callers_desktop
create_session systemd-user-session systemd
cgroup_name=$(basename "$session_dir")
manager_pid=""
xvfb_pid=""

cgroup_processes() {
    local hierarchy
    for hierarchy in "${hierarchies[@]}"; do
        [ -d "$hierarchy/$cgroup_name" ] || continue
        find "$hierarchy/$cgroup_name" -name cgroup.procs -exec cat {} + 2>/dev/null || true
    done
}

stop_manager() {
    [ -n "$manager_pid" ] || return 0
    # A user manager answers SIGTERM by starting exit.target: its units stop as at logout.
    kill -CONT "$manager_pid" 2>/dev/null || true
    kill -TERM "$manager_pid" 2>/dev/null || return 0
    for _ in $(seq 150); do
        kill -0 "$manager_pid" 2>/dev/null || return 0
        sleep 0.1
    done
    echo "systemd-user-session: the manager did not exit within 15 s" >&2
}

teardown() {
    local status=$? hierarchy
    set +e
    trap - EXIT INT TERM HUP
    end_processes marked_processes
    stop_manager
    end_processes cgroup_processes
    [ -z "$xvfb_pid" ] || kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    for hierarchy in "${hierarchies[@]}"; do
        [ -d "$hierarchy/$cgroup_name" ] && find "$hierarchy/$cgroup_name" -depth -type d -exec rmdir {} + 2>/dev/null
    done
    rm -rf "$session_dir"
    exit "$status"
}
on_exit teardown
make_home
mkdir -p "$XDG_RUNTIME_DIR/systemd/user"
export ORLINDE_SESSION_TARGET=orlinde-session.target
# Outside ~/.config, where the tests look for what the companion leaves behind.
cat >"$XDG_RUNTIME_DIR/systemd/user/$ORLINDE_SESSION_TARGET" <<'UNIT'
[Unit]
Description=Stand-in for a desktop session, from login to logout
BindsTo=graphical-session.target
Before=graphical-session.target
UNIT

start_xvfb 1280x1024

for hierarchy in "${hierarchies[@]}"; do
    mkdir "$hierarchy/$cgroup_name" || skip "cannot create a cgroup in $hierarchy"
done

started=$EPOCHREALTIME
# In a mount namespace of its own: the tmpfs over /run/systemd holds the system/ folder
# by which the manager recognises a systemd machine, and the one over /etc/systemd/user
# keeps the units this machine's administrator enabled out of the tests.
# shellcheck disable=SC2016 # expanded by the inner shell
in_namespace='
set -e
mount -t tmpfs tmpfs /run/systemd
mkdir /run/systemd/system
if [ -d /etc/systemd/user ]; then mount -t tmpfs tmpfs /etc/systemd/user; fi
exec env -i HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" PATH="$PATH" LANG=C.UTF-8 \
    SYSTEMD_LOG_TARGET=console systemd --user --default-standard-output=inherit
'
(
    for hierarchy in "${hierarchies[@]}"; do
        echo "$BASHPID" >"$hierarchy/$cgroup_name/cgroup.procs"
    done
    exec unshare --mount --propagation private -- sh -c "$in_namespace"
) </dev/null >"$session_dir/manager.log" 2>&1 &
manager_pid=$!

export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
inside() {
    nsenter --mount --target "$manager_pid" -- "$@"
}
ready=false
for _ in $(seq 600); do
    kill -0 "$manager_pid" 2>/dev/null ||
        fail_with_log "this machine cannot run a systemd user manager" manager.log 77
    if [ -S "$XDG_RUNTIME_DIR/bus" ]; then
        state=$(inside timeout 5 systemctl --user is-system-running 2>/dev/null || true)
        # The manager joins its bus only once the bus has started, some time after the bus
        # socket appears.
        on_bus=$(timeout 5 busctl --user --timeout=5 call org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus NameHasOwner s org.freedesktop.systemd1 2>/dev/null || true)
        if [[ $state =~ ^(running|degraded)$ ]] && [ "$on_bus" = "b true" ]; then
            ready=true
            break
        fi
    fi
    sleep 0.1
done
[ "$ready" = true ] || fail_with_log "the manager did not finish starting within 60 s" manager.log
# What a desktop does before it starts graphical-session.target.
inside systemctl --user set-environment "DISPLAY=$DISPLAY"
elapsed=$((${EPOCHREALTIME/./} - ${started/./}))
printf 'systemd-user-session: manager ready in %d.%02d s\n' $((elapsed / 1000000)) $((elapsed % 1000000 / 10000)) >&2

export ORLINDE_MANAGER_PID=$manager_pid
export ORLINDE_MANAGER_LOG=$session_dir/manager.log
status=0
env "$marker" nsenter --mount --target "$manager_pid" --wd="$PWD" -- "$@" &
wait $! || status=$?
exit "$status"
