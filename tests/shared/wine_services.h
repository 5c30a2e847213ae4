// The Windows tests' own hold on Wine's machine, straight through Win32 and apart from the code
// under test: the platform's registry value, and the service manager, where scripts/wine-services
// registers "OVRService" and "OVRLibraryService" (tools/fakesvc).
#pragma once

#ifdef _WIN32

#include <windows.h>

#include <string>

namespace testsupport {

// The platform's base folder, as its installer records it in HKEY_LOCAL_MACHINE.
inline bool SetOculusBase(const std::wstring& value) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus", 0,
                          nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG set =
        ::RegSetValueExW(key, L"Base", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
    return set == ERROR_SUCCESS;
}

inline void ForgetOculusBase() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC");
}

// The service's current state; 0 when it cannot be read (not registered, say).
inline DWORD StateOf(const wchar_t* name) {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? ::OpenServiceW(scm, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    const bool ok = svc && ::QueryServiceStatus(svc, &status);
    if (svc) ::CloseServiceHandle(svc);
    if (scm) ::CloseServiceHandle(scm);
    return ok ? status.dwCurrentState : 0;
}

// Waits are real under Wine: each has a cap, so a stuck service fails the case, not the run.
inline bool WaitForState(const wchar_t* name, DWORD state, ULONGLONG capMs = 30000) {
    const ULONGLONG begun = ::GetTickCount64();
    while (StateOf(name) != state) {
        if (::GetTickCount64() - begun > capMs) return false;
        ::Sleep(50);
    }
    return true;
}

// The state a service ends up in: one on its way (start or stop pending) is waited out.
inline DWORD SettledStateOf(const wchar_t* name, ULONGLONG capMs = 30000) {
    const ULONGLONG begun = ::GetTickCount64();
    DWORD state = StateOf(name);
    while ((state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) &&
           ::GetTickCount64() - begun < capMs) {
        ::Sleep(50);
        state = StateOf(name);
    }
    return state;
}

// Brings a service into state (running or stopped) by the test's own calls.
inline bool Ensure(const wchar_t* name, DWORD state) {
    SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? ::OpenServiceW(scm, name, SERVICE_START | SERVICE_STOP) : nullptr;
    if (svc && state == SERVICE_RUNNING) {
        ::StartServiceW(svc, 0, nullptr);
    } else if (svc) {
        SERVICE_STATUS status{};
        ::ControlService(svc, SERVICE_CONTROL_STOP, &status);
    }
    if (svc) ::CloseServiceHandle(svc);
    if (scm) ::CloseServiceHandle(scm);
    return svc && WaitForState(name, state);
}

}  // namespace testsupport

#endif
