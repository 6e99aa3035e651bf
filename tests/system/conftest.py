"""Fixtures for every test that runs the built program, each written once. Every
fixture owns what it starts and ends it in teardown."""

import contextlib
import http.client
import os
import urllib.parse

import pytest

from harness.app import App
from harness.session import Session
from harness.tray import Watcher
from harness.waiting import LAUNCH_S, wait_for


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test's report ends with its session's logs, which its teardown removes."""
    report = (yield).get_result()
    if report.when == "call" and report.failed and isinstance(desktop := item.funcargs.get("session"), Session):
        report.sections.append(("session logs", desktop.logs()))


@pytest.fixture
def session(request):
    """A throwaway desktop session: X11 unless a test is parametrised indirectly with
    "wayland"."""
    desktop = Session(display=getattr(request, "param", "x11"))
    yield desktop
    desktop.close()


@pytest.fixture
def watcher(session):
    """The desktop's tray: a StatusNotifierWatcher with its host registered."""
    tray = Watcher(session)
    yield tray
    tray.close()


@pytest.fixture
def make_app(session):
    return lambda **kw: App(session, **kw)


@pytest.fixture
def app(make_app):
    return make_app()


class Opener:
    """An xdg-open first on PATH that records each call as "<argument count>:<first
    argument>", one a line, and then runs the shell commands `then` (a browser...)."""

    def __init__(self, session, then=""):
        self.dir = session.path("opener")
        os.makedirs(self.dir)
        self.calls_path = os.path.join(self.dir, "calls")
        script = os.path.join(self.dir, "xdg-open")
        with open(script, "w") as out:
            out.write(f'#!/bin/sh\nprintf \'%s\\n\' "$#:$1" >> {self.calls_path}\n{then}\n')
        os.chmod(script, 0o755)
        self.env = {"PATH": f"{self.dir}:{session.env['PATH']}"}
        self.followed = {}

    def calls(self):
        with contextlib.suppress(FileNotFoundError), open(self.calls_path) as calls:
            return calls.read().splitlines()
        return []

    def opened(self, count=1, seconds=LAUNCH_S):
        """Where the first `count` calls sent the browser: a one-time loopback address is
        followed, once, to its redirect's target (or what it answered instead)."""
        calls = wait_for(lambda: len(self.calls()) >= count and self.calls(), seconds, f"{count} calls")
        addresses = [call.partition(":")[2] for call in calls]
        for address in addresses:
            if address not in self.followed and urllib.parse.urlsplit(address).port not in (None, 9):
                self.followed[address] = follow(address)
        return [self.followed.get(address, address) for address in addresses]


def follow(address):
    """What a browser sent to `address` is told: the redirect's target, or the status."""
    parts = urllib.parse.urlsplit(address)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    connection.request("GET", parts.path)
    reply = connection.getresponse()
    connection.close()
    return reply.getheader("Location") or f"{reply.status} {reply.reason}"


@pytest.fixture
def opener(session):
    return Opener(session)
