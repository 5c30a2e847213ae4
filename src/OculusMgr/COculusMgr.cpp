#include "OculusMgr/COculusMgr.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"

// ---- Detection ---------------------------------------------------------------------------------

namespace {

constexpr wchar_t kSearchedKey[] = L"SOFTWARE\\WOW6432Node";
constexpr wchar_t kMarkerKey[] = L"Oculus VR, LLC";
constexpr wchar_t kOculusKey[] = L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus";

// Registry statuses that count as success, as for every other system call.
bool Succeeded(int32_t status) {
    return status == 0 || sys::IsBenignError(static_cast<uint32_t>(status));
}

// Releases a registry key on every way out of the operation that opened it.
class KeyHolder {
  public:
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() {
        if (key) sys::RegCloseKey(key);
    }
    sys::RegKey key = nullptr;
};

// The registry holds whatever an installer put there: only a string that fits the buffer whole
// becomes the base folder. A path made of a truncated or binary value would send the move to
// the wrong folder.
int32_t ReadBaseValue(sys::RegKey key, std::wstring& base) {
    wchar_t buffer[512] = {};
    uint32_t type = 0;
    uint32_t size = sizeof buffer;
    const int32_t status =
        sys::RegQueryValueExW(key, L"Base", &type, reinterpret_cast<uint8_t*>(buffer), &size);
    int32_t code = 0;
    if (status != 0) {
        code = SystemCode(status);
    } else if (type != sys::kRegSz) {
        code = SystemCode(sys::kErrInvalidData);
    } else {
        // The stored text need not carry its terminator: one that fills the buffer is too long.
        const size_t units = std::min<size_t>(size / sizeof(wchar_t), std::size(buffer));
        const wchar_t* end = std::find(buffer, buffer + units, L'\0');
        if (end == buffer + std::size(buffer)) {
            code = SystemCode(sys::kErrMoreData);
        } else if (end == buffer) {
            code = SystemCode(sys::kErrInvalidData);  // "Software" alone would name a relative path
        } else if (!sys::IsAbsolutePath(std::wstring(buffer, static_cast<size_t>(end - buffer)) +
                                        L"Software")) {
            // "Oculus\", "C:Oculus\" or "C:" would send the move to whatever the working folder
            // is: judged on the folder the move works on, as the base is used unchanged.
            code = SystemCode(sys::kErrInvalidData);
        } else {
            base.assign(buffer, static_cast<size_t>(end - buffer));
        }
    }
    if (code != 0) HX_LOG.Err(code);
    return code;
}

// Developer diagnostic: the key's value names on standard output.
int32_t ListValueNames(sys::RegKey key, uint32_t valueCount) {
    std::printf("\nNumber of values: %d\n", static_cast<int>(valueCount));
    std::vector<wchar_t> name(16383);
    int32_t status = 0;
    for (uint32_t i = 0; i < valueCount; ++i) {
        std::fill(name.begin(), name.end(), L'\0');
        uint32_t length = static_cast<uint32_t>(name.size());
        status = sys::RegEnumValueW(key, i, name.data(), &length);
        if (status == 0) {
            std::printf("(%d) %s\n", static_cast<int>(i + 1),
                        sys::ToUtf8(std::wstring_view(name.data(), length)).c_str());
        }
    }
    return status;
}

}  // namespace

int32_t COculusMgr::DetectBase() {
    KeyHolder searched;
    int32_t status = sys::RegOpenKeyExW(kSearchedKey, sys::kKeyAllAccess, searched.key);
    if (status == 0) {
        status = EnumSubKeys(searched.key);
        if (status != 0) {
            HX_LOG.Err(status);
            return status;
        }
    } else if (!Succeeded(status)) {
        HX_LOG.Err(SystemCode(status));
        return SystemCode(status);
    }
    // Exact comparison: a key that differs in letter case is not the platform's.
    if (std::find(subKeys.begin(), subKeys.end(), kMarkerKey) == subKeys.end()) {
        return kCodeNotInstalled;
    }

    KeyHolder oculus;
    status = sys::RegOpenKeyExW(kOculusKey, sys::kKeyAllAccess, oculus.key);
    if (!Succeeded(status)) {
        HX_LOG.Err(SystemCode(status));
        return SystemCode(status);
    }
    return ReadBaseValue(oculus.key, basePath);
}

int32_t COculusMgr::EnumSubKeys(sys::RegKey key) {
    wchar_t className[260] = {};
    uint32_t classLength = std::size(className);
    uint32_t subKeyCount = 0;
    uint32_t valueCount = 0;
    int32_t status = sys::RegQueryInfoKeyW(key, className, &classLength, &subKeyCount, &valueCount);
    if (!Succeeded(status)) {
        HX_LOG.Err(SystemCode(status));
        return SystemCode(status);
    }
    for (uint32_t i = 0; i < subKeyCount; ++i) {
        wchar_t name[255] = {};
        uint32_t length = std::size(name);
        status = sys::RegEnumKeyExW(key, i, name, &length);
        if (status == 0) {
            subKeys.emplace_back(name, length);
        } else if (!Succeeded(status)) {
            HX_LOG.Err(SystemCode(status));
            return SystemCode(status);
        }
    }
    if (valueCount > 0) status = ListValueNames(key, valueCount);
    // A benign last status must not turn a complete enumeration into a failed detection.
    return Succeeded(status) ? 0 : status;
}

std::wstring COculusMgr::GetSoftwarePath() {
    softwarePath = basePath + L"Software";
    return softwarePath;
}

std::wstring COculusMgr::GetDownloadsPath() {
    downloadsPath = basePath + L"Downloads";
    return downloadsPath;
}

// ---- Services ----------------------------------------------------------------------------------

namespace {

// The platform's two services, in the order both pair operations handle them.
constexpr wchar_t kLibraryService[] = L"OVRLibraryService";
constexpr wchar_t kPlatformService[] = L"OVRService";

constexpr uint32_t kStopLimitMs = 30000;
// The longest wait for a service to leave a pending state, whatever it announces or however
// its check point moves: after a stop request, after a start request, and before a start for a
// stop still pending, which for a stop this object requested counts from that request (a
// rollback must not wait a second time for the stop the move gave up on).
constexpr uint32_t kWaitCapMs = 60000;
// After a stop request: the longest pause between two looks (a service that stops at once must
// not hold the move for its whole hint).
constexpr uint32_t kStopPollMs = 1000;

// 183 and 18 count as success here as for every system call; 0 then means "go on".
uint32_t FailedCallError() {
    const uint32_t error = sys::GetLastError();
    return sys::IsBenignError(error) ? 0 : error;
}

// A tenth of the service's own estimate, but never busier than once a second and never deafer
// than once in ten seconds.
uint32_t PendingWait(uint32_t waitHint) {
    return std::clamp<uint32_t>(waitHint / 10, 1000, 10000);
}

uint32_t Since(uint32_t tick) {
    return sys::GetTickCount() - tick;  // unsigned: right across the tick's wrap
}

uint32_t Query(sys::ScHandle service, sys::ServiceStatusProcess& status) {
    return sys::QueryServiceStatusEx(service, status) ? 0 : FailedCallError();
}

// Releases the manager and service handles on every way out of the operation that opened them,
// as KeyHolder does for registry keys. The handles stay members: StopDependents reads them.
class ServiceHandles {
  public:
    ServiceHandles(sys::ScHandle& manager, sys::ScHandle& service)
        : manager_(manager), service_(service) {}
    ServiceHandles(const ServiceHandles&) = delete;
    ServiceHandles& operator=(const ServiceHandles&) = delete;
    ~ServiceHandles() {
        if (service_) sys::CloseServiceHandle(service_);
        if (manager_) sys::CloseServiceHandle(manager_);
        service_ = nullptr;
        manager_ = nullptr;
    }

  private:
    sys::ScHandle& manager_;
    sys::ScHandle& service_;
};

// The code of a failed service call, logged at the caller's line.
int32_t Fail(const CLogSite& site, uint32_t error) {
    const int32_t code = SystemCode(error);
    site.Err(code);
    return code;
}

struct Waited {
    uint32_t queryError = 0;  // a status query failed with this error
    bool timedOut = false;
};

// After a stop request: looks again at least once a second (sooner when the hint is shorter)
// until the service stops, and gives up 60 s after the request, whatever the hint said.
Waited AwaitStopped(sys::ScHandle service, sys::ServiceStatusProcess& status) {
    const uint32_t requested = sys::GetTickCount();
    while (status.currentState != sys::kServiceStopped) {
        const uint32_t waited = Since(requested);
        if (waited >= kWaitCapMs) return {0, true};
        sys::Sleep(std::min({status.waitHint, kStopPollMs, kWaitCapMs - waited}));
        if (const uint32_t error = Query(service, status)) return {error, false};
    }
    return {};
}

// Waits while the service stays in the pending state, for as long as its check point moves on
// within its wait hint, and at most until kWaitCapMs after since. The time is judged only while
// the service is still pending: a service that has just settled reports a wait hint and check
// point of 0, and has not failed.
Waited AwaitProgress(sys::ScHandle service, sys::ServiceStatusProcess& status, uint32_t pending,
                     uint32_t since) {
    uint32_t noted = sys::GetTickCount();
    uint32_t checkPoint = status.checkPoint;
    while (status.currentState == pending) {
        const uint32_t waited = Since(since);
        if (waited >= kWaitCapMs) return {0, true};
        sys::Sleep(std::min(PendingWait(status.waitHint), kWaitCapMs - waited));
        if (const uint32_t error = Query(service, status)) return {error, false};
        if (status.checkPoint > checkPoint) {
            noted = sys::GetTickCount();
            checkPoint = status.checkPoint;
        } else if (status.currentState == pending && Since(noted) > status.waitHint) {
            return {0, true};
        }
    }
    return {};
}

// Where no call failed, the code names what happened instead of passing on whatever error an
// earlier call left behind, which could be 0, or 183 and 18 that would turn the failure into 0.
uint32_t NotStartedError(const sys::ServiceStatusProcess& status) {
    const uint32_t exitCode = status.win32ExitCode;
    const bool named =
        exitCode != 0 && exitCode != sys::kErrAlreadyExists && exitCode != sys::kErrNoMoreFiles;
    return named ? exitCode : sys::kErrServiceRequestTimeout;
}

void PrintNotStarted(const sys::ServiceStatusProcess& status) {
    std::printf("Service not started. \n");  // diagnostic text kept verbatim, blank included
    std::printf("  Current State: %d\n", static_cast<int>(status.currentState));
    std::printf("  Exit Code: %d\n", static_cast<int>(status.win32ExitCode));
    std::printf("  Check Point: %d\n", static_cast<int>(status.checkPoint));
    std::printf("  Wait Hint: %d\n", static_cast<int>(status.waitHint));
}

}  // namespace

const std::vector<std::wstring>& COculusMgr::ServiceNames() {
    static const std::vector<std::wstring> names{kLibraryService, kPlatformService};
    return names;
}

int32_t COculusMgr::StopServices() {
    stoppedByUs_.clear();
    stopRequested_.clear();
    servicesHandled_.store(0);
    for (const std::wstring& name : ServiceNames()) {
        serviceName = name;
        const int32_t r = StopOneService();  // logged where it failed
        // An installation without the library service has nothing of it that could write.
        const bool noLibrary =
            r == SystemCode(sys::kErrServiceDoesNotExist) && serviceName == kLibraryService;
        if (r != 0 && !noLibrary) return r;
        servicesHandled_.fetch_add(1);
    }
    return 0;
}

// Once tried, the services are no longer this object's to start again.
int32_t COculusMgr::RestartStoppedServices() {
    int32_t first = 0;
    for (const std::wstring& name : stoppedByUs_) {
        serviceName = name;
        const int32_t r = StartOneService();
        if (first == 0) first = r;
    }
    stoppedByUs_.clear();
    return first;
}

int32_t COculusMgr::StartServices() {
    servicesHandled_.store(0);
    stoppedByUs_.clear();
    serviceName = kLibraryService;
    int32_t library = StartOneService();
    // As for the stop: an installation without the library service has nothing of it to start.
    if (library == SystemCode(sys::kErrServiceDoesNotExist)) library = 0;
    servicesHandled_.fetch_add(1);
    serviceName = kPlatformService;
    const int32_t r = StartOneService();
    servicesHandled_.fetch_add(1);
    if (r == 0 && library != 0) {
        serviceName = kLibraryService;  // the one the failure names
        return library;
    }
    return r;
}

int32_t COculusMgr::StartServicesIfStopped(const std::vector<std::wstring>& names) {
    int32_t first = 0;
    for (const std::wstring& name : names) {
        serviceName = name;
        uint32_t state = 0;
        int32_t r = QueryState(state);
        if (r == 0 && (state == sys::kServiceRunning || state == sys::kServiceStartPending)) {
            continue;
        }
        // As for a stop: a service the installation lacks has nothing to start.
        if (r == SystemCode(sys::kErrServiceDoesNotExist)) continue;
        if (r == 0) r = StartOneService();
        if (first == 0) first = r;
    }
    return first;
}

// The first steps of every single-service operation: the manager with all access, then
// serviceName with access, then its status. 0, or the code of the failure, logged at site.
int32_t COculusMgr::OpenService(const CLogSite& site, uint32_t access,
                                sys::ServiceStatusProcess& status) {
    uint32_t error = 0;
    scmHandle = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    if (!scmHandle && (error = FailedCallError())) return Fail(site, error);
    serviceHandle = sys::OpenServiceW(scmHandle, serviceName, access);
    if (!serviceHandle && (error = FailedCallError())) return Fail(site, error);
    if ((error = Query(serviceHandle, status))) return Fail(site, error);
    return 0;
}

int32_t COculusMgr::QueryState(uint32_t& state) {
    sys::ServiceStatusProcess status;
    const ServiceHandles release(scmHandle, serviceHandle);
    if (const int32_t r = OpenService(HX_LOG, sys::kServiceStopQuery, status); r != 0) return r;
    state = status.currentState;
    return 0;
}

int32_t COculusMgr::StopOneService() {
    const uint32_t started = sys::GetTickCount();
    sys::ServiceStatusProcess status;
    uint32_t error = 0;
    const ServiceHandles release(scmHandle, serviceHandle);
    if (const int32_t r = OpenService(HX_LOG, sys::kServiceStopQueryEnumerate, status); r != 0)
        return r;
    if (status.currentState == sys::kServiceStopped) {
        // Diagnostic text kept verbatim, old file name and line number included.
        std::printf("dwCurrentState == SERVICE_STOPPED =====CoulusMgr.CPP   LIN400");
        return 0;
    }
    while (status.currentState == sys::kServiceStopPending) {
        std::printf("Service stop pending...\n");
        sys::Sleep(PendingWait(status.waitHint));
        if ((error = Query(serviceHandle, status))) {
            return Fail(HX_LOG, error);
        }
        if (status.currentState == sys::kServiceStopped) {
            std::printf("437------------------------");  // diagnostic text kept verbatim
            return 0;
        }
        if (Since(started) > kStopLimitMs) {
            return Fail(HX_LOG, sys::kErrServiceRequestTimeout);
        }
    }
    StopDependents();  // whatever it leaves running, the manager judges the stop request
    if (!sys::ControlService(serviceHandle, sys::kServiceControlStop, status) &&
        (error = FailedCallError())) {
        return Fail(HX_LOG, error);
    }
    // From here the service may stop because of this request, even if the wait gives up.
    stoppedByUs_.push_back(serviceName);
    stopRequested_[serviceName] = sys::GetTickCount();
    const Waited waited = AwaitStopped(serviceHandle, status);
    if (waited.queryError) return Fail(HX_LOG, waited.queryError);
    if (waited.timedOut) {
        return Fail(HX_LOG, sys::kErrServiceRequestTimeout);
    }
    stopRequested_.erase(serviceName);  // stopped: nothing left to wait for
    return 0;
}

int32_t COculusMgr::StartOneService() {
    sys::ServiceStatusProcess status;
    uint32_t error = 0;
    const ServiceHandles release(scmHandle, serviceHandle);
    if (const int32_t r = OpenService(HX_LOG, sys::kServiceAllAccess, status); r != 0) return r;
    const uint32_t state = status.currentState;
    if (state != sys::kServiceStopped && state != sys::kServiceStopPending) {
        return Fail(HX_LOG, sys::kErrServiceAlreadyRunning);
    }
    // A stop this object requested has had its time already, counted from the request.
    uint32_t stopSince = sys::GetTickCount();
    if (const auto it = stopRequested_.find(serviceName); it != stopRequested_.end()) {
        stopSince = it->second;
        stopRequested_.erase(it);
    }
    Waited waited = AwaitProgress(serviceHandle, status, sys::kServiceStopPending, stopSince);
    if (waited.queryError) return Fail(HX_LOG, waited.queryError);
    if (waited.timedOut) {
        return Fail(HX_LOG, sys::kErrServiceRequestTimeout);
    }
    if (!sys::StartServiceW(serviceHandle) && (error = FailedCallError())) {
        return Fail(HX_LOG, error);
    }
    const uint32_t startRequested = sys::GetTickCount();
    std::printf("Service start pending...\n");
    if ((error = Query(serviceHandle, status))) return Fail(HX_LOG, error);
    waited = AwaitProgress(serviceHandle, status, sys::kServiceStartPending, startRequested);
    if (waited.queryError) return Fail(HX_LOG, waited.queryError);
    if (status.currentState == sys::kServiceRunning) {
        std::printf("Service started successfully.\n");
        return 0;
    }
    PrintNotStarted(status);
    return Fail(HX_LOG, NotStartedError(status));
}

bool COculusMgr::StopDependents() {
    uint32_t needed = 0, count = 0;
    if (sys::EnumDependentServicesW(serviceHandle, sys::kServiceActive, nullptr, 0, needed,
                                    count)) {
        return true;
    }
    if (sys::GetLastError() != sys::kErrMoreData) return false;
    std::unique_ptr<std::byte[]> buffer(new (std::nothrow) std::byte[needed]());
    if (!buffer) return false;
    if (!sys::EnumDependentServicesW(serviceHandle, sys::kServiceActive, buffer.get(), needed,
                                     needed, count)) {
        return false;
    }
    const auto* entries = reinterpret_cast<const sys::EnumServiceStatus*>(buffer.get());
    for (uint32_t i = 0; i < count; ++i) {
        sys::ScHandle dependent =
            sys::OpenServiceW(scmHandle, entries[i].serviceName, sys::kServiceStopQuery);
        if (!dependent) return false;
        sys::ServiceStatusProcess status;
        bool stopped = sys::ControlService(dependent, sys::kServiceControlStop, status);
        if (stopped) {
            const Waited waited = AwaitStopped(dependent, status);
            stopped = !waited.queryError && !waited.timedOut;
        }
        sys::CloseServiceHandle(dependent);
        if (!stopped) return false;
    }
    return true;
}
