#!/usr/bin/env python3
"""Kills the move harness with SIGKILL at random moments of the copy of a large library (files
of 100 MiB to 1 GiB), continues each stopped move with --recover --continue, and checks that
nothing is lost and that the continue copied again no more than the files in flight at the kill:
the bytes the copies held at the kill, less those the continue kept, never exceed the sizes of
the files the copy log did not list yet.

usage: resume_test.py BUILD_DIR [KILLS]"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kill_test import digests, lost_files, run_move, set_up  # noqa: E402

MIB = 1 << 20
LARGE = [("Software/Big Game/data.pak", 1024 * MIB), ("Software/Other/level.pak", 256 * MIB),
         ("Downloads/cache/installer.bin", 100 * MIB)]


def make_tree(base, seed=11):
    """Large files whose every MiB differs (a block of random bytes and its index), and a few
    hundred small ones."""
    rng = random.Random(seed)
    block = rng.randbytes(MIB - 8)
    for rel, size in LARGE:
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            for i in range(size // MIB):
                f.write(i.to_bytes(8, "little") + block)
    for i in range(300):
        path = os.path.join(base, f"Software/Other/assets {i % 9}/a{i}.dat")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randint(1, 64) << 10))


def logged(host):
    """The paths the copy log lists, as "Tree/path below it"."""
    paths, tree = set(), None
    try:
        with open(os.path.join(host, "state", "move.copied"), encoding="utf-8",
                  errors="replace") as f:
            for line in f:
                if not line.endswith("\n"):
                    break
                key, _, value = line.rstrip("\r\n").partition("=")
                if key == "tree":
                    tree = value
                elif key == "file" and tree:
                    paths.add(tree + "/" + value.split(" ", 3)[3])
    except FileNotFoundError:
        pass
    return paths


def at_the_kill(base, target, host):
    """The bytes the copies hold, and the full sizes of the files they hold that the log does
    not list (in flight at the kill)."""
    present = in_flight = 0
    listed = logged(host)
    copies = os.path.join(target, "Oculus game")
    for top in ("Software", "Downloads"):
        for dirpath, _, names in os.walk(os.path.join(copies, top)):
            for name in names:
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, os.path.join(copies, top))
                present += os.lstat(path).st_size
                if top + "/" + rel not in listed:
                    in_flight += os.path.getsize(os.path.join(base, top + "Varko", rel))
    return present, in_flight


def run(harness, args, host, work):
    env = dict(os.environ, HALVEX_HOST=host)
    return subprocess.run([harness, *args], env=env, cwd=work, capture_output=True, text=True)


def move_killed_at(harness, target, host, work, seconds):
    """Starts the move and kills it seconds after its copy began; False when it ended first."""
    env = dict(os.environ, HALVEX_HOST=host)
    proc = subprocess.Popen([harness, "--target", target, "--yes"], env=env, cwd=work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    killed, last = False, None
    for line in proc.stdout:
        if line.startswith("phase: 2"):
            time.sleep(seconds)
            killed = proc.poll() is None
            proc.kill()
            break
    # Only a kill while it copied or checked its copies leaves a copy to continue.
    for line in proc.stdout:
        if line.startswith("phase:"):
            last = line.split()[1]
    proc.stdout.close()
    proc.wait()
    return killed and last in (None, "2", "3")


def main():
    build = os.path.abspath(sys.argv[1])
    kills_wanted = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    host_tool = os.path.join(build, "tools", "halvex-host")
    harness = os.path.join(build, "tools", "halvex-move")
    scratch = tempfile.mkdtemp(prefix="halvex-resume-", dir=os.environ.get("HALVEX_RESUME_DIR"))
    rng = random.Random(int(os.environ.get("HALVEX_RESUME_SEED", "5")))
    try:
        pristine = os.path.join(scratch, "pristine")
        make_tree(pristine)
        originals = digests(pristine)
        work = os.path.join(scratch, "work")

        # One whole move: how long it takes, and its copy (and check) from phase 2 to 6.
        base, host, target = set_up(work, pristine, host_tool)
        start = time.monotonic()
        timeline, rc = run_move(harness, target, host, work)
        whole_s = time.monotonic() - start
        if rc != 0 or lost_files(base, target, originals):
            print("resume test: 0 kills, 0 lost (the uninterrupted move failed or lost files)")
            return 1
        began = {phase: t for phase, t in reversed(timeline)}
        copy_s = max(0.2, began.get("6", began["2"] + 1.0) - began["2"])

        kills = lost = over = 0
        added = []
        for i in range(kills_wanted):
            for _ in range(4):
                base, host, target = set_up(work, pristine, host_tool)
                offset = rng.uniform(0.05, 0.95) * copy_s
                start = time.monotonic()
                if move_killed_at(harness, target, host, work, offset):
                    break
                copy_s /= 2
            else:
                print(f"kill {i}: the move always ended before the kill")
                continue
            kills += 1
            present, in_flight = at_the_kill(base, target, host)
            went_on = run(harness, ["--recover", "--continue", "--json"], host, work)
            added.append(time.monotonic() - start - whole_s)
            try:
                outcome = json.loads(went_on.stdout)
            except ValueError:
                outcome = {}
            missing = lost_files(base, target, originals)
            if went_on.returncode != 0 or outcome.get("result") != 0 or missing:
                lost += 1
                print(f"kill {i}: continue ended {went_on.returncode} "
                      f"({outcome.get('closing', went_on.stdout[-300:])}); {len(missing)} lost")
                continue
            again = max(0, present - outcome.get("bytesKept", 0))
            if again > in_flight:
                over += 1
            print(f"kill {i} at {offset:.1f} s: {present // MIB} MiB copied, "
                  f"{outcome.get('bytesKept', 0) // MIB} MiB kept, {again // MIB} MiB copied again "
                  f"(in flight: {in_flight // MIB} MiB)")
        mean_added = sum(added) / len(added) if added else 0.0
        print(f"resume test: {kills} kills, {lost} lost, re-copied ≤ the in-flight files "
              f"{'every time' if over == 0 else f'but {over} times more'}; "
              f"added time {mean_added:+.1f} s on a {whole_s:.1f} s move")
        return 0 if lost == 0 and over == 0 and kills == kills_wanted else 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
