#!/usr/bin/python3
"""Runs COMMAND in a throwaway desktop session of its own, the one the system tests use
(tests/system/harness/session.py): a fresh HOME and XDG directories, an Xvfb display
(or with --wayland a headless weston), a private session bus and a gnome-keyring
unlocked with a throwaway password. Exits with COMMAND's status and leaves no process
and no file behind, however it ends, so runs can overlap.

  scripts/desktop-session.py [--wayland] [--screen WIDTHxHEIGHT] COMMAND [ARGS...]
"""

import argparse
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from harness.session import Session  # noqa: E402


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--wayland", action="store_true")
    parser.add_argument("--screen", default="1280x1024", type=lambda size: tuple(map(int, size.split("x"))))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    if not arguments.command:
        parser.error("COMMAND is missing")
    # A signal ends the session as an ending command does: through the teardown.
    for ending in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(ending, lambda number, frame: sys.exit(128 + number))
    session = Session(display="wayland" if arguments.wayland else "x11", screen=arguments.screen)
    try:
        command = subprocess.Popen(arguments.command, env={**session.env, session.marker[0]: session.marker[1]})
        sys.exit(command.wait())
    except KeyboardInterrupt:
        sys.exit(130)
    finally:
        session.close()


if __name__ == "__main__":
    main()
