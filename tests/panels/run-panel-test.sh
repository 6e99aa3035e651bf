#!/usr/bin/env bash
# Usage: run-panel-test.sh PANEL BUNDLE VIRTUAL_POINTER ARTIFACT_DIR
#
# Runs panel-test.sh in a desktop session of its own (scripts/desktop-session.sh) on a
# 1024x640 screen. Panels such as sway refuse to run as root, so as root the session
# runs as the unprivileged user `nobody`, on copies of the bundle and the scripts
# that it can read; the screenshots are copied back to ARTIFACT_DIR.
set -euo pipefail

panel=$1
bundle=$2
virtual_pointer=$3
artifacts=$4
here=$(cd "$(dirname "$0")" && pwd)
session=$here/../../scripts/desktop-session.sh

if [ "$(id -u)" -ne 0 ]; then
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/orlinde-panel.XXXXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    cp -r "$bundle" "$scratch/Orlinde.app"
    status=0
    "$session" --screen 1024x640 "$here/panel-test.sh" "$panel" "$scratch/Orlinde.app" "$virtual_pointer" \
        "$artifacts" || status=$?
    exit "$status"
fi

scratch=$(mktemp -d /tmp/orlinde-panel.XXXXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"
cp -r "$bundle" "$scratch/Orlinde.app"
cp "$session" "$(dirname "$session")/session-common.sh" "$here/panel-test.sh" "$virtual_pointer" "$scratch/"
mkdir "$scratch/artifacts"
chown -R nobody:nogroup "$scratch"
status=0
setpriv --reuid=nobody --regid=nogroup --clear-groups env TMPDIR=/tmp \
    "$scratch/desktop-session.sh" --screen 1024x640 "$scratch/panel-test.sh" "$panel" "$scratch/Orlinde.app" \
    "$scratch/$(basename "$virtual_pointer")" "$scratch/artifacts" || status=$?
mkdir -p "$artifacts"
cp -r "$scratch/artifacts/." "$artifacts/"
exit "$status"
