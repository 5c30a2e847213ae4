#!/usr/bin/env python3
"""One whole move per class of real-world fault, through the move harness (halvex-move), on real
folders, loop-mounted volumes, bind mounts and real writer processes. After each move it checks
every file's content where the result says the data lives, the data outside the installation,
the links, and the services' states. Closes with "realworld: N passed, F failed[, K skipped]".

usage: realworld.py BUILD_DIR"""
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1])
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""  # runs only the cases whose names hold it
HOST_TOOL = os.path.join(BUILD, "tools", "halvex-host")
HARNESS = os.path.join(BUILD, "tools", "halvex-move")
ROOT = os.geteuid() == 0


class Skip(Exception):
    pass


def sh(*args, check=True, **kw):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kw)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class World:
    """A scratch machine: host folder, installation, outside data, target."""

    def __init__(self, scratch, name):
        self.dir = os.path.join(scratch, name)
        os.makedirs(self.dir)
        self.host = os.path.join(self.dir, "host")
        self.base = os.path.join(self.dir, "Oculus")
        self.outside = os.path.join(self.dir, "outside")
        self.target = os.path.join(self.dir, "target")
        self.cleanups = []
        os.makedirs(self.target)
        for i in range(3):
            write(os.path.join(self.outside, f"keep{i}.dat"), os.urandom(700))
        for i in range(40):
            write(os.path.join(self.base, "Software", f"Game {i % 4}", f"level {i % 5}", f"asset{i}.pak"),
                  os.urandom(1000 + 97 * i))
        for i in range(20):
            write(os.path.join(self.base, "Downloads", "cache", f"part{i}.bin"), os.urandom(500 + 31 * i))
        os.makedirs(os.path.join(self.base, "Downloads", "empty"))
        os.symlink(self.outside, os.path.join(self.base, "Software", "Game 0", "shared"))
        self.host_tool("registry", "set-base", self.base + "/")
        self.host_tool("services", "install", "stop_ms=0", "start_ms=0", "stop_hint=0", "start_hint=0")
        self.snapshot()

    def host_tool(self, *args):
        return sh(HOST_TOOL, "--host", self.host, *args).stdout

    def snapshot(self):
        """Remembers every file's content (links followed) and the outside data."""
        self.files = {}
        for top in ("Software", "Downloads"):
            for dirpath, _, names in os.walk(os.path.join(self.base, top), followlinks=True):
                for name in names:
                    path = os.path.join(dirpath, name)
                    if os.path.isfile(path):
                        self.files[os.path.relpath(path, self.base)] = digest(path)
        self.outside_files = {n: digest(os.path.join(self.outside, n)) for n in os.listdir(self.outside)}

    def move(self, target=None, *extra, user=None):
        cmd = [HARNESS, "--target", target or self.target, "--yes", *extra]
        if user is not None:
            cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + cmd
        proc = subprocess.run(cmd, env=dict(os.environ, HALVEX_HOST=self.host), cwd=self.dir,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        out = {}
        for line in proc.stdout.splitlines():
            key, _, value = line.partition(": ")
            out.setdefault(key.replace(" ", "-"), value)
        out["output"] = proc.stdout
        return out

    def recover(self):
        return self.move_like([HARNESS, "--recover"])

    def back(self, *extra):
        return self.move_like([HARNESS, "--back", *extra])

    def rehome(self, folder):
        """Moves the installation into folder (a volume of its own) and registers it there."""
        base = os.path.join(folder, "Oculus")
        sh("cp", "-a", self.base, base)
        shutil.rmtree(self.base)
        self.base = base
        self.host_tool("registry", "set-base", base + "/")
        self.snapshot()

    def move_like(self, cmd, stdin_lines=None):
        proc = subprocess.run(cmd, env=dict(os.environ, HALVEX_HOST=self.host), cwd=self.dir,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        out = {"exit": str(proc.returncode), "output": proc.stdout}
        for line in proc.stdout.splitlines():
            key, _, value = line.partition(": ")
            out.setdefault(key.replace(" ", "-"), value)
        return out

    def die_at(self, phase, calls):
        """A move killed before the callsth platform call after it entered phase."""
        out = self.move_like([HARNESS, "--target", self.target, "--yes", "--die-at", f"{phase}:{calls}"])
        if out["exit"] != "137":
            raise RuntimeError(f"the move was not killed at {phase}:{calls}:\n{out['output'][-800:]}")
        return out

    def journal(self):
        return os.path.join(self.host, "state", "move.journal")

    def copies(self, top=None):
        folder = os.path.join(self.target, "Oculus game")
        return os.path.join(folder, top) if top else folder

    def whole_in(self, places):
        """Every original file whole, with its content, in one of the places given for its
        top folder ({"Software": [...], "Downloads": [...]})."""
        problems = []
        for rel, want in self.files.items():
            top, _, rest = rel.partition(os.sep)
            if not any(os.path.isfile(os.path.join(p, rest)) and digest(os.path.join(p, rest)) == want
                       for p in places[top]):
                problems.append(f"file lost or changed: {rel}")
                break
        for name, want in self.outside_files.items():
            if digest(os.path.join(self.outside, name)) != want:
                problems.append(f"outside data changed: {name}")
        return problems

    def log(self):
        text = ""
        folder = os.path.join(self.dir, "log")
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                    text += f.read()
        return text

    def service(self, name):
        line = self.host_tool("services", "show", name).splitlines()[0]
        return line.split(":")[1].split("(")[0].strip()

    # ---- checks: each returns a list of problems ---------------------------------------------
    def data_whole(self):
        problems = []
        for rel, want in self.files.items():
            path = os.path.join(self.base, rel)
            if not os.path.isfile(path) or digest(path) != want:
                problems.append(f"file lost or changed: {rel}")
                break
        for name, want in self.outside_files.items():
            if digest(os.path.join(self.outside, name)) != want:
                problems.append(f"outside data changed: {name}")
        return problems

    def linked_to(self, target):
        problems = []
        for top in ("Software", "Downloads"):
            link = os.path.join(self.base, top)
            want = os.path.join(target, "Oculus game", top)
            if not os.path.islink(link) or os.readlink(link) != want:
                problems.append(f"{top} is not a link to {want}")
        for name in os.listdir(self.base):
            if "Varko" in name:
                problems.append(f"parked folder left: {name}")
        return problems

    def untouched(self):
        problems = []
        for top in ("Software", "Downloads"):
            if os.path.islink(os.path.join(self.base, top)):
                problems.append(f"{top} became a link")
        extra = set(os.listdir(self.base)) - {"Software", "Downloads"}
        if extra:
            problems.append(f"left in the base folder: {sorted(extra)}")
        return problems

    def services_running(self):
        return [f"{n} is {self.service(n)}" for n in ("OVRLibraryService", "OVRService")
                if self.service(n) != "running"]

    def expect(self, out, **fields):
        return [f"{k}: {out.get(k.replace('_', '-'))!r}, wanted {v!r}\n{out['output'][-1500:]}"
                for k, v in fields.items() if out.get(k.replace("_", "-")) != str(v)]

    def cleanup(self):
        for action in reversed(self.cleanups):
            action()


# ---- Real things ---------------------------------------------------------------------------------
def need_root():
    if not ROOT:
        raise Skip("loop devices, mounts and other users need root")


def loop_volume(world, kind, name, mib=64):
    need_root()
    point = os.path.join(world.dir, name)
    image = point + ".img"
    os.makedirs(point)
    sh("truncate", "-s", f"{mib}M", image)
    mkfs = {"exfat": ["mkfs.exfat"], "ntfs": ["mkfs.ntfs", "-Q", "-F"],
            "ext4": ["mkfs.ext4", "-q", "-F"]}[kind]
    if sh(*mkfs, image, check=False).returncode != 0:
        raise Skip(f"cannot make a {kind} image")
    dev = sh("losetup", "-f", "--show", image, check=False).stdout.strip()
    if not dev.startswith("/dev/"):
        raise Skip("no free loop device")
    mount = {"exfat": "exfat-fuse", "ntfs": "ntfs-3g", "ext4": "ext4"}[kind]
    if sh("mount", "-t", mount, dev, point, check=False).returncode != 0:
        sh("losetup", "-d", dev, check=False)
        raise Skip(f"cannot mount {kind}")

    def unmount():
        for _ in range(50):
            if sh("umount", point, check=False).returncode == 0:
                return True
            time.sleep(0.1)
        return False

    def undo():
        unmount()
        sh("losetup", "-d", dev, check=False)

    def remount():
        """What the driver kept only in its cache is gone afterwards."""
        return unmount() and sh("mount", "-t", mount, dev, point, check=False).returncode == 0
    world.cleanups.append(undo)
    world.__dict__.setdefault("remounts", {})[point] = remount
    world.__dict__.setdefault("unplugs", {})[point] = unmount
    world.__dict__.setdefault("plugs", {})[point] = \
        lambda: sh("mount", "-t", mount, dev, point, check=False).returncode == 0
    return point


def bind_mount(world, source, at):
    need_root()
    os.makedirs(at, exist_ok=True)
    sh("mount", "--bind", source, at)
    world.cleanups.append(lambda: sh("umount", at, check=False))


def writer(world, script, cwd):
    proc = subprocess.Popen(["sh", "-c", script], cwd=cwd)
    world.cleanups.append(lambda: (proc.kill(), proc.wait()))
    return proc


def wait_for(path):
    for _ in range(200):
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return False


# ---- The cases ---------------------------------------------------------------------------------
def case_plain_move(w):
    out = w.move()
    return w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole() + w.services_running()


def case_exfat_target(w):
    vol = loop_volume(w, "exfat", "exfat")
    out = w.move(vol)
    return w.expect(out, result=0) + w.linked_to(vol) + w.data_whole() + w.services_running()


def case_ntfs_target(w):
    vol = loop_volume(w, "ntfs", "ntfs")
    out = w.move(vol)
    return w.expect(out, result=0) + w.linked_to(vol) + w.data_whole() + w.services_running()


def case_names_differing_in_case_on_exfat(w):
    vol = loop_volume(w, "exfat", "exfat")
    write(os.path.join(w.base, "Software", "Game 1", "Save.dat"), "upper")
    write(os.path.join(w.base, "Software", "Game 1", "save.dat"), "lower")
    write(os.path.join(w.base, "Downloads", "Data", "a.bin"), "a")
    write(os.path.join(w.base, "Downloads", "data", "b.bin"), "b")
    w.snapshot()
    out = w.move(vol)
    problems = w.expect(out, result=10183, rollback_clean="true")
    problems += w.untouched() + w.data_whole() + w.services_running()
    if "name taken in the copy" not in w.log():
        problems.append("the log does not name the collision")
    return problems


def case_writer_holding_a_file_open(w):
    log = os.path.join(w.base, "Software", "Game 2", "game.log")
    proc = writer(w, f"exec 3>>'{log}'; i=0; while :; do i=$((i+1)); echo $i >&3; sleep 0.02; done", w.dir)
    wait_for(log)
    out = w.move()
    problems = w.expect(out, result=10032, rollback_clean="true") + w.untouched() + w.services_running()
    time.sleep(0.2)
    proc.kill()
    proc.wait()
    with open(log) as f:
        numbers = [int(x) for x in f.read().split()]
    if numbers != list(range(1, len(numbers) + 1)):
        problems.append("the writer's appends are not all in its file")
    if f"(PID {proc.pid})" not in w.log():
        problems.append("the log does not name the writer")
    w.snapshot_skip = True
    return problems


def case_writer_working_inside(w):
    cache = os.path.join(w.base, "Downloads", "cache")
    proc = writer(w, "touch started; i=0; while :; do i=$((i+1)); echo $i > new$i.tmp; sleep 0.02; done", cache)
    wait_for(os.path.join(cache, "started"))
    out = w.move()
    problems = w.expect(out, result=10032) + w.untouched() + w.services_running()
    proc.kill()
    proc.wait()
    made = [n for n in os.listdir(cache) if n.startswith("new")]
    if len(made) < 2:
        problems.append("the writer could not go on writing")
    return problems + w.data_whole()


def holder_process(world, args):
    """A process that keeps a file open until the case ends; it makes the file named by its last
    argument once it holds it, and the case waits for that before it goes on."""
    ready = os.path.join(world.dir, "holder-ready")
    proc = subprocess.Popen(args + [ready], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    world.cleanups.append(lambda: (proc.kill(), proc.wait()))
    if not wait_for(ready):
        raise RuntimeError("the holder did not start")
    return proc


def stopped(proc):
    proc.kill()
    proc.wait()


HOLD = 'exec 3<"$1" && touch "$2" && exec sleep 100000'


def case_holder_through_a_bind_mount_in_its_own_namespace(w):
    need_root()
    # The holder sees the game folder at a path of its own, in a mount namespace of its own.
    game = os.path.join(w.base, "Software", "Game 2")
    seen_as = os.path.join(w.dir, "sandbox")
    os.makedirs(seen_as)
    script = 'mount --bind "$0" "$1" && exec 3<"$1/level 2/asset2.pak" && touch "$2" && exec sleep 100000'
    proc = holder_process(w, ["unshare", "-m", "--propagation", "private", "sh", "-c", script, game, seen_as])
    out = w.move()
    problems = w.expect(out, result=10032, rollback_clean="true") + w.untouched() + w.data_whole()
    if f"(PID {proc.pid}): {seen_as}/level 2/asset2.pak" not in w.log():
        problems.append("the log does not name the holder by its own path")
    stopped(proc)
    return problems + w.services_running()


def person_id_range():
    first, last = 1000, 60000
    try:
        with open("/etc/login.defs") as defs:
            for line in defs:
                parts = line.split()
                if len(parts) >= 2 and parts[0] in ("UID_MIN", "UID_MAX") and parts[1].isdigit():
                    first, last = (int(parts[1]), last) if parts[0] == "UID_MIN" else (first, int(parts[1]))
    except OSError:
        pass
    return first, last


def processes_of_people(but):
    """How many processes run as a person (not a system account) other than the user but."""
    first, last = person_id_range()
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/status") as status:
                uid = next(int(l.split()[2]) for l in status if l.startswith("Uid:"))
        except (OSError, StopIteration):
            continue
        count += first <= uid <= last and uid != but
    return count


def case_holders_of_other_accounts_while_not_root(w):
    need_root()  # to become other users
    person = person_id_range()[0] + 4242
    sh("chown", "-R", "65534:65534", w.dir)
    os.chmod(w.dir, 0o777)  # the person's holder says there that it holds its file
    # A service (root) and another person each hold a game file; Halvex runs as the files' owner
    # and can look into neither. The person's program is asked about; the service, which no one
    # at the computer can judge, is only named in the log.
    service = holder_process(w, ["sh", "-c", HOLD, "_",
                                 os.path.join(w.base, "Software", "Game 3", "level 3", "asset3.pak")])
    os.remove(os.path.join(w.dir, "holder-ready"))
    persons = holder_process(w, ["setpriv", f"--reuid={person}", f"--regid={person}", "--clear-groups",
                                 "sh", "-c", HOLD, "_", os.path.join(w.base, "Software", "Game 2", "level 2", "asset2.pak")])
    expected = processes_of_people(but=65534)
    out = w.move(None, user=65534)
    problems = w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole() + w.services_running()
    wanted = ("1 program" if expected == 1 else f"{expected} programs") + " of other people could not be checked"
    if not out.get("unchecked", "").startswith(wanted) or "root" not in out["unchecked"]:
        problems.append(f"wanted '{wanted}…':\n{out['output'][-800:]}")
    log = w.log()
    if f"(PID {service.pid}), a system service" not in log:
        problems.append("the log does not name the service it could not check")
    if f"(PID {persons.pid})" not in log or f"(PID {persons.pid}), a system service" in log:
        problems.append("the log does not name the person's program it could not check")
    stopped(service)
    stopped(persons)
    return problems


def case_late_opener(w):
    # A file of the parked folder opened after the check, as the links are made.
    held = os.path.join(w.base, "SoftwareVarko", "Game 1", "level 1", "asset1.pak")
    fifo = os.path.join(w.dir, "late-ready")
    pidfile = os.path.join(w.dir, "late-pid")
    os.mkfifo(fifo)
    # The move waits for the command, and the command for the opener: it says "ready" even when
    # it could not open the file, so that nothing waits for ever.
    hold = '[ -r "$1" ] && exec 3<"$1"; echo ready > "$2"; exec sleep 100000'
    command = (f"sh -c '{hold}' _ '{held}' '{fifo}' </dev/null >/dev/null 2>&1 & "
               f"echo $! > '{pidfile}'; read x < '{fifo}'")
    out = w.move(None, "--run-at-phase", "6", command)
    problems = []
    if os.path.exists(pidfile):
        with open(pidfile) as f:
            pid = int(f.read())
        w.cleanups.append(lambda: sh("kill", str(pid), check=False))
        if f"(PID {pid})" not in w.log():
            problems.append("the log does not name the late opener")
    else:
        problems.append(f"the opener did not run:\n{out['output'][-800:]}")
    problems += w.expect(out, result=10032, rollback_clean="true") + w.untouched() + w.data_whole()
    for top in ("Software", "Downloads"):
        if os.path.exists(os.path.join(w.target, "Oculus game", top)):
            problems.append(f"the copy of {top} is left")
    return problems + w.services_running()


def case_bind_mount_of_a_folder_inside_as_target(w):
    bound = os.path.join(w.dir, "bound")
    bind_mount(w, os.path.join(w.base, "Software", "Game 1", "level 1"), bound)
    out = w.move(bound)
    problems = w.expect(out, target_check=2) + w.untouched() + w.data_whole()
    if os.path.exists(os.path.join(w.base, "Software", "Game 1", "level 1", "Oculus game")):
        problems.append("an Oculus game folder was made inside Software")
    return problems + w.services_running()


def case_bind_mount_inside(w):
    docs = os.path.join(w.dir, "Documents")
    write(os.path.join(docs, "mine.txt"), "mine")
    bind_mount(w, docs, os.path.join(w.base, "Software", "Game 3", "docs"))
    w.snapshot()
    out = w.move()
    problems = w.expect(out, result=15) + w.untouched() + w.data_whole() + w.services_running()
    if not os.path.isfile(os.path.join(docs, "mine.txt")):
        problems.append("the mounted folder's data is gone")
    if os.path.join("Game 3", "docs") not in w.log():
        problems.append("the log does not name the mount point")
    return problems


def case_read_only_entries_as_their_owner(w):
    need_root()  # to become another user
    ro = os.path.join(w.base, "Software", "Game 1", "readonly.cfg")
    write(ro, "cfg")
    os.chmod(ro, 0o444)
    locked = os.path.join(w.base, "Downloads", "locked")
    write(os.path.join(locked, "inside.bin"), "in")
    os.chmod(locked, 0o555)
    os.chmod(os.path.join(w.base, "Downloads"), 0o555)  # the parked tree's root itself
    w.snapshot()
    sh("chown", "-R", "65534:65534", w.dir)
    out = w.move(None, user=65534)
    problems = w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole() + w.services_running()
    for rel in ("Downloads", os.path.join("Downloads", "locked")):
        if stat.S_IMODE(os.stat(os.path.join(w.base, rel)).st_mode) != 0o555:
            problems.append(f"the read-only folder {rel} lost its mode")
    return problems


def case_links_that_lead_nowhere(w):
    os.symlink("../missing", os.path.join(w.base, "Software", "Game 1", "dangling"))
    os.symlink("self", os.path.join(w.base, "Downloads", "self"))
    os.symlink("..", os.path.join(w.base, "Downloads", "cache", "up"))
    out = w.move()
    problems = w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole()
    for rel, text in (("Software/Game 1/dangling", "../missing"), ("Downloads/self", "self"),
                      ("Downloads/cache/up", "..")):
        path = os.path.join(w.base, rel)
        if not os.path.islink(path) or os.readlink(path) != text:
            problems.append(f"{rel} is not the link it was")
    return problems + w.services_running()


def case_metadata_cp_a_keeps(w):
    private = os.path.join(w.base, "Downloads", "private")
    write(os.path.join(private, "key.bin"), "key")
    os.chmod(private, 0o700)
    hard = os.path.join(w.base, "Software", "Game 1", "a.bin")
    write(hard, "shared")
    os.link(hard, os.path.join(w.base, "Software", "Game 2", "b.bin"))
    sparse = os.path.join(w.base, "Software", "sparse.bin")
    with open(sparse, "wb") as f:
        f.write(b"head")
        f.seek(1 << 30)
        f.write(b"tail")
    if ROOT:
        os.chown(hard, 1000, 1000)
    xattr = True
    try:
        os.setxattr(hard, "user.halvex", b"kept")
    except OSError:
        xattr = False
    w.snapshot()
    out = w.move()
    problems = w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole()
    moved = os.path.join(w.base, "Software", "Game 1", "a.bin")
    if stat.S_IMODE(os.stat(private).st_mode) != 0o700:
        problems.append("the private folder is no longer private")
    if os.stat(moved).st_ino != os.stat(os.path.join(w.base, "Software", "Game 2", "b.bin")).st_ino:
        problems.append("the hard links are two files now")
    if os.stat(os.path.join(w.base, "Software", "sparse.bin")).st_blocks * 512 > (1 << 20):
        problems.append("the sparse file is no longer sparse")
    if ROOT and (os.stat(moved).st_uid, os.stat(moved).st_gid) != (1000, 1000):
        problems.append("the owner changed")
    if xattr and os.getxattr(moved, "user.halvex") != b"kept":
        problems.append("the extended attribute is gone")
    return problems + w.services_running()


def case_target_inside_through_a_link(w):
    into = os.path.join(w.dir, "into")
    os.symlink(os.path.join(w.base, "Software", "Game 1"), into)
    out = w.move(into)
    problems = w.expect(out, target_check=2) + w.untouched() + w.data_whole()
    if os.path.exists(os.path.join(w.base, "Software", "Game 1", "Oculus game")):
        problems.append("an Oculus game folder was made inside Software")
    return problems + w.services_running()


def case_target_inside_through_a_bind_mount(w):
    bound = os.path.join(w.dir, "bound")
    bind_mount(w, os.path.join(w.base, "Software"), bound)
    out = w.move(os.path.join(bound, "Game 1"))
    problems = w.expect(out, target_check=2) + w.untouched() + w.data_whole()
    if os.path.exists(os.path.join(w.base, "Software", "Game 1", "Oculus game")):
        problems.append("an Oculus game folder was made inside Software")
    return problems + w.services_running()


def case_long_base(w):
    deep = w.dir
    while len(deep) < 500:
        deep = os.path.join(deep, "d" * min(60, 500 - len(deep) - 1))
    os.makedirs(deep)
    for top in ("Software", "Downloads"):
        os.rename(os.path.join(w.base, top), os.path.join(deep, top))
    w.base = deep
    w.host_tool("registry", "set-base", deep + "/")
    w.snapshot()
    out = w.move()
    problems = w.expect(out, result=10206, rollback_clean="true") + w.untouched() + w.data_whole()
    if "path too long for the move" not in w.log():
        problems.append("the log does not name the path")
    return problems + w.services_running()


def case_long_target(w):
    far = w.dir
    while len(far) < 492:
        far = os.path.join(far, "t" * min(60, 492 - len(far) - 1))
    os.makedirs(far)
    out = w.move(far)
    return w.expect(out, target_check=3) + w.untouched() + w.data_whole() + w.services_running()


def case_services_that_do_not_start_after_a_rollback(w):
    w.host_tool("services", "set", "OVRService", "refuse_start=1058")
    out = w.move(None, "--cancel-at-phase", "2")
    problems = w.expect(out, result=3, rollback_clean="true") + w.untouched() + w.data_whole()
    if w.service("OVRLibraryService") != "running":
        problems.append("OVRLibraryService was not started again")
    if "services not started again after the rollback" not in w.log():
        problems.append("the log does not say the services did not start")
    return problems


def case_second_move_of_a_moved_installation(w):
    first = w.move()
    second_target = os.path.join(w.dir, "second")
    os.makedirs(second_target)
    out = w.move(second_target)
    problems = w.expect(first, result=0) + w.expect(out, result=0)
    problems += w.linked_to(second_target) + w.data_whole() + w.services_running()
    if os.path.exists(os.path.join(w.target, "Oculus game")):
        problems.append("the first move's folder is left")
    return problems


def tree_state(top):
    """Every entry below top (a link followed there, none below) as a person would compare it."""
    root = os.path.realpath(top)
    state = {}
    for dirpath, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            entry = {"kind": stat.S_IFMT(st.st_mode), "mode": stat.S_IMODE(st.st_mode),
                     "mtime": st.st_mtime_ns}
            if stat.S_ISLNK(st.st_mode):
                entry["link"] = os.readlink(path)
            elif stat.S_ISREG(st.st_mode):
                entry["size"], entry["sha"] = st.st_size, digest(path)
            try:
                entry["xattr"] = sorted((n, os.getxattr(path, n, follow_symlinks=False))
                                        for n in os.listxattr(path, follow_symlinks=False))
            except OSError:
                entry["xattr"] = []
            state[os.path.relpath(path, root)] = entry
    return state


def library_state(w):
    return {top: tree_state(os.path.join(w.base, top)) for top in ("Software", "Downloads")}


def differences(now, first, full):
    """Entries that differ from the first state: with full, everything; else what FAT-family
    and NTFS drives keep of a file (its content, size and time to two seconds)."""
    found = []
    for top in first:
        for rel, want in first[top].items():
            have = now[top].get(rel)
            if have is None:
                found.append(f"{top}/{rel} missing")
            elif full and have != want:
                found.append(f"{top}/{rel}: {have} / {want}")
            elif not full and "sha" in want and (
                    have.get("sha") != want["sha"] or have.get("size") != want["size"] or
                    abs(have["mtime"] - want["mtime"]) > 2_000_000_000):
                found.append(f"{top}/{rel}: other content, size or time")
        found += [f"{top}/{rel} added" for rel in now[top] if rel not in first[top]]
    return found


def case_round_trip_through_ext4_ntfs_and_exfat(w):
    """A library's whole life on real file systems: moved to a drive and back, then to a second
    drive, on to a third and back again; every entry compared with the first state each time."""
    system = loop_volume(w, "ext4", "system", mib=96)
    w.rehome(system)
    os.remove(os.path.join(w.base, "Software", "Game 0", "shared"))  # copied as what it leads to
    private = os.path.join(w.base, "Downloads", "private")
    write(os.path.join(private, "key.bin"), "key")
    os.chmod(private, 0o700)
    os.setxattr(os.path.join(w.base, "Software", "Game 1", "level 1", "asset1.pak"),
                "user.halvex", b"kept")
    os.symlink("nowhere", os.path.join(w.base, "Software", "Game 2", "dangling"))
    w.snapshot()
    free_at_first = os.statvfs(system).f_bavail
    first = library_state(w)
    files = sum(1 for top in first for e in first[top].values() if "sha" in e)
    problems, differ = [], 0

    def step(words, out, target, full, state):
        nonlocal differ
        problems.extend(w.expect(out, result=0))
        problems.extend(w.linked_to(target) if target else w.untouched())
        found = differences(library_state(w), state, full)
        differ += len(found)
        problems.extend(f"after {words}: {d}" for d in found[:3])

    drive = loop_volume(w, "ext4", "drive", mib=64)
    step("the move to ext4", w.move(drive), drive, True, first)
    step("the move back from ext4", w.back(), None, True, first)
    # Links that lead nowhere cannot live on exFAT: the second leg is of files and folders.
    os.remove(os.path.join(w.base, "Software", "Game 2", "dangling"))
    second_first = library_state(w)
    ntfs, exfat = loop_volume(w, "ntfs", "ntfs"), loop_volume(w, "exfat", "exfat")
    step("the move to NTFS", w.move(ntfs), ntfs, False, second_first)
    step("the move on to exFAT", w.move(exfat), exfat, False, second_first)
    if os.path.exists(os.path.join(ntfs, "Oculus game")):
        problems.append("the NTFS drive still holds the games")
    step("the move back from exFAT", w.back(), None, False, second_first)
    if os.listdir(exfat):
        problems.append(f"left on the exFAT drive: {os.listdir(exfat)}")
    free_now = os.statvfs(system).f_bavail
    if abs(free_now - free_at_first) > free_at_first / 100:
        problems.append(f"free blocks at home: {free_now}, at first {free_at_first}")
    print(f"round trip: {files} files, {differ} differ")
    return problems + w.data_whole() + w.services_running()


def case_move_back_with_too_little_space(w):
    system = loop_volume(w, "ext4", "system", mib=16)
    w.rehome(system)
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    fill = os.path.join(system, "fill.bin")
    free = os.statvfs(system).f_bavail * os.statvfs(system).f_frsize
    with open(fill, "wb") as f:
        f.write(b"\0" * max(0, free - 20_000))
        os.fsync(f.fileno())
    out = w.back()
    problems = w.expect(out, exit=1, result=24) + w.linked_to(w.target) + w.data_whole()
    if "free space" not in out.get("closing", ""):
        problems.append(f"the closing words do not say why: {out.get('closing')!r}")
    return problems + w.services_running()


def case_move_back_cancelled(w):
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    out = w.back("--cancel-at-phase", "2")
    problems = w.expect(out, exit=3, result=3, rollback_clean="true") + w.linked_to(w.target)
    if os.path.exists(w.journal()):
        problems.append("the journal is left")
    if "still in" not in out.get("closing", ""):
        problems.append(f"the closing words do not say where the games are: {out.get('closing')!r}")
    return problems + w.data_whole() + w.services_running()


def case_move_on_into_the_moved_games_is_refused(w):
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    inside = w.copies()  # inside Software or Downloads the source check refuses it already
    out = w.move(inside)
    problems = w.expect(out, target_check=14) + w.linked_to(w.target) + w.data_whole()
    if os.path.exists(os.path.join(inside, "Oculus game")):
        problems.append("an Oculus game folder was made inside the moved games")
    return problems + w.services_running()


def mount_point_of(path):
    path = os.path.realpath(path)
    while not os.path.ismount(path):
        path = os.path.dirname(path)
    return path


def case_closing_words_of_moves_on_name_the_drive_the_data_left(w):
    first, second = loop_volume(w, "exfat", "first"), loop_volume(w, "exfat", "second")
    home = os.path.join(w.dir, "home-drive")
    os.makedirs(home)
    installation_drive = mount_point_of(w.dir)
    problems = []
    for target, words in ((first, f"freed on {installation_drive}."),
                          (second, f"freed on {first} and used on {second}."),
                          (home, f"freed on {second} and used on {installation_drive}.")):
        out = w.move(target)
        problems += w.expect(out, result=0)
        if not out.get("closing", "").endswith(words):
            problems.append(f"moved to {target}: {out.get('closing')!r}, wanted '…{words}'")
    return problems + w.linked_to(home) + w.data_whole() + w.services_running()


def case_a_move_refused_for_an_interrupted_one_reports_its_time(w):
    os.makedirs(os.path.join(w.base, "SoftwareVarko"))
    out = w.move()
    os.rmdir(os.path.join(w.base, "SoftwareVarko"))
    problems = w.expect(out, result=16) + w.untouched() + w.data_whole()
    for key in ("work-ms", "end-pause-ms"):
        value = out.get(key, "")
        if not value.isdigit():
            problems.append(f"{key}: {value!r}, wanted a count of milliseconds")
    return problems + w.services_running()


def recover(w):
    proc = subprocess.run([HARNESS, "--recover"], env=dict(os.environ, HALVEX_HOST=w.host),
                          cwd=w.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return proc.stdout


def case_times_exfat_cannot_hold_are_judged_alike_by_the_move_and_a_later_recovery(w):
    vol = loop_volume(w, "exfat", "exfat")
    # Times before 1980 and after 2107: the FUSE driver shows them as given until a remount.
    for i in range(200):  # many more deletes than the calls the move makes before its kill
        write(os.path.join(w.base, "Software", "Game 5", f"save{i}.dat"), f"save {i}")
    stamps = {"Software/Game 1": 170856000, "Software/Game 1/level 1": 170856001,
              "Software/Game 2": 4733510401, "Downloads/cache": 170856002}
    for rel, stamp in stamps.items():
        folder = os.path.join(w.base, rel)
        for name in os.listdir(folder):
            if os.path.isfile(os.path.join(folder, name)):
                os.utime(os.path.join(folder, name), ns=(stamp * 10**9, stamp * 10**9))
        os.utime(folder, ns=(stamp * 10**9, stamp * 10**9))
    w.snapshot()
    # Killed while it empties the old folders: the links stand, the journal is left, and the
    # recovery must judge the checked copies as the move did, and finish it.
    killed = w.move_like([HARNESS, "--target", vol, "--yes", "--die-at", "4:20"])
    if killed["exit"] != "137":
        return [f"the move was not killed while emptying:\n{killed['output'][-1500:]}"]
    if not os.path.exists(w.journal()):
        return ["no journal after the kill: the move was not stopped midway"]
    if not w.remounts[vol]():
        return ["the exFAT volume could not be mounted again"]
    out = recover(w)
    problems = []
    if "recovery: finished" not in out:
        problems.append(f"the recovery judged the checked copies otherwise:\n{out[-1500:]}")
    return problems + w.linked_to(vol) + w.data_whole() + w.services_running()


# ---- Interrupted moves and their recovery (halvex-move --recover) -----------------------------
def recovered_home(w, out, word):
    """A recovery that put everything back: data whole at home, nothing of the move left."""
    problems = w.expect(out, recovery=word, result=0) + w.untouched() + w.data_whole()
    problems += w.services_running()
    if os.path.exists(w.copies()):
        problems.append("the copies' folder is left")
    if os.path.exists(w.journal()):
        problems.append("the journal is left")
    return problems


def case_move_back_killed_while_placing_is_finished_at_the_next_start(w):
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    out = w.move_like([HARNESS, "--back", "--die-at", "6:3"])
    if out["exit"] != "137":
        return [f"moving back was not killed while placing:\n{out['output'][-800:]}"]
    status = w.move_like([HARNESS, "--status"])
    problems = w.expect(status, exit=6)
    if "a stopped move back waits; halvex-move --recover will finish it" not in status["output"]:
        problems.append(f"the status does not name the move back:\n{status['output'][-800:]}")
    return problems + recovered_home(w, w.recover(), "finished")


def case_continue_after_a_file_of_the_partial_copy_was_changed_by_hand(w):
    vol = loop_volume(w, "exfat", "exfat")
    w.target = vol
    w.die_at(3, 60)
    listed, tree = [], None
    with open(os.path.join(w.host, "state", "move.copied"), encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            tree = value if key == "tree" else tree
            if key == "file":
                listed.append((tree, value.split(" ", 3)[3], int(value.split(" ")[1])))
    if not listed:
        return ["the copy log lists no file at the kill"]
    # One byte of a finished copy changed by hand, its size and time kept.
    top, rel, size = next(f for f in listed if f[2] > 0)
    changed = os.path.join(w.copies(top), rel)
    stat = os.stat(changed)
    with open(changed, "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0x20]))
    os.utime(changed, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    status = w.move_like([HARNESS, "--status"])
    problems = w.expect(status, exit=6)
    if "halvex-move --recover --continue will go on with it" not in status["output"]:
        problems.append(f"the status does not offer to continue:\n{status['output'][-800:]}")
    out = w.move_like([HARNESS, "--recover", "--continue"])
    problems += w.expect(out, result=0)
    kept = int(out.get("kept-bytes", "0"))
    logged = sum(f[2] for f in listed)
    if not 0 < kept <= logged - size:
        problems.append(f"kept {kept} bytes of the {logged} logged, the changed file's {size} among them")
    if "had been copied before the move was stopped" not in out.get("closing", ""):
        problems.append(f"the closing words say nothing of the copy kept: {out.get('closing')}")
    problems += w.linked_to(vol) + w.data_whole() + w.services_running()
    if os.path.exists(w.journal()):
        problems.append("the journal is left")
    return problems


def case_kill_between_the_two_links(w):
    # The first link made, the second not: the call between them, found on fresh machines.
    for calls in range(1, 40):
        t = World(w.dir, f"kill-{calls}")
        t.die_at(6, calls)
        if sum(os.path.islink(os.path.join(t.base, top)) for top in ("Downloads", "Software")) == 1:
            break
    else:
        return ["never stopped between the two links"]
    out = t.recover()
    problems = t.expect(out, recovery="finished", result=0) + t.linked_to(t.target)
    problems += t.data_whole() + t.services_running()
    if os.path.exists(t.journal()):
        problems.append("the journal is left")
    return problems


def case_person_file_in_a_partial_copy(w):
    w.die_at(2, 30)
    mine = os.path.join(w.copies("Downloads"), "saved by hand.txt")
    write(mine, "mine")
    out = w.recover()
    problems = w.expect(out, result=17)
    why = out.get("recovery", "")
    if not why.startswith("refused") or w.copies("Downloads") not in why or "DownloadsVarko" not in why:
        problems.append(f"the refusal does not name both places: {why}")
    if not os.path.isfile(mine) or open(mine).read() != "mine":
        problems.append("the person's file is gone")
    return problems + w.whole_in({"Software": [os.path.join(w.base, "SoftwareVarko")],
                                  "Downloads": [os.path.join(w.base, "DownloadsVarko")]})


def case_changed_file_in_a_whole_copy(w):
    w.die_at(3, 0)  # "Downloads" copied whole, not yet flushed nor checked
    changed = os.path.join(w.copies("Downloads"), "cache", "part3.bin")
    write(changed, "changed by the platform")
    out = w.recover()
    problems = w.expect(out, result=17)
    if not out.get("recovery", "").startswith("refused"):
        problems.append(f"not refused: {out.get('recovery')}")
    if open(changed).read() != "changed by the platform":
        problems.append("the changed file is gone")
    return problems + w.whole_in({"Software": [os.path.join(w.base, "SoftwareVarko")],
                                  "Downloads": [os.path.join(w.base, "DownloadsVarko")]})


def case_stale_journal_with_a_reinstalled_platform(w):
    w.die_at(12, 0)  # done but for the services: the journal is still there
    for top in ("Software", "Downloads"):  # a reinstall puts fresh folders in place of the links
        os.remove(os.path.join(w.base, top))
        write(os.path.join(w.base, top, "fresh", "setup.bin"), "fresh " + top)
    out = w.recover()
    problems = w.expect(out, result=17)
    if w.copies() not in out.get("recovery", ""):
        problems.append(f"the refusal does not name the moved library: {out.get('recovery')}")
    return problems + w.whole_in({"Software": [w.copies("Software")],
                                  "Downloads": [w.copies("Downloads")]})


def case_unclean_rollback_then_a_recovery(w):
    proc = subprocess.Popen([HARNESS, "--target", w.target, "--yes", "--pause-at-phase", "2",
                             "--cancel-at-phase", "2"], env=dict(os.environ, HALVEX_HOST=w.host),
                            cwd=w.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    for line in proc.stdout:
        if line.startswith("paused:"):
            os.makedirs(os.path.join(w.base, "Software"))  # the name is taken meanwhile
            proc.stdin.write("\n")
            proc.stdin.flush()
            break
    output = proc.stdout.read()
    proc.wait()
    problems = []
    if "rollback-clean: false" not in output:
        problems.append(f"the rollback was clean:\n{output[-800:]}")
    if not os.path.exists(w.journal()):
        problems.append("the unclean rollback removed its journal")
    os.rmdir(os.path.join(w.base, "Software"))  # as the message tells the user
    out = w.recover()
    return problems + recovered_home(w, out, "restored")


def case_empty_journal(w):
    w.die_at(2, 30)
    open(w.journal(), "w").close()
    out = w.recover()
    problems = w.expect(out, recovery="restored", result=0) + w.untouched() + w.data_whole()
    problems += w.services_running()
    if os.path.exists(w.journal()):
        problems.append("the journal is left")
    return problems


def case_cancel_then_a_second_move(w):
    first = w.move(None, "--cancel-at-phase", "2")
    problems = w.expect(first, result=3, rollback_clean="true")
    if os.listdir(w.target):
        problems.append(f"the cancel left {os.listdir(w.target)} in the target")
    out = w.move()
    return problems + w.expect(out, result=0) + w.linked_to(w.target) + w.data_whole()


# ---- A recovery asks what the move asks, and says what is left ---------------------------------
def case_recovery_held_parked_file(w):
    w.die_at(6, 0)  # checked, not yet linked: the recovery finishes
    held = os.path.join(w.base, "SoftwareVarko", "Game 1", "level 1", "asset1.pak")
    proc = holder_process(w, ["sh", "-c", HOLD, "_", held])
    out = w.recover()
    problems = w.expect(out, result=10032)
    said = out.get("recovery", "")
    if "in use by" not in said or "asset1.pak" not in said:
        problems.append(f"the recovery did not name the held file and its program: {said}")
    problems += w.whole_in({"Software": [os.path.join(w.base, "SoftwareVarko")],
                            "Downloads": [os.path.join(w.base, "DownloadsVarko")]})
    stopped(proc)
    out = w.recover()
    return problems + w.expect(out, recovery="finished", result=0) + w.linked_to(w.target) + \
        w.data_whole() + w.services_running()


def case_recovery_with_services_running(w):
    w.die_at(2, 30)
    # After a power cut the platform starts its services with the system: the recovery stops
    # them before it touches a folder, so one that will not stop leaves everything as it was.
    for name in ("OVRLibraryService", "OVRService"):
        w.host_tool("services", "set", name, "state=running")
    w.host_tool("services", "set", "OVRService", "refuse_stop=5")
    before = open(w.journal()).read()
    out = w.recover()
    problems = w.expect(out, result=10005)
    if open(w.journal()).read() != before:
        problems.append("the journal changed")
    problems += w.whole_in({"Software": [os.path.join(w.base, "SoftwareVarko")],
                            "Downloads": [os.path.join(w.base, "DownloadsVarko")]})
    problems += w.services_running()
    w.host_tool("services", "set", "OVRService", "refuse_stop=0")
    out = w.recover()
    return problems + recovered_home(w, out, "restored")


def case_repoint_cut_with_the_drive_back_at_its_first_place(w):
    vol = loop_volume(w, "exfat", "drive")
    out = w.move(vol)
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    # A re-pointing to the drive's new place was cut after one link went; the drive came back
    # where it first was.
    journal = ("version=3\nwork=repoint\nphase=6\nbase=" + w.base + "/\n"
               "service=OVRLibraryService\nservice=OVRService\n")
    for top in ("Downloads", "Software"):
        journal += (f"source={w.base}/{top}\ntarget={w.dir}/elsewhere/Oculus game/{top}\n"
                    "linked=1\n")
    write(w.journal(), journal + "end=1\n")
    os.remove(os.path.join(w.base, "Software"))
    out = w.recover()
    return w.expect(out, recovery="finished", result=0) + w.linked_to(vol) + w.data_whole() + \
        w.services_running()


def case_recovery_from_a_truncated_journal(w):
    w.die_at(2, 30)
    with open(w.journal()) as f:
        text = f.read()
    write(w.journal(), text[:text.rfind("parked=")])  # cut inside the second folder's lines
    out = w.recover()
    return recovered_home(w, out, "restored")


def case_recovery_with_the_target_drive_absent(w):
    vol = loop_volume(w, "exfat", "drive")
    w.move_like([HARNESS, "--target", vol, "--yes", "--die-at", "4:20"])  # checked, parked half deleted
    w.unplugs[vol]()
    out = w.recover()
    problems = w.expect(out, result=17)
    why = out.get("recovery", "")
    for needed in ("not connected", os.path.join(vol, "Oculus game"), "SoftwareVarko"):
        if needed not in why:
            problems.append(f"the refusal does not name {needed!r}: {why}")
    if not w.plugs[vol]():
        return problems + ["the drive could not be connected again"]
    out = w.recover()
    return problems + w.expect(out, recovery="finished", result=0) + w.linked_to(vol) + \
        w.data_whole() + w.services_running()


def case_journalless_state_with_whole_copies(w):
    w.die_at(6, 8)  # one link made of two, the copies whole and checked
    os.remove(w.journal())
    linked = [top for top in ("Software", "Downloads") if os.path.islink(os.path.join(w.base, top))]
    if len(linked) != 1:
        return [f"the kill did not leave one link of two: {linked}"]
    out = w.recover()
    problems = w.expect(out, recovery="finished", result=0) + w.linked_to(w.target) + w.data_whole()
    return problems + w.services_running()


# ---- Every byte read back: the move, its recovery and a later check -----------------------------
def change_byte(path, offset=0):
    """Another byte, the size and the write time kept: what a failing or fake drive does."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0x5A]))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def case_byte_changed_after_the_flush(w):
    changed = os.path.join(w.copies("Software"), "Game 1", "level 1", "asset1.pak")
    proc = subprocess.Popen([HARNESS, "--target", w.target, "--yes", "--hold-at-durable", "--progress-ms",
                             "500"],
                            env=dict(os.environ, HALVEX_HOST=w.host), cwd=w.dir,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    output, done = "", False
    for line in proc.stdout:
        output += line
        if line.startswith("held: "):
            # Both copies flushed: the drive changes one byte before it is read back.
            if not done and " after FlushToDisk " in line and line.rstrip().endswith("Software"):
                change_byte(changed)
                done = True
            proc.stdin.write("\n")
            proc.stdin.flush()
    proc.wait()
    out = {k.replace(" ", "-"): v for k, _, v in (l.partition(": ") for l in output.splitlines())}
    out["output"] = output
    problems = [] if done else ["the copies were never flushed"]
    problems += w.expect(out, result=20, rollback_clean="true") + w.untouched() + w.data_whole()
    if "other data than was written" not in output or "asset1.pak" not in output:
        problems.append(f"the closing words do not name the file and the drive:\n{output[-800:]}")
    if os.path.exists(w.copies()):
        problems.append("the copies are left")
    return problems + w.services_running()


def case_copy_changed_after_the_checked_record(w):
    w.die_at(6, 0)  # checked, not yet linked
    change_byte(os.path.join(w.copies("Downloads"), "cache", "part3.bin"), 100)
    out = w.recover()
    problems = w.expect(out, result=20)
    if "other data" not in out.get("recovery", "") or "part3.bin" not in out.get("recovery", ""):
        problems.append(f"the recovery did not name the file:\n{out['output'][-1500:]}")
    return problems + w.whole_in({"Software": [os.path.join(w.base, "SoftwareVarko")],
                                  "Downloads": [os.path.join(w.base, "DownloadsVarko")]})


def check(w):
    return w.move_like([HARNESS, "--check"])


def case_check_after_the_platform_updated_its_games(w):
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    updated = os.path.join(w.base, "Software", "Game 2", "level 2", "asset2.pak")
    write(updated, "a newer version")
    write(os.path.join(w.base, "Software", "Game 2", "patch.pak"), "new")
    out = check(w)
    problems = w.expect(out, exit=0)
    if f"updated: {os.path.realpath(updated)}" not in out["output"]:
        problems.append(f"the update is not reported as one:\n{out['output'][-800:]}")
    if "added: " not in out["output"] or "differs: " in out["output"]:
        problems.append(f"added or differing files told wrongly:\n{out['output'][-800:]}")
    return problems


def case_check_with_one_flipped_byte(w):
    out = w.move()
    if out.get("result") != "0":
        return [f"the move failed:\n{out['output'][-800:]}"]
    flipped = os.path.join(w.copies("Downloads"), "cache", "part7.bin")
    change_byte(flipped, 5)
    out = check(w)
    problems = w.expect(out, exit=7)
    if f"differs: {flipped}" not in out["output"]:
        problems.append(f"the flipped byte is not reported:\n{out['output'][-800:]}")
    return problems


CASES = [(name[5:], fn) for name, fn in sorted(globals().items()) if name.startswith("case_")]


def main():
    if not (os.access(HARNESS, os.X_OK) and os.access(HOST_TOOL, os.X_OK)):
        print(f"realworld: the harness is not built in {BUILD}")
        print("realworld: 0 passed, 1 failed")
        return 1
    scratch = tempfile.mkdtemp(prefix="halvex-realworld-")
    os.chmod(scratch, 0o755)
    passed = failed = skipped = 0
    try:
        for name, case in CASES:
            if ONLY and ONLY not in name:
                continue
            world = None
            try:
                world = World(scratch, name)
                problems = case(world)
            except Skip as why:
                print(f"SKIP {name}: {why}")
                skipped += 1
                continue
            except Exception as error:  # a case that breaks is a failure, with its reason
                problems = [f"{type(error).__name__}: {error}"]
            finally:
                if world:
                    world.cleanup()
            if problems:
                failed += 1
                print(f"FAILED {name}:")
                for problem in problems:
                    print(f"  {problem}")
            else:
                passed += 1
                print(f"ok {name}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    line = f"realworld: {passed} passed, {failed} failed"
    print(line + (f", {skipped} skipped" if skipped else ""))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
