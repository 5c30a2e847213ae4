#!/usr/bin/env python3
"""The device cut sweep: power cuts on real file systems, with a drive that loses what it was
never told to flush.

The installation and the host folder (journal, services) live on an ext4 image of their own, the
"system drive", mounted with commit=300 so that it commits only when asked. The target is a
second image: exFAT through exfat-fuse, NTFS through ntfs-3g, or ext4. The target's loop device
is marked as having a volatile write cache, and its flush count is read from
/sys/block/loopN/stat. The move is held right before and right after every step that makes
something durable (halvex-move --hold-at-durable), and so is the move back that follows it
(halvex-move --back); at each hold both images are copied as they
stand, and the target also as it stood at its last flush: what a drive with a volatile cache
keeps when the power goes. Each cut is mounted back where the move had it, the services are
set running (they start with the system), and halvex-move --recover runs. Every original file
must then be whole in exactly one reachable place, with nothing of the move left, or the
recovery must refuse and name where the data is.

Closes with "device cut sweep: N cuts, R refused, L lost". Needs root and loop devices; without
them it says why and passes.

usage: devicecut.py BUILD_DIR [exfat|ntfs|ext4 ...]"""
import hashlib
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

    def record_move(self, command, label):
        """Runs the move (or the move back), holding it at every durable step to copy the disks
        as they stand."""
        sh("sync")  # what came before is on the media
        proc = subprocess.Popen([HARNESS, *command, "--hold-at-durable"],
                                env=self.env(), cwd=self.cwd, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        shots = os.path.join(self.work, "shots-" + label.replace(" ", "-"))
        os.makedirs(shots)
        flushed_image = os.path.join(shots, "target-0.img")
        copy_image(self.target.image, flushed_image)
        flushes = self.target.flushes()
        output, k = "", 0
        for line in proc.stdout:
            output += line
            if not line.startswith("held: "):
                continue
            k += 1
            now = self.target.flushes()
            system_image = os.path.join(shots, f"system-{k}.img")
            target_image = os.path.join(shots, f"target-{k}.img")
            copy_image(self.system.image, system_image)
            copy_image(self.target.image, target_image)
            if now != flushes:
                flushes, flushed_image = now, target_image
            what = label + ", " + line.strip()[len("held: "):]
            self.cuts.append((what + ", the target at its last flush", system_image, flushed_image))
            if flushed_image != target_image:
                self.cuts.append((what + ", the target as it stands", system_image,
                                  target_image))
            proc.stdin.write("\n")
            proc.stdin.flush()
        proc.wait()
        if "result: 0" not in output:
            raise RuntimeError(f"the move did not succeed:\n{output[-2000:]}")
        return k

    def recover(self, system_image, target_image):
        """Mounts one cut where the move had its disks and recovers it, on copies: a shot may
        stand for several cuts."""
        copy_image(system_image, os.path.join(self.work, "cut-system.img"))
        copy_image(target_image, os.path.join(self.work, "cut-target.img"))
        system = Disk(os.path.join(self.work, "cut-system.img"), self.system.point, "ext4")
        target = Disk(os.path.join(self.work, "cut-target.img"), self.target.point, self.kind)
        system.attach()
        try:
            target.attach()
            try:
                for name in ("OVRLibraryService", "OVRService"):
                    self.host_tool("services", "set", name, "state=running")
                out = subprocess.run([HARNESS, "--recover"], env=self.env(), cwd=self.cwd,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True).stdout
                return out, self.judge(out)
            finally:
                target.detach()
        finally:
            system.detach()

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
            holds = self.record_move(["--target", self.target.point, "--yes"], "moving")
            # And the library's way home, from the moved state the move left on the media.
            holds += self.record_move(["--back"], "moving back")
        finally:
            self.target.detach()
            self.system.detach()
        refused = lost = 0
        for what, system_image, target_image in self.cuts:
            out, (was_refused, problem) = self.recover(system_image, target_image)
            refused += was_refused
            if problem:
                lost += 1
                print(f"LOST {self.kind}, held at {what}: {problem}")
        print(f"device cut sweep ({self.kind}): {holds} holds, {len(self.cuts)} cuts, "
              f"{refused} refused, {lost} lost")
        return len(self.cuts), refused, lost


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
    for kind in KINDS:
        work = tempfile.mkdtemp(prefix=f"halvex-devicecut-{kind}-", dir="/var/tmp")
        sweep = Sweep(work, kind)
        try:
            n, r, l = sweep.run()
            cuts, refused, lost = cuts + n, refused + r, lost + l
        except Skip as why:
            print(f"device cut sweep ({kind}): skipped ({why})")
        finally:
            sweep.target.detach()
            sweep.system.detach()
            shutil.rmtree(work, ignore_errors=True)
    print(f"device cut sweep: {cuts} cuts, {refused} refused, {lost} lost")
    return 0 if lost == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
