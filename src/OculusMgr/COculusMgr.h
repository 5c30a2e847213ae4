// Access to the installed Oculus platform: its base folder from the registry, and its two
// services.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/services.h"

class CLogSite;

class COculusMgr {
  public:
    // Detection.
    int32_t DetectBase();
    int32_t EnumSubKeys(sys::RegKey key);
    std::wstring GetSoftwarePath();
    std::wstring GetDownloadsPath();
    std::wstring GetBasePath() const { return basePath; }

    // Services: "OVRLibraryService" then "OVRService". A service that cannot be stopped ends the
    // stop with its code: the move must not run while either may still write.
    static const std::vector<std::wstring>& ServiceNames();
    int32_t StopServices();
    int32_t StartServices();
    // Starts again every service that the last StopServices stopped (and no other), all of
    // them tried; the first failure's code, or 0.
    int32_t RestartStoppedServices();
    // The services the last StopServices sent a stop, until they are started again.
    const std::vector<std::wstring>& StoppedServices() const { return stoppedByUs_; }
    // Starts each named service that is not running or starting (a recovery's: those the
    // journal says the move stopped), all of them tried; the first failure's code, or 0.
    int32_t StartServicesIfStopped(const std::vector<std::wstring>& names);
    int32_t QueryState(uint32_t& state);  // of serviceName
    int32_t StopOneService();
    int32_t StartOneService();
    bool StopDependents();
    // How many services the running StopServices or StartServices has dealt with so far; read
    // by the progress reader on another thread.
    uint64_t ServicesHandled() const { return servicesHandled_.load(); }

    std::wstring serviceName;

  private:
    int32_t OpenService(const CLogSite& site, uint32_t access, sys::ServiceStatusProcess& status);

    std::atomic<uint64_t> servicesHandled_{0};
    std::vector<std::wstring> stoppedByUs_;  // services the last StopServices sent a stop
    // When each of them that had not stopped when the wait gave up was sent it (tick): the
    // wait for that stop ends 60 s after the request, whoever waits.
    std::map<std::wstring, uint32_t> stopRequested_;
    sys::ScHandle scmHandle = nullptr;
    sys::ScHandle serviceHandle = nullptr;
    std::wstring softwarePath;
    std::wstring downloadsPath;
    std::wstring basePath;
    std::vector<std::wstring> subKeys;
};
