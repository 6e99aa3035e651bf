#!/usr/bin/env bash
# Usage: panel-test.sh PANEL BUNDLE VIRTUAL_POINTER ARTIFACT_DIR
#
# The app in a real panel, driven as a person would, inside scripts/desktop-session.sh
# (its Xvfb, bus and HOME). PANEL is one of
#   xfce     xfce4-panel with its systray plugin (StatusNotifierItem host) on X11
#   waybar   waybar on headless sway, run here (sway refuses root: run this as a user)
#   trayer   trayer, an XEmbed-only tray on X11
#   plasma   plasmashell with kded5 on X11 (tried by hand, not in CI)
#   gnome    GNOME Shell with the AppIndicator extension on X11 (tried by hand)
# Checks, in order: the app started 5 s before the panel gets its icon (a screenshot
# differs from the empty panel); left and right click each open a popup menu, not a
# window, whose text (read by OCR) has the live status line; a restarted panel gets the
# icon back; no "no tray" notice by the end of the grace period; "Quit for this
# session" clicked in the menu ends the app with status 0. Screenshots stay in
# ARTIFACT_DIR. With PANEL_IDLE_SECONDS set, the app's RSS after that long idle is printed.
set -euo pipefail

panel=$1
bundle=$2
virtual_pointer=$3
artifacts=$4
mkdir -p "$artifacts"
work=$TMPDIR/panel-test
mkdir -p "$work"
width=1024
height=640

fail() {
    echo "FAIL ($panel): $*" >&2
    [ -e "$work/now.png" ] && cp "$work/now.png" "$artifacts/failure.png"
    cp "$work"/*.log "$artifacts/"
    for log in "$work"/*.log; do
        [ "$log" = "$work/bus.log" ] && continue
        echo "--- $(basename "$log")" >&2
        tail -n 15 "$log" >&2
    done
    exit 1
}

# Polls COMMAND every 0.2 s for up to SECONDS.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

background() {
    local log=$1
    shift
    "$@" </dev/null >"$work/$log" 2>&1 &
    last_pid=$!
}

# What a person sees and does, on X11 or on sway.
wayland=false
[ "$panel" = waybar ] && wayland=true

screenshot() {
    if $wayland; then grim "$1"; else import -window root "$1"; fi
}

pointer() {
    echo "$*" >&"${pointer_in}"
    local answer
    read -r -t 10 answer <&"${pointer_out}" && [ "$answer" = ok ]
}

click() {
    if $wayland; then
        pointer move "$1" "$2" && pointer click "$3"
    else
        xdotool mousemove --sync "$1" "$2" click "$3"
    fi
}

# Away from the panel, so that no hover shows in a screenshot.
park_pointer() {
    if $wayland; then pointer move $((width / 2)) $((height - 10)); else xdotool mousemove --sync $((width / 2)) $((height - 10)); fi
}

# The app's own windows: a tray host draws the menu itself, so there are none; in an
# XEmbed tray there are the icon and the app's popup menu, but no toplevel.
app_windows() {
    if $wayland; then
        swaymsg -t get_tree | grep -c "\"pid\": $app_pid," || true
        return
    fi
    local window count=0
    for window in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
        if [ "$panel" = trayer ]; then
            [ "$window" = "$xembed_icon" ] && continue
            xwininfo -id "$window" | grep -q 'Override Redirect State: yes' && continue
        fi
        count=$((count + 1))
    done
    echo "$count"
}

start_display() {
    if $wayland; then
        unset DISPLAY
        printf 'xwayland disable\noutput HEADLESS-1 resolution %dx%d\n' "$width" "$height" >"$work/sway.conf"
        WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman background sway.log sway -c "$work/sway.conf"
        sway_listens() {
            local socket
            for socket in "$XDG_RUNTIME_DIR"/wayland-[0-9]*; do
                [ -S "$socket" ] && WAYLAND_DISPLAY=$(basename "$socket") && return 0
            done
            return 1
        }
        wait_until 20 sway_listens || fail "sway did not start"
        SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock)
        export WAYLAND_DISPLAY SWAYSOCK QT_QPA_PLATFORM=wayland GDK_BACKEND=wayland
        coproc POINTER { "$virtual_pointer" "$width" "$height" 2>"$work/pointer.log"; }
        pointer_in=${POINTER[1]}
        pointer_out=${POINTER[0]}
    else
        [ "$(xdpyinfo | awk '/dimensions:/ { print $2 }')" = "${width}x${height}" ] ||
            fail "the screen is not ${width}x${height}"
    fi
}

start_panel() {
    case $panel in
    xfce)
        if ! xfconf-query -c xfce4-panel -p /panels >/dev/null 2>&1; then
            xfconf-query -c xfce4-panel -p /panels -n -a -t int -s 1
            xfconf-query -c xfce4-panel -p /panels/panel-1/position -n -t string -s 'p=6;x=0;y=0'
            xfconf-query -c xfce4-panel -p /panels/panel-1/size -n -t uint -s 30
            xfconf-query -c xfce4-panel -p /panels/panel-1/length -n -t uint -s 100
            xfconf-query -c xfce4-panel -p /panels/panel-1/plugin-ids -n -a -t int -s 1
            xfconf-query -c xfce4-panel -p /plugins/plugin-1 -n -t string -s systray
        fi
        background panel.log xfce4-panel --disable-wm-check
        ;;
    waybar)
        echo '{ "position": "top", "height": 30, "modules-right": ["tray"], "tray": { "icon-size": 22 } }' \
            >"$work/waybar.json"
        background panel.log waybar -c "$work/waybar.json"
        ;;
    trayer)
        background panel.log trayer --edge top --align right --widthtype request --height 30 \
            --SetDockType true --transparent false
        ;;
    plasma)
        pgrep -x openbox >/dev/null || background openbox.log openbox
        if ! pgrep -x kded5 >/dev/null; then
            background kded.log kded5
            # The watcher is a kded module that a Plasma session's startup would load.
            kded_module() {
                gdbus call --session -d org.kde.kded5 -o /kded -m org.kde.kded5.loadModule statusnotifierwatcher |
                    grep -q true
            }
            wait_until 30 kded_module || fail "kded5 has no statusnotifierwatcher"
        fi
        background activities.log /usr/lib/x86_64-linux-gnu/libexec/kactivitymanagerd
        background panel.log plasmashell --no-respawn
        # Between the task manager and the clock, on this screen.
        tray_area=60x40+650+$((height - 40))
        ;;
    gnome)
        # GNOME Shell wants a system bus; a private one will do.
        if [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ]; then
            background system-bus.log dbus-daemon --session --nofork --address="unix:path=$work/system-bus"
            wait_until 10 test -S "$work/system-bus" || fail "no system bus"
            export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system-bus
            gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com']"
        fi
        tray_area=$((width / 2 - 80))x32+$((width / 2 + 80))+0
        ocr_contrast=(-negate -threshold 65%)
        background panel.log gnome-shell --x11 --replace
        ;;
    esac
    panel_pid=$last_pid
}

stop_panel() {
    kill -TERM "$panel_pid"
    panel_gone() { ! kill -0 "$panel_pid" 2>/dev/null; }
    wait_until 20 panel_gone || fail "the panel did not stop"
}

watcher_get() {
    gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
        -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher "$1" 2>/dev/null
}

# A panel that has started is not yet a host: its host registers on the bus.
panel_ready() {
    if [ "$panel" = trayer ]; then
        xdotool search --onlyvisible --class trayer >/dev/null 2>&1
    else
        watcher_get IsStatusNotifierHostRegistered | grep -q true
    fi
}

item_registered() {
    if [ "$panel" = trayer ]; then
        xembed_icon=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n 1)
        [ -n "$xembed_icon" ]
    else
        local item
        for item in $(watcher_get RegisteredStatusNotifierItems | grep -oE ':[0-9]+\.[0-9]+'); do
            gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
                -m org.freedesktop.DBus.GetConnectionUnixProcessID "$item" | grep -q "uint32 $app_pid," && return 0
        done
        return 1
    fi
}

# The region of the tray where NOW differs from the empty panel, as WxH+X+Y; fails
# while there is none. Panels with a clock have their tray elsewhere.
tray_area=${width}x${height}+0+0
ocr_contrast=(-threshold 88%)
icon_shown() {
    park_pointer
    screenshot "$work/now.png"
    local offset=${tray_area#*+}
    icon=$(convert "$artifacts/empty-panel.png" "$work/now.png" -crop "$tray_area" +repage \
        -compose difference -composite -colorspace gray -threshold 10% -format '%@' info: 2>/dev/null)
    [ "${icon%%x*}" -gt 4 ] || return 1
    local at=${icon#*+}
    icon="${icon%%+*}+$((${at%+*} + ${offset%+*}))+$((${at#*+} + ${offset#*+}))"
}

# Text on screen, from tesseract on a screenshot scaled up 3 times; word boxes in TSV.
read_screen() {
    screenshot "$work/now.png"
    # Black on white, greyed-out entries too.
    convert "$work/now.png" -resize 300% -colorspace gray "${ocr_contrast[@]}" "$work/ocr.png"
    tesseract "$work/ocr.png" "$work/ocr" --psm 11 tsv >/dev/null 2>&1
    screen_text=$(awk -F'\t' 'NR > 1 && $12 != "" { printf "%s ", $12 }' "$work/ocr.tsv")
}

menu_shown() {
    read_screen
    [[ $screen_text == *"Quit for this session"* ]]
}

menu_closed() {
    read_screen
    [[ $screen_text != *"Quit for this"* ]]
}

icon_centre() {
    local size=${icon%%+*} at=${icon#*+}
    echo $((${at%+*} + ${size%x*} / 2)) $((${at#*+} + ${size#*x} / 2))
}

check_menu() {
    local button=$1 name=$2 x y
    read -r x y < <(icon_centre)
    click "$x" "$y" "$button"
    wait_until 20 menu_shown || fail "$name click on the icon at $x,$y showed no menu (screen: $screen_text)"
    cp "$work/now.png" "$artifacts/menu-$name.png"
    [[ $screen_text == *"Connected to dashboard"* ]] ||
        fail "the $name-click menu has no live status line: $screen_text"
    [ "$(app_windows)" = 0 ] || fail "the $name click opened a window of the app"
    if [ "$panel" = trayer ]; then
        # The app draws this menu: beside the icon, not over it.
        local menu
        menu=$(xdotool search --onlyvisible --pid "$app_pid" | grep -vx "$xembed_icon" | head -n 1)
        eval "$(xdotool getwindowgeometry --shell "$xembed_icon" | sed 's/^/icon_/')"
        eval "$(xdotool getwindowgeometry --shell "$menu")"
        # shellcheck disable=SC2153,SC2154 # set by xdotool
        if [ "$X" -lt $((icon_X + icon_WIDTH)) ] && [ "$icon_X" -lt $((X + WIDTH)) ] &&
            [ "$Y" -lt $((icon_Y + icon_HEIGHT)) ] && [ "$icon_Y" -lt $((Y + HEIGHT)) ]; then
            fail "the $name-click menu (${WIDTH}x${HEIGHT}+$X+$Y) covers the icon (${icon_WIDTH}x${icon_HEIGHT}+$icon_X+$icon_Y)"
        fi
    fi
    echo "$name click: popup menu with \"Connected to dashboard\"" >&2
}

close_menu() {
    if $wayland; then wtype -k Escape; else xdotool key Escape; fi
    wait_until 10 menu_closed || { park_pointer && click $((width / 2)) $((height / 2)) 1; }
    wait_until 10 menu_closed || fail "the menu did not close"
}

start_display
# The notification area as the bus sees it: every Notify call, answered or not.
background notifications.log dbus-monitor --session "interface='org.freedesktop.Notifications'"
# The whole bus too, kept with the screenshots when a check fails.
background bus.log dbus-monitor --session
probe() {
    gdbus emit --session --object-path /probe --signal org.freedesktop.Notifications.Probe >/dev/null
    grep -q 'member=Probe' "$work/notifications.log"
}
wait_until 10 probe || fail "dbus-monitor sees no notification calls"

start_panel
wait_until 60 panel_ready || fail "the panel did not become a tray host"
park_pointer
# GNOME Shell and Plasma register their host before they first draw: the screen is
# still black.
panel_drawn() {
    screenshot "$artifacts/empty-panel.png"
    case $panel in
    gnome | plasma)
        convert "$artifacts/empty-panel.png" -format '%[fx:standard_deviation > 0.01]' info: | grep -qx 1
        ;;
    esac
}
wait_until 20 panel_drawn || fail "the panel shows nothing"
stop_panel

# An idle collector that reports a live connection, and settings pointing at it.
root=$work/root
mkdir -p "$root/.data"
cat >"$root/collector.mjs" <<'EOF'
import { renameSync, writeFileSync } from 'node:fs';
const file = new URL('.data/desktop-status.json', import.meta.url);
setInterval(() => {
    writeFileSync(`${file.pathname}.tmp`, JSON.stringify({ at: Date.now(), connected: true }));
    renameSync(`${file.pathname}.tmp`, file);
    try { process.kill(Number(process.env.ORLINDE_PARENT_PID), 0); } catch { process.exit(0); }
}, 1000);
EOF
executable=$bundle/Contents/MacOS/Orlinde
cat >"$bundle/Contents/Resources/settings.json" <<EOF
{ "node": "$(command -v node)", "root": "$root", "hub": "http://127.0.0.1:9",
  "launchAgent": "$root/autostart/com.tovrex.orlinde.desktop", "appExecutable": "$executable" }
EOF
"$executable" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!
app_started=$SECONDS

# An agent started at login comes up before the panel.
sleep 5
start_panel
wait_until 60 panel_ready || fail "the panel did not become a tray host"
wait_until 20 item_registered || fail "the app's item did not register with the panel started after it"
wait_until 20 icon_shown || fail "no icon on the panel (no difference from the empty panel)"
cp "$work/now.png" "$artifacts/icon.png"
convert "$work/now.png" -crop "$icon" +repage -scale 800% "$artifacts/icon-zoomed.png"
echo "icon: $icon" >&2

wait_until 20 test -s "$root/.data/desktop-status.json" || fail "the collector reported nothing"
check_menu 1 left
close_menu
check_menu 3 right
close_menu

stop_panel
start_panel
wait_until 60 panel_ready || fail "the restarted panel did not become a tray host"
wait_until 20 item_registered || fail "the app's item did not register with the restarted panel"
wait_until 20 icon_shown || fail "no icon on the restarted panel"
echo "restarted panel: icon back" >&2

if [ -n "${PANEL_IDLE_SECONDS:-}" ]; then
    sleep "$PANEL_IDLE_SECONDS"
    echo "RSS after ${PANEL_IDLE_SECONDS} s idle: $(awk '/VmRSS/ { print $2, $3 }' "/proc/$app_pid/status")" >&2
fi
# Past the end of the app's grace period (platform::trayHostGraceMs, 10 s), which is
# what is tested here, not a wait for the app.
while [ $((SECONDS - app_started)) -le 12 ]; do sleep 0.5; done
! grep -q 'without its tray icon' "$work/notifications.log" || fail "the app said there is no tray"

check_menu 1 quit
read -r x y < <(awk -F'\t' 'NR > 1 && $12 == "Quit" { print int(($7 + $9 / 2) / 3), int(($8 + $10 / 2) / 3); exit }' "$work/ocr.tsv")
click "$x" "$y" 1
status=0
app_gone() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_until 10 app_gone || fail "Quit did not end the app"
wait "$app_pid" || status=$?
[ "$status" = 0 ] || fail "the app exited with status $status after Quit"
echo "PASS ($panel): icon, left and right click menus, restarted panel, no notice, Quit exits 0" >&2
