// Access to the installed Oculus platform: its base folder from the registry, and its two
// services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/services.h"

class COculusMgr {
  public:
    // Detection.
    int32_t DetectBase();
    int32_t EnumSubKeys(sys::RegKey key);
    std::wstring GetSoftwarePath();
    std::wstring GetDownloadsPath();
    std::wstring GetBasePath() const { return basePath; }

    // Services: "OVRLibraryService" then "OVRService"; only the second one's result counts.
    int32_t StopServices();
    int32_t StartServices();
    int32_t StopOneService();
    int32_t StartOneService();
    bool StopDependents();

    std::wstring serviceName;

  private:
    sys::ScHandle scmHandle = nullptr;
    sys::ScHandle serviceHandle = nullptr;
    std::wstring softwarePath;
    std::wstring downloadsPath;
    std::wstring basePath;
    std::vector<std::wstring> subKeys;
};
