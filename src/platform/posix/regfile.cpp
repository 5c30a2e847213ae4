// POSIX backend: the reader of the registry stand-in's file (see regfile.h).
#include "platform/posix/regfile.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/registry.h"
#include "platform/sys.h"

namespace sys {

// Windows compares key and value names without regard to letter case, beyond ASCII too.
std::wstring FoldName(std::wstring_view text) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::wstring folded(text);
    for (wchar_t& c : folded)
        c = utf8 ? static_cast<wchar_t>(towupper_l(c, utf8)) : static_cast<wchar_t>(towupper(c));
    return folded;
}

namespace {

constexpr std::wstring_view kRoot = L"HKEY_LOCAL_MACHINE";

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
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// "hex:01,02" or "hex(2):41,00,00,00". Text types are exported as UTF-16LE; here wide text is
// wchar_t, so they are carried over unit by unit.
bool ParseHex(std::wstring_view text, RegValue& value) {
    size_t colon = text.find(L':');
    if (colon == std::wstring_view::npos) return false;
    const std::wstring_view kind = text.substr(0, colon);
    value.type = kRegBinary;
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

void SetValue(RegNode& node, RegValue value) {
    const std::wstring folded = FoldName(value.name);
    for (RegValue& existing : node.values) {
        if (FoldName(existing.name) == folded) {
            existing = std::move(value);
            return;
        }
    }
    node.values.push_back(std::move(value));
}

// The key that a "[...]" line names, or null when it lies outside HKEY_LOCAL_MACHINE or deletes.
RegNode* KeyOfLine(RegHive& hive, std::wstring_view line) {
    if (line.size() < 2 || line.back() != L']') return nullptr;
    std::vector<std::wstring> parts = SplitKeyPath(line.substr(1, line.size() - 2));
    if (parts.empty() || FoldName(parts.front()) != kRoot) return nullptr;
    parts.erase(parts.begin());
    return &hive.Add(parts);
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

}  // namespace

RegNode& RegHive::Add(const std::vector<std::wstring>& parts) {
    std::wstring path;
    RegNode* node = &nodes_[path];
    for (const std::wstring& part : parts) {
        std::wstring childPath = path.empty() ? FoldName(part) : path + L'\\' + FoldName(part);
        if (!nodes_.contains(childPath)) node->children.push_back(part);
        node = &nodes_[childPath];
        path = std::move(childPath);
    }
    return *node;
}

const RegNode* RegHive::Find(std::wstring_view subKey) const {
    std::wstring path;
    for (const std::wstring& part : SplitKeyPath(subKey))
        path += (path.empty() ? L"" : L"\\") + FoldName(part);
    const auto found = nodes_.find(path);
    return found == nodes_.end() ? nullptr : &found->second;
}

RegHive ParseRegFile(std::string_view bytes) {
    RegHive hive;
    hive.Add({});
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    RegNode* key = nullptr;
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

}  // namespace sys
