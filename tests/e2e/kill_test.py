#!/usr/bin/env python3
"""Kills the move harness with SIGKILL at spread-out moments of a move, and checks after each
kill that every original file still exists, with its content, under its original path, its
parked path or its target path.

usage: kill_test.py BUILD_DIR [KILLS]"""
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time


def random_writer(base, rng):
    """write(rel, size): a file of size random bytes at base/rel, its folders made."""
    def write(rel, size):
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
    return write


def make_tree(base, seed=7):
    rng = random.Random(seed)
    write = random_writer(base, rng)
    write("Software/Big Game/data.pak", 48 << 20)
    write("Downloads/cache/installer.bin", 16 << 20)
    for i in range(1500):
        write(f"Software/Game {i % 7}/level {i % 23}/asset{i}.dat", rng.randint(1, 16) << 10)
    for i in range(700):
        write(f"Downloads/cache/part {i % 11}/chunk{i}.bin", rng.randint(1, 16) << 10)


def digests(base):
    out = {}
    for top in ("Software", "Downloads"):
        for dirpath, _, names in os.walk(os.path.join(base, top)):
            for name in names:
                path = os.path.join(dirpath, name)
                with open(path, "rb") as f:
                    out[os.path.relpath(path, base)] = hashlib.sha256(f.read()).hexdigest()
    return out


def digest_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def places(base, target, top):
    """The folders that may hold a top folder's data after any moment of a move."""
    found = [os.path.join(base, top)]
    found += [os.path.join(base, n) for n in os.listdir(base) if n.startswith(top + "Varko")]
    if os.path.isdir(target):
        for game in os.listdir(target):
            if game.startswith("Oculus game"):
                folder = os.path.join(target, game)
                found += [os.path.join(folder, n) for n in os.listdir(folder) if n.startswith(top)]
    return found


def lost_files(base, target, originals):
    lost = []
    candidates = {top: places(base, target, top) for top in ("Software", "Downloads")}
    for rel, digest in originals.items():
        top, rest = rel.split(os.sep, 1)
        if not any(digest_of(os.path.join(p, rest)) == digest for p in candidates[top]):
            lost.append(rel)
    return lost


def set_up(work, pristine, host_tool):
    shutil.rmtree(work, ignore_errors=True)
    base, host, target = (os.path.join(work, n) for n in ("Oculus", "host", "target"))
    os.makedirs(target)
    # Hard links: a move only reads, renames and unlinks the originals, never writes into them.
    subprocess.run(["cp", "-al", pristine, base], check=True)
    run = lambda *a: subprocess.run([host_tool, "--host", host, *a], check=True,
                                    stdout=subprocess.DEVNULL)
    run("registry", "set-base", base + os.sep)
    run("services", "install", "stop_ms=0", "start_ms=0", "stop_hint=0", "start_hint=0")
    return base, host, target


FORWARD = ["1", "0", "2", "3", "6", "4", "5", "12"]


def run_move(harness, target, host, work, kill_at=None):
    """Runs the harness. Returns the phases with the times they began, the exit code, and,
    when kill_at = (phase, seconds) is given, the phase in which the kill came (None if the
    move ended first)."""
    env = dict(os.environ, HALVEX_HOST=host)
    proc = subprocess.Popen([harness, "--target", target, "--yes"], env=env, cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    timeline, killed_in = [], None
    for line in proc.stdout:
        if not line.startswith("phase:"):
            continue
        phase = line.split()[1]
        timeline.append((phase, time.monotonic()))
        if kill_at and phase == kill_at[0]:
            time.sleep(kill_at[1])
            if proc.poll() is None:
                proc.kill()
                killed_in = timeline[-1][0]
            break
    proc.stdout.close()
    rc = proc.wait()
    return (timeline, rc, killed_in) if kill_at else (timeline, rc)


def kill_plan(timeline, kills):
    """Spreads the kills over the forward phases: a few in each, the rest by duration."""
    spans = {}
    for (phase, t0), (_, t1) in zip(timeline, timeline[1:]):
        if phase in FORWARD:
            spans[phase] = spans.get(phase, 0.0) + (t1 - t0)
    total = sum(spans.values()) or 1.0
    count = {p: 2 for p in spans}
    for _ in range(kills - 2 * len(spans)):
        p = max(spans, key=lambda q: spans[q] / total - count[q] / kills)
        count[p] += 1
    return [(p, spans[p] * (k + 0.5) / count[p]) for p in FORWARD if p in spans
            for k in range(count[p])]


def main():
    build = os.path.abspath(sys.argv[1])
    kills_wanted = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    host_tool = os.path.join(build, "tools", "halvex-host")
    harness = os.path.join(build, "tools", "halvex-move")
    scratch = tempfile.mkdtemp(prefix="halvex-kill-")
    try:
        pristine = os.path.join(scratch, "pristine")
        make_tree(pristine)
        originals = digests(pristine)
        work = os.path.join(scratch, "work")

        # One whole move, to learn when each phase begins and how long it lasts.
        base, host, target = set_up(work, pristine, host_tool)
        timeline, rc = run_move(harness, target, host, work)
        if rc != 0 or lost_files(base, target, originals):
            print("kill test: 0 kills, 0 lost (the uninterrupted move failed or lost files)")
            return 1
        plan = kill_plan(timeline, kills_wanted)

        kills, lost, phases = 0, 0, []
        for i, (phase, offset) in enumerate(plan):
            # A run faster than the measured one may end before the kill: try again, sooner.
            for _ in range(4):
                base, host, target = set_up(work, pristine, host_tool)
                _, _, reached = run_move(harness, target, host, work, kill_at=(phase, offset))
                if reached is not None:
                    break
                offset /= 2
            kills += reached is not None
            phases.append(str(reached))
            missing = lost_files(base, target, originals)
            if missing:
                lost += 1
                print(f"kill {i} in phase {reached}: {len(missing)} files lost, e.g. {missing[0]}")
        work_ms = int(1000 * (timeline[-1][1] - timeline[0][1]))
        print(f"phases at the kills: {' '.join(phases)} (a move takes {work_ms} ms)")
        print(f"kill test: {kills} kills, {lost} lost")
        return 0 if lost == 0 and kills == len(plan) else 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
