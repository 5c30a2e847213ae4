// Windows backend of the service control manager calls: the real calls, each behind the fault seam.
#include <windows.h>

#include <cstddef>

#include "platform/services.h"
#include "platform/sys.h"

namespace sys {

static_assert(sizeof(EnumServiceStatus) == sizeof(ENUM_SERVICE_STATUSW));
static_assert(offsetof(EnumServiceStatus, currentState) ==
              offsetof(ENUM_SERVICE_STATUSW, ServiceStatus.dwCurrentState));
static_assert(offsetof(EnumServiceStatus, waitHint) ==
              offsetof(ENUM_SERVICE_STATUSW, ServiceStatus.dwWaitHint));

namespace {
SC_HANDLE Native(ScHandle handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}
ScHandle Wrap(SC_HANDLE handle) {
    return reinterpret_cast<ScHandle>(handle);
}
}  // namespace

ScHandle OpenSCManagerW(uint32_t access) {
    if (fault::Hit(Call::kOpenSCManager)) return nullptr;
    return Wrap(::OpenSCManagerW(nullptr, nullptr, access));
}

ScHandle OpenServiceW(ScHandle manager, const std::wstring& name, uint32_t access) {
    if (fault::Hit(Call::kOpenService)) return nullptr;
    return Wrap(::OpenServiceW(Native(manager), name.c_str(), access));
}

bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess& status) {
    if (fault::Hit(Call::kQueryServiceStatus)) return false;
    DWORD needed = 0;
    return ::QueryServiceStatusEx(Native(service), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed) != FALSE;
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatusProcess& status) {
    if (fault::Hit(Call::kControlService)) return false;
    SERVICE_STATUS leading{};
    const BOOL ok = ::ControlService(Native(service), control, &leading);
    const DWORD error = ::GetLastError();
    status.serviceType = leading.dwServiceType;
    status.currentState = leading.dwCurrentState;
    status.controlsAccepted = leading.dwControlsAccepted;
    status.win32ExitCode = leading.dwWin32ExitCode;
    status.serviceSpecificExitCode = leading.dwServiceSpecificExitCode;
    status.checkPoint = leading.dwCheckPoint;
    status.waitHint = leading.dwWaitHint;
    ::SetLastError(error);
    return ok != FALSE;
}

bool StartServiceW(ScHandle service) {
    if (fault::Hit(Call::kStartService)) return false;
    return ::StartServiceW(Native(service), 0, nullptr) != FALSE;
}

bool EnumDependentServicesW(ScHandle service, uint32_t stateFilter, void* buffer, uint32_t size,
                            uint32_t& bytesNeeded, uint32_t& count) {
    if (fault::Hit(Call::kEnumDependentServices)) return false;
    DWORD needed = 0, returned = 0;
    const BOOL ok = ::EnumDependentServicesW(Native(service), stateFilter,
                                             static_cast<ENUM_SERVICE_STATUSW*>(buffer), size,
                                             &needed, &returned);
    bytesNeeded = needed;
    count = returned;
    return ok != FALSE;
}

bool CloseServiceHandle(ScHandle handle) {
    return ::CloseServiceHandle(Native(handle)) != FALSE;
}

}  // namespace sys
