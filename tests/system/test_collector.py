"""The agent with a real Node.js collector: supervised, logged and stopped as the tray
menu says, and never two of them for one installation."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from harness.session import process_table
from harness.waiting import EXIT_S, LAUNCH_S, serve, wait_for

RELAUNCH_S = 20  # the 10 s back-off and a tick, on a busy machine
LOG_BOUND = 1_048_576 + 65_536  # the rotation threshold and one read from the pipe


def has_ended(pid):
    return int(pid) not in process_table()  # gone, or ended and not yet reaped


def test_status_line_follows_the_collector(app, watcher):
    item = app.launch_into_tray(watcher)
    app.wait_for_launches(1)
    assert item.status_line() == "Starting collector\u2026"
    app.collector_mode("connected")
    item.wait_for_status("Connected to dashboard")
    # With its script gone the collector cannot come back, whatever the back-off says.
    os.rename(app.in_root("collector.mjs"), app.in_root("hidden"))
    os.kill(int(app.lines("launches")[0]), signal.SIGKILL)
    item.wait_for_status("Collector restarting\u2026", RELAUNCH_S)
    os.rename(app.in_root("hidden"), app.in_root("collector.mjs"))
    app.wait_for_launches(2, RELAUNCH_S)
    item.wait_for_status("Connected to dashboard")


def test_show_logs_opens_the_error_log(app, watcher, opener):
    item = app.launch_into_tray(watcher, env=opener.env)
    item.click("Show logs")
    assert wait_for(opener.calls, LAUNCH_S, "the opener") == [f"1:file://{app.in_root('.data/app-error.log')}"]


def test_ending_during_an_alert_launches_nothing(app, watcher):
    """SIGTERM while an alert runs its own loop, the collector dead and its back-off
    over: nothing launches a collector again, whatever runs when that loop returns."""
    open(app.in_root("blocker"), "w").close()
    app.settings["launchAgent"] = app.in_root("blocker/agent.plist")
    item = app.launch_into_tray(watcher)
    app.wait_for_launches(1)
    first = app.lines("launches")[0]
    serve(10.5)  # the launch's back-off runs out
    item.click("Start at login")
    wait_for(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(app.pid)],
                                    env=app.session.env, capture_output=True).stdout, LAUNCH_S, "the alert")
    os.kill(int(first), signal.SIGKILL)
    wait_for(lambda: has_ended(first), EXIT_S, "the collector to end")
    app.signal(signal.SIGTERM)
    assert app.wait_exit() == 0
    assert app.lines("launches") == [first]


@pytest.fixture
def fuse_root(session):
    """A root on a FUSE filesystem (bindfs), which refuses rename flags as NFS does."""
    if os.getuid() != 0 or not shutil.which("bindfs") or not os.path.exists("/dev/fuse"):
        pytest.skip("needs root, bindfs and /dev/fuse")
    below, mounted = session.path("below"), session.path("fuse")
    os.makedirs(below)
    os.makedirs(mounted)
    subprocess.run(["bindfs", below, mounted], check=True)
    yield mounted
    subprocess.run(["fusermount", "-u", "-z", mounted])


@pytest.mark.parametrize("where", ["local", "fuse", "a folder in the way of app.log.1"])
def test_logs_stay_bounded_while_the_collector_runs_on(request, app, where):
    if where == "fuse":
        root = request.getfixturevalue("fuse_root")
        shutil.copytree(app.root, root, dirs_exist_ok=True)
        app.root = app.settings["root"] = root
    if where.startswith("a folder"):
        os.mkdir(app.in_root(".data/app.log.1"))
    app.collector_mode("output", "400000")
    app.start()
    log = app.in_root(".data/app.log")

    def size(path):
        return os.path.getsize(path) if os.path.isfile(path) else 0

    if where.startswith("a folder"):
        # Rotation cannot succeed: the log grows, and the collector is left alone.
        wait_for(lambda: size(log) > 3 * 1_048_576, LAUNCH_S, "app.log to grow past 3 MiB")
    else:
        generation = wait_for(lambda: size(log + ".1") and os.stat(log + ".1").st_ino, LAUNCH_S, "a rotation")
        wait_for(lambda: size(log + ".1") and os.stat(log + ".1").st_ino != generation, LAUNCH_S, "a second rotation")
        assert max(size(log), size(log + ".1")) <= LOG_BOUND
    assert len(app.lines("launches")) == 1 and app.process.poll() is None


def test_a_collector_left_by_a_killed_agent_ends_before_the_next_is_launched(app):
    app.collector_mode("orphan")
    app.start()
    app.wait_for_launches(1)
    first = app.lines("launches")[0]
    app.signal(signal.SIGKILL)
    app.wait_exit()
    assert not has_ended(first)
    restarted = time.monotonic()
    app.start()
    app.wait_for_launches(2, RELAUNCH_S)
    ended = time.monotonic() - restarted
    assert has_ended(first) and app.lines("signals")[0] == first
    print(f"leftover ended and a new collector launched {ended:.1f} s after the agent started again")
