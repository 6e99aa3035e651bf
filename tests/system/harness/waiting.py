"""Waiting for events with generous bounds, serving this process's own D-Bus objects
(the tray host, the notification area) meanwhile."""

import time

from gi.repository import GLib

# Bounds for a loaded 2-core machine: an app starts and registers in a few seconds.
LAUNCH_S = 30
EXIT_S = 15


class Timeout(AssertionError):
    pass


def serve(seconds=0.0):
    """Runs this process's main context for `seconds`, or once if 0."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while True:
        while context.pending():
            context.iteration(False)
        if time.monotonic() >= deadline:
            return
        time.sleep(0.01)


def wait_for(condition, seconds, what, poll=0.05):
    """The first true value of condition(), polled while serving events; Timeout naming
    `what` and the last value seen when `seconds` pass first."""
    deadline = time.monotonic() + seconds
    value = None
    while True:
        serve()
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Timeout(f"expected {what} within {seconds} s; last seen: {value!r}")
        time.sleep(poll)
