// POSIX backend of errors, the system clock and the host folder.
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/host.h"
#include "platform/paths.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"
#include "platform/units.h"

namespace sys {
namespace {
thread_local uint32_t t_lastError = 0;
thread_local int t_unmappedErrno = 0;
thread_local int t_errno = 0;          // the errno behind the last error; 0 when set directly
thread_local std::string t_errorPath;  // UTF-8, as the failed call was given it

struct Row {
    int err;
    uint32_t win;
};
// The one translation between errno and Windows error numbers, read both ways. ENOENT is
// decided by its path (2 or 3); an errno missing here travels as error 1 and is kept.
constexpr Row kTable[] = {
    {ENOTDIR, kErrPathNotFound},      {EACCES, kErrAccessDenied},
    {EPERM, kErrAccessDenied},        {EEXIST, kErrAlreadyExists},
    {ENOTEMPTY, kErrDirNotEmpty},     {EBUSY, kErrSharingViolation},
    {ETXTBSY, kErrSharingViolation},  {ENOSPC, kErrDiskFull},
    {EDQUOT, kErrDiskFull},           {ENAMETOOLONG, kErrFilenameTooLong},
    {EROFS, kErrWriteProtect},        {EXDEV, kErrNotSameDevice},
    {ELOOP, kErrCantResolveFilename}, {EMFILE, kErrTooManyOpenFiles},
    {ENFILE, kErrTooManyOpenFiles},   {EIO, kErrIoDevice},
    {EINVAL, kErrInvalidParameter},   {ENOMEM, kErrNotEnoughMemory},
    {ECANCELED, kErrRequestAborted},
};

// Windows' own words for the errors that no errno stands for.
constexpr struct {
    uint32_t win;
    const wchar_t* text;
} kWindowsWords[] = {
    {kErrInvalidFunction, L"Incorrect function"},
    {kErrNoMoreFiles, L"There are no more files"},
    {kErrNotSupported, L"The request is not supported"},
    {kErrInvalidData, L"The data is invalid"},
    {kErrMoreData, L"More data is available"},
    {kErrFileExists, L"The file exists"},
    {kErrServiceAlreadyRunning, L"An instance of the service is already running"},
    {kErrServiceDoesNotExist, L"The specified service does not exist as an installed service"},
    {1053, L"The service did not respond to the start or control request in a timely fashion"},
    {1061, L"The service cannot accept control messages at this time"},
    {1062, L"The service has not been started"},
    {1066, L"The service has returned a service-specific error code"},
    {kErrNotAReparsePoint, L"The file or directory is not a reparse point"},
};
}  // namespace

uint32_t GetLastError() {
    return t_lastError;
}

void SetLastError(uint32_t error) {
    t_lastError = error;
    t_unmappedErrno = 0;
    t_errno = 0;
    t_errorPath.clear();
}

int LastUnmappedErrno() {
    return t_unmappedErrno;
}

std::wstring LastErrorPath() {
    return FromUtf8(t_errorPath);
}

uint32_t WinErrorFromErrno(int err, bool parentExists) {
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
    t_errno = err;
    t_errorPath = path;
}

bool ResolvedPath(const std::string& native, std::string& resolved) {
    char* full = ::realpath(native.c_str(), nullptr);
    if (full == nullptr) {
        SetLastErrorFromErrno(errno, native);
        return false;
    }
    resolved = full;
    std::free(full);
    return true;
}

void SetLastErrorPath(const std::string& path) {
    t_errorPath = path;
}

ErrorState SaveLastError() {
    return {t_lastError, t_errno, t_unmappedErrno, FromUtf8(t_errorPath)};
}

void RestoreLastError(const ErrorState& state) {
    t_lastError = state.error;
    t_errno = state.errnoValue;
    t_unmappedErrno = state.unmappedErrno;
    t_errorPath = ToUtf8(state.path);
}

std::wstring LastErrorText() {
    return t_errno != 0 ? FromUtf8(std::strerror(t_errno)) : ErrorText(t_lastError);
}

std::wstring ErrorText(uint32_t error, int unmappedErrno) {
    int err = 0;
    if (error == kErrFileNotFound || error == kErrPathNotFound) err = ENOENT;
    if (error == kErrInvalidFunction) err = unmappedErrno;
    for (const Row& row : kTable) {
        if (err == 0 && row.win == error) err = row.err;
    }
    if (err != 0) return FromUtf8(std::strerror(err));
    for (const auto& words : kWindowsWords) {
        if (words.win == error) return words.text;
    }
    return L"System error " + std::to_wstring(error);
}

ByteUnits SystemByteUnits() {
    return ByteUnits::kDecimal;  // as GNOME counts
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
