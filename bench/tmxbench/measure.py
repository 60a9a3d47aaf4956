"""Figures: clocks, percentiles and what /proc tells of a process."""

import os
import time

TICK_NS = 16_000_000


def now_ns():
    return time.monotonic_ns()


def percentile(values, p):
    if not values:
        return None
    s = sorted(values)
    k = min(len(s) - 1, max(0, int(round(p / 100.0 * (len(s) - 1)))))
    return s[k]


def ms(ns):
    return None if ns is None else round(ns / 1e6, 3)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def rss_parts_kb(pid):
    """The resident set in its two parts: anonymous memory (heap, stacks,
    mappings of its own) and pages of files (the program's and its
    libraries' code, paged in the first time a path runs)."""
    parts = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(("RssAnon:", "RssFile:")):
                parts[line.split(":")[0][3:].lower()] = int(line.split()[1])
    return parts.get("anon"), parts.get("file")


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None

