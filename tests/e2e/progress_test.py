#!/usr/bin/env python3
"""The progress test: one whole move, on the real disk, of an installation whose Software holds
one file of 1 GiB, through the move harness, which samples the bar's fraction and the status
line every 100 ms as the progress page does. It checks what a person watching would see: the
bar (the truncated percentage the page shows) never stands still longer than 1.5 s and never
falls, it is full only once the move has returned, and the status line names every step. Ends
with "progress test: bar moved N times, longest still X s, status lines S".

usage: progress_test.py BUILD_DIR"""
import os
import shutil
import subprocess
import sys
import tempfile

GIB = 1 << 30
LONGEST_STILL = 1.5
# The steps the status line must name, by how its text begins.
STEPS = [
    ("stop", "Stopping the Oculus services"),
    ("copy", "Copying "),
    ("check", "Checking the copies"),
    ("link", "Creating links"),
    ("remove", "Removing the old folders"),
    ("start", "Starting the Oculus services"),
]


def make_installation(base):
    """Software with one 1 GiB file of real data (no holes a copy could skip), Downloads small."""
    big = os.path.join(base, "Software", "Big Game", "data.pak")
    os.makedirs(os.path.dirname(big))
    block = os.urandom(1 << 20)
    with open(big, "wb") as f:
        for i in range(GIB >> 20):
            f.write(block[i % 64:] + block[:i % 64])
    os.makedirs(os.path.join(base, "Downloads", "cache"))
    with open(os.path.join(base, "Downloads", "cache", "manifest.json"), "w") as f:
        f.write("{}\n")
    os.sync()  # the move starts on a quiet disk, not behind this file's write-back


def parse(output):
    samples, statuses = [], []
    for line in output.splitlines():
        kind, _, rest = line.partition(": ")
        if kind not in ("sample", "step"):
            continue
        parts = rest.split(" ", 2 if kind == "sample" else 1)
        ms = int(parts[0])
        if kind == "sample":
            samples.append((ms, float(parts[1]), parts[2] if len(parts) > 2 else ""))
            statuses.append(parts[2] if len(parts) > 2 else "")
        else:
            statuses.append(parts[1] if len(parts) > 1 else "")
    return samples, statuses


def bar_figures(samples):
    """How often the page's bar moved, the longest time it stood still, and whether it fell."""
    moved, longest, fell = 0, 0.0, False
    last_value, since = None, samples[0][0]
    for ms, fraction, _ in samples:
        value = int(fraction * 100.0)
        if last_value is not None and value < last_value:
            fell = True
        if last_value is None or value != last_value:
            if last_value is not None:
                moved += 1
            longest = max(longest, (ms - since) / 1000.0)
            last_value, since = value, ms
    return moved, longest, fell


def main():
    build = os.path.abspath(sys.argv[1])
    host_tool = os.path.join(build, "tools", "halvex-host")
    harness = os.path.join(build, "tools", "halvex-move")
    scratch = tempfile.mkdtemp(prefix="halvex-progress-")
    try:
        if shutil.disk_usage(scratch).free < 3 * GIB:
            print(f"progress test: needs 3 GiB free in {scratch}")
            return 1
        base, host, target = (os.path.join(scratch, n) for n in ("Oculus", "host", "target"))
        os.makedirs(target)
        make_installation(base)
        tool = lambda *a: subprocess.run([host_tool, "--host", host, *a], check=True,
                                         stdout=subprocess.DEVNULL)
        tool("registry", "set-base", base + os.sep)
        # Services that take a while to stop and start, as real ones do.
        tool("services", "install", "stop_ms=700", "start_ms=700")

        env = dict(os.environ, HALVEX_HOST=host)
        run = subprocess.run([harness, "--target", target, "--progress-ms", "100"], env=env,
                             cwd=scratch, capture_output=True, text=True, timeout=600)
        samples, statuses = parse(run.stdout)
        if run.returncode != 0 or len(samples) < 2:
            print(run.stdout[-3000:], run.stderr[-2000:])
            print("progress test: the move failed")
            return 1
        moved, longest, fell = bar_figures(samples)
        seen = [name for name, start in STEPS if any(s.startswith(start) for s in statuses)]
        copying = [s for s in statuses if s.startswith("Copying Software")]
        timed = [s for s in copying if "/s" in s and "left" in s]
        full_early = [ms for ms, fraction, _ in samples[:-1] if fraction >= 1.0]

        for line in sorted(set(s.split(" | ")[0] for s in statuses if not s.startswith("Copying"))):
            print(f"  status: {line}")
        for line in (copying[:1] + timed[len(timed) // 2:len(timed) // 2 + 1] + copying[-1:]):
            print(f"  status: {line}")
        print(f"  closing: {samples[-1][2]}")
        print(f"  {len(samples)} samples over {samples[-1][0] / 1000.0:.1f} s; copy lines with "
              f"speed and time left: {len(timed)} of {len(copying)}")
        print(f"progress test: bar moved {moved} times, longest still {longest:.1f} s, "
              f"status lines {len(seen)}/{len(STEPS)}")

        problems = []
        if longest > LONGEST_STILL:
            problems.append(f"the bar stood still for {longest:.1f} s")
        if fell:
            problems.append("the bar fell")
        if full_early:
            problems.append(f"the bar was full at {full_early[0]} ms, before the move returned")
        if samples[-1][1] < 1.0:
            problems.append("the bar was not full once the move had returned")
        missing = [name for name, _ in STEPS if name not in seen]
        if missing:
            problems.append("no status line for " + ", ".join(missing))
        if not os.path.islink(os.path.join(base, "Software")) or \
                os.path.getsize(os.path.join(target, "Oculus game", "Software", "Big Game",
                                             "data.pak")) != GIB:
            problems.append("the move did not leave the file at the target behind a link")
        for problem in problems:
            print(f"FAILED: {problem}")
        return 1 if problems else 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
