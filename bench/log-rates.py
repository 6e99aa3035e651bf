#!/usr/bin/python3
"""Usage: bench/log-rates.py [SECONDS]

Runs the built agent (build/) with a collector that writes its standard output at
several rates, each for SECONDS (default 120), and prints per rate: how often the
collector was restarted (and that per hour), the most the four log files held at once,
and the agent's CPU time per minute. Uses the system tests' throwaway session, so
nothing is left running.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/system"))
from harness.app import App  # noqa: E402
from harness.session import Session  # noqa: E402

RATES = [("100 B/s", 100), ("10 KiB/s", 10 * 1024), ("200 KiB/s", 200 * 1024), ("1 MiB/s", 1024 * 1024)]
LOGS = ["app.log", "app.log.1", "app-error.log", "app-error.log.1"]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(rate, seconds):
    session = Session(display="x11", keyring=False)
    try:
        app = App(session)
        app.collector_mode("output", str(rate))
        app.start()
        began = time.monotonic()
        most = 0
        while time.monotonic() - began < seconds:
            sizes = [os.path.getsize(app.in_root(".data/" + log)) for log in LOGS
                     if os.path.isfile(app.in_root(".data/" + log))]
            most = max(most, sum(sizes))
            time.sleep(0.2)
        restarts = max(0, len(app.lines("launches")) - 1)
        return restarts, most, cpu_seconds(app.pid) * 60 / seconds
    finally:
        session.close()


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 120
    print(f"{'rate':>10} {'restarts':>9} {'per hour':>9} {'most on disk':>13} {'agent CPU/min':>14}")
    for name, rate in RATES:
        restarts, most, cpu = measure(rate, seconds)
        print(f"{name:>10} {restarts:>9} {restarts * 3600 / seconds:>9.1f} {most / 1048576:>10.2f} MiB"
              f" {cpu:>12.2f} s")


if __name__ == "__main__":
    main()
