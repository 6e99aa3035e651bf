#!/usr/bin/env bash
# Usage: [IDLE_SECONDS=60] bench/idle-bench.sh
#
# Prints, side by side, what the agent costs while nothing happens and what a bare Qt
# tray app built the same way (bench/baseline) costs: the time from start until the
# tray menu is exported, resident memory, wake-ups (voluntary context switches, all
# threads) and D-Bus messages sent, the last two per idle minute measured over
# IDLE_SECONDS. The agent supervises the demo collector, connected, so its status line
# is live. Also prints the refresh-pass figure of bench/collector-bench.sh.
#
# Everything runs in a throwaway desktop (scripts/desktop-session.py: private
# session bus, Xvfb, scratch HOME) with a stand-in tray host on the bus, and nothing is
# left running afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
idle_seconds=${IDLE_SECONDS:-60}

if [ "${1:-}" != --inside-desktop ]; then
    for tool in node /usr/bin/python3 dbus-monitor Xvfb dbus-daemon; do
        if ! command -v "$tool" >/dev/null; then
            echo "idle-bench: $tool is missing; run scripts/install-packages.sh" >&2
            exit 1
        fi
    done
    cmake --preset default >/dev/null
    if ! cmake --build --preset default -j2 --target orlinde_app orlinde_baseline >/dev/null; then
        echo "idle-bench: could not build orlinde_app and orlinde_baseline" >&2
        exit 1
    fi
    # Measured first and alone, so that it neither disturbs nor is disturbed by the idle minute.
    refresh=$(bench/collector-bench.sh 2000 20 | grep '^refresh pass' || true)
    exec scripts/desktop-session.py "$0" --inside-desktop "$refresh"
fi

refresh=$2
work=$(mktemp -d)
cp -r build/Orlinde.app "$work/"
demo/make-installation.sh "$work/Orlinde.app" "$work/root" >/dev/null

exec /usr/bin/python3 - "$work/Orlinde.app/Contents/MacOS/Orlinde" build/bench/orlinde_baseline \
    "$idle_seconds" "$refresh" <<'PYTHON'
import os
import re
import signal
import subprocess
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

agent_path, baseline_path, idle_seconds, refresh_line = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
context = GLib.MainContext.default()
WATCHER = 'org.kde.StatusNotifierWatcher'
INTROSPECTION = f'''<node><interface name="{WATCHER}">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
</interface>
<interface name="org.freedesktop.DBus.Properties">
<method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
<method name="GetAll"><arg type="s" direction="in"/><arg type="a{{sv}}" direction="out"/></method>
</interface></node>'''


class Watcher(dbus.service.Object):
    """The desktop's tray host, as far as an item can tell: records who registers."""

    def __init__(self):
        self.items = {}  # pid -> (unique name, path, monotonic time of registration)
        super().__init__(bus, '/StatusNotifierWatcher')
        self.name = dbus.service.BusName(WATCHER, bus)

    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = service if service.startswith('/') else '/StatusNotifierItem'
        pid = int(bus.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                                    'GetConnectionUnixProcessID', 's', [sender]))
        self.items.setdefault(pid, (sender, path, time.monotonic()))
        self.StatusNotifierItemRegistered(sender + path)

    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass

    # Qt asks the introspection data before it reads IsStatusNotifierHostRegistered,
    # and dbus-python's own leaves properties out.
    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature='s')
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        registered = [sender + path for sender, path, _ in self.items.values()]
        return {'RegisteredStatusNotifierItems': dbus.Array(registered, signature='s'),
                'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': dbus.Int32(0)}


def serve_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while context.pending():
            context.iteration(False)
        result = predicate()
        if result:
            return result
        time.sleep(0.002)
    return None


def menu_labels(sender, path):
    """The labels of the item's exported menu; None while it is not there yet."""
    try:
        item = bus.get_object(sender, path, introspect=False)
        menu = item.Get('org.kde.StatusNotifierItem', 'Menu', dbus_interface=dbus.PROPERTIES_IFACE)
        root = bus.get_object(sender, menu, introspect=False)
        _, (_, _, children) = root.GetLayout(0, -1, dbus.Array([], signature='s'),
                                             dbus_interface='com.canonical.dbusmenu')
    except dbus.DBusException:
        return None
    return [str(child[1].get('label', '')) for child in children] or None


class App:
    def __init__(self, name, executable):
        self.name = name
        self.started = time.monotonic()
        self.process = subprocess.Popen([executable], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        item = serve_until(lambda: watcher.items.get(self.process.pid), 30)
        if not item:
            sys.exit(f'idle-bench: {name} registered no tray item')
        self.sender, self.path, _ = item
        if not serve_until(lambda: menu_labels(self.sender, self.path), 30):
            sys.exit(f'idle-bench: {name} exported no menu')
        self.startup_ms = (time.monotonic() - self.started) * 1000

    def rss_kib(self):
        with open(f'/proc/{self.process.pid}/status') as status:
            return int(re.search(r'^VmRSS:\s+(\d+)', status.read(), re.M).group(1))

    def voluntary_switches(self):
        total = 0
        for task in os.listdir(f'/proc/{self.process.pid}/task'):
            try:
                with open(f'/proc/{self.process.pid}/task/{task}/status') as status:
                    total += int(re.search(r'^voluntary_ctxt_switches:\s+(\d+)', status.read(), re.M).group(1))
            except FileNotFoundError:
                pass
        return total

    def begin_idle(self):
        self.rss_before = self.rss_kib()
        self.switches_before = self.voluntary_switches()
        self.monitor_log = open(f'{os.environ["TMPDIR"]}/monitor-{self.process.pid}.log', 'w+')
        self.monitor = subprocess.Popen(['dbus-monitor', '--session', f"sender='{self.sender}'"],
                                        stdout=self.monitor_log, stderr=subprocess.DEVNULL)

    def end_idle(self, seconds):
        self.rss_after = self.rss_kib()
        self.threads = len(os.listdir(f'/proc/{self.process.pid}/task'))
        self.switches_per_minute = (self.voluntary_switches() - self.switches_before) * 60 / seconds
        self.monitor.terminate()
        self.monitor.wait()
        self.monitor_log.seek(0)
        header = re.compile(r'^(signal|method call|method return|error) .*sender=' + re.escape(self.sender)
                            + r' .*?(?:interface=(\S+); member=(\S+))?$')
        self.messages = []
        for line in self.monitor_log:
            match = header.match(line.rstrip('\n'))
            if match:
                self.messages.append(f'{match.group(1)} {match.group(2) or ""}.{match.group(3) or ""}')
        self.messages_per_minute = len(self.messages) * 60 / seconds

    def end(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


watcher = Watcher()
# One at a time, so that their start-ups do not compete for the CPU.
agent = App('Orlinde', agent_path)
if not serve_until(lambda: 'Connected to dashboard' in (menu_labels(agent.sender, agent.path) or []), 60):
    sys.exit('idle-bench: the agent never showed "Connected to dashboard"')
baseline = App('bare Qt tray', baseline_path)
apps = [agent, baseline]

serve_until(lambda: False, 3)  # settle: first paints, late replies
for app in apps:
    app.begin_idle()
serve_until(lambda: False, 1)  # the monitors attach
started = time.monotonic()
serve_until(lambda: False, idle_seconds)
elapsed = time.monotonic() - started
for app in apps:
    app.end_idle(elapsed)
still_connected = 'Connected to dashboard' in (menu_labels(agent.sender, agent.path) or [])
for app in apps:
    app.end()

rows = [
    ('start until menu exported (ms)', lambda a: f'{a.startup_ms:.0f}'),
    ('RSS at start of idle (MiB)', lambda a: f'{a.rss_before / 1024:.1f}'),
    ('RSS at end of idle (MiB)', lambda a: f'{a.rss_after / 1024:.1f}'),
    ('threads', lambda a: f'{a.threads}'),
    ('wake-ups per minute (voluntary cs)', lambda a: f'{a.switches_per_minute:.1f}'),
    ('D-Bus messages sent per minute', lambda a: f'{a.messages_per_minute:.1f}'),
]
print(f'idle window: {elapsed:.0f} s (IDLE_SECONDS={idle_seconds}); machine: {os.cpu_count()} cores')
print(f'{"":38} {"Orlinde":>12} {"bare Qt tray":>14}')
for label, value in rows:
    print(f'{label:38} {value(agent):>12} {value(baseline):>14}')
print(f'Orlinde status line at the end: {"Connected to dashboard" if still_connected else "not connected"}')
for app in apps:
    kinds = {}
    for message in app.messages:
        kinds[message] = kinds.get(message, 0) + 1
    for message, count in sorted(kinds.items()):
        print(f'  {app.name} sent: {count} x {message}')
print(refresh_line or 'refresh pass: collector-bench gave no figure')
PYTHON
