#!/usr/bin/env python3
"""The device cut sweep: power cuts on real file systems, with a drive that loses what it was
never told to flush.

The installation and the host folder (journal, services) live on an ext4 image of their own, the
"system drive", mounted with commit=300 so that it commits only when asked. The target is a
second image: exFAT through exfat-fuse, NTFS through ntfs-3g, or ext4. The target's loop device
is marked as having a volatile write cache, and its flush count is read from
/sys/block/loopN/stat. The move is held right before and right after every step that makes
something durable (halvex-move --hold-at-durable), and so is the move back that follows it
(halvex-move --back). Then a third move is killed in the middle of its copy, as a crash would
end it, and the continue that goes on with it (halvex-move --recover --continue) is held the same
way. At each hold both images are copied as they stand, and the target also as it stood at its
last flush: what a drive with a volatile cache keeps when the power goes. Each cut is mounted
back where the move had it, the services are set running (they start with the system), and
halvex-move --recover runs; where it refuses because the stopped copy can only be continued,
halvex-move --recover --continue runs after it (and for the continue's cuts, every other one
is continued where halvex-move --status says it may be). Every
original file must then be whole in exactly one reachable place, with nothing of the move left,
or the recovery must refuse and name where the data is. The continue must flush the target at
least once before it records its copies checked.

Prints for each kind "device cut sweep (KIND): H holds, C cuts, R refused, L lost", the same
for the continue's cuts alone ("device cut sweep (KIND, continuing): ...", with how many were
continued) and "continue: N flushes of the target before its check" (0 fails the sweep).
Closes with "device cut sweep: N cuts, R refused, L lost". Needs root and loop devices; without
them it says why and passes.

usage: devicecut.py BUILD_DIR [exfat|ntfs|ext4 ...]"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1])
KINDS = sys.argv[2:] or ["exfat", "ntfs", "ext4"]
HOST_TOOL = os.path.join(BUILD, "tools", "halvex-host")
HARNESS = os.path.join(BUILD, "tools", "halvex-move")
TOPS = ("Software", "Downloads")
COPYING = 2  # the task phase of the copy
# The move to continue is ended this many platform calls into its copy. A file takes about
# four: this ends it near the middle, with some 80 of the library's 182 files copied.
KILL_AFTER_CALLS = 360


def sh(*args, check=True, **kw):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Skip(Exception):
    pass


class Disk:
    """An image attached to a loop device and mounted at a folder."""

    def __init__(self, image, point, kind):
        self.image, self.point, self.kind = image, point, kind
        self.dev = None

    def attach(self, volatile_cache=False):
        self.dev = sh("losetup", "-f", "--show", self.image, check=False).stdout.strip()
        if not self.dev.startswith("/dev/"):
            raise Skip("no free loop device")
        if volatile_cache:
            with open(self.sysfs("queue/write_cache"), "w") as f:
                f.write("write back")
        os.makedirs(self.point, exist_ok=True)
        how = {"exfat": ["-t", "exfat-fuse"], "ntfs": ["-t", "ntfs-3g"],
               "ext4": ["-o", "commit=300"]}[self.kind]
        if sh("mount", *how, self.dev, self.point, check=False).returncode != 0:
            sh("losetup", "-d", self.dev, check=False)
            self.dev = None
            raise Skip(f"cannot mount {self.kind}")

    def detach(self):
        if self.dev is None:
            return
        for _ in range(100):
            if sh("umount", self.point, check=False).returncode == 0:
                break
            sh("sleep", "0.1")
        sh("losetup", "-d", self.dev, check=False)
        self.dev = None

    def sysfs(self, name):
        return f"/sys/block/{os.path.basename(self.dev)}/{name}"

    def flushes(self):
        with open(self.sysfs("stat")) as f:
            return int(f.read().split()[15])  # the flush requests the device received


def make_image(path, kind, mib):
    sh("truncate", "-s", f"{mib}M", path)
    mkfs = {"exfat": ["mkfs.exfat"], "ntfs": ["mkfs.ntfs", "-Q", "-F"],
            "ext4": ["mkfs.ext4", "-q", "-F"]}[kind]
    if sh(*mkfs, path, check=False).returncode != 0:
        raise Skip(f"cannot make a {kind} image")


def copy_image(source, target):
    sh("cp", "--sparse=always", source, target)


def populate(base):
    """A small library: nested folders, a few larger files, many small ones, odd names."""
    files = {}
    for i in range(120):
        rel = os.path.join("Software", f"Game {i % 3}", f"level {i % 4}", f"asset {i}.pak")
        files[rel] = os.urandom(2000 + 531 * i)
    files[os.path.join("Software", "Game 0", "big.bin")] = os.urandom(3 << 20)
    files[os.path.join("Software", "Game 1", "sp\u00e9cial \u30bb\u30fc\u30d6.dat")] = b"save"
    for i in range(60):
        files[os.path.join("Downloads", "cache", f"part{i}.bin")] = os.urandom(700 + 97 * i)
    digests = {}
    for rel, data in files.items():
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        digests[rel] = hashlib.sha256(data).hexdigest()
    os.makedirs(os.path.join(base, "Downloads", "empty"))
    return digests


class Sweep:
    def __init__(self, work, kind):
        self.work, self.kind = work, kind
        self.system = Disk(os.path.join(work, "system.img"), os.path.join(work, "system"), "ext4")
        self.target = Disk(os.path.join(work, "target.img"), os.path.join(work, "target"), kind)
        self.host = os.path.join(self.system.point, "host")
        self.base = os.path.join(self.system.point, "Oculus")
        self.copies = os.path.join(self.target.point, "Oculus game")
        self.cwd = os.path.join(work, "cwd")
        os.makedirs(self.cwd)
        self.cuts = []  # (what, system image, target image)

    def env(self):
        return dict(os.environ, HALVEX_HOST=self.host)

    def host_tool(self, *args):
        return sh(HOST_TOOL, "--host", self.host, *args)

    def set_up(self):
        make_image(self.system.image, "ext4", 96)
        make_image(self.target.image, self.kind, 64)
        self.system.attach()
        self.target.attach(volatile_cache=True)
        self.digests = populate(self.base)
        self.host_tool("registry", "set-base", self.base + "/")
        self.host_tool("services", "install", "stop_ms=0", "start_ms=0", "stop_hint=0",
                       "start_hint=0")
        sh("sync")  # the machine as it was before the move: all of it on the media

    def record_move(self, command, label, baseline=None, every_after_check=1):
        """Runs the move (or the move back, or a continue), holding it at every durable step to
        copy the disks as they stand. baseline: the target's image and its flush count at its
        last flush, where that is older than the target as it stands. Once the journal records
        the copies checked, only one hold in every_after_check is cut. Returns the holds, and
        the flushes the target counted from the start until the journal recorded the copies
        checked (None where it never did)."""
        sh("sync")  # what came before is on the media
        shots = os.path.join(self.work, "shots-" + label.replace(" ", "-"))
        os.makedirs(shots)
        if baseline:
            flushed_image, flushes = baseline
        else:
            flushed_image = os.path.join(shots, "target-0.img")
            copy_image(self.target.image, flushed_image)
            flushes = self.target.flushes()
        at_start, before_check = self.target.flushes(), None
        proc = subprocess.Popen([HARNESS, *command, "--hold-at-durable"],
                                env=self.env(), cwd=self.cwd, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        output, k, checked_at = "", 0, None
        for line in proc.stdout:
            output += line
            # The engine's own diagnostics may end without a line end: the cue follows them.
            if "held: " not in line:
                continue
            line = line[line.index("held: "):]
            k += 1
            now = self.target.flushes()
            if before_check is None and self.copies_checked():
                before_check, checked_at = now - at_start, k
            if checked_at is not None and (k - checked_at) % every_after_check != 0:
                if now != flushes:  # the next cut's target at its last flush
                    flushes, flushed_image = now, os.path.join(shots, f"target-{k}.img")
                    copy_image(self.target.image, flushed_image)
                proc.stdin.write("\n")
                proc.stdin.flush()
                continue
            system_image = os.path.join(shots, f"system-{k}.img")
            target_image = os.path.join(shots, f"target-{k}.img")
            copy_image(self.system.image, system_image)
            copy_image(self.target.image, target_image)
            if now != flushes:
                flushes, flushed_image = now, target_image
            what = label + ", " + line.strip()[len("held: "):]
            self.cuts.append((label, what + ", the target at its last flush", system_image,
                              flushed_image))
            if flushed_image != target_image:
                self.cuts.append((label, what + ", the target as it stands", system_image,
                                  target_image))
            proc.stdin.write("\n")
            proc.stdin.flush()
        proc.wait()
        if "result: 0" not in output:
            raise RuntimeError(f"the {label} did not succeed:\n{output[-2000:]}")
        return k, before_check

    def copies_checked(self):
        """Whether the journal on the system drive records the copies checked."""
        try:
            with open(os.path.join(self.host, "state", "move.journal"), encoding="utf-8") as f:
                return "checked=1" in f.read().splitlines()
        except FileNotFoundError:
            return False

    def copy_log_files(self):
        """The files the copy log lists as copied whole."""
        try:
            with open(os.path.join(self.host, "state", "move.copied"), encoding="utf-8",
                      errors="replace") as f:
                return sum(1 for line in f if line.startswith("file=") and line.endswith("\n"))
        except FileNotFoundError:
            return 0

    def kill_in_copy(self):
        """Starts a move and ends it at once in the middle of its copy, as a crash would, with
        some of its files in the copy log and not all. Returns the target as it stood at its
        last flush, for the continue that follows: before the move, where the move flushed
        nothing (a power cut may then take every copy it made)."""
        sh("sync")
        shots = os.path.join(self.work, "shots-killed")
        os.makedirs(shots)
        image = os.path.join(shots, "target.img")
        copy_image(self.target.image, image)
        flushes = self.target.flushes()
        killed = subprocess.run([HARNESS, "--target", self.target.point, "--yes", "--die-at",
                                 f"{COPYING}:{KILL_AFTER_CALLS}"], env=self.env(), cwd=self.cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        listed = self.copy_log_files()
        if killed.returncode != 137 or not 0 < listed < len(self.digests):
            raise RuntimeError(f"the move to kill ended {killed.returncode} with {listed} of "
                               f"{len(self.digests)} files in the copy log; it must end in the "
                               f"middle of its copy (KILL_AFTER_CALLS):\n"
                               f"{killed.stdout[-1500:]}")
        self.killed_listed = listed
        return (image, flushes) if self.target.flushes() == flushes else None

    def recover(self, system_image, target_image, rather_continue):
        """Mounts one cut where the move had its disks and recovers it, on copies: a shot may
        stand for several cuts. halvex-move --recover runs; where it refuses because the stopped
        copy can only be continued (which changes nothing), halvex-move --recover --continue
        runs after it. With rather_continue, the continue runs at once where the status offers
        it beside another way. Returns the output, the judgement, and whether it continued."""
        copy_image(system_image, os.path.join(self.work, "cut-system.img"))
        copy_image(target_image, os.path.join(self.work, "cut-target.img"))
        system = Disk(os.path.join(self.work, "cut-system.img"), self.system.point, "ext4")
        target = Disk(os.path.join(self.work, "cut-target.img"), self.target.point, self.kind)
        system.attach()
        try:
            target.attach()
            try:
                for name in ("OVRLibraryService", "OVRService"):
                    set_running = sh(HOST_TOOL, "--host", self.host, "services", "set", name,
                                     "state=running", check=False)
                    if set_running.returncode != 0:  # judged as a failure, and the sweep goes on
                        folder = os.path.join(self.host, "services")
                        found = {n: os.path.getsize(os.path.join(folder, n))
                                 for n in (os.listdir(folder) if os.path.isdir(folder) else [])}
                        return "", (False, f"the cut's {name} cannot be set running: "
                                           f"{set_running.stdout.strip()} (services folder: "
                                           f"{found or 'none'})"), False
                continuing = rather_continue and self.continue_offered()
                if not continuing:
                    out = self.harness("--recover")
                    continuing = "can only be continued" in out
                if continuing:
                    out = self.harness("--recover", "--continue")
                return out, self.judge(out), continuing
            finally:
                target.detach()
        finally:
            system.detach()

    def harness(self, *args):
        return subprocess.run([HARNESS, *args], env=self.env(), cwd=self.cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout

    def continue_offered(self):
        """Whether the stopped move waiting may be continued, by halvex-move --status."""
        status = subprocess.run([HARNESS, "--status", "--json"], env=self.env(), cwd=self.cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                text=True).stdout
        try:
            return bool((json.loads(status).get("pending") or {}).get("canContinue"))
        except ValueError:
            return False

    def whole_at(self, places):
        """The first original file not whole in one of its top folder's places, or None."""
        for rel, want in self.digests.items():
            top, _, rest = rel.partition(os.sep)
            if not any(os.path.isfile(os.path.join(p, rest)) and
                       digest(os.path.join(p, rest)) == want for p in places[top]):
                return rel
        return None

    def judge(self, out):
        """(refused, problem): problem is None when the cut lost nothing."""
        lines = dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)
        said = lines.get("recovery", "")
        if said.startswith("refused: "):
            why = said[len("refused: "):]
            places = {top: [p for p in (os.path.join(self.base, top),
                                        os.path.join(self.base, top + "Varko"),
                                        os.path.join(self.base, top + "Back"),
                                        os.path.join(self.copies, top)) if p in why]
                      for top in TOPS}
            lost = self.whole_at(places)
            return True, (f"refused without naming where {lost} is: {why}" if lost else None)
        if lines.get("result") != "0":
            return False, f"the recovery ended {lines.get('result')!r}:\n{out[-1500:]}"
        links = [os.path.islink(os.path.join(self.base, top)) for top in TOPS]
        if any(links) != all(links):
            return False, "one folder at home and one linked"
        lost = self.whole_at({top: [os.path.join(self.base, top)] for top in TOPS})
        if lost:
            return False, f"lost {lost} ({said})"
        left = sorted(set(os.listdir(self.base)) - set(TOPS))
        if left:
            return False, f"left in the base folder: {left}"
        if not any(links) and os.path.exists(self.copies):
            for _, _, names in os.walk(self.copies):
                if names:
                    return False, "a copy left beside the data at home"
        if os.path.exists(os.path.join(self.host, "state", "move.journal")):
            return False, "the journal is left"
        for name in ("OVRLibraryService", "OVRService"):
            shown = self.host_tool("services", "show", name).stdout
            if "running" not in shown.splitlines()[0]:
                return False, f"{name} is not running: {shown.strip()}"
        return False, None

    def run(self):
        self.set_up()
        try:
            holds, _ = self.record_move(["--target", self.target.point, "--yes"], "moving")
            # And the library's way home, from the moved state the move left on the media.
            back, _ = self.record_move(["--back"], "moving back")
            # A move killed in its copy, and the continue that goes on with it.
            baseline = self.kill_in_copy()
            # From its check on it takes the move's own steps, which the first run cuts at every
            # hold: there the continue is cut at one in two.
            going_on, before_check = self.record_move(["--recover", "--continue"], "continuing",
                                                      baseline, every_after_check=2)
        finally:
            self.target.detach()
            self.system.detach()
        holds += back + going_on
        refused = lost = 0
        counts = {"cuts": 0, "refused": 0, "lost": 0, "continued": 0}
        for label, where, system_image, target_image in self.cuts:
            mine = label == "continuing"
            # Where a cut of the continue may be continued or put back, both ways are taken.
            rather_continue = mine and counts["cuts"] % 2 == 1
            out, (was_refused, problem), continued = self.recover(system_image, target_image,
                                                                  rather_continue)
            refused += was_refused
            if problem:
                lost += 1
                print(f"LOST {self.kind}, held at {where}: {problem}")
            if mine:
                counts["cuts"] += 1
                counts["refused"] += was_refused
                counts["lost"] += bool(problem)
                counts["continued"] += continued
        print(f"device cut sweep ({self.kind}): {holds} holds, {len(self.cuts)} cuts, "
              f"{refused} refused, {lost} lost")
        print(f"device cut sweep ({self.kind}, continuing): {going_on} holds after a kill with "
              f"{self.killed_listed} of {len(self.digests)} files in the copy log, "
              f"{counts['cuts']} cuts, {counts['refused']} refused, {counts['lost']} lost, "
              f"{counts['continued']} recovered by continuing")
        flushed = before_check is not None and before_check > 0
        print(f"{'' if flushed else 'FAILED: '}continue: {before_check or 0} flushes of the "
              f"target before its check{'' if flushed else ' (its copies were never made durable)'}")
        return len(self.cuts), refused, lost, flushed


def main():
    if os.geteuid() != 0:
        print("device cut sweep: skipped (loop devices and mounts need root)")
        return 0
    if not os.path.exists("/dev/loop-control"):
        print("device cut sweep: skipped (this machine has no loop devices)")
        return 0
    if not (os.access(HARNESS, os.X_OK) and os.access(HOST_TOOL, os.X_OK)):
        print(f"device cut sweep: the harness is not built in {BUILD}")
        return 1
    cuts = refused = lost = 0
    unflushed = []
    for kind in KINDS:
        work = tempfile.mkdtemp(prefix=f"halvex-devicecut-{kind}-", dir="/var/tmp")
        sweep = Sweep(work, kind)
        try:
            n, r, l, flushed = sweep.run()
            cuts, refused, lost = cuts + n, refused + r, lost + l
            if not flushed:
                unflushed.append(kind)
        except Skip as why:
            print(f"device cut sweep ({kind}): skipped ({why})")
        finally:
            sweep.target.detach()
            sweep.system.detach()
            shutil.rmtree(work, ignore_errors=True)
    print(f"device cut sweep: {cuts} cuts, {refused} refused, {lost} lost")
    return 0 if lost == 0 and not unflushed else 1


if __name__ == "__main__":
    sys.exit(main())
