// POSIX backend of the registry reads: HKEY_LOCAL_MACHINE is the text file HKLM.reg in the host
// folder, in the shape of a Windows registry export. Read-only: nothing here writes it.
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sys.h"

namespace sys {

struct RegValue {
    std::wstring name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// A key as it was when it was opened: the stand-in file only changes through the host tool.
struct RegKeyState {
    std::vector<std::wstring> subKeys;  // as stored, in the order the file names them
    std::vector<RegValue> values;
};

namespace {

constexpr int32_t kErrInvalidHandle = 6;
constexpr int32_t kErrNoMoreItems = 259;
constexpr std::wstring_view kRoot = L"HKEY_LOCAL_MACHINE";

// Windows compares key and value names without regard to letter case, beyond ASCII too.
std::wstring Fold(std::wstring_view text) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::wstring folded(text);
    for (wchar_t& c : folded)
        c = utf8 ? static_cast<wchar_t>(towupper_l(c, utf8)) : static_cast<wchar_t>(towupper(c));
    return folded;
}

std::vector<std::wstring> SplitKeyPath(std::wstring_view path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

struct Node {
    std::vector<std::wstring> children;  // stored names
    std::vector<RegValue> values;
};

// The parsed file: every key by its folded path below HKEY_LOCAL_MACHINE ("" is the root).
class Hive {
  public:
    // Keys that only appear as the parents of deeper key lines exist as well.
    Node& Key(const std::vector<std::wstring>& parts) {
        std::wstring path;
        Node* node = &nodes_[path];
        for (const std::wstring& part : parts) {
            std::wstring childPath = path.empty() ? Fold(part) : path + L'\\' + Fold(part);
            if (!nodes_.contains(childPath)) node->children.push_back(part);
            node = &nodes_[childPath];
            path = std::move(childPath);
        }
        return *node;
    }

    const Node* Find(std::wstring_view subKey) const {
        std::wstring path;
        for (const std::wstring& part : SplitKeyPath(subKey))
            path += (path.empty() ? L"" : L"\\") + Fold(part);
        const auto found = nodes_.find(path);
        return found == nodes_.end() ? nullptr : &found->second;
    }

  private:
    std::map<std::wstring, Node> nodes_;
};

// ---- Parsing -----------------------------------------------------------------------------------

// Reads a quoted text at text[pos] (pos on the opening quote), undoing \\ and \".
bool ParseQuoted(std::wstring_view text, size_t& pos, std::wstring& out) {
    if (pos >= text.size() || text[pos] != L'"') return false;
    for (++pos; pos < text.size(); ++pos) {
        wchar_t c = text[pos];
        if (c == L'"') {
            ++pos;
            return true;
        }
        if (c == L'\\' && pos + 1 < text.size() &&
            (text[pos + 1] == L'\\' || text[pos + 1] == L'"'))
            c = text[++pos];
        out += c;
    }
    return false;  // no closing quote
}

std::vector<uint8_t> WideBytes(const std::wstring& text) {
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(wchar_t));
    return bytes;
}

bool AllHex(std::wstring_view text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return iswxdigit(c) != 0; });
}

bool IsTextType(uint32_t type) {
    return type == kRegSz || type == 2 /* REG_EXPAND_SZ */ || type == 7 /* REG_MULTI_SZ */;
}

// "hex:01,02" or "hex(2):41,00,00,00". Text types are exported as UTF-16LE; here wide text is
// wchar_t, so they are carried over unit by unit.
bool ParseHex(std::wstring_view text, RegValue& value) {
    size_t colon = text.find(L':');
    if (colon == std::wstring_view::npos) return false;
    const std::wstring_view kind = text.substr(0, colon);
    value.type = 3;  // REG_BINARY
    if (kind.size() > 5 && kind.starts_with(L"hex(") && kind.back() == L')') {
        value.type = static_cast<uint32_t>(
            std::wcstoul(std::wstring(kind.substr(4, kind.size() - 5)).c_str(), nullptr, 16));
    } else if (kind != L"hex") {
        return false;
    }
    std::vector<uint8_t> bytes;
    std::wistringstream in{std::wstring(text.substr(colon + 1))};
    for (std::wstring item; std::getline(in, item, L',');) {
        std::erase_if(item, [](wchar_t c) { return iswspace(c) != 0; });
        if (item.empty()) continue;
        if (item.size() > 2 || !AllHex(item)) return false;
        bytes.push_back(static_cast<uint8_t>(std::wcstoul(item.c_str(), nullptr, 16)));
    }
    if (!IsTextType(value.type)) {
        value.data = std::move(bytes);
        return true;
    }
    std::wstring decoded;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        decoded += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    while (!decoded.empty() && decoded.back() == L'\0')
        decoded.pop_back();
    value.data = WideBytes(decoded);
    return true;
}

// "Name"="text", "Name"=dword:0000002a, "Name"=hex(n):..., @=... (the default value).
bool ParseValue(std::wstring_view line, RegValue& value) {
    size_t pos = 0;
    if (line.starts_with(L'@')) {
        pos = 1;
    } else if (!ParseQuoted(line, pos, value.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != L'=') return false;
    const std::wstring_view data = line.substr(pos + 1);
    if (data.starts_with(L'"')) {
        std::wstring text;
        size_t at = 0;
        if (!ParseQuoted(data, at, text) || at != data.size()) return false;
        value.type = kRegSz;
        value.data = WideBytes(text);
        return true;
    }
    if (data.starts_with(L"dword:")) {
        const std::wstring digits(data.substr(6));
        if (digits.empty() || digits.size() > 8 || !AllHex(digits)) return false;
        const auto number = static_cast<uint32_t>(std::wcstoul(digits.c_str(), nullptr, 16));
        value.type = kRegDword;
        value.data.resize(sizeof number);
        std::memcpy(value.data.data(), &number, sizeof number);
        return true;
    }
    return ParseHex(data, value);
}

void SetValue(Node& node, RegValue value) {
    const std::wstring folded = Fold(value.name);
    for (RegValue& existing : node.values) {
        if (Fold(existing.name) == folded) {
            existing = std::move(value);
            return;
        }
    }
    node.values.push_back(std::move(value));
}

// The key that a "[...]" line names, or null when it lies outside HKEY_LOCAL_MACHINE or deletes.
Node* KeyOfLine(Hive& hive, std::wstring_view line) {
    if (line.size() < 2 || line.back() != L']') return nullptr;
    std::vector<std::wstring> parts = SplitKeyPath(line.substr(1, line.size() - 2));
    if (parts.empty() || Fold(parts.front()) != kRoot) return nullptr;
    parts.erase(parts.begin());
    return &hive.Key(parts);
}

// Joins the continuation lines ("\" at the end) of long hex values.
std::vector<std::wstring> LogicalLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wistringstream in(text);
    bool continued = false;
    for (std::wstring line; std::getline(in, line);) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        std::wstring_view view = line;
        if (continued) view.remove_prefix(std::min(view.find_first_not_of(L" \t"), view.size()));
        const bool hex = continued || view.find(L"=hex") != std::wstring_view::npos;
        const bool continues = hex && view.ends_with(L'\\') && !view.ends_with(L"\"");
        if (continues) view.remove_suffix(1);
        if (continued) {
            lines.back() += view;
        } else {
            lines.emplace_back(view);
        }
        continued = continues;
    }
    return lines;
}

Hive LoadHive() {
    Hive hive;
    hive.Key({});
    std::ifstream file(HostDir() + "/HKLM.reg", std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);
    Node* key = nullptr;
    for (const std::wstring& line : LogicalLines(FromUtf8(bytes))) {
        if (line.starts_with(L'[')) {
            key = KeyOfLine(hive, line);
            continue;
        }
        RegValue value;
        if (key && ParseValue(line, value)) SetValue(*key, std::move(value));
    }
    return hive;
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
    const Hive hive = LoadHive();
    const Node* node = hive.Find(subKey);
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
    const std::wstring folded = Fold(name);
    const auto found = std::find_if(key->values.begin(), key->values.end(),
                                    [&](const RegValue& v) { return Fold(v.name) == folded; });
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
