#include "OculusMgr/COculusMgr.h"

#include <cstdio>

#include "logging/log.h"
#include "platform/sys.h"

// ---- Detection ---------------------------------------------------------------------------------

int32_t COculusMgr::DetectBase() {
    return 7;
}

int32_t COculusMgr::EnumSubKeys(sys::RegKey) {
    return 0;
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

int32_t COculusMgr::StopServices() {
    serviceName = L"OVRLibraryService";
    StopOneService();
    serviceName = L"OVRService";
    return StopOneService();
}

int32_t COculusMgr::StartServices() {
    serviceName = L"OVRLibraryService";
    StartOneService();
    serviceName = L"OVRService";
    return StartOneService();
}

int32_t COculusMgr::StopOneService() {
    return 0;
}

int32_t COculusMgr::StartOneService() {
    return 0;
}

bool COculusMgr::StopDependents() {
    return true;
}
