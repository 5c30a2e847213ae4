// Service control manager calls, shaped after their Win32 namesakes. On POSIX the manager is
// the stand-in of the host folder (see host.h): one file per service, states moved by the clock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sys.h"

namespace sys {

inline constexpr uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr uint32_t kServiceStopQueryEnumerate = 0x2C;
inline constexpr uint32_t kServiceStopQuery = 0x24;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceActive = 1;

// Windows error numbers of the service control manager, besides those in sys.h.
enum : uint32_t {
    kErrDependentServicesRunning = 1051,
    kErrInvalidServiceControl = 1052,
    kErrServiceRequestTimeout = 1053,
    kErrServiceCannotAcceptCtrl = 1061,
    kErrServiceNotActive = 1062,
    kErrDatabaseDoesNotExist = 1065,
};

enum : uint32_t {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
};

// SERVICE_STATUS_PROCESS, 36 bytes.
struct ServiceStatusProcess {
    uint32_t serviceType = 0;
    uint32_t currentState = 0;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
    uint32_t processId = 0;
    uint32_t serviceFlags = 0;
};
static_assert(sizeof(ServiceStatusProcess) == 36);

// ENUM_SERVICE_STATUSW: names point into the same buffer.
struct EnumServiceStatus {
    wchar_t* serviceName;
    wchar_t* displayName;
    uint32_t serviceType, currentState, controlsAccepted, win32ExitCode, serviceSpecificExitCode,
        checkPoint, waitHint;
};

struct ScState;
using ScHandle = ScState*;  // null: invalid

ScHandle OpenSCManagerW(uint32_t access);
ScHandle OpenServiceW(ScHandle manager, const std::wstring& name, uint32_t access);
bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess& status);
// Fills the leading part of status, as the Win32 call fills a SERVICE_STATUS.
bool ControlService(ScHandle service, uint32_t control, ServiceStatusProcess& status);
bool StartServiceW(ScHandle service);
// buffer may be null with size 0; fails with kErrMoreData and bytesNeeded when it is too small.
bool EnumDependentServicesW(ScHandle service, uint32_t stateFilter, void* buffer, uint32_t size,
                            uint32_t& bytesNeeded, uint32_t& count);
bool CloseServiceHandle(ScHandle handle);

}  // namespace sys
