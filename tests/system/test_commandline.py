"""The app as a process of the session: its command line, one instance, every way it is
asked to end, the session ending under it, and where it finds its settings."""

import json
import os
import signal
import subprocess
import time

import pytest

from harness import atspi, bus
from harness.app import describe
from harness.waiting import EXIT_S, LAUNCH_S, serve, wait_for

SHIPPED = "com.tovrex.orlinde.app"
RENAMED = "com.example.orlinde.test"
NOTIFICATIONS = "com.tovrex.orlinde.Notifications"
ALERT = {"Install Orlinde first", "Open Install App.command from the top level of the extracted ZIP folder. "
         "That installer pairs this computer and installs the app."}
IGNORED_S = 1  # how long an app must ignore what it should ignore
DIRECTORY, FIFO = "directory", "FIFO"


def listens_for_quit(session, pid):
    rules = bus.call(session.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus.Debug.Stats", "GetAllMatchRules")[0]
    return any(f"interface='{NOTIFICATIONS}'" in rule and bus.pid_of(session.bus, name) == pid
               for name, listed in rules.items() for rule in listed)


def launch_listening(app, watcher):
    """Launched into the tray and listening for the quit notification."""
    app.launch_into_tray(watcher)
    wait_for(lambda: listens_for_quit(app.session, app.pid), LAUNCH_S, "a match rule for quit notifications")


def put(path, content):
    """Puts `content` at `path`: bytes, DIRECTORY, FIFO, or nothing for None."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if content == DIRECTORY:
        os.mkdir(path)
    elif content == FIFO:
        os.mkfifo(path)  # would block an open for as long as nobody writes to it
    elif content is not None:
        with open(path, "wb") as out:
            out.write(content)


@pytest.mark.parametrize("identifier, poster, posted, quits", [
    (RENAMED, "--quit-existing", None, True),
    ("plain", "--quit-existing", None, True),  # no bundle: both use the default identifier
    (FIFO, "--quit-existing", None, True),  # an Info.plist FIFO reads as missing, never waited on
    (RENAMED, "--quit-existing", "com.example.orlinde.other", False),
    (SHIPPED, "gdbus", SHIPPED + ".quit", True),  # what an installer script types
    (SHIPPED, "gdbus", "com.example.other.quit", False),
    (RENAMED, "gdbus", SHIPPED + ".quit", False),
])
def test_quit_notification_ends_only_the_instance_it_names(session, make_app, watcher, identifier, poster,
                                                          posted, quits):
    app = make_app(layout="plain" if identifier == "plain" else "bundle",
                   identifier=identifier if "." in identifier else None)
    if identifier == FIFO:
        os.mkfifo(app.info_plist)
    launch_listening(app, watcher)
    if poster == "gdbus":
        sent = session.run(["gdbus", "emit", "--session", "--object-path", "/com/tovrex/orlinde",
                            "--signal", NOTIFICATIONS + ".Posted", f"'{posted}'"], timeout=EXIT_S)
        assert sent.returncode == 0, sent.stderr
    else:
        assert (make_app(identifier=posted) if posted else app).run_once(poster)[0] == 0
    assert describe(app.wait_exit(EXIT_S if quits else IGNORED_S)) == describe(0 if quits else None)


@pytest.mark.parametrize("session, how", [
    *[(display, how) for display in ("x11", "wayland")
      for how in ("menu", signal.SIGTERM, signal.SIGINT, signal.SIGHUP)],
    ("x11", "Xvfb"), ("wayland", "weston"), ("x11", "dbus-daemon"),  # a logout on a desktop without systemd
], indirect=["session"])
def test_quit_termination_and_session_end_stop_the_collector(session, app, request, how):
    """However the app is asked to end, it ends with status 0 and its collector with it:
    nothing may run on beside the next login."""
    item = app.launch_into_tray(request.getfixturevalue("watcher")) if how == "menu" else app.start()
    app.wait_for_launches(1)
    if how == "menu":
        item.click("Quit for this session")
    elif how in ("Xvfb", "weston", "dbus-daemon"):
        next(p for p in session.spawned if p.args[0] == how).terminate()
    else:
        app.signal(how)
    assert describe(app.wait_exit()) == describe(0)
    wait_for(lambda: app.lines("signals") == app.lines("launches"), EXIT_S, "the collector asked to stop")
    # The toolkit may see the display go on a thread of its own; the ending runs on the
    # main thread all the same.
    assert "another thread" not in session.log("app.log")


@pytest.mark.parametrize("mode, status", [("--quit-existing", 0), ("--status", 3)])
def test_one_shot_modes_need_no_session_bus_and_start_none(session, app, mode, status):
    """An installer may run them outside any session: they must neither hang nor start a
    bus of their own through the display."""
    env = {k: v for k, v in session.env.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
    env.update({"XDG_RUNTIME_DIR": session.path("tmp"), session.marker[0]: session.marker[1]})
    running = session.processes()
    done = subprocess.run([app.executable, mode], env=env, capture_output=True, timeout=EXIT_S)
    assert done.returncode == status, done.stderr
    assert session.processes() <= running, "a process was left running"


def test_second_start_starts_nothing(app, watcher):
    app.launch_into_tray(watcher)
    app.wait_for_launches(1)
    assert app.run_once(seconds=3 * LAUNCH_S)[0] == 0
    assert (len(watcher.items), len(app.lines("launches"))) == (1, 1)
    assert app.process.poll() is None


def test_start_right_after_quit_existing_takes_over(make_app, watcher):
    old, upgraded = make_app(), make_app()
    launch_listening(old, watcher)
    assert old.run_once("--quit-existing")[0] == 0
    upgraded.launch_into_tray(watcher)
    assert describe(old.wait_exit()) == describe(0)
    upgraded.wait_for_launches(1)
    assert upgraded.process.poll() is None


@pytest.mark.parametrize("session, display", [(None, None), (None, ":9999")], indirect=["session"])
def test_without_a_display_the_start_is_a_configuration_error(session, app, display):
    """A login manager that never imported the display: retrying cannot help (78, which
    the login unit does not retry), and one line says why."""
    app.start(env={"DISPLAY": display} if display else None)
    assert describe(app.wait_exit()) == describe(78)
    output = session.log("app.log")
    assert output.startswith("Orlinde: ") and output.count("\n") == 1, output
    assert app.lines("launches") == []


@pytest.mark.parametrize("session", [None], indirect=True)
def test_a_bare_x_server_is_not_reset_by_the_start(session, app):
    """An X server without -noreset (xinit's) resets when its last client leaves: the
    display check before the toolkit connects must not be that last client."""
    display = session.start_x((640, 480), options=("-audit", "4"), log="x.log")
    app.start(env={"DISPLAY": display, "QT_QPA_PLATFORM": "xcb"})
    app.wait_for_launches(1)
    clients = 0
    with open(session.path("x.log")) as audit:
        for line in (line.strip() for line in audit if line.startswith("AUDIT:")):
            clients += 1 if " connected from " in line else -1 if line.endswith(" disconnected") else 0
            assert clients > 0, f"the server was left without clients (a reset) at: {line}"
    assert clients > 0, "the app never connected"
    app.signal()
    assert describe(app.wait_exit()) == describe(0)


@pytest.mark.parametrize("session, layout, where, content", [
    ("x11", "bundle", "bundle", None),
    ("wayland", "bundle", "bundle", None),
    ("x11", "plain", "bundle", None),  # nothing beside the executable
    ("x11", "bundle", "bundle", DIRECTORY),
    ("x11", "bundle", "bundle", FIFO),
    ("x11", "bundle", "bundle", b'{"node": "/usr/bin/node", '),
    ("x11", "bundle", "bundle", "without appExecutable"),  # one missing key stands for all
    ("x11", "bundle", "user", b"{}"),  # an unusable per-user file hides the bundle's
], indirect=["session"])
def test_without_usable_settings_an_alert_says_to_install_first(session, make_app, watcher, layout, where, content):
    atspi.enable(session)
    app = make_app(layout=layout)
    if content == "without appExecutable":
        content = json.dumps({k: v for k, v in app.settings.items() if k != "appExecutable"}).encode()
    put(f"{session.env['XDG_CONFIG_HOME']}/{SHIPPED}/settings.json" if where == "user" else app.settings_path, content)
    app.start(settings=None if where == "user" else False)
    wait_for(lambda: ALERT <= set(atspi.texts_of(session, app.pid)), LAUNCH_S, f"the alert's texts {ALERT}")
    assert watcher.items == []
    assert atspi.press(session, app.pid, "OK")
    assert describe(app.wait_exit()) == describe(0), session.log("app.log")
    assert watcher.items == []


@pytest.mark.parametrize("identifier, config_home, bundle_too", [
    (None, "absolute", False),  # a package's bundle holds no settings
    (RENAMED, "relative", False),  # ~/.config stands in; the folder follows the identifier
    (None, "absolute", True),  # both there: the user's own wins
])
def test_per_user_settings_come_first(session, make_app, watcher, identifier, config_home, bundle_too):
    app = make_app(identifier=identifier)
    absolute = config_home == "absolute"
    env = {"XDG_CONFIG_HOME": session.path("config") if absolute else "relative/config"}
    folder = env["XDG_CONFIG_HOME"] if absolute else f"{session.env['HOME']}/.config"
    put(f"{folder}/{identifier or SHIPPED}/settings.json", json.dumps(app.settings).encode())
    elsewhere = {**app.settings, "root": session.path("no-such-root")}
    app.launch_into_tray(watcher, env=env, settings=elsewhere if bundle_too else False)
    app.wait_for_launches(1)


@pytest.mark.parametrize("state, asker, status, line", [
    ("connected", None, 0, "Connected to dashboard"),
    ("paused", None, 1, "Reporting paused"),
    ("connected", "com.example.orlinde.other", 3, None),  # another installation asks
    ("stopped", None, 3, None),  # holds its name but does not answer
    (None, None, 3, None),  # no instance at all
])
def test_status_prints_the_menus_status_line(make_app, watcher, state, asker, status, line):
    app = make_app()
    if state:
        item = app.launch_into_tray(watcher)
        app.wait_for_launches(1)
        app.collector_mode("connected")
        if state == "paused":
            item.click("Pause reporting")
            wait_for(lambda: app.lines("signals"), EXIT_S, "the paused collector asked to stop")
        item.wait_for_status("Reporting paused" if state == "paused" else "Connected to dashboard")
        before = item.entries(), app.lines("launches"), app.lines("signals")
        if state == "stopped":
            app.signal(signal.SIGSTOP)
    started = time.monotonic()
    code, out, err = (make_app(identifier=asker) if asker else app).run_once("--status")
    answered_in = time.monotonic() - started
    if state == "stopped":
        app.signal(signal.SIGCONT)
    assert (code, out.decode()) == (status, f"{line}\n" if line else "")
    assert err.decode().count("\n") == (0 if line else 1), err
    if state == "stopped":  # given up on after 3 s; how fast a live one answers is benchmarked
        assert answered_in > 2.5, answered_in
    if state:
        serve(IGNORED_S)
        assert (item.entries(), app.lines("launches"), app.lines("signals")) == before
        assert app.process.poll() is None
