#!/usr/bin/python3
"""Usage: bench/status-bench.py [RUNS]

How long `Orlinde --status` takes, process start to exit, against a running instance of
the built agent (build/) and with none running: min / median / max over RUNS (default
20). Uses the system tests' throwaway session, so nothing is left running.
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from harness.app import App  # noqa: E402
from harness.session import Session  # noqa: E402


def timings(app, runs):
    seconds = []
    for _ in range(runs):
        began = time.monotonic()
        app.run_once("--status")
        seconds.append(time.monotonic() - began)
    return f"{min(seconds):.3f} / {statistics.median(seconds):.3f} / {max(seconds):.3f} s"


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    session = Session(display="x11", keyring=False)
    try:
        app = App(session)
        print(f"no instance:      {timings(app, runs)}")
        app.start()
        app.wait_for_launches(1)
        print(f"running instance: {timings(app, runs)}")
    finally:
        session.close()


if __name__ == "__main__":
    main()
