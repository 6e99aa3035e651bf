"""The installed program: `cmake --install` into a prefix and the Debian package unpacked
by dpkg into a scratch root (the machine's own packages are never touched)."""

import os
import plistlib
import subprocess

import pytest

from harness.app import BUILD, App, describe

BUNDLE = "lib/orlinde/Orlinde.app"
INSTALLED = ["bin/orlinde", f"{BUNDLE}/Contents/MacOS/Orlinde", f"{BUNDLE}/Contents/MacOS/orlinde-login",
             f"{BUNDLE}/Contents/Info.plist", "share/applications/com.tovrex.orlinde.desktop",
             "share/man/man1/orlinde.1.gz", "share/doc/orlinde/copyright", "share/doc/orlinde/changelog.gz"]
# What the manual page must tell: the options, where settings are, the files and statuses.
DOCUMENTED = ["--status", "--store-dashboard-key", "--quit-existing", "EXIT STATUS", "XDG_CONFIG_HOME",
              "com.tovrex.orlinde.app/settings.json", "Resources/settings.json", ".data",
              "app-error.log", "app.log.1", "app-error.log.1", "desktop-status.json", "launcher.log",
              "launcher-error.log"]


def run(*args, **kw):
    done = subprocess.run(args, capture_output=True, text=True, timeout=900, **kw)
    assert done.returncode == 0, f"{' '.join(args)}: {done.stdout[-3000:]}{done.stderr[-3000:]}"
    return done


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("deb")
    run("cpack", "-G", "DEB", "-B", str(out), cwd=BUILD)
    return str(next(out.glob("orlinde_*.deb")))


def dpkg(top, *args):
    """dpkg with a database and root of its own under `top`; the root."""
    admin, root = f"{top}/admin", f"{top}/root"
    for folder in (f"{admin}/info", f"{admin}/updates", root):
        os.makedirs(folder, exist_ok=True)
    for name in ("status", "available"):
        open(f"{admin}/{name}", "a").close()
    run("dpkg", f"--admindir={admin}", f"--instdir={root}", "--force-not-root", "--force-depends",
        "--force-script-chrootless", *args)
    return root


@pytest.fixture(params=["cmake --install", "dpkg -i"])
def installed(request, tmp_path):
    """The prefix holding bin/, lib/ and share/."""
    if request.param == "dpkg -i":
        return dpkg(tmp_path, "-i", request.getfixturevalue("deb")) + "/usr"
    run("cmake", "--install", BUILD, "--prefix", str(tmp_path))
    return str(tmp_path)


def test_install_layout_and_manual_page(installed):
    missing = [path for path in INSTALLED if not os.path.isfile(f"{installed}/{path}")]
    assert not missing
    assert os.listdir(f"{installed}/{BUNDLE}/Contents/Resources") == []  # settings are per user
    with open(f"{installed}/{BUNDLE}/Contents/Info.plist", "rb") as info:
        assert plistlib.load(info)["CFBundleIdentifier"] == "com.tovrex.orlinde.app"
    entry = f"{installed}/share/applications/com.tovrex.orlinde.desktop"
    run("desktop-file-validate", entry)
    with open(entry) as text:
        icon = next(line.split("=", 1)[1].strip() for line in text if line.startswith("Icon="))
    assert os.path.isfile(f"{installed}/share/icons/hicolor/scalable/apps/{icon}.svg")
    page = run("man", "--warnings", "-E", "UTF-8", "-l", f"{installed}/share/man/man1/orlinde.1.gz",
               env={**os.environ, "MANWIDTH": "80"})
    assert page.stderr == ""
    assert [word for word in DOCUMENTED if word not in page.stdout] == []


def test_installed_launcher_runs_from_per_user_settings_and_quits(session, watcher, installed):
    app = App(session)  # for its installation root and collector stand-in
    app.settings["appExecutable"] = f"{installed}/{BUNDLE}/Contents/MacOS/Orlinde"
    app.settings_path = f"{session.env['XDG_CONFIG_HOME']}/com.tovrex.orlinde.app/settings.json"
    os.makedirs(os.path.dirname(app.settings_path))
    app.write_settings()
    launcher = f"{installed}/bin/orlinde"
    app.process = session.spawn([launcher], log="installed.log")
    item = watcher.item_of(app.pid)
    app.wait_for_launches(1)
    app.collector_mode("connected")
    item.wait_for_status("Connected to dashboard")
    asked = session.run([launcher, "--status"])
    assert (asked.returncode, asked.stdout) == (0, b"Connected to dashboard\n")
    assert session.run([launcher, "--quit-existing"]).returncode == 0
    assert describe(app.wait_exit()) == describe(0)


def test_package_passes_lintian(deb):
    run("lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", deb)


def test_package_holds_only_usr_and_removes_cleanly(deb, tmp_path):
    fields = run("dpkg-deb", "-f", deb, "Package", "Depends").stdout
    assert "Package: orlinde\n" in fields and "libqt6widgets6" in fields, fields
    root = dpkg(tmp_path, "-i", deb)
    assert os.listdir(root) == ["usr"]
    dpkg(tmp_path, "-r", "orlinde")
    assert os.listdir(root) == []
    assert subprocess.run(["dpkg-query", f"--admindir={tmp_path}/admin", "-W", "orlinde"],
                          capture_output=True).returncode != 0
