// POSIX backend of the registry reads: HKEY_LOCAL_MACHINE is the text file HKLM.reg in the host
// folder, in the shape of a Windows registry export. Read-only: nothing here writes it.
#include <algorithm>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/host.h"
#include "platform/posix/regfile.h"
#include "platform/registry.h"
#include "platform/sys.h"

namespace sys {

// A key as it was when it was opened: the stand-in file only changes through the host tool.
struct RegKeyState {
    std::vector<std::wstring> subKeys;  // as stored, in the order the file names them
    std::vector<RegValue> values;
};

namespace {

// The file as it is now, read whole at every open.
RegHive LoadHive() {
    std::ifstream file(HostDir() + "/HKLM.reg", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return ParseRegFile(bytes);
}

int32_t Fail(uint32_t error) {
    SetLastError(error);
    return static_cast<int32_t>(error);
}

// Copies name into a caller's buffer of *length characters, terminator included, as Win32 does.
int32_t CopyName(const std::wstring& name, wchar_t* buffer, uint32_t* length) {
    if (!length) return Fail(kErrInvalidParameter);
    if (name.size() + 1 > *length || !buffer) return Fail(kErrMoreData);
    std::wmemcpy(buffer, name.c_str(), name.size() + 1);
    *length = static_cast<uint32_t>(name.size());
    return 0;
}

}  // namespace

int32_t RegOpenKeyExW(const std::wstring& subKey, uint32_t, RegKey& key) {
    key = nullptr;
    if (fault::Hit(Call::kRegOpenKey)) return static_cast<int32_t>(GetLastError());
    const RegHive hive = LoadHive();
    const RegNode* node = hive.Find(subKey);
    if (!node) return Fail(kErrFileNotFound);
    key = new RegKeyState{node->children, node->values};
    return 0;
}

int32_t RegQueryInfoKeyW(RegKey key, wchar_t* className, uint32_t* classLength, uint32_t* subKeys,
                         uint32_t* values) {
    if (fault::Hit(Call::kRegQueryInfoKey)) return static_cast<int32_t>(GetLastError());
    if (!key) return Fail(kErrInvalidHandle);
    if (className && classLength) {
        if (*classLength == 0) return Fail(kErrMoreData);
        className[0] = L'\0';  // the stand-in's keys have no class
        *classLength = 0;
    }
    if (subKeys) *subKeys = static_cast<uint32_t>(key->subKeys.size());
    if (values) *values = static_cast<uint32_t>(key->values.size());
    return 0;
}

int32_t RegEnumKeyExW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length) {
    if (fault::Hit(Call::kRegEnumKey)) return static_cast<int32_t>(GetLastError());
    if (!key) return Fail(kErrInvalidHandle);
    if (index >= key->subKeys.size()) return Fail(kErrNoMoreItems);
    return CopyName(key->subKeys[index], name, length);
}

int32_t RegEnumValueW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length) {
    if (fault::Hit(Call::kRegEnumValue)) return static_cast<int32_t>(GetLastError());
    if (!key) return Fail(kErrInvalidHandle);
    if (index >= key->values.size()) return Fail(kErrNoMoreItems);
    return CopyName(key->values[index].name, name, length);
}

// REG_SZ data is the wide text with its terminator, in this platform's wchar_t units.
int32_t RegQueryValueExW(RegKey key, const std::wstring& name, uint32_t* type, uint8_t* data,
                         uint32_t* size) {
    if (fault::Hit(Call::kRegQueryValue)) return static_cast<int32_t>(GetLastError());
    if (!key) return Fail(kErrInvalidHandle);
    if (data && !size) return Fail(kErrInvalidParameter);
    const std::wstring folded = FoldName(name);
    const auto found = std::find_if(key->values.begin(), key->values.end(),
                                    [&](const RegValue& v) { return FoldName(v.name) == folded; });
    if (found == key->values.end()) return Fail(kErrFileNotFound);
    if (type) *type = found->type;
    const auto needed = static_cast<uint32_t>(found->data.size());
    if (!size) return 0;
    const uint32_t room = *size;
    *size = needed;
    if (!data) return 0;
    if (needed > room) return Fail(kErrMoreData);
    std::copy(found->data.begin(), found->data.end(), data);
    return 0;
}

int32_t RegCloseKey(RegKey key) {
    // Not a fault point: failing a close would only leak the handle, never change an outcome.
    if (!key) return Fail(kErrInvalidHandle);
    delete key;
    return 0;
}

}  // namespace sys
