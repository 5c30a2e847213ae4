// The Windows tests' own view of Wine's service manager, straight from the manager and apart
// from the code under test. scripts/wine-services registers "OVRService" and
// "OVRLibraryService" (tools/fakesvc).
#pragma once

#ifdef _WIN32

#include <windows.h>

namespace testsupport {

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
