// Windows backend of named mutexes and token privileges: the real calls.
#include <windows.h>

#include "platform/process.h"
#include "platform/sys.h"

namespace sys {

MutexHandle CreateMutexW(const std::wstring& name) {
    if (fault::Hit(Call::kCreateMutex)) return nullptr;
    return reinterpret_cast<MutexHandle>(::CreateMutexW(nullptr, FALSE, name.c_str()));
}

void CloseHandle(MutexHandle handle) {
    if (handle) ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool EnableTokenPrivilege(const std::wstring& name) {
    if (fault::Hit(Call::kAdjustPrivilege)) return false;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    bool adjusted = false;
    if (::LookupPrivilegeValueW(nullptr, name.c_str(), &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        adjusted = ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
    }
    ::CloseHandle(token);
    return adjusted;
}

}  // namespace sys
