// POSIX only: the registry stand-in's file, HKLM.reg in the host folder, read into keys and
// values. UTF-8 text in the shape of a Windows registry export: "[HKEY_LOCAL_MACHINE\...]" key
// lines, "Name"="text" with \\ and \" escapes, "Name"=dword:0000002a and "Name"=hex(n):.. values.
// Lines it does not understand are passed over. The calls that answer from it: registry.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

struct RegValue {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;  // REG_SZ: the wide text with its terminator, in wchar_t units
};

struct RegNode {
    std::vector<std::wstring> children;  // stored names, in the order the file names them
    std::vector<RegValue> values;
};

// Every key of the file by its folded path below HKEY_LOCAL_MACHINE ("" is the root).
class RegHive {
  public:
    // The key at parts, made with every missing parent: a key that only appears as the parent
    // of deeper key lines exists as well.
    RegNode& Add(const std::vector<std::wstring>& parts);
    const RegNode* Find(std::wstring_view subKey) const;  // backslashes, any letter case

  private:
    std::map<std::wstring, RegNode> nodes_;
};

// The hive that the bytes of an HKLM.reg file describe (a byte-order mark is allowed).
RegHive ParseRegFile(std::string_view bytes);

// Windows compares key and value names without regard to letter case, beyond ASCII too.
std::wstring FoldName(std::wstring_view text);

}  // namespace sys
