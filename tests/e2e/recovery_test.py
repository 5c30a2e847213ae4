#!/usr/bin/env python3
"""Kills the move harness with SIGKILL at spread-out moments of a move of a larger tree and runs
`halvex-move --recover` after each kill; then kills recoveries themselves at spread-out moments,
each followed by another recovery. After every last recovery the installation must be whole in
exactly one place (real folders "Software" and "Downloads" in the base folder, or links to
complete copies at the target), with no "...Varko" folder, no partial copy and no journal left,
both services running, and every original file there with its content.

usage: recovery_test.py BUILD_DIR [KILLS] [RECOVERY_KILLS]"""
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kill_test as kt  # noqa: E402


def make_larger_tree(base, seed=11):
    """Three times the kill test's bytes, in fewer small files: on a disk that discards what is
    deleted, every file deleted costs time, and each run deletes the tree a few times."""
    rng = random.Random(seed)
    write = kt.random_writer(base, rng)
    write("Software/Big Game/data.pak", 128 << 20)
    write("Software/Other Game/video.bin", 24 << 20)
    write("Downloads/cache/installer.bin", 40 << 20)
    for i in range(800):
        write(f"Software/Game {i % 9}/level {i % 31}/asset{i}.dat", rng.randint(1, 16) << 10)
    for i in range(400):
        write(f"Downloads/cache/part {i % 13}/chunk{i}.bin", rng.randint(1, 16) << 10)


def move_killed_in(harness, target, host, work, phase, offset):
    """Runs the harness and kills it offset seconds after it enters phase, reading on meanwhile.
    Returns the phase it was in at the kill, or None when the move ended first."""
    env = dict(os.environ, HALVEX_HOST=host)
    proc = subprocess.Popen([harness, "--target", target, "--yes"], env=env, cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    fd, pending, current, deadline = proc.stdout.fileno(), b"", None, None
    while True:
        wait = None if deadline is None else max(0.0, deadline - time.monotonic())
        ready, _, _ = select.select([fd], [], [], wait)
        if not ready:  # the deadline came
            proc.kill()
            break
        chunk = os.read(fd, 4096)
        if not chunk:  # the move ended before the kill
            current = None
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            if line.startswith(b"phase: "):
                current = line.split()[1].decode()
                if current == phase and deadline is None:
                    deadline = time.monotonic() + offset
    proc.stdout.close()
    proc.wait()
    return current


def recover(harness, host, work, kill_after=None):
    """Runs `halvex-move --recover`. Returns (what it printed after "recovery:", its result,
    whether it was killed). kill_after: seconds after its start."""
    env = dict(os.environ, HALVEX_HOST=host)
    proc = subprocess.Popen([harness, "--recover"], env=env, cwd=work, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    if kill_after is not None:
        try:
            proc.wait(timeout=kill_after)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            proc.stdout.close()
            return None, None, True
    out = proc.communicate()[0]
    said = result = None
    for line in out.splitlines():
        if line.startswith("recovery: "):
            said = line[len("recovery: "):]
        elif line.startswith("result: "):
            result = int(line.split()[1])
    return said, result, False


def services_running(host_tool, host):
    out = subprocess.run([host_tool, "--host", host, "services", "show"], check=True,
                         capture_output=True, text=True).stdout
    return out.count(": running") == 2


def problems_after(base, target, host, host_tool, originals):
    """What is wrong with the installation after a recovery, and which files are lost."""
    problems = []
    soft, down = (os.path.join(base, n) for n in ("Software", "Downloads"))
    linked = os.path.islink(soft) and os.path.islink(down)
    home = all(os.path.isdir(p) and not os.path.islink(p) for p in (soft, down))
    if not linked and not home:
        problems.append("neither both at home nor both linked")
    copies = set()
    if linked:
        copies = {os.path.realpath(soft), os.path.realpath(down)}
        parents = {os.path.dirname(c) for c in copies}
        if len(parents) != 1 or os.path.dirname(parents.pop()) != os.path.realpath(target):
            problems.append("links that do not lead to one copies folder at the target")
    extra = [n for n in os.listdir(base) if n not in ("Software", "Downloads")]
    if extra:
        problems.append(f"left in the base folder: {', '.join(sorted(extra))}")
    for dirpath, dirs, names in os.walk(target):
        inside = any(dirpath == c or dirpath.startswith(c + os.sep) for c in copies)
        if names and not inside:
            problems.append(f"a partial copy in {dirpath}")
            break
    if os.path.exists(os.path.join(host, "state", "move.journal")):
        problems.append("the journal is left")
    if not services_running(host_tool, host):
        problems.append("a service is not running")
    lost = [rel for rel, digest in originals.items()
            if kt.digest_of(os.path.join(base, rel)) != digest]
    if lost:
        problems.append(f"{len(lost)} files lost, e.g. {lost[0]}")
    return problems, lost


def recovery_test(tools, work, pristine, originals, kills_wanted):
    harness, host_tool = tools
    base, host, target = kt.set_up(work, pristine, host_tool)
    timeline, rc = kt.run_move(harness, target, host, work)
    if rc != 0:
        print("recovery test: 0 kills, 0 recovered, 0 lost (the uninterrupted move failed)")
        return False
    plan = kt.kill_plan(timeline, kills_wanted)
    kills = recovered = lost = 0
    said_by_phase = []
    for i, (phase, offset) in enumerate(plan):
        # A run faster than the measured one may be past the phase at the kill: again, sooner.
        for _ in range(5):
            base, host, target = kt.set_up(work, pristine, host_tool)
            reached = move_killed_in(harness, target, host, work, phase, offset)
            if reached == phase:
                break
            offset /= 2
        if reached is None:
            continue
        kills += 1  # in the phase planned, or (rarely) a later one
        said, result, _ = recover(harness, host, work)
        problems, missing = problems_after(base, target, host, host_tool, originals)
        lost += bool(missing)
        said_by_phase.append(f"{reached}:{(said or '?').split(':')[0]}")
        if result != 0 or problems:
            print(f"kill {i} in phase {reached}: recovery said {said!r} ({result}); "
                  f"{'; '.join(problems) or 'no problem found'}")
        else:
            recovered += 1
    print(f"recoveries by phase killed: {' '.join(said_by_phase)}")
    print(f"recovery test: {kills} kills, {recovered} recovered, {lost} lost")
    return kills == len(plan) and recovered == kills and lost == 0


def recovery_kill_test(tools, work, pristine, originals, kills_wanted):
    """Kills recoveries: half of them finishing a move killed while linking, half putting back
    a move killed while copying; each kill is followed by another recovery."""
    harness, host_tool = tools
    scenes = [("6", 0.0), ("3", 0.3)]  # the move's phase at its kill, and how far into it
    kills = lost = failed = 0
    for s, (phase, into) in enumerate(scenes):
        def interrupted_move():
            for delay in (into, into / 2, 0.0):
                base, host, target = kt.set_up(work, pristine, host_tool)
                if move_killed_in(harness, target, host, work, phase, delay) == phase:
                    return base, host, target
            raise RuntimeError(f"the move could not be killed in phase {phase}")
        base, host, target = interrupted_move()
        start = time.monotonic()
        said, result, _ = recover(harness, host, work)
        span = time.monotonic() - start
        if result != 0:
            print(f"recovery kill test: the uninterrupted recovery failed ({said})")
            return False
        count = kills_wanted // len(scenes) + (s < kills_wanted % len(scenes))
        for k in range(count):
            offset = span * (k + 0.5) / count
            for _ in range(4):
                base, host, target = interrupted_move()
                _, _, killed = recover(harness, host, work, kill_after=offset)
                if killed:
                    break
                offset /= 2
            if not killed:
                continue
            kills += 1
            said, result, _ = recover(harness, host, work)
            problems, missing = problems_after(base, target, host, host_tool, originals)
            lost += bool(missing)
            if result != 0 or problems:
                failed += 1
                print(f"recovery killed after {offset:.2f} s (move killed in phase {phase}): "
                      f"next recovery said {said!r} ({result}); {'; '.join(problems)}")
    print(f"recovery kill test: {kills} kills, {lost} lost")
    return kills == kills_wanted and lost == 0 and failed == 0


def main():
    build = os.path.abspath(sys.argv[1])
    kills = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    recovery_kills = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    tools = (os.path.join(build, "tools", "halvex-move"),
             os.path.join(build, "tools", "halvex-host"))
    scratch = tempfile.mkdtemp(prefix="halvex-recovery-")
    try:
        pristine = os.path.join(scratch, "pristine")
        make_larger_tree(pristine)
        originals = kt.digests(pristine)
        work = os.path.join(scratch, "work")
        ok = recovery_test(tools, work, pristine, originals, kills)
        ok = recovery_kill_test(tools, work, pristine, originals, recovery_kills) and ok
        return 0 if ok else 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
