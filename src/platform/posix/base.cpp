// POSIX backend of errors, the system clock and the host folder.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

#include "platform/host.h"
#include "platform/paths.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"

namespace sys {
namespace {
thread_local uint32_t t_lastError = 0;
thread_local int t_unmappedErrno = 0;
}  // namespace

uint32_t GetLastError() {
    return t_lastError;
}

void SetLastError(uint32_t error) {
    t_lastError = error;
    t_unmappedErrno = 0;
}

int LastUnmappedErrno() {
    return t_unmappedErrno;
}

uint32_t WinErrorFromErrno(int err, bool parentExists) {
    struct Row {
        int err;
        uint32_t win;
    };
    static constexpr Row kTable[] = {
        {ENOTDIR, kErrPathNotFound},      {EACCES, kErrAccessDenied},
        {EPERM, kErrAccessDenied},        {EEXIST, kErrAlreadyExists},
        {ENOTEMPTY, kErrDirNotEmpty},     {EBUSY, kErrSharingViolation},
        {ETXTBSY, kErrSharingViolation},  {ENOSPC, kErrDiskFull},
        {EDQUOT, kErrDiskFull},           {ENAMETOOLONG, kErrFilenameTooLong},
        {EROFS, kErrWriteProtect},        {EXDEV, kErrNotSameDevice},
        {ELOOP, kErrCantResolveFilename}, {EMFILE, kErrTooManyOpenFiles},
        {ENFILE, kErrTooManyOpenFiles},   {EIO, kErrIoDevice},
        {EINVAL, kErrInvalidParameter},   {ENOMEM, kErrNotEnoughMemory},
    };
    if (err == 0) return kErrSuccess;
    if (err == ENOENT) return parentExists ? kErrFileNotFound : kErrPathNotFound;
    for (const Row& row : kTable) {
        if (row.err == err) return row.win;
    }
    return kErrInvalidFunction;
}

void SetLastErrorFromErrno(int err, const std::string& path) {
    bool parentExists = true;
    if (err == ENOENT && !path.empty()) {
        std::string parent = WithoutTrailingSeparators(path, 1);
        const auto slash = parent.rfind('/');
        parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        struct stat st {};
        parentExists = ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    SetLastError(WinErrorFromErrno(err, parentExists));
    if (t_lastError == kErrInvalidFunction) t_unmappedErrno = err;
}

// ---- System clock ----------------------------------------------------------------------------
namespace {
class PosixClock final : public Clock {
  public:
    int64_t Time64() override { return static_cast<int64_t>(::time(nullptr)); }
    uint32_t GetTickCount() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                                     ts.tv_nsec / 1000000);
    }
    void Sleep(uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};
}  // namespace

Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}

// ---- Host folder -----------------------------------------------------------------------------
namespace {
std::string& HostOverride() {
    static std::string dir;
    return dir;
}
}  // namespace

std::string HostDir() {
    if (!HostOverride().empty()) return HostOverride();
    if (const char* env = std::getenv("HALVEX_HOST"); env && *env) return env;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/halvex/host";
}

void SetHostDir(const std::string& dir) {
    HostOverride() = dir;
}

}  // namespace sys
