// Windows backend of the path spellings: drive letters, and final paths behind "\\?\".
#include "platform/paths.h"

#include <windows.h>

namespace sys {

namespace {
bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
}  // namespace

bool IsAbsolutePath(const std::wstring& path) {
    return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':' &&
           (path.size() == 2 || IsSeparator(path[2]));
}

std::wstring LowerCase(std::wstring text) {
    if (text.empty()) return text;
    const int units = static_cast<int>(text.size());
    // Lower-casing keeps the length in the invariant locale; a refusal leaves the text as given.
    std::wstring lower(text.size(), L'\0');
    return ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.c_str(), units,
                           lower.data(), units, nullptr, nullptr, 0) == units
               ? lower
               : text;
}

std::wstring VolumeOf(const std::wstring& path) {
    const auto colon = path.find(L':');
    return colon == std::wstring::npos ? std::wstring() : path.substr(0, colon + 1);
}

bool PathOfFinalPathText(const std::wstring& text, std::wstring& path) {
    const auto colon = text.find(L':');
    const auto cut = colon == std::wstring::npos ? colon : text.rfind(L'\\', colon);
    if (cut == std::wstring::npos) return false;
    path = text.substr(cut + 1);
    return true;
}

}  // namespace sys
