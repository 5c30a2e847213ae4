// POSIX backend of the in-use check: the kernel renames a folder whose files are open, so the
// move asks /proc who holds anything below a folder before it parks it.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/errors.h"
#include "platform/process.h"
#include "platform/sys.h"

namespace sys {

namespace {

bool IsBelow(const std::string& path, const std::string& root) {
    if (path.compare(0, root.size(), root) != 0) return false;
    return path.size() == root.size() || path[root.size()] == '/' || root == "/";
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

// The first thing below root that one process uses, or empty. Entries of another user's process
// that this one may not read are passed over.
std::string FirstUseBelow(const std::string& procDir, const std::string& root) {
    for (const char* own : {"cwd", "root"}) {
        const std::string text = LinkText(procDir + "/" + own);
        if (!text.empty() && IsBelow(text, root)) return text;
    }
    if (DIR* fds = ::opendir((procDir + "/fd").c_str())) {
        std::string found;
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.') continue;
            const std::string text = LinkText(procDir + "/fd/" + entry->d_name);
            if (!text.empty() && text[0] == '/' && IsBelow(text, root)) {
                found = text;
                break;
            }
        }
        ::closedir(fds);
        if (!found.empty()) return found;
    }
    std::ifstream maps(procDir + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string path = line.substr(slash);
        if (IsBelow(path, root)) return path;
    }
    return {};
}

}  // namespace

bool FindProcessesUsing(const std::wstring& folder, std::vector<ProcessUse>& users) {
    if (fault::Hit(Call::kProcessQuery)) return false;
    const std::string native = ToUtf8(folder);
    std::string root;
    if (!ResolvedPath(native, root)) return false;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        SetLastErrorFromErrno(errno, "/proc");
        return false;
    }
    const std::string self = std::to_string(::getpid());
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        const std::string dir = "/proc/" + pid;
        const std::string what = FirstUseBelow(dir, root);
        if (what.empty()) continue;
        users.push_back(
            {static_cast<uint32_t>(std::stoul(pid)), FromUtf8(ProcessName(dir)), FromUtf8(what)});
    }
    ::closedir(proc);
    return true;
}

}  // namespace sys
