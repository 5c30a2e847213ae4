#!/usr/bin/env python3
"""Samples the page cache every 100 ms until the file STOP appears, then prints the largest
growth above the level at the start, in MiB: of the machine (Cached + Dirty in /proc/meminfo,
where other programs' files count too) and, with --cgroup DIR, of the memory cgroup DIR alone
(the cache and dirty pages charged to the programs run in it). STOP.ready appears once the levels
at the start are taken: the timing starts after it."""
import os
import sys
import time

KEYS = {"/proc/meminfo": ("Cached:", "Dirty:"),
        "v1": ("cache", "dirty"),          # memory.stat of a cgroup v1 memory controller
        "v2": ("file", "file_dirty")}      # memory.stat of a cgroup v2


def level(path, keys, scale):
    total = 0
    with open(path) as info:
        for line in info:
            parts = line.split()
            if parts and parts[0] in keys:
                total += int(parts[1]) * scale
    return total


def main():
    args = sys.argv[1:]
    cgroup = None
    if len(args) == 3 and args[0] == "--cgroup":
        cgroup, args = args[1], args[2:]
    if len(args) != 1:
        sys.exit("usage: cachewatch.py [--cgroup DIR] STOP")
    stop = args[0]
    probes = [("/proc/meminfo", KEYS["/proc/meminfo"], 1024)]
    if cgroup:
        stat = os.path.join(cgroup, "memory.stat")
        v2 = os.path.exists(os.path.join(cgroup, "memory.current"))
        probes.append((stat, KEYS["v2" if v2 else "v1"], 1))
    starts = [level(*p) for p in probes]
    peaks = [0] * len(probes)
    open(stop + ".ready", "w").close()
    while not os.path.exists(stop):
        for i, probe in enumerate(probes):
            peaks[i] = max(peaks[i], level(*probe) - starts[i])
        time.sleep(0.1)
    print(" ".join(str(p // (1 << 20)) for p in peaks))


if __name__ == "__main__":
    main()
