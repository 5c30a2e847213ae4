// POSIX backend of named mutexes and privileges: a named mutex is a lock file in the host
// folder's locks/, held with flock. The kernel drops the lock when its holder exits, however it
// ends, so a crashed instance never blocks later starts.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/host.h"
#include "platform/posix/errors.h"
#include "platform/process.h"
#include "platform/sys.h"

namespace sys {

struct MutexState {
    int fd = -1;
};

namespace {

bool MakeDirs(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/') continue;
        const std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            SetLastErrorFromErrno(errno, part);
            return false;
        }
    }
    return true;
}

// A mutex name may hold characters a file name cannot.
std::string LockFileName(const std::wstring& name) {
    std::string file = ToUtf8(name);
    for (char& c : file) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (file.empty() || file == "." || file == "..") file = "_" + file;
    return file;
}

}  // namespace

MutexHandle CreateMutexW(const std::wstring& name) {
    if (fault::Hit(Call::kCreateMutex)) return nullptr;
    const std::string dir = HostDir() + "/locks";
    if (!MakeDirs(dir)) return nullptr;
    const std::string path = dir + "/" + LockFileName(name);
    // Read-only is enough for flock, so a lock file left by another user still works.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, path);
        return nullptr;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        SetLastError(kErrSuccess);
    } else if (errno == EWOULDBLOCK) {
        SetLastError(kErrAlreadyExists);  // Windows also hands out a handle in this case
    } else {
        SetLastErrorFromErrno(errno, path);
        ::close(fd);
        return nullptr;
    }
    return new MutexState{fd};
}

void CloseHandle(MutexHandle handle) {
    if (!handle) return;
    ::close(handle->fd);  // drops the lock if this handle held it
    delete handle;
}

bool EnableTokenPrivilege(const std::wstring& /*name*/) {
    if (fault::Hit(Call::kAdjustPrivilege)) return false;
    return true;  // no token privileges on POSIX: nothing to enable
}

}  // namespace sys
