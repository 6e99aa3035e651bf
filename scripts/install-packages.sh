#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
# Idempotent; uses sudo when not already root.
set -euo pipefail

packages=(
    build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools qt6-wayland libxcb1-dev
    libsecret-1-dev libplist-dev libplist-utils
    dbus at-spi2-core gnome-keyring libsecret-tools libglib2.0-bin python3 python3-dbus python3-gi
    xvfb xdotool x11-utils xdg-utils openbox tint2 imagemagick weston
    desktop-file-utils file nodejs systemd
    keepassxc libkf5wallet-bin libqca-qt5-2-plugins gcr dbus-user-session procps
    sway waybar xfce4-panel xfconf trayer lxqt-panel grim wtype tesseract-ocr tesseract-ocr-eng libwayland-dev
    python3-pytest python3-pil bindfs lintian man-db firefox-esr chromium
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
