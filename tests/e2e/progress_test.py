#!/usr/bin/env python3
"""The progress test: one whole move, on the real disk, of an installation whose Software holds
one file of 1 GiB, through the move harness, which samples the bar's fraction and the status
line every 100 ms as the progress page does. It checks what a person watching would see: the
bar (the truncated percentage the page shows) never stands still longer than 1.5 s (5 s while
the copies are made durable: their bytes are all written, and the move waits for the disk's
write-back, its journal and the flush, while the status line shows the copy complete or reads
"Checking the copies…") and never falls, it is full only once the move has returned, and the
status line names every step.

A second move copies a slow part first (60,000 small files in Downloads) and then a fast sparse
part (Software: one file of 4 GiB, nearly all holes, which the copy passes over). In both moves,
once the copy has run 2 s, the time left the status line shows is never more than 3 times the
time the copy really still took ("a few seconds left" claims no figure; a fast machine may show
nothing else, and the test says so). Where the machine can limit reads (root, cgroup v1 blkio),
the large file's copy is paced to 40 MB/s, and its time left must show and be within 2 times.
Ends with "progress test: bar moved N times, longest still X s, status lines S, time left within
R×" ("time left not checked" where no copy showed one).

usage: progress_test.py BUILD_DIR"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

GIB = 1 << 30
LONGEST_STILL = 1.5
LONGEST_STILL_FLUSHING = 5.0  # while the copies are made durable, as long as the disk takes
FLUSH_STEP = "Checking the copies"  # the step that begins with the flush
TIME_LEFT_MOST_OFF = 3.0  # the shown time left over the time the copy really still took
# The large file's copy reads at most this from the disk, where the machine can limit it (root,
# a cgroup v1 blkio controller): it lasts about half a minute on any machine, long enough for the
# status line to show a time left, which must then be within TIME_LEFT_PACED_MOST_OFF.
READ_LIMIT = 40 << 20
TIME_LEFT_PACED_MOST_OFF = 2.0
TIME_LEFT_FROM_MS = 2000  # checked once the copy has run this long
# The steps the status line must name, by how its text begins.
STEPS = [
    ("stop", "Stopping the Oculus services"),
    ("copy", "Copying "),
    ("check", "Checking the copies"),
    ("link", "Creating links"),
    ("remove", "Removing the old folders"),
    ("start", "Starting the Oculus services"),
]


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(8 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def make_installation(base):
    """Software with one 1 GiB file of real data (no holes a copy could skip), Downloads small;
    the large file's path under the base and its digest."""
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
    result = os.path.relpath(big, base), digest(big)
    # Read from the disk by the copy, not from the cache this writing and reading filled, so
    # that a read limit (READ_LIMIT) paces it.
    fd = os.open(big, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    return result


def make_slow_then_sparse(base):
    """Downloads: 60000 small files (slow per byte); Software: a 4 GiB file of 16 MiB data;
    the sparse file's path under the base and its digest."""
    for d in range(600):
        folder = os.path.join(base, "Downloads", "cache", f"part{d:03}")
        os.makedirs(folder)
        for f in range(100):
            with open(os.path.join(folder, f"chunk{f:03}.bin"), "wb") as out:
                out.write(os.urandom(1024 + (d * 100 + f) % 4 * 1024))
    sparse = os.path.join(base, "Software", "Sparse Game", "disk.img")
    os.makedirs(os.path.dirname(sparse))
    with open(sparse, "wb") as f:
        for i in range(4):
            f.seek(i * GIB)
            f.write(os.urandom(4 << 20))
        f.truncate(4 * GIB)
    os.sync()
    return os.path.relpath(sparse, base), digest(sparse)


def seconds_shown(status):
    """The time left a status line shows, in seconds; None without one, or with "a few
    seconds", which claims no more than ten seconds and so no figure to check."""
    words = status.split(" | ")[0].split(" \u00b7 ")
    left = [w for w in words if w.endswith(" left")]
    if not left:
        return None
    text = left[0][:-len(" left")]
    if text == "a few seconds":
        return None
    parts = text.replace("about ", "").split()
    seconds = 0.0
    for number, unit in zip(parts[0::2], parts[1::2]):
        seconds += int(number) * {"h": 3600, "min": 60, "s": 1}[unit]
    return seconds


def worst_time_left(samples):
    """The largest ratio of the shown time left to the time the copy really still took, over
    the samples taken once the copy has run TIME_LEFT_FROM_MS; with how many were looked at."""
    copying = [ms for ms, _, status in samples if status.startswith("Copying ")]
    if not copying:
        return 0.0, 0
    start = copying[0]
    end = next((ms for ms, _, status in samples if ms > start and
                not status.startswith("Copying ")), samples[-1][0])
    worst, looked = 0.0, 0
    for ms, _, status in samples:
        if ms < start + TIME_LEFT_FROM_MS or ms >= end or not status.startswith("Copying "):
            continue
        shown = seconds_shown(status)
        if shown is None:
            continue
        looked += 1
        # The copy ends somewhere within the sample period after the last copying sample.
        remained = max((end - ms) / 1000.0, 0.1)
        worst = max(worst, shown / remained)
    return worst, looked


def read_limited(folder, bps):
    """A blkio group whose processes read at most bps a second from the disk that holds folder;
    None where the machine has no such group."""
    group = f"/sys/fs/cgroup/blkio/halvex-progress.{os.getpid()}"
    dev = os.stat(folder).st_dev
    try:
        os.mkdir(group)
        with open(os.path.join(group, "blkio.throttle.read_bps_device"), "w") as f:
            f.write(f"{os.major(dev)}:{os.minor(dev)} {bps}")
    except OSError:
        try:
            os.rmdir(group)
        except OSError:
            pass
        return None
    return group


def run_move(build, scratch, name, make, group=None):
    """One move of an installation made by make, sampled every 100 ms: (run, samples, statuses,
    base, target, what make returned)."""
    host_tool = os.path.join(build, "tools", "halvex-host")
    harness = os.path.join(build, "tools", "halvex-move")
    base, host, target = (os.path.join(scratch, name, n) for n in ("Oculus", "host", "target"))
    os.makedirs(target)
    made = make(base)
    tool = lambda *a: subprocess.run([host_tool, "--host", host, *a], check=True,
                                     stdout=subprocess.DEVNULL)
    tool("registry", "set-base", base + os.sep)
    # Services that take a while to stop and start, as real ones do.
    tool("services", "install", "stop_ms=700", "start_ms=700")
    env = dict(os.environ, HALVEX_HOST=host)
    def join_group():
        with open(os.path.join(group, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
    run = subprocess.run([harness, "--target", target, "--yes", "--progress-ms", "100"], env=env,
                         cwd=os.path.join(scratch, name), capture_output=True, text=True,
                         timeout=900, preexec_fn=join_group if group else None)
    samples, statuses = parse(run.stdout)
    return run, samples, statuses, base, target, made


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


def making_durable(status):
    """Whether the status line shows a copy whose bytes are all written, or the check that
    begins with the flush: then the move waits for the disk to make the copies durable (the
    last step's write-back, the journal, the flush), calls whose length the disk decides and
    during which the bar cannot move."""
    if status.startswith(FLUSH_STEP):
        return True
    copying = re.match(r"Copying [^:]+: (.+?) of (.+?)(?: \(| \u00b7 |$)", status.split(" | ")[0])
    return bool(copying) and copying.group(1) == copying.group(2)


def bar_figures(samples):
    """How often the page's bar moved, the longest time it stood still (and the status line
    while it did), the longest time it stood still while the copies were made durable, and
    whether it fell."""
    moved, longest, fell, still_at, longest_flush = 0, 0.0, False, "", 0.0
    last_value, since, since_status, flushing = None, samples[0][0], "", False
    for ms, fraction, status in samples:
        value = int(fraction * 100.0)
        flushing = flushing or making_durable(status)
        if last_value is not None and value < last_value:
            fell = True
        if last_value is None or value != last_value:
            if last_value is not None:
                moved += 1
            still = (ms - since) / 1000.0
            if flushing:
                longest_flush = max(longest_flush, still)
            elif still > longest:
                longest, still_at = still, since_status
            last_value, since, since_status, flushing = value, ms, status, False
    return moved, longest, fell, still_at, longest_flush


def main():
    build = os.path.abspath(sys.argv[1])
    scratch = tempfile.mkdtemp(prefix="halvex-progress-")
    try:
        if shutil.disk_usage(scratch).free < 4 * GIB:
            print(f"progress test: needs 4 GiB free in {scratch}")
            return 1
        group = read_limited(scratch, READ_LIMIT)
        try:
            run, samples, statuses, base, target, (big, big_digest) = run_move(
                build, scratch, "large", make_installation, group)
        finally:
            if group:
                os.rmdir(group)
        if run.returncode != 0 or len(samples) < 2:
            print(run.stdout[-3000:], run.stderr[-2000:])
            print("progress test: the move failed")
            return 1
        moved, longest, fell, still_at, longest_flush = bar_figures(samples)
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
        print(f"  the bar stood still longest ({longest:.1f} s) from: {still_at}; while the "
              f"copies were made durable: {longest_flush:.1f} s")
        worst_large, looked_large = worst_time_left(samples)

        sparse_run, sparse_samples, _, sparse_base, sparse_target, (sparse, sparse_digest) = \
            run_move(build, scratch, "sparse", make_slow_then_sparse)
        if sparse_run.returncode != 0 or len(sparse_samples) < 2:
            print(sparse_run.stdout[-3000:], sparse_run.stderr[-2000:])
            print("progress test: the move of the slow and the sparse part failed")
            return 1
        worst_sparse, looked_sparse = worst_time_left(sparse_samples)
        sparse_copying = [s for _, _, s in sparse_samples if s.startswith("Copying ")]
        for line in sparse_copying[:1] + sparse_copying[-3:]:
            print(f"  slow, then sparse: {line}")
        print(f"  time left looked at: {looked_large} samples (large file, worst "
              f"{worst_large:.2f}x), {looked_sparse} (slow, then sparse, worst "
              f"{worst_sparse:.2f}x)")
        # The paced copy's figure where there is one, else the worst of both.
        worst = worst_large if group and looked_large else max(worst_large, worst_sparse)
        time_left = (f"time left within {worst:.1f}\u00d7" if looked_large + looked_sparse else
                     "time left not checked (no copy lasted long enough to show a figure)")
        if not group:
            print("  no read limit on this machine: the large file's copy ran at the disk's pace")
        print(f"progress test: bar moved {moved} times, longest still {longest:.1f} s, "
              f"status lines {len(seen)}/{len(STEPS)}, {time_left}")

        problems = []
        if longest > LONGEST_STILL:
            problems.append(f"the bar stood still for {longest:.1f} s, from {still_at!r}")
        if longest_flush > LONGEST_STILL_FLUSHING:
            problems.append(f"the bar stood still for {longest_flush:.1f} s while the copies "
                            f"were made durable")
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
                digest(os.path.join(target, "Oculus game", big)) != big_digest:
            problems.append("the move did not leave the file, whole, at the target behind a link")
        if max(worst_large, worst_sparse) > TIME_LEFT_MOST_OFF:
            problems.append(f"a time left was {max(worst_large, worst_sparse):.1f} times what "
                            f"really remained")
        if group and not looked_large:
            problems.append("the paced copy showed no time left")
        if group and worst_large > TIME_LEFT_PACED_MOST_OFF:
            problems.append(f"a time left of the paced copy was {worst_large:.1f} times what "
                            f"really remained")
        if looked_sparse == 0:
            # Not a fault of the program: a machine that copies the small files from its cache
            # within a few seconds leaves nothing to check.
            print("  the slow part ended before a time left could be checked: not checked")
        if not os.path.islink(os.path.join(sparse_base, "Software")) or \
                digest(os.path.join(sparse_target, "Oculus game", sparse)) != sparse_digest:
            problems.append("the sparse file is not at the target, whole, behind a link")
        for problem in problems:
            print(f"FAILED: {problem}")
        return 1 if problems else 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
