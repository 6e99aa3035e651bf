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

# shellcheck source=scripts/session-common.sh
. "$here/../../../scripts/session-common.sh"
forget_callers_desktop
create_session secret-provider provider

on_exit end_session
make_home
mkdir -p "$session_dir/bus" "$session_dir/services" "$session_dir/provider"
start_xvfb 1280x1024

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
    fail_with_log "dbus-daemon did not start" bus.log
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
