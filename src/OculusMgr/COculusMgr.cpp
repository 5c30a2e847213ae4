#include "OculusMgr/COculusMgr.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "logging/log.h"
#include "platform/sys.h"

// ---- Detection ---------------------------------------------------------------------------------

namespace {

constexpr wchar_t kSearchedKey[] = L"SOFTWARE\\WOW6432Node";
constexpr wchar_t kMarkerKey[] = L"Oculus VR, LLC";
constexpr wchar_t kOculusKey[] = L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus";

// Registry statuses that count as success, as for every other system call.
bool Succeeded(int32_t status) {
    return status == 0 || status == sys::kErrAlreadyExists || status == sys::kErrNoMoreFiles;
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

int32_t SystemCode(int32_t status) {
    return 10000 + status;
}

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
    if (std::find(subKeys.begin(), subKeys.end(), kMarkerKey) == subKeys.end()) return 7;

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
