// Windows backend of errors and the system clock: the real calls.
#include <windows.h>

#include <string>

#include "platform/sys.h"
#include "platform/units.h"
#include "platform/win32/errors.h"

namespace sys {

namespace {
// The path noted with the error it belongs to: stale once another error has replaced it.
thread_local DWORD t_pathError = 0;
thread_local std::wstring t_errorPath;
}  // namespace

uint32_t GetLastError() {
    return ::GetLastError();
}
void SetLastError(uint32_t error) {
    ::SetLastError(error);
}
int LastUnmappedErrno() {
    return 0;
}

void NoteErrorPath(const std::wstring& path) {
    t_pathError = ::GetLastError();
    t_errorPath = path;  // may allocate, which may touch the last error
    ::SetLastError(t_pathError);
}

std::wstring LastErrorPath() {
    const DWORD error = ::GetLastError();
    if (error == 0 || error != t_pathError) return {};
    const std::wstring path = t_errorPath;
    ::SetLastError(error);
    return path;
}

ErrorState SaveLastError() {
    ErrorState state;
    state.error = ::GetLastError();
    state.path = LastErrorPath();
    ::SetLastError(state.error);
    return state;
}

void RestoreLastError(const ErrorState& state) {
    ::SetLastError(state.error);
    if (!state.path.empty()) NoteErrorPath(state.path);
}

std::wstring LastErrorText() {
    const DWORD error = ::GetLastError();
    std::wstring text = ErrorText(error);
    ::SetLastError(error);
    return text;
}

std::wstring ErrorText(uint32_t error, int) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text = length != 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.')) {
        text.pop_back();
    }
    return text.empty() ? L"System error " + std::to_wstring(error) : text;
}

ByteUnits SystemByteUnits() {
    return ByteUnits::kBinary;  // as Explorer counts
}

namespace {
class WindowsClock final : public Clock {
  public:
    int64_t Time64() override { return _time64(nullptr); }
    uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};
}  // namespace

Clock& SystemClock() {
    static WindowsClock clock;
    return clock;
}

}  // namespace sys
