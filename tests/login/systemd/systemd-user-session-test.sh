#!/usr/bin/env bash
# Usage: systemd-user-session-test.sh HARNESS
#
# Runs two sessions of HARNESS (systemd-user-session.sh) at once, each leaving a unit of
# its manager and a process of its own running: afterwards nothing of either may be
# left. Then checks that a user who is not root gets the skip status.
set -euo pipefail

harness=$1
records=$(mktemp -d)
trap 'rm -rf "$records"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# shellcheck disable=SC2016 # expanded inside each session
session='
systemd-run --user --quiet --unit=lingering sleep 1000
sleep 1000 &
echo "$ORLINDE_MANAGER_PID $(systemctl --user show --value --property=MainPID lingering) $! $HOME" >"$1"
'
pids=()
for run in 1 2; do
    "$harness" bash -c "$session" session "$records/$run" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    [ "$status" -ne 77 ] || exit 77
    [ "$status" -eq 0 ] || fail "a session ended with status $status"
done

read -r manager1 _ _ _ <"$records/1"
read -r manager2 _ _ _ <"$records/2"
[ "$manager1" != "$manager2" ] || fail "both sessions had the same manager"
for run in 1 2; do
    read -r manager unit_process own_process home <"$records/$run"
    for pid in "$manager" "$unit_process" "$own_process"; do
        [ "$pid" -gt 0 ] || fail "session $run recorded no pid: $(cat "$records/$run")"
        # A zombie has ended; only its reaping, by whoever inherited it, may lag.
        state=$(ps -o stat= -p "$pid" || true)
        [ -z "$state" ] || [[ $state == Z* ]] || fail "process $pid of session $run is still running"
    done
    session_dir=$(dirname "$home")
    [ ! -e "$session_dir" ] || fail "$session_dir is left behind"
    for cgroup in /sys/fs/cgroup/*/"$(basename "$session_dir")" /sys/fs/cgroup/"$(basename "$session_dir")"; do
        [ ! -e "$cgroup" ] || fail "the cgroup $cgroup is left behind"
    done
done

# Someone else than root, who cannot run it, is told so.
cp "$harness" "$records/harness.sh"
chmod 755 "$records" "$records/harness.sh"
status=0
setpriv --reuid=65534 --regid=65534 --clear-groups "$records/harness.sh" true 2>"$records/skip" || status=$?
[ "$status" -eq 77 ] || fail "not root: status $status instead of 77: $(cat "$records/skip")"
grep -q "SKIP: needs root" "$records/skip" || fail "not root: no reason given: $(cat "$records/skip")"
echo "two overlapping sessions left nothing behind; without root, a skip"
