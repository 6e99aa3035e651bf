"""A desktop session that a systemd user manager runs, as at a graphical login: the
manager's own user bus is the session bus, and a target of ours plays the login and the
logout (graphical-session.target refuses a manual start).

The manager needs root here, for a cgroup and a mount namespace of its own; where the
machine cannot run it, the test is skipped saying why."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from . import bus
from .session import Session
from .waiting import LAUNCH_S, Timeout, wait_for

TARGET = "orlinde-session.target"
TARGET_UNIT = """[Unit]
Description=Stand-in for a desktop session, from login to logout
BindsTo=graphical-session.target
Before=graphical-session.target
"""

# The manager joins the cgroups given as arguments, then enters a mount namespace of its
# own: there the tmpfs over /run/systemd holds the system/ folder by which the manager
# recognises a systemd machine, and the one over /etc/systemd/user keeps the units this
# machine's administrator enabled out of the tests. It hands its environment to its units.
START_MANAGER = """for cgroup; do echo $$ >"$cgroup/cgroup.procs"; done
exec unshare --mount --propagation private -- sh -c '
set -e
mount -t tmpfs tmpfs /run/systemd
mkdir /run/systemd/system
if [ -d /etc/systemd/user ]; then mount -t tmpfs tmpfs /etc/systemd/user; fi
exec env -i HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" PATH="$PATH" LANG=C.UTF-8 \\
    {marker}="${marker}" SYSTEMD_LOG_TARGET=console systemd --user --default-standard-output=inherit'
"""


def cgroup_hierarchies():
    """Every hierarchy systemd uses: the unified one and, on a hybrid layout, the named v1 one."""
    if os.path.exists("/sys/fs/cgroup/cgroup.controllers"):
        return ["/sys/fs/cgroup"]
    return [h for h in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup/systemd")
            if os.path.exists(f"{h}/cgroup.procs")]


def unusable_reason():
    if os.getuid() != 0:
        return "needs root, for a cgroup and a mount namespace of its own"
    for tool in ("systemd", "systemctl", "unshare", "nsenter", "dbus-daemon"):
        if not shutil.which(tool):
            return f"{tool} is not installed"
    if not os.path.exists("/usr/lib/systemd/user/dbus.socket"):
        return "no user bus socket unit (package dbus-user-session)"
    if not os.path.isdir("/run/systemd"):
        return "/run/systemd does not exist to be covered"
    if not cgroup_hierarchies():
        return "no cgroup hierarchy that systemd can use is mounted"
    return None


class SystemdSession(Session):
    """A Session (X11, no keyring) whose bus is a systemd user manager's: `manager` is
    the manager's process, `ready_s` how long it took to come up."""

    def __init__(self, **kw):
        self.manager = None
        self.cgroups = []
        reason = unusable_reason()
        if reason:
            pytest.skip(reason)
        super().__init__(keyring=False, **kw)

    def _start_bus(self, activatable):
        os.makedirs(self.path("run/systemd/user"))
        # Outside ~/.config, where the tests look for what the app leaves behind.
        with open(self.path(f"run/systemd/user/{TARGET}"), "w") as unit:
            unit.write(TARGET_UNIT)
        self.cgroups = [os.path.join(h, os.path.basename(self.dir)) for h in cgroup_hierarchies()]
        for cgroup in self.cgroups:
            os.mkdir(cgroup)

        started = time.monotonic()
        script = START_MANAGER.format(marker=self.marker[0])
        self.manager = self.spawn(["sh", "-c", script, "sh", *self.cgroups], log="manager.log")

        def alive(condition):
            if self.manager.poll() is not None:
                pytest.skip("this machine cannot run a systemd user manager: " + self.log("manager.log"))
            return condition()

        self.address = f"unix:path={self.path('run/bus')}"
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.address

        def connected():  # the socket file appears a moment before it listens
            try:
                return bus.connect(self.address)
            except bus.GLib.Error:
                return None

        self.bus = wait_for(lambda: alive(connected), LAUNCH_S, "the user bus to accept connections")
        # The manager joins its bus only once the bus has started, after the socket appears.
        wait_for(lambda: alive(lambda: self.systemctl("is-system-running") in ("running", "degraded")
                               and bus.owner(self.bus, "org.freedesktop.systemd1")),
                 2 * LAUNCH_S, "the manager to finish starting and join its bus")
        self.ready_s = time.monotonic() - started

    def start_x(self, screen):
        super().start_x(screen)
        # What a desktop does before it starts graphical-session.target.
        self.systemctl("set-environment", f"DISPLAY={self.env['DISPLAY']}")

    def systemctl(self, *args):
        """systemctl --user, inside the manager's mount namespace (outside, it sees no
        systemd); its standard output."""
        done = self.run(["nsenter", "--mount", f"--target={self.manager.pid}", "--",
                         "systemctl", "--user", *args], timeout=LAUNCH_S)
        return done.stdout.decode().strip()

    def unit(self, name):
        """The unit's properties as `systemctl show` gives them."""
        return dict(line.split("=", 1) for line in self.systemctl("show", name).splitlines())

    def stopped(self, name, seconds=LAUNCH_S):
        """The unit's properties once it has stopped for good: inactive or failed, with no
        job queued (a pending restart shows as activating)."""
        seen = {}

        def resting():
            seen.clear()
            seen.update(self.unit(name))
            return not seen.get("Job") and seen["ActiveState"] in ("inactive", "failed")

        try:
            wait_for(resting, seconds, f"{name} to stop for good", poll=0.2)
        except Timeout as late:
            raise Timeout(f"{late}: {seen['ActiveState']}/{seen['SubState']}, "
                          f"{seen['NRestarts']} restarts") from None
        return seen

    def log_in(self):
        self.systemctl("start", TARGET)
        # Once no job is queued, what the login set in motion has happened.
        wait_for(lambda: self.systemctl("list-jobs").startswith("No jobs"), LAUNCH_S, "the login to finish")

    def close(self):
        """The manager stops its units as at logout; the session's teardown ends whatever
        outlives it (all of it carries the session's marker), then the cgroups go."""
        if self.manager and self.manager.poll() is None:
            self.manager.send_signal(signal.SIGCONT)
            self.manager.terminate()
            try:
                self.manager.wait(15)
            except subprocess.TimeoutExpired:
                print("the manager did not exit within 15 s")
        super().close()
        for cgroup in self.cgroups:
            for folder, _, _ in sorted(os.walk(cgroup), key=lambda walked: -len(walked[0])):
                os.rmdir(folder)
