"""The "Start at login" switch with a real systemd user manager: the menu, logins played
by a target, and the desktops that run autostart entries themselves."""

import os
import pathlib
import plistlib
import shutil
import signal
import time

import pytest

from harness import atspi
from harness.systemd import SystemdSession
from harness.waiting import EXIT_S, LAUNCH_S, wait_for

LABEL = "com.tovrex.orlinde-e2e"
UNIT = r"com.tovrex.orlinde\x2de2e.service"
ENTRY = f"autostart/{LABEL}.desktop"


@pytest.fixture
def session():
    desktop = SystemdSession()
    yield desktop
    desktop.close()


@pytest.fixture
def agent(app):
    """The app set up for this test's label; the path of its property list, not yet written."""
    app.settings.update(appId=LABEL, launchAgent=app.in_root(f"LaunchAgents/{LABEL}.plist"))
    app.write_settings()
    os.makedirs(app.in_root("LaunchAgents"))
    return app.settings["launchAgent"]


@pytest.fixture
def installed(app, agent):
    write_agent(app, app.executable)
    companion(app, "install")
    return agent


@pytest.fixture
def logged_in(session, app, installed):
    """The main pid of the unit once a login has started the app."""
    session.log_in()
    app.wait_for_launches(1)
    return int(session.unit(UNIT)["MainPID"])


def write_agent(app, program):
    """The property list as the app writes it, naming `program`."""
    pathlib.Path(app.settings["launchAgent"]).write_bytes(plistlib.dumps(
        {"Label": LABEL, "ProgramArguments": [program], "StandardOutPath": app.in_root(".data/launcher.log"),
         "StandardErrorPath": app.in_root(".data/launcher-error.log")}))


def companion_of(app):
    return os.path.join(os.path.dirname(app.executable), "orlinde-login")


def companion(app, command, status=0):
    done = app.session.run([companion_of(app), command, app.settings["launchAgent"]])
    assert status is None or done.returncode == status, done.stderr
    return done


def config(session, name):
    return os.path.join(session.env["XDG_CONFIG_HOME"], name)


def out_of_date(session, app):
    """The parts of the login start that do not start this app with this property list."""
    plist = app.settings["launchAgent"]
    runs = f'"{companion_of(app)}" "run" "{plist}"'
    current = {"property list": f"<string>{app.executable}</string>" in session.log(plist),
               "unit": runs in session.log(config(session, f"systemd/user/{UNIT}")),
               "enablement": session.systemctl("is-enabled", UNIT) == "enabled",
               "entry": runs in session.log(config(session, ENTRY))}
    return {part for part, holds in current.items() if not holds}


def written(session):
    """Everything in the folders where a login start goes."""
    return [os.path.join(folder, name) for top in ("systemd/user", "autostart")
            for folder, folders, files in os.walk(config(session, top)) for name in folders + files]


def test_the_menu_switch_alone_sets_up_the_login_start(session, app, watcher, agent):
    item = app.launch_into_tray(watcher)
    item.click("Start at login")
    wait_for(lambda: not out_of_date(session, app), LAUNCH_S, "the unit enabled and the entry written")
    item.wait_for_entries(["Start at login [x]"])
    # systemd's XDG autostart generator leaves the entry to the unit: one start, never two.
    assert session.systemctl("list-unit-files", "--no-legend", "app-com.tovrex.orlinde*") == ""
    validated = session.run(["desktop-file-validate", config(session, ENTRY)])
    assert validated.returncode == 0 and not validated.stdout, validated.stdout
    os.unlink(agent)  # from outside, as a person or another tool may do
    item.wait_for_entries(["Start at login [ ]"])


@pytest.mark.parametrize("case, on_after", [("a folder at the file's path", True),  # left as it is, whatever it holds
                                            ("a file where the autostart folder belongs", False)])
def test_a_switch_that_cannot_act_alerts_once_and_takes_no_half_effect(session, app, watcher, agent, case, on_after):
    mark = f"Start at login [{'x' if on_after else ' '}]"
    in_the_way = agent if on_after else config(session, "autostart")
    (os.mkdir if on_after else os.mknod)(in_the_way)  # a folder, or an empty file
    atspi.enable(session)
    item = app.launch_into_tray(watcher)
    item.wait_for_entries([mark])
    item.click("Start at login")
    wait_for(lambda: any(in_the_way in text for text in atspi.texts_of(session, app.pid)), LAUNCH_S,
             f"an alert naming {in_the_way}")
    assert atspi.press(session, app.pid, "OK")
    wait_for(lambda: not any(in_the_way in text for text in atspi.texts_of(session, app.pid)), EXIT_S,
             "the alert to close")
    item.wait_for_entries([mark])
    assert os.path.exists(agent) == on_after
    assert written(session) == []


def test_a_login_starts_the_app_once(session, app, logged_in):
    assert os.readlink(f"/proc/{logged_in}/exe") == app.executable
    # A desktop that runs autostart entries and starts graphical-session.target as well.
    assert b"systemd user unit starts" in companion(app, "run").stderr
    assert session.unit(UNIT)["MainPID"] == str(logged_in)
    assert len(app.lines("launches")) == 1


def test_a_killed_app_is_started_again_after_15_seconds(session, app, logged_in):
    killed = time.monotonic()
    os.kill(logged_in, signal.SIGKILL)
    wait_for(lambda: session.unit(UNIT)["MainPID"] not in ("0", str(logged_in)), 45, "the app started again")
    delay = time.monotonic() - killed
    print(f"started again {delay:.1f} s after kill -9")
    assert delay >= 14
    app.wait_for_launches(2)


def test_a_quit_app_stays_quit(session, app, logged_in):
    assert app.run_once("--quit-existing")[0] == 0
    unit = session.stopped(UNIT)
    assert (unit["SubState"], unit["Result"], unit["NRestarts"]) == ("dead", "success", "0")


def test_a_login_without_the_property_list_starts_nothing(session, app, installed):
    os.unlink(installed)
    session.log_in()
    unit = session.unit(UNIT)
    assert (unit["ConditionResult"], unit["MainPID"]) == ("no", "0")
    # The autostart entry, run all the same by a desktop that ignores X-systemd-skip.
    autostart = companion(app, "run")
    assert autostart.stdout + autostart.stderr == b""
    assert app.lines("launches") == []


def test_a_desktop_without_a_systemd_session_starts_the_app_from_autostart(session, app, installed):
    autostart = session.spawn([companion_of(app), "run", installed])
    app.wait_for_launches(1)
    assert os.readlink(f"/proc/{autostart.pid}/exe") == app.executable
    assert app.run_once("--quit-existing")[0] == 0
    assert autostart.wait(EXIT_S) == 0
    assert session.unit(UNIT)["MainPID"] == "0"


@pytest.mark.parametrize("case, mentions", [("moved away", "No such file"), ("not executable", "Permission denied"),
                                            ("installation deleted", None),  # the companion with it
                                            ("companion broken", None)])  # there, but systemd cannot execute it
def test_an_unusable_program_is_not_retried(session, app, agent, case, mentions):
    program = {"moved away": "/nowhere/Orlinde", "not executable": app.in_root("collector.mjs")}
    write_agent(app, program.get(case, app.executable))
    companion(app, "install")
    if case == "installation deleted":
        shutil.rmtree(os.path.join(app.top, "Orlinde.app"))
    elif case == "companion broken":
        pathlib.Path(companion_of(app)).write_text("#!/nowhere/sh\n")
    session.log_in()
    unit = session.stopped(UNIT)
    assert (unit["MainPID"], unit["NRestarts"], app.lines("launches")) == ("0", "0", [])
    if mentions:
        assert (unit["SubState"], unit["ExecMainStatus"]) == ("failed", "78")
        said = session.log(app.in_root(".data/launcher-error.log")).splitlines()[-1]
        assert program[case] in said and mentions in said, said


@pytest.mark.parametrize("change, outdated", [("program moved", "property list"), ("companion moved", "unit, entry"),
                                               ("unit disabled", "enablement"), ("entry removed", "entry")])
def test_a_launch_brings_an_outdated_login_start_up_to_date(session, app, watcher, installed, change, outdated):
    if change == "program moved":
        write_agent(app, "/moved/away/Orlinde")
    elif change == "companion moved":
        old = session.path("orlinde-login")
        shutil.copy2(companion_of(app), old)
        assert session.run([old, "install", installed]).returncode == 0
    elif change == "unit disabled":
        session.systemctl("disable", UNIT)
    else:
        os.unlink(config(session, ENTRY))
    assert out_of_date(session, app) == set(outdated.split(", "))
    item = app.launch_into_tray(watcher)
    wait_for(lambda: not out_of_date(session, app), LAUNCH_S, "the login start brought up to date")
    item.wait_for_entries(["Start at login [x]"])


def test_a_stopped_manager_costs_seconds_not_minutes(session, app, installed):
    session.manager.send_signal(signal.SIGSTOP)  # the session's teardown continues it
    started = time.monotonic()
    install = companion(app, "install", status=None)
    elapsed = time.monotonic() - started
    print(f"install gave up on a stopped manager after {elapsed:.1f} s")
    assert install.returncode == 1 and b"did not answer" in install.stderr, install.stderr
    assert elapsed < 10


def test_uninstall_leaves_nothing_behind(session, app, logged_in):
    os.unlink(app.settings["launchAgent"])  # the switch is off: only the unit and the entry name it
    companion(app, "uninstall")
    assert written(session) == []
    assert session.unit(UNIT)["LoadState"] == "not-found"
