// Registry reads, shaped after their Win32 namesakes. Results are registry statuses
// (Windows error numbers, 0 for success). On POSIX the machine's HKLM is the stand-in file
// HKLM.reg in the host folder (see host.h).
#pragma once

#include <cstdint>
#include <string>

namespace sys {

inline constexpr uint32_t kKeyAllAccess = 0xF003F;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

struct RegKeyState;
using RegKey = RegKeyState*;

// Opens a sub-key of HKEY_LOCAL_MACHINE. Key paths use backslashes and match case-insensitively.
int32_t RegOpenKeyExW(const std::wstring& subKey, uint32_t access, RegKey& key);
int32_t RegQueryInfoKeyW(RegKey key, wchar_t* className, uint32_t* classLength, uint32_t* subKeys,
                         uint32_t* values);
// name receives at most *length characters plus the terminator's room, as the Win32 call.
int32_t RegEnumKeyExW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length);
int32_t RegEnumValueW(RegKey key, uint32_t index, wchar_t* name, uint32_t* length);
// size in bytes; kErrMoreData when the value does not fit (size then says what it needs).
int32_t RegQueryValueExW(RegKey key, const std::wstring& name, uint32_t* type, uint8_t* data,
                         uint32_t* size);
int32_t RegCloseKey(RegKey key);

}  // namespace sys
