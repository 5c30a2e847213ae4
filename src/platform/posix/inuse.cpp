// POSIX backend of the in-use check: the kernel renames a folder whose files are open, so the
// move asks /proc who holds anything below a folder before it parks it, and again before it
// deletes the parked data. Held things are matched by identity (device and inode), never by the
// text of a path: a process that reached a file through a bind mount or from another mount
// namespace names it by a path of its own, but stat() through the /proc link finds the file
// itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_set>

#include "platform/posix/errors.h"
#include "platform/process.h"
#include "platform/sys.h"

namespace sys {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD in /proc/PID/stat

struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const Identity&) const = default;
};

struct IdentityHash {
    size_t operator()(const Identity& id) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(id.ino) * 1000003u ^
                                     static_cast<uint64_t>(id.dev));
    }
};

// Every entry at or below a folder, by identity; inodes alone as a quick first test for the
// memory maps, whose device field may differ from what stat() reports (btrfs subvolumes).
struct TreeIdentities {
    std::unordered_set<Identity, IdentityHash> ids;
    std::unordered_set<ino_t> inodes;

    bool Holds(const struct stat& st) const { return ids.count({st.st_dev, st.st_ino}) != 0; }
    bool Add(const struct stat& st) {
        inodes.insert(st.st_ino);
        return ids.insert({st.st_dev, st.st_ino}).second;
    }
};

// Entries below an open folder; links are not followed, a folder met twice (a bind mount of
// an ancestor) is not entered again. Unreadable folders are passed: the copy reports them.
void AddBelow(int folderFd, TreeIdentities& tree) {
    DIR* dir = ::fdopendir(folderFd);
    if (dir == nullptr) {
        ::close(folderFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!tree.Add(st) || !S_ISDIR(st.st_mode)) continue;
        const int sub =
            ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) AddBelow(sub, tree);
    }
    ::closedir(dir);
}

bool CollectTree(const std::string& folder, TreeIdentities& tree) {
    // The folder itself may be a link left by an earlier move: what it leads to is what is held.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, folder);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        SetLastErrorFromErrno(errno, folder);
        ::close(fd);
        return false;
    }
    tree.Add(st);
    AddBelow(fd, tree);
    return true;
}

std::string LinkText(const std::string& link) {
    char text[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), text, sizeof text - 1);
    if (n <= 0) return {};
    return std::string(text, static_cast<size_t>(n));
}

std::string ProcessName(const std::string& procDir) {
    std::ifstream in(procDir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// The range of user IDs given to people rather than to services, as login.defs sets it.
void PersonIdRange(unsigned long& first, unsigned long& last) {
    first = 1000;
    last = 60000;
    std::ifstream defs("/etc/login.defs");
    std::string key;
    unsigned long value = 0;
    for (std::string line; std::getline(defs, line);) {
        char name[16] = {};
        if (std::sscanf(line.c_str(), " %15s %lu", name, &value) != 2) continue;
        key = name;
        if (key == "UID_MIN") first = value;
        if (key == "UID_MAX") last = value;
    }
}

// Whether the process runs as a system account (root, a daemon's user, nobody).
bool RunBySystemAccount(const std::string& procDir) {
    static const auto range = [] {
        std::pair<unsigned long, unsigned long> r;
        PersonIdRange(r.first, r.second);
        return r;
    }();
    std::ifstream in(procDir + "/status");
    for (std::string line; std::getline(in, line);) {
        unsigned long real = 0, effective = 0;
        if (std::sscanf(line.c_str(), "Uid: %lu %lu", &real, &effective) == 2) {
            return effective < range.first || effective > range.second;
        }
    }
    return false;  // gone, or unreadable: a person's, to be safe
}

// The kernel's own threads hold no one's files, and their /proc entries are closed to all but
// root: they must not count as unchecked.
bool IsKernelThread(const std::string& procDir) {
    std::ifstream in(procDir + "/stat");
    std::string line;
    if (!std::getline(in, line)) return true;  // gone: nothing to look at
    const auto close = line.rfind(')');
    if (close == std::string::npos) return false;
    unsigned long flags = 0;
    if (std::sscanf(line.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %lu", &flags) != 1)
        return false;
    return (flags & kKernelThreadFlag) != 0;
}

enum class Look { kClear, kHolds, kHidden };

struct Finding {
    Look look = Look::kClear;
    std::string what;
};

// What one process holds of the tree: its working folder, root, open files, mapped files.
Finding LookAt(const std::string& procDir, const TreeIdentities& tree) {
    Finding finding;
    bool hidden = false;
    for (const char* own : {"cwd", "root"}) {
        const std::string link = procDir + "/" + own;
        struct stat st {};
        if (::stat(link.c_str(), &st) == 0) {
            if (tree.Holds(st)) return {Look::kHolds, LinkText(link)};
        } else if (errno == EACCES || errno == EPERM) {
            hidden = true;
        }
    }
    const std::string fdDir = procDir + "/fd";
    if (DIR* fds = ::opendir(fdDir.c_str())) {
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.') continue;
            const std::string link = fdDir + "/" + entry->d_name;
            struct stat st {};
            if (::stat(link.c_str(), &st) == 0 && tree.Holds(st)) {
                finding = {Look::kHolds, LinkText(link)};
                break;
            }
        }
        ::closedir(fds);
        if (finding.look == Look::kHolds) return finding;
    } else if (errno == EACCES || errno == EPERM) {
        hidden = true;
    }
    std::ifstream maps(procDir + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        char range[64] = {};
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), "%63s %*s %*s %x:%x %lu", range, &major, &minor, &inode) !=
                4 ||
            inode == 0 || tree.inodes.count(static_cast<ino_t>(inode)) == 0) {
            continue;
        }
        struct stat st {};
        st.st_dev = makedev(major, minor);
        st.st_ino = static_cast<ino_t>(inode);
        // The map's own link tells the true identity where this process may follow it.
        const bool held =
            tree.Holds(st) ||
            (::stat((procDir + "/map_files/" + range).c_str(), &st) == 0 && tree.Holds(st));
        if (held) {
            const auto slash = line.find('/');
            return {Look::kHolds, slash == std::string::npos ? std::string() : line.substr(slash)};
        }
    }
    if (hidden) finding.look = Look::kHidden;
    return finding;
}

// Calls visit(pid, procDir) for every process but this one and the kernel's threads.
template <class Visit>
bool EachProcess(Visit visit) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        SetLastErrorFromErrno(errno, "/proc");
        return false;
    }
    const std::string self = std::to_string(::getpid());
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string dir = "/proc/" + pid;
        if (IsKernelThread(dir)) continue;
        visit(static_cast<uint32_t>(std::stoul(pid)), dir);
    }
    ::closedir(proc);
    return true;
}

}  // namespace

bool FindProcessesUsing(const std::vector<std::wstring>& folders, std::vector<ProcessUse>& users,
                        std::vector<ProcessUse>* unchecked) {
    if (fault::Hit(Call::kProcessQuery)) return false;
    TreeIdentities tree;
    for (const std::wstring& folder : folders) {
        if (!CollectTree(ToUtf8(folder), tree)) return false;
    }
    return EachProcess([&](uint32_t pid, const std::string& dir) {
        const Finding finding = LookAt(dir, tree);
        if (finding.look == Look::kHolds) {
            users.push_back({pid, FromUtf8(ProcessName(dir)), FromUtf8(finding.what)});
        } else if (finding.look == Look::kHidden && unchecked != nullptr) {
            unchecked->push_back({pid, FromUtf8(ProcessName(dir)), {}, RunBySystemAccount(dir)});
        }
    });
}

bool FindUncheckableProcesses(std::vector<ProcessUse>& unchecked) {
    if (fault::Hit(Call::kProcessQuery)) return false;
    return EachProcess([&](uint32_t pid, const std::string& dir) {
        DIR* fds = ::opendir((dir + "/fd").c_str());
        if (fds != nullptr) {
            ::closedir(fds);
        } else if (errno == EACCES || errno == EPERM) {
            unchecked.push_back({pid, FromUtf8(ProcessName(dir)), {}, RunBySystemAccount(dir)});
        }
    });
}

}  // namespace sys
