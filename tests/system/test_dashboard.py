""""Open dashboard": the address reaches the user's browser with the key from the real
keyring, and the key reaches nothing another local user can read."""

import http.server
import os
import shutil
import signal
import threading
import urllib.parse

import pytest

from conftest import Opener, follow
from harness.keyrings import stored
from harness.memory import occurrences_in_memory, processes_showing
from harness.waiting import LAUNCH_S, serve, wait_for

HUB = "http://127.0.0.1:9"


@pytest.mark.parametrize("product, key, address", [
    (True, b"abc", HUB + "/"),  # a product installation leaves the key out
    (None, None, HUB + "/"),  # the keyring tests open stored keys
])
def test_opens_the_dashboard_each_time_it_is_clicked(app, watcher, opener, product, key, address):
    if key is not None:
        assert stored(app, key) == 0
    if product is not None:
        app.settings["product"] = product
    item = app.launch_into_tray(watcher, env=opener.env)
    for clicks in (1, 2):  # nothing is remembered between activations
        item.click("Open dashboard")
        assert opener.opened(clicks)[-1] == address


def test_a_key_that_makes_no_address_opens_nothing_and_is_read_afresh(app, watcher, opener):
    assert stored(app, b"abc\n") == 0
    item = app.launch_into_tray(watcher, env=opener.env)
    item.click("Open dashboard")
    assert stored(app, b"after") == 0
    # Clicks go on, one at a time, until one opens: the first opened nothing.
    wait_for(lambda: opener.calls() or item.click("Open dashboard"), LAUNCH_S, "a browser call")
    assert set(opener.opened(len(opener.calls()))) == {HUB + "/#after"}


def test_the_key_is_handed_over_once_to_this_user_only(app, watcher, opener):
    key = b"Kq7-" + os.urandom(8).hex().encode() + b"-zV"
    assert stored(app, key) == 0
    item = app.launch_into_tray(watcher, env=opener.env)
    item.click("Open dashboard")
    call = wait_for(opener.calls, LAUNCH_S, "a browser call")[0]
    assert key.decode() not in call and processes_showing(key) == []
    if os.getuid() == 0:  # another local user is turned away, and takes nothing
        other = app.session.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                 "/usr/bin/python3", "-c", "import urllib.request, sys; "
                                 f"urllib.request.urlopen({call.partition(':')[2]!r}, timeout=5)"])
        assert key not in other.stdout + other.stderr and other.returncode != 0
    assert opener.opened() == [HUB + "/#" + key.decode()]
    with pytest.raises(OSError):  # once only
        follow(call.partition(":")[2])
    # Neither the key nor the address holding it is left in the app's memory.
    text = key.decode().encode("utf-16-le")
    assert occurrences_in_memory(app.pid, key) + occurrences_in_memory(app.pid, text) == 0


@pytest.mark.parametrize("complaining_opener", [True, False])
def test_the_key_never_reaches_the_apps_output(session, app, watcher, complaining_opener):
    """At login the app's output is a log file; the key must never reach it."""
    key = b"s3cr3t-dashboard-key"
    assert stored(app, key) == 0
    # As xdg-open does without a browser, it names the address; else there is no opener at all.
    opener = Opener(session, then="echo \"xdg-open: no method for '$1'\" >&2; exit 3")
    item = app.launch_into_tray(watcher, env={"PATH": opener.dir if complaining_opener else session.path("bin"),
                                              "BROWSER": "", "DEFAULT_BROWSER": ""})
    item.click("Open dashboard")
    wait_for(lambda: opener.calls() if complaining_opener else "web browser" in session.log("app.log"),
             LAUNCH_S, "the address handed over")
    app.signal(signal.SIGTERM)
    assert app.wait_exit() == 0
    assert key.decode() not in session.log("app.log")


class Hub(http.server.ThreadingHTTPServer):
    """The dashboard: a page that reports the address its browser ended at."""

    def __init__(self):
        self.reports = []
        hub = self

        class Page(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(b"<script>fetch('/report', {method: 'POST', body: location.href})</script>")

            def do_POST(self):
                hub.reports.append(self.rfile.read(int(self.headers["Content-Length"])).decode())
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Page)
        threading.Thread(target=self.serve_forever, daemon=True).start()


BROWSERS = {
    "firefox-esr": "firefox-esr --headless --no-remote --profile {profile}",
    "chromium": "chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-sync "
                "--disable-background-networking --disable-component-update --user-data-dir={profile}",
}


@pytest.mark.parametrize("browser", BROWSERS)
def test_a_real_browser_ends_at_exactly_the_address_with_the_key(session, app, watcher, browser):
    if not shutil.which(browser):
        pytest.skip(f"{browser} is not installed")
    hub = Hub()
    profile = session.path("profile")
    os.makedirs(profile)
    opener = Opener(session, then=f'exec {BROWSERS[browser].format(profile=profile)} "$1"')
    ascii_part = b"k3y-" + os.urandom(6).hex().encode()
    key = ascii_part + "-\u00e9t\u00e9".encode()
    assert stored(app, key) == 0
    app.settings["hub"] = f"http://127.0.0.1:{hub.server_port}"
    item = app.launch_into_tray(watcher, env=opener.env)
    item.click("Open dashboard")
    report = wait_for(lambda: hub.reports, 60, f"{browser} to load the dashboard")[0]
    assert report == f"{app.settings['hub']}/#{urllib.parse.quote(key.decode(), safe='-')}"
    assert processes_showing(ascii_part) == []
    hub.shutdown()
    serve()
