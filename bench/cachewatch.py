#!/usr/bin/env python3
"""Samples the page cache (Cached + Dirty in /proc/meminfo) every 100 ms until the file STOP
appears, then prints the largest growth above the level at the start, in MiB. The figure is the
machine's: other programs' files count too."""
import os
import sys
import time


def level_kib():
    cached = dirty = 0
    with open("/proc/meminfo") as info:
        for line in info:
            key, value = line.split()[:2]
            if key == "Cached:":
                cached = int(value)
            elif key == "Dirty:":
                dirty = int(value)
    return cached + dirty


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: cachewatch.py STOP")
    start, peak = level_kib(), 0
    open(sys.argv[1] + ".ready", "w").close()
    while not os.path.exists(sys.argv[1]):
        peak = max(peak, level_kib() - start)
        time.sleep(0.1)
    print(peak // 1024)


if __name__ == "__main__":
    main()
