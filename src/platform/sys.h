// The system interface below the engine: errors, strings, the clock and the fault seam.
// Calls are shaped after the Win32 calls they stand for. A call reports success or failure;
// after a failure GetLastError() gives the Windows error number, on every backend.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

#ifdef _WIN32
inline constexpr wchar_t kSep = L'\\';
#else
inline constexpr wchar_t kSep = L'/';
#endif

// Windows error numbers that the engine compares against or reports.
enum : uint32_t {
    kErrSuccess = 0,
    kErrInvalidFunction = 1,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrTooManyOpenFiles = 4,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrNotEnoughMemory = 8,
    kErrInvalidData = 13,
    kErrNotSameDevice = 17,
    kErrNoMoreFiles = 18,
    kErrWriteProtect = 19,
    kErrSharingViolation = 32,
    kErrNotSupported = 50,
    kErrInvalidParameter = 87,
    kErrInvalidName = 123,
    kErrDiskFull = 112,
    kErrDirNotEmpty = 145,
    kErrAlreadyExists = 183,
    kErrFilenameTooLong = 206,
    kErrMoreData = 234,
    kErrNoMoreItems = 259,
    kErrServiceAlreadyRunning = 1056,
    kErrServiceDoesNotExist = 1060,
    kErrIoDevice = 1117,
    kErrRequestAborted = 1235,
    kErrCantResolveFilename = 1921,
    kErrNotAReparsePoint = 4390,
};

// "Already exists" and "no more files" count as success wherever a call fails with them.
inline bool IsBenignError(uint32_t error) {
    return error == kErrAlreadyExists || error == kErrNoMoreFiles;
}

// The calling thread's last error, as GetLastError()/SetLastError() keep it.
uint32_t GetLastError();
void SetLastError(uint32_t error);
// POSIX: the errno behind the last error when it had no Windows counterpart (error 1); else 0.
int LastUnmappedErrno();
// The path that the last failed call concerned, where the backend knows it (POSIX: most file
// calls; Windows: the whole-file copy and the rename, which have two); else empty.
std::wstring LastErrorPath();
// The system's own words for a Windows error number, without a closing period: FormatMessageW
// on Windows; strerror of the errno it stands for on POSIX (unmappedErrno for error 1, where
// LastUnmappedErrno kept one), and Windows' words for the errors POSIX has none for.
std::wstring ErrorText(uint32_t error, int unmappedErrno = 0);
// The system's words for the last error: on POSIX from the very errno behind it (EPERM and
// EACCES both travel as error 5, and say different things).
std::wstring LastErrorText();

// The calling thread's whole last-error state (error, path, the errno behind it), so that a
// failure met on one thread can be reported on another as if it had been met there.
struct ErrorState {
    uint32_t error = 0;
    int errnoValue = 0;  // POSIX only
    int unmappedErrno = 0;
    std::wstring path;
};
ErrorState SaveLastError();
void RestoreLastError(const ErrorState& state);

// UTF-8 <-> wide. On Windows wide is UTF-16. On Linux it is UTF-32, and every byte that is not
// part of valid UTF-8 travels as 0xDC00 + byte, so that any file name round-trips.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// ---- Clock -------------------------------------------------------------------------------------
class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t Time64() = 0;         // seconds since 1970-01-01 UTC
    virtual uint32_t GetTickCount() = 0;  // milliseconds, wraps like the Win32 tick
    virtual void Sleep(uint32_t ms) = 0;
};

Clock& SystemClock();
Clock& ActiveClock();
void UseClock(Clock* clock);  // null restores the system clock

inline int64_t Time64() {
    return ActiveClock().Time64();
}
inline uint32_t GetTickCount() {
    return ActiveClock().GetTickCount();
}
inline void Sleep(uint32_t ms) {
    ActiveClock().Sleep(ms);
}

// A clock for tests: time moves only when someone sleeps, by max(ms, 1), so a loop that
// sleeps for a wait hint of 0 still moves on. Every sleep is recorded.
class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(int64_t time64 = 1772845502, uint32_t tick = 1000000);
    int64_t Time64() override;
    uint32_t GetTickCount() override;
    void Sleep(uint32_t ms) override;

    void Advance(uint32_t ms);
    void SetTime64(int64_t seconds);
    std::vector<uint32_t> Sleeps();  // every requested sleep, in order
    uint64_t SleptMs();              // total virtual time spent sleeping

  private:
    std::atomic<int64_t> wallMs_;
    std::atomic<uint32_t> tick_;
    std::mutex sleepsLock_;  // test bookkeeping only
    std::vector<uint32_t> sleeps_;
    uint64_t slept_ = 0;
};

// ---- Fault seam --------------------------------------------------------------------------------
// Every platform call passes through fault::Hit with its kind. Inert unless a test arms a rule.
// Named with a k so that <windows.h>, whose macros rename CopyFile and the like, leaves them be.
enum class Call : uint8_t {
    kAny,
    kFindFirstFile,
    kFindNextFile,
    kCreateDirectory,
    kCopyFile,
    kDeleteFile,
    kRemoveDirectory,
    kMoveFile,
    kGetFileAttributes,
    kGetDiskFreeSpace,
    kCreateSymbolicLink,
    kCreateFile,
    kGetFinalPathName,
    kFlushToDisk,
    kRegOpenKey,
    kRegQueryInfoKey,
    kRegEnumKey,
    kRegEnumValue,
    kRegQueryValue,
    kOpenSCManager,
    kOpenService,
    kQueryServiceStatus,
    kControlService,
    kStartService,
    kEnumDependentServices,
    kCreateMutex,
    kVolumeQuery,
    kAdjustPrivilege,
    kSetFileAttributes,
    kCreateHardLink,
    kCopySymbolicLink,
    kGetFileInfo,
    kProcessQuery,
    kMountQuery,
    kWriteFile,
    kReadFile,
    kReadBack,  // a copy read from its drive to check it (HashFromMedia)
    kCount
};

namespace fault {

struct Rule {
    Call kind = Call::kAny;        // Any: the nth platform call of whatever kind
    uint64_t nth = 0;              // 1-based, counted from the last Reset
    uint32_t error = 0;            // 0: do not fail, only run the action
    bool sticky = false;           // also fail every later call of that kind
    std::function<void()> action;  // runs at the matching call, before it fails or proceeds
    bool repeat = false;           // runs action at every later call of that kind too
};

// Arm and reset from the test thread before the calls under test start.
void Arm(Rule rule);
void Reset();  // drops the rules and zeroes the counters
uint64_t Count(Call kind = Call::kAny);
const char* Name(Call kind);
// Records the kind of every call from now on (null stops it); for runs that map call numbers
// to kinds. Set it only while no call under test runs.
void Trace(std::vector<Call>* kinds);

// Counts the call; true when it must fail (the last error is then set). The calls whose path
// decides what a test does with them (flushes, the state folder's files) name it.
bool Hit(Call kind);
bool Hit(Call kind, const std::wstring& path);
// While an action runs: the call it runs at, and that call's path (empty when not named).
Call CurrentCall();
const std::wstring& CurrentPath();

}  // namespace fault
}  // namespace sys
