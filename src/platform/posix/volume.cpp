// POSIX backend of the volume queries: mounts from /proc/self/mountinfo, devices from /sys,
// FUSE block mounts identified by probing the device with libblkid.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if __has_include(<blkid/blkid.h>)
#include <blkid/blkid.h>
#define HALVEX_HAVE_BLKID 1
#endif

#include "platform/fs.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace sys {
namespace {

struct Mount {
    unsigned major = 0;
    unsigned minor = 0;
    std::string point;
    std::string root;  // the folder of the file system mounted here; "/" unless a bind mount
    std::string type;
    std::string source;
};

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string oct = field.substr(i + 1, 3);
            if (oct.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool ParseMountLine(const std::string& line, Mount& mount) {
    std::istringstream in(line);
    std::string id, parent, devno, root, point, options, field;
    if (!(in >> id >> parent >> devno >> root >> point >> options)) return false;
    while (in >> field && field != "-") {
    }
    if (field != "-" || !(in >> mount.type >> mount.source)) return false;
    if (std::sscanf(devno.c_str(), "%u:%u", &mount.major, &mount.minor) != 2) return false;
    mount.point = Unescape(point);
    mount.root = Unescape(root);
    mount.source = Unescape(mount.source);
    return true;
}

std::vector<Mount> ReadMounts() {
    std::vector<Mount> mounts;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        Mount mount;
        if (ParseMountLine(line, mount)) mounts.push_back(std::move(mount));
    }
    return mounts;
}

// The path with its symbolic links resolved; a path that does not exist (yet) is resolved
// through its nearest existing ancestor, so that it still lands on the right mount.
std::string Resolve(const std::string& path) {
    std::string head = path;
    std::string tail;
    while (!head.empty()) {
        char resolved[PATH_MAX];
        if (::realpath(head.c_str(), resolved)) {
            std::string out = resolved;
            if (!tail.empty()) out += (out == "/" ? "" : "/") + tail;
            return out;
        }
        const auto slash = head.rfind('/');
        if (slash == std::string::npos) break;
        const std::string last = head.substr(slash + 1);
        tail = tail.empty() ? last : last + "/" + tail;
        head = slash == 0 ? (head.size() > 1 ? "/" : "") : head.substr(0, slash);
    }
    return path;
}

bool IsUnder(const std::string& path, const std::string& point) {
    if (point == "/") return true;
    if (path.compare(0, point.size(), point) != 0) return false;
    return path.size() == point.size() || path[point.size()] == '/';
}

// The mount that holds path: the longest matching mount point, the last one listed when a
// point was mounted over.
const Mount* MountHolding(const std::vector<Mount>& mounts, const std::string& path) {
    const Mount* best = nullptr;
    for (const Mount& mount : mounts) {
        if (!IsUnder(path, mount.point)) continue;
        if (!best || mount.point.size() >= best->point.size()) best = &mount;
    }
    return best;
}

const Mount* MountAt(const std::vector<Mount>& mounts, const std::string& root) {
    const Mount* found = nullptr;
    for (const Mount& mount : mounts) {
        if (mount.point == root) found = &mount;
    }
    return found;
}

// The block device behind a mount, when it has one.
bool BlockDevice(const Mount& mount, dev_t& device) {
    struct stat st {};
    if (mount.source.rfind("/dev/", 0) == 0 && ::stat(mount.source.c_str(), &st) == 0 &&
        S_ISBLK(st.st_mode)) {
        device = st.st_rdev;
        return true;
    }
    if (mount.major == 0) return false;  // anonymous devices: tmpfs, FUSE, network mounts
    device = makedev(mount.major, mount.minor);
    return true;
}

std::string SysBlockPath(dev_t device) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char resolved[PATH_MAX];
    return ::realpath(link.c_str(), resolved) ? std::string(resolved) : std::string();
}

struct Probe {
    std::string type;
    std::string version;
};

bool ProbeDevice(const std::string& device, Probe& probe) {
#ifdef HALVEX_HAVE_BLKID
    blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
    if (!pr) return false;
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    bool found = false;
    if (blkid_do_safeprobe(pr) == 0) {
        const char* value = nullptr;
        if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value) {
            probe.type = value;
            found = true;
        }
        if (blkid_probe_lookup_value(pr, "VERSION", &value, nullptr) == 0 && value) {
            probe.version = value;
        }
    }
    blkid_free_probe(pr);
    return found;
#else
    (void)device;
    (void)probe;
    return false;
#endif
}

// Windows names for the file systems Windows knows; the kernel's name for the others.
std::string NameOfType(const std::string& type, const std::string& version) {
    if (type == "ntfs" || type == "ntfs3" || type == "fuse.ntfs-3g" || type == "fuse.ntfs") {
        return "NTFS";
    }
    if (type == "exfat" || type == "fuse.exfat") return "exFAT";
    if (type == "fuse.fusefat") return "FAT32";  // fusefat does not name its device
    if (type == "vfat" || type == "msdos" || type == "fat") {
        return version == "FAT32" ? "FAT32" : "FAT";
    }
    return type;
}

std::string FileSystemName(const Mount& mount) {
    const bool needsProbe = mount.type == "fuseblk" || mount.type == "vfat" ||
                            mount.type == "msdos" || mount.type == "fat";
    if (!needsProbe) return NameOfType(mount.type, {});
    Probe probe;
    if (!ProbeDevice(mount.source, probe)) return mount.type == "fuseblk" ? "fuseblk" : "FAT";
    return NameOfType(mount.type == "fuseblk" ? probe.type : mount.type, probe.version);
}

bool IsRemoteType(const std::string& type) {
    static const std::set<std::string> kRemote = {"nfs",
                                                  "nfs4",
                                                  "cifs",
                                                  "smb3",
                                                  "smbfs",
                                                  "ncpfs",
                                                  "coda",
                                                  "afs",
                                                  "ceph",
                                                  "9p",
                                                  "glusterfs",
                                                  "lustre",
                                                  "fuse.sshfs",
                                                  "fuse.rclone",
                                                  "fuse.s3fs",
                                                  "fuse.davfs2",
                                                  "davfs",
                                                  "fuse.glusterfs",
                                                  "fuse.ceph-fuse",
                                                  "fuse.gcsfuse"};
    return kRemote.count(type) != 0;
}

bool IsPseudoType(const std::string& type) {
    static const std::set<std::string> kPseudo = {
        "proc",    "sysfs",       "devtmpfs", "devpts",    "cgroup",   "cgroup2", "mqueue",
        "debugfs", "tracefs",     "pstore",   "bpf",       "configfs", "fusectl", "securityfs",
        "autofs",  "binfmt_misc", "efivarfs", "hugetlbfs", "nsfs"};
    return kPseudo.count(type) != 0;
}

bool IsRemovable(const Mount& mount) {
    dev_t device{};
    if (!BlockDevice(mount, device)) return false;
    std::string sysPath = SysBlockPath(device);
    if (sysPath.empty()) return false;
    // A partition carries no flag of its own; the whole disk above it does.
    std::ifstream flag(sysPath + "/removable");
    if (!flag) flag.open(sysPath.substr(0, sysPath.rfind('/')) + "/removable");
    int removable = 0;
    return (flag >> removable) && removable == 1;
}

uint32_t BusOfSysPath(const std::string& sysPath) {
    if (sysPath.find("/usb") != std::string::npos) return kBusUsb;
    if (sysPath.find("/nvme") != std::string::npos) return kBusNvme;
    if (sysPath.find("/mmc") != std::string::npos) return kBusSd;
    if (sysPath.find("/ata") != std::string::npos) return kBusSata;
    if (sysPath.find("/virtual/block/loop") != std::string::npos) return kBusFileBackedVirtual;
    return kBusUnknown;
}

// The file system's UUID from its superblock; empty where there is none or it cannot be read.
std::string ProbeUuid(const std::string& device) {
#ifdef HALVEX_HAVE_BLKID
    blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
    if (!pr) return {};
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_UUID);
    std::string uuid;
    const char* value = nullptr;
    if (blkid_do_safeprobe(pr) == 0 && blkid_probe_lookup_value(pr, "UUID", &value, nullptr) == 0 &&
        value) {
        uuid = value;
    }
    blkid_free_probe(pr);
    return uuid;
#else
    (void)device;
    return {};
#endif
}

// What names a mounted file system wherever it is mounted: its UUID, else the id the kernel
// gives it (statfs), else its device number, which a moved mount keeps.
std::string IdentityOf(const Mount& mount) {
    dev_t device{};
    if (mount.source.rfind("/dev/", 0) == 0 && BlockDevice(mount, device)) {
        const std::string uuid = ProbeUuid(mount.source);
        if (!uuid.empty()) return "uuid:" + uuid;
    }
    struct statfs st {};
    if (::statfs(mount.point.c_str(), &st) == 0) {
        int words[2];
        static_assert(sizeof(words) == sizeof(st.f_fsid));
        std::memcpy(words, &st.f_fsid, sizeof(words));
        if (words[0] != 0 || words[1] != 0) {
            char text[40];
            std::snprintf(text, sizeof text, "fsid:%08x%08x", static_cast<unsigned>(words[0]),
                          static_cast<unsigned>(words[1]));
            return text;
        }
    }
    return "dev:" + std::to_string(mount.major) + ":" + std::to_string(mount.minor);
}

}  // namespace

std::wstring DriveRootOf(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return {};
    const std::vector<Mount> mounts = ReadMounts();
    const Mount* mount = MountHolding(mounts, Resolve(ToUtf8(path)));
    return mount ? FromUtf8(mount->point) : std::wstring();
}

bool GetVolumeInformationW(const std::wstring& root, wchar_t* name, uint32_t size) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    const std::vector<Mount> mounts = ReadMounts();
    const Mount* mount = MountAt(mounts, ToUtf8(root));
    if (!mount) {
        SetLastError(kErrPathNotFound);
        return false;
    }
    const std::wstring fsName = FromUtf8(FileSystemName(*mount));
    if (size == 0 || fsName.size() >= size) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    fsName.copy(name, fsName.size());
    name[fsName.size()] = L'\0';
    SetLastError(kErrSuccess);
    return true;
}

bool GetCopyKeeps(const std::wstring& path, CopyKeeps& keeps) {
    const std::wstring root = DriveRootOf(path);
    if (root.empty()) {
        SetLastError(kErrPathNotFound);
        return false;
    }
    wchar_t name[64] = {};
    if (!GetVolumeInformationW(root, name, 64)) return false;
    keeps = KeepsOfFileSystem(name);
    keeps.owners = keeps.metadata && ::geteuid() == 0;
    return true;
}

bool IsNativeFileSystem(const std::wstring& upperName) {
    static const std::wstring kNative[] = {L"EXT2",  L"EXT3", L"EXT4", L"XFS",
                                           L"BTRFS", L"F2FS", L"ZFS"};
    for (const std::wstring& name : kNative) {
        if (upperName == name) return true;
    }
    return false;
}

uint32_t GetDriveTypeW(const std::wstring& root) {
    if (fault::Hit(Call::kVolumeQuery)) return kDriveUnknown;
    const std::vector<Mount> mounts = ReadMounts();
    const Mount* mount = MountAt(mounts, ToUtf8(root));
    if (!mount) return kDriveNoRootDir;
    if (IsRemoteType(mount->type)) return kDriveRemote;
    if (mount->type == "iso9660" || mount->type == "udf") return kDriveCdrom;
    if (mount->type == "tmpfs" || mount->type == "ramfs") return kDriveRamdisk;
    if (IsPseudoType(mount->type)) return kDriveUnknown;
    return IsRemovable(*mount) ? kDriveRemovable : kDriveFixed;
}

bool QueryStorageBusType(const std::wstring& path, uint32_t& busType) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    const std::vector<Mount> mounts = ReadMounts();
    const Mount* mount =
        path.empty() || path[0] != L'/' ? nullptr : MountHolding(mounts, Resolve(ToUtf8(path)));
    dev_t device{};
    if (!mount || !BlockDevice(*mount, device)) {
        SetLastError(kErrFileNotFound);
        return false;
    }
    const std::string sysPath = SysBlockPath(device);
    if (sysPath.empty()) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    busType = BusOfSysPath(sysPath);
    SetLastError(kErrSuccess);
    return true;
}

bool GetVolumePathNameW(const std::wstring& path, std::wstring& volumePath) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    const std::wstring root = DriveRootOf(path);
    if (root.empty()) {
        SetLastError(kErrPathNotFound);
        return false;
    }
    volumePath = root;
    SetLastError(kErrSuccess);
    return true;
}

bool QuerySameVolume(const std::wstring& a, const std::wstring& b, bool& same) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    const std::string first = ToUtf8(a);
    const std::string second = ToUtf8(b);
    struct stat firstStat {};
    struct stat secondStat {};
    if (::stat(first.c_str(), &firstStat) != 0) {
        SetLastErrorFromErrno(errno, first);
        return false;
    }
    if (::stat(second.c_str(), &secondStat) != 0) {
        SetLastErrorFromErrno(errno, second);
        return false;
    }
    same = firstStat.st_dev == secondStat.st_dev;
    SetLastError(kErrSuccess);
    return true;
}

bool FindMountPointsBelow(const std::wstring& folder, std::vector<std::wstring>& mounts) {
    if (fault::Hit(Call::kMountQuery)) return false;
    const std::string native = ToUtf8(folder);
    std::string root;
    if (!ResolvedPath(native, root)) return false;
    std::ifstream table("/proc/self/mountinfo");
    if (!table) {
        SetLastError(kErrNotSupported);
        return false;
    }
    std::string line;
    while (std::getline(table, line)) {
        Mount mount;
        // A mount at the root itself counts too: the root is then another volume's top.
        if (ParseMountLine(line, mount) && IsUnder(mount.point, root)) {
            const std::wstring point = FromUtf8(mount.point);
            if (std::find(mounts.begin(), mounts.end(), point) == mounts.end()) {
                mounts.push_back(point);
            }
        }
    }
    return true;
}

bool GetVolumeIdentity(const std::wstring& path, std::wstring& id) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    const std::vector<Mount> mounts = ReadMounts();
    const Mount* mount =
        path.empty() || path[0] != L'/' ? nullptr : MountHolding(mounts, Resolve(ToUtf8(path)));
    if (!mount) {
        SetLastError(kErrPathNotFound);
        return false;
    }
    id = FromUtf8(IdentityOf(*mount));
    SetLastError(kErrSuccess);
    return true;
}

std::vector<std::wstring> FindVolumeRoots(const std::wstring& id) {
    std::vector<std::wstring> roots;
    const std::string wanted = ToUtf8(id);
    for (const Mount& mount : ReadMounts()) {
        // A bind mount shows one folder of the file system, not the volume's top.
        if (mount.root != "/" || IsPseudoType(mount.type)) continue;
        if (IdentityOf(mount) != wanted) continue;
        const std::wstring point = FromUtf8(mount.point);
        if (std::find(roots.begin(), roots.end(), point) == roots.end()) roots.push_back(point);
    }
    return roots;
}

}  // namespace sys
