// POSIX backend of the service control manager calls, over the stand-in's records (see
// service_standin.cpp). It answers with the error numbers the Windows manager gives, so the
// service code cannot tell the difference.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/host.h"
#include "platform/posix/errors.h"
#include "platform/posix/service_standin.h"
#include "platform/services.h"
#include "platform/sys.h"

namespace sys {

struct ScState {
    bool manager = false;
    std::wstring name;  // the service's name as registered
    uint32_t access = 0;
};

namespace standin {
namespace {

constexpr uint32_t kQueryStatus = 0x4;
constexpr uint32_t kEnumerateDependents = 0x8;
constexpr uint32_t kStart = 0x10;
constexpr uint32_t kStop = 0x20;
constexpr uint32_t kServiceInactive = 2;
constexpr uint32_t kStateAll = 3;

std::mutex g_handlesLock;
std::set<const ScState*> g_handles;  // the live ones: a stale or foreign handle gives error 6

ScState* NewHandle(ScState state) {
    auto* handle = new ScState(std::move(state));
    std::lock_guard<std::mutex> guard(g_handlesLock);
    g_handles.insert(handle);
    return handle;
}

bool IsLive(const ScState* handle) {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    return g_handles.count(handle) != 0;
}

// The service behind a handle, with the rights the call needs; sets the Windows error if not.
bool CheckService(ScHandle handle, uint32_t right) {
    if (!handle || !IsLive(handle) || handle->manager) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    if ((handle->access & right) != right) {
        SetLastError(kErrAccessDenied);
        return false;
    }
    return true;
}

// Reads the record, settled at the current tick; a settled change is written back so that the
// file shows the state the manager reports.
bool Load(const std::wstring& name, ServiceRecord& record) {
    ServiceRecord stored;
    if (!ReadService(name, stored)) return false;
    record = Settle(stored, GetTickCount());
    if (!(record == stored)) WriteService(name, record);
    return true;
}

bool WriteFailed() {
    SetLastErrorFromErrno(errno != 0 ? errno : EIO);
    return false;
}

void BeginPending(ServiceRecord& record, uint32_t state, uint32_t hint) {
    record.state = state;
    record.waitHint = hint;
    record.checkPoint = 0;
    record.since = GetTickCount();
}

// Dependents of name, deepest first, the way the manager lists them so that stopping them in
// order is safe. Missing names are skipped; a cycle in the files cannot loop.
void CollectDependents(const std::wstring& name, std::set<std::wstring>& seen,
                       std::vector<std::pair<std::wstring, ServiceRecord>>& out) {
    ServiceRecord record;
    if (!Load(name, record)) return;
    for (const std::wstring& dependent : record.dependents) {
        const auto found = FindService(dependent);
        if (!found || !seen.insert(*found).second) continue;
        CollectDependents(*found, seen, out);
        ServiceRecord own;
        if (Load(*found, own)) out.emplace_back(*found, own);
    }
}

bool MatchesFilter(const ServiceRecord& record, uint32_t filter) {
    const bool active = record.state != kServiceStopped;
    return filter == kStateAll || (filter == kServiceActive && active) ||
           (filter == kServiceInactive && !active);
}

bool AnyActiveDependent(const std::wstring& name) {
    std::set<std::wstring> seen{name};
    std::vector<std::pair<std::wstring, ServiceRecord>> dependents;
    CollectDependents(name, seen, dependents);
    return std::any_of(dependents.begin(), dependents.end(),
                       [](const auto& d) { return MatchesFilter(d.second, kServiceActive); });
}

}  // namespace

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    return g_handles.size();
}

}  // namespace standin

using standin::ServiceRecord;

// The manager of a machine whose host folder does not exist has no database. A host folder
// without services/ is a machine with no services installed: opening one then gives 1060.
ScHandle OpenSCManagerW(uint32_t access) {
    if (fault::Hit(Call::kOpenSCManager)) return nullptr;
    std::error_code error;
    if (!std::filesystem::is_directory(HostDir(), error)) {
        SetLastError(kErrDatabaseDoesNotExist);
        return nullptr;
    }
    return standin::NewHandle({true, {}, access});
}

ScHandle OpenServiceW(ScHandle manager, const std::wstring& name, uint32_t access) {
    if (fault::Hit(Call::kOpenService)) return nullptr;
    if (!manager || !standin::IsLive(manager) || !manager->manager) {
        SetLastError(kErrInvalidHandle);
        return nullptr;
    }
    if (!standin::ValidName(name)) {
        SetLastError(kErrInvalidName);
        return nullptr;
    }
    const auto found = standin::FindService(name);
    if (!found) {
        SetLastError(kErrServiceDoesNotExist);
        return nullptr;
    }
    return standin::NewHandle({false, *found, access});
}

bool QueryServiceStatusEx(ScHandle service, ServiceStatusProcess& status) {
    if (fault::Hit(Call::kQueryServiceStatus)) return false;
    if (!standin::CheckService(service, standin::kQueryStatus)) return false;
    ServiceRecord record;
    if (!standin::Load(service->name, record)) {
        SetLastError(kErrServiceDoesNotExist);  // removed while the handle was open
        return false;
    }
    status = standin::Report(record, GetTickCount());
    return true;
}

namespace {

// The manager's checks of a stop request, in its order; 0 when the service takes the request.
uint32_t StopRefusal(const std::wstring& name, const ServiceRecord& record) {
    if (record.state == kServiceStopped) return kErrServiceNotActive;
    if (record.state != kServiceRunning) return kErrServiceCannotAcceptCtrl;
    if (standin::AnyActiveDependent(name)) return kErrDependentServicesRunning;
    return record.refuseStop;
}

void FillLeadingPart(ServiceStatusProcess& status, const ServiceStatusProcess& from) {
    const uint32_t processId = status.processId, flags = status.serviceFlags;
    status = from;
    status.processId = processId;
    status.serviceFlags = flags;
}

}  // namespace

// The stand-in knows only the stop control; Windows answers 1052 for a control a service lacks.
bool ControlService(ScHandle service, uint32_t control, ServiceStatusProcess& status) {
    if (fault::Hit(Call::kControlService)) return false;
    if (!standin::CheckService(service, standin::kStop)) return false;
    if (control != kServiceControlStop) {
        SetLastError(kErrInvalidServiceControl);
        return false;
    }
    ServiceRecord record;
    if (!standin::Load(service->name, record)) {
        SetLastError(kErrServiceDoesNotExist);
        return false;
    }
    const uint32_t refusal = StopRefusal(service->name, record);
    if (refusal == 0) {
        standin::BeginPending(record, kServiceStopPending, record.stopHint);
        record = standin::Settle(record, GetTickCount());  // a stop of 0 ms ends at once
        if (!standin::WriteService(service->name, record)) return standin::WriteFailed();
    }
    FillLeadingPart(status, standin::Report(record, GetTickCount()));
    if (refusal != 0) SetLastError(refusal);
    return refusal == 0;
}

bool StartServiceW(ScHandle service) {
    if (fault::Hit(Call::kStartService)) return false;
    if (!standin::CheckService(service, standin::kStart)) return false;
    ServiceRecord record;
    if (!standin::Load(service->name, record)) {
        SetLastError(kErrServiceDoesNotExist);
        return false;
    }
    if (record.state != kServiceStopped) {
        SetLastError(kErrServiceAlreadyRunning);
        return false;
    }
    if (record.refuseStart != 0) {
        SetLastError(record.refuseStart);
        return false;
    }
    standin::BeginPending(record, kServiceStartPending, record.startHint);
    record = standin::Settle(record, GetTickCount());
    if (!standin::WriteService(service->name, record)) return standin::WriteFailed();
    return true;
}

bool EnumDependentServicesW(ScHandle service, uint32_t stateFilter, void* buffer, uint32_t size,
                            uint32_t& bytesNeeded, uint32_t& count) {
    if (fault::Hit(Call::kEnumDependentServices)) return false;
    if (!standin::CheckService(service, standin::kEnumerateDependents)) return false;
    if (stateFilter < kServiceActive || stateFilter > standin::kStateAll) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    std::set<std::wstring> seen{service->name};
    std::vector<std::pair<std::wstring, ServiceRecord>> all;
    standin::CollectDependents(service->name, seen, all);
    std::vector<std::pair<std::wstring, ServiceRecord>> listed;
    for (auto& entry : all) {
        if (standin::MatchesFilter(entry.second, stateFilter)) listed.push_back(std::move(entry));
    }
    // Entries first, then the names they point to (service name and display name), as Windows.
    size_t needed = listed.size() * sizeof(EnumServiceStatus);
    for (const auto& entry : listed)
        needed += 2 * (entry.first.size() + 1) * sizeof(wchar_t);
    count = 0;
    bytesNeeded = 0;
    if (needed > size || (needed > 0 && !buffer)) {
        bytesNeeded = static_cast<uint32_t>(needed);
        SetLastError(kErrMoreData);
        return false;
    }
    auto* entries = static_cast<EnumServiceStatus*>(buffer);
    auto* text = reinterpret_cast<wchar_t*>(entries + listed.size());
    const uint32_t now = GetTickCount();
    for (size_t i = 0; i < listed.size(); ++i) {
        const std::wstring& name = listed[i].first;
        const ServiceStatusProcess status = standin::Report(listed[i].second, now);
        EnumServiceStatus& out = entries[i];
        out.serviceName = text;
        text = std::copy(name.begin(), name.end(), text);
        *text++ = L'\0';
        out.displayName = text;
        text = std::copy(name.begin(), name.end(), text);
        *text++ = L'\0';
        out.serviceType = status.serviceType;
        out.currentState = status.currentState;
        out.controlsAccepted = status.controlsAccepted;
        out.win32ExitCode = status.win32ExitCode;
        out.serviceSpecificExitCode = status.serviceSpecificExitCode;
        out.checkPoint = status.checkPoint;
        out.waitHint = status.waitHint;
    }
    count = static_cast<uint32_t>(listed.size());
    return true;
}

bool CloseServiceHandle(ScHandle handle) {
    std::unique_lock<std::mutex> guard(standin::g_handlesLock);
    if (!handle || standin::g_handles.erase(handle) == 0) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    guard.unlock();
    delete handle;
    return true;
}

}  // namespace sys
