// Windows backend of the registry reads: the real calls on HKEY_LOCAL_MACHINE.
#include <windows.h>

#include "platform/registry.h"
#include "platform/sys.h"

namespace sys {

struct RegKeyState {
    HKEY handle = nullptr;
};

namespace {
int32_t Status(LSTATUS status) {
    return static_cast<int32_t>(status);
}
int32_t Injected() {
    return static_cast<int32_t>(GetLastError());
}
}  // namespace

int32_t RegOpenKeyExW(const std::wstring& subKey, uint32_t access, RegKey& key) {
    key = nullptr;
    if (fault::Hit(Call::kRegOpenKey)) return Injected();
    HKEY handle = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, access, &handle);
    if (status == ERROR_SUCCESS) key = new RegKeyState{handle};
    return Status(status);
}

int32_t RegQueryInfoKeyW(RegKey key, wchar_t* className, uint32_t* classLength, uint32_t* subKeys,
                         uint32_t* values) {
    if (fault::Hit(Call::kRegQueryInfoKey)) return Injected();
    if (!key) return ERROR_INVALID_HANDLE;
    DWORD classChars = classLength ? *classLength : 0;
    DWORD subKeyCount = 0;
    DWORD valueCount = 0;
    const LSTATUS status = ::RegQueryInfoKeyW(
        key->handle, className, classLength ? &classChars : nullptr, nullptr, &subKeyCount, nullptr,
        nullptr, &valueCount, nullptr, nullptr, nullptr, nullptr);
    if (classLength) *classLength = classChars;
    if (subKeys) *subKeys = subKeyCount;
    if (values) *values = valueCount;
    return Status(status);
}

int32_t RegEnumKeyExW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length) {
    if (fault::Hit(Call::kRegEnumKey)) return Injected();
    if (!key || !length) return key ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    DWORD chars = *length;
    const LSTATUS status =
        ::RegEnumKeyExW(key->handle, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    *length = chars;
    return Status(status);
}

int32_t RegEnumValueW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length) {
    if (fault::Hit(Call::kRegEnumValue)) return Injected();
    if (!key || !length) return key ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    DWORD chars = *length;
    const LSTATUS status =
        ::RegEnumValueW(key->handle, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    *length = chars;
    return Status(status);
}

int32_t RegQueryValueExW(RegKey key, const std::wstring& name, uint32_t* type, uint8_t* data,
                         uint32_t* size) {
    if (fault::Hit(Call::kRegQueryValue)) return Injected();
    if (!key) return ERROR_INVALID_HANDLE;
    DWORD valueType = 0;
    DWORD bytes = size ? *size : 0;
    const LSTATUS status = ::RegQueryValueExW(key->handle, name.c_str(), nullptr, &valueType, data,
                                              size ? &bytes : nullptr);
    if (type) *type = valueType;
    if (size) *size = bytes;
    return Status(status);
}

int32_t RegCloseKey(RegKey key) {
    // Not a fault point: failing a close would only leak the handle, never change an outcome.
    if (!key) return ERROR_INVALID_HANDLE;
    const LSTATUS status = ::RegCloseKey(key->handle);
    delete key;
    return Status(status);
}

}  // namespace sys
