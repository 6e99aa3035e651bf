"""What another local user could read of a secret: process memory, arguments, environments."""

import contextlib
import os

MAX_REGION = 1 << 32  # larger mappings are a sanitizer's shadow reservation, never data


def occurrences_in_memory(pid, needle):
    """How often `needle` appears in the readable memory of process `pid`."""
    count = 0
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for line in maps:
            fields = line.split()
            if not fields[1].startswith("r") or "[vvar]" in line or "[vsyscall]" in line:
                continue
            start, end = (int(bound, 16) for bound in fields[0].split("-"))
            if end - start > MAX_REGION:
                continue
            # Chunks overlap by the needle's length less one, so none is missed at a seam.
            at = start
            while at < end:
                try:
                    mem.seek(at)
                    chunk = mem.read(min(1 << 20, end - at))
                except OSError:
                    break
                if not chunk:
                    break
                count += chunk.count(needle)
                if at + len(chunk) >= end or len(chunk) < len(needle):
                    break
                at += len(chunk) - len(needle) + 1
    return count


def processes_showing(needle):
    """The pids whose command line or environment hold `needle`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        for part in ("cmdline", "environ"):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/{part}", "rb") as shown:
                if needle in shown.read():
                    found.append(int(pid))
    return found
