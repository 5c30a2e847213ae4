// POSIX backend of the path spellings: no drive letters, one root, "/" alone separates.
#include "platform/paths.h"

#include <cwctype>

namespace sys {

bool IsAbsolutePath(const std::wstring& path) {
    return !path.empty() && path[0] == L'/';
}

std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

std::wstring VolumeOf(const std::wstring& path) {
    return path;
}

bool PathOfFinalPathText(const std::wstring& text, std::wstring& path) {
    path = text;  // already the plain absolute path
    return true;
}

}  // namespace sys
