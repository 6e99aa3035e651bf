#!/usr/bin/env bash
# Usage: tests/config/providers/secret-provider.sh PROVIDER COMMAND [ARGS...]
#
# Runs COMMAND in a throwaway desktop session whose Secret Service is PROVIDER, one of
# the three that Debian 12 ships, set up and unlocked as a login would leave it:
#
#   gnome-keyring  gnome-keyring-daemon, with gcr-prompter activatable for its prompts
#   kwallet        kwalletd5 and its Secret Service side, wallet opened as by pam_kwallet
#   keepassxc      KeePassXC with its Secret Service integration on a fresh database
#
# The session has a fresh HOME, an Xvfb display, and a private session bus on which
# nothing else is activatable, so no other provider can step in when this one is
# killed. COMMAND gets:
#
#   SECRET_PROVIDER           the provider's name, as above
#   SECRET_PROVIDER_PASSWORD  the password that unlocks its store
#   SECRET_PROVIDER_CONTROL   a helper: reset, lock, unlock, kill, read, person; see
#                             provider-control.py
#
# Exits with COMMAND's status, or 77 (skipped) when the provider is not installed or
# cannot be started here. Leaves no process and no file behind, so runs can overlap
# (ctest -j).

# shellcheck disable=SC2317 # teardown's functions run from the EXIT trap
set -euo pipefail

usage() {
    echo "usage: $0 gnome-keyring|kwallet|keepassxc COMMAND [ARGS...]" >&2
    exit 2
}

[ $# -ge 2 ] || usage
provider=$1
shift
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    echo "secret-provider: skipped, $*" >&2
    exit 77
}

# WHAT did not start: says so with the tail of LOG, and ends the session.
fail_with_log() {
    echo "secret-provider: $1 did not start:" >&2
    tail -n 20 "$session_dir/$2" >&2
    exit 1
}

case $provider in
gnome-keyring) needed=(gnome-keyring-daemon /usr/libexec/gcr-prompter) ;;
kwallet) needed=(kwalletd5) ;;
keepassxc) needed=(keepassxc keepassxc-cli) ;;
*) usage ;;
esac
for tool in "${needed[@]}" Xvfb dbus-daemon xdotool; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
# python3-gi for the system's interpreter, which need not be the first on PATH.
/usr/bin/python3 -c 'import gi' 2>/dev/null || skip "python3-gi is not installed"
# Without QCA's OpenSSL plugin kwalletd refuses every encrypted session.
if [ "$provider" = kwallet ] && ! compgen -G '/usr/lib/*/qca-qt5/crypto/libqca-ossl.so' >/dev/null; then
    skip "libqca-qt5-2-plugins is not installed"
fi

# Nothing of the caller's desktop may leak in (see scripts/desktop-session.sh).
unset DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DBUS_SESSION_BUS_WINDOWID \
    DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE \
    GNOME_KEYRING_CONTROL GNOME_KEYRING_PID SSH_AUTH_SOCK \
    DISPLAY WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER \
    XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_CURRENT_DESKTOP DESKTOP_SESSION \
    QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS

session_dir=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-provider.XXXXXXXX")

# Every process of the session carries this variable, the providers that detach from
# us too; teardown finds them by it.
marker="ORLINDE_DESKTOP_SESSION=$session_dir"

session_processes() {
    grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
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
    echo "secret-provider: killing processes that ignored SIGTERM: $pids" >&2
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
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$TMPDIR" \
    "$session_dir/bus" "$session_dir/services" "$session_dir/provider"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

# -displayfd: the server picks a free display itself, so concurrent runs are safe.
mkfifo "$session_dir/displayfd"
env "$marker" Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    3>"$session_dir/displayfd" </dev/null >"$session_dir/xvfb.log" 2>&1 &
if ! read -r -t 15 display_number <"$session_dir/displayfd" || [ -z "$display_number" ]; then
    fail_with_log Xvfb xvfb.log
fi
export DISPLAY=:$display_number
export QT_QPA_PLATFORM=xcb

# Only what we list is activatable: gnome-keyring's prompter, nothing else.
if [ "$provider" = gnome-keyring ]; then
    for name in org.gnome.keyring.SystemPrompter org.gnome.keyring.PrivatePrompter; do
        printf '[D-BUS Service]\nName=%s\nExec=/usr/libexec/gcr-prompter\n' "$name" \
            >"$session_dir/services/$name.service"
    done
fi
cat >"$session_dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$session_dir/bus</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$session_dir/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
mkfifo "$session_dir/busaddress"
env "$marker" dbus-daemon --config-file="$session_dir/bus.conf" --nofork --print-address=3 \
    3>"$session_dir/busaddress" </dev/null >"$session_dir/bus.log" 2>&1 &
if ! read -r -t 15 DBUS_SESSION_BUS_ADDRESS <"$session_dir/busaddress"; then
    fail_with_log dbus-daemon bus.log
fi
export DBUS_SESSION_BUS_ADDRESS

export SECRET_PROVIDER=$provider
# Hex digits only: the person types it through xdotool.
SECRET_PROVIDER_PASSWORD=pw$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
export SECRET_PROVIDER_PASSWORD
export SECRET_PROVIDER_CONTROL=$here/provider-control.py
export SECRET_PROVIDER_STATE=$session_dir/provider

if ! env "$marker" "$SECRET_PROVIDER_CONTROL" reset; then
    skip "$provider could not be started"
fi

# In the background, so that a signal to this script is handled at once.
status=0
env "$marker" "$@" &
wait $! || status=$?
exit "$status"
