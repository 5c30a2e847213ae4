// Windows backend of the volume queries: the real calls, on the drive letter a path begins with.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sys.h"
#include "platform/volume.h"

namespace sys {

std::wstring DriveRootOf(const std::wstring& path) {
    if (path.empty()) return {};
    return std::wstring(1, path[0]) + L":\\";
}

bool GetVolumeInformationW(const std::wstring& root, wchar_t* name, uint32_t size) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    DWORD flags = 0;
    return ::GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, name,
                                   size) != FALSE;
}

bool IsNativeFileSystem(const std::wstring&) {
    return false;
}

uint32_t GetDriveTypeW(const std::wstring& root) {
    if (fault::Hit(Call::kVolumeQuery)) return kDriveUnknown;
    return ::GetDriveTypeW(root.c_str());
}

bool QueryStorageBusType(const std::wstring& path, uint32_t& busType) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    if (path.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring device = L"\\\\?\\*:";
    device[4] = path[0];
    HANDLE volume = ::CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;

    STORAGE_PROPERTY_QUERY query{};  // StorageDeviceProperty, PropertyStandardQuery
    static_assert(sizeof(query) == 12);
    unsigned char descriptor[40] = {};
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                                      descriptor, sizeof(descriptor), &returned, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(volume);
    if (!ok) {
        ::SetLastError(error);
        return false;
    }
    // BusType sits at byte 28 of STORAGE_DEVICE_DESCRIPTOR; a short answer leaves it 0 (unknown).
    uint32_t bus = 0;
    if (returned >= 32) std::memcpy(&bus, descriptor + 28, sizeof(bus));
    busType = bus;
    return true;
}

namespace {

// The GUID name \\?\Volume{...}\ of the volume reached at volumePath; empty where the
// system has none (a network share, or a drive Wine maps to a host folder).
std::wstring VolumeGuidName(const std::wstring& volumePath) {
    wchar_t name[64] = {};
    if (!::GetVolumeNameForVolumeMountPointW(volumePath.c_str(), name, 64)) return {};
    return name;
}

}  // namespace

bool GetVolumePathNameW(const std::wstring& path, std::wstring& volumePath) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    // The volume path is a leading part of the full path, with a closing separator.
    std::wstring buffer(std::max<size_t>(path.size(), MAX_PATH) + 2, L'\0');
    if (!::GetVolumePathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) {
        return false;
    }
    buffer.resize(std::wcslen(buffer.c_str()));
    volumePath = buffer;
    return true;
}

bool GetCopyKeeps(const std::wstring& path, CopyKeeps& keeps) {
    std::wstring root;
    if (!GetVolumePathNameW(path, root)) return false;
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(root, name, MAX_PATH + 1)) return false;
    keeps = KeepsOfFileSystem(name);
    return true;
}

bool QuerySameVolume(const std::wstring& a, const std::wstring& b, bool& same) {
    std::wstring first, second;
    if (!GetVolumePathNameW(a, first) || !GetVolumePathNameW(b, second)) return false;
    // A volume mounted both at a letter and in a folder has two volume paths but one GUID name.
    const std::wstring firstGuid = VolumeGuidName(first);
    const std::wstring secondGuid = VolumeGuidName(second);
    if (!firstGuid.empty() && !secondGuid.empty()) {
        same = firstGuid == secondGuid;
    } else {
        same = ::CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

namespace {

// The identity of the volume whose root is root: its GUID name, or its serial number.
std::wstring IdentityAtRoot(const std::wstring& root) {
    const std::wstring guid = VolumeGuidName(root);
    if (!guid.empty()) return guid;
    DWORD serial = 0;
    if (!::GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        return {};
    }
    wchar_t text[24];
    std::swprintf(text, 24, L"serial:%08lX", static_cast<unsigned long>(serial));
    return text;
}

}  // namespace

bool GetVolumeIdentity(const std::wstring& path, std::wstring& id) {
    if (fault::Hit(Call::kVolumeQuery)) return false;
    std::wstring root;
    if (!GetVolumePathNameW(path, root)) return false;
    id = IdentityAtRoot(root);
    if (id.empty()) return false;
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

std::vector<std::wstring> FindVolumeRoots(const std::wstring& id) {
    std::vector<std::wstring> roots;
    const DWORD drives = ::GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(drives & (1u << letter))) continue;
        const std::wstring root = std::wstring(1, static_cast<wchar_t>(L'A' + letter)) + L":\\";
        const UINT type = ::GetDriveTypeW(root.c_str());
        if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) continue;
        if (IdentityAtRoot(root) == id) roots.push_back(root);
    }
    return roots;
}

}  // namespace sys
