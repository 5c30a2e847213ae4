// How the two platforms spell paths: separators, absolute paths, the volume a path names and the
// path inside a final-path text. The rules that differ live in one file per backend (paths.cpp).
#pragma once

#include <cstddef>
#include <string>

#include "platform/sys.h"

namespace sys {

// The platform separator; Windows takes "/" as one too.
constexpr bool IsSeparator(wchar_t c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == L'/';
#endif
}

// Where path's last separator is, or npos.
inline size_t LastSeparator(const std::wstring& path) {
#ifdef _WIN32
    return path.find_last_of(L"\\/");
#else
    return path.rfind(L'/');
#endif
}

// The length of text without the separators at its end, keeping at least keep units (1 keeps a
// lone "/" whole). The one trimming rule, for every string type that holds a path.
template <class Unit>
size_t LengthWithoutTrailingSeparators(const Unit* text, size_t length, size_t keep = 0) {
    while (length > keep && IsSeparator(static_cast<wchar_t>(text[length - 1])))
        --length;
    return length;
}

template <class Char>
std::basic_string<Char> WithoutTrailingSeparators(std::basic_string<Char> path, size_t keep = 0) {
    path.resize(LengthWithoutTrailingSeparators(path.data(), path.size(), keep));
    return path;
}

// True for a path that names its volume and folder whole. Windows: a drive letter and ":",
// then a separator or nothing. POSIX: a path from the root. Relative and drive-relative
// spellings ("Games", "D:Games", "\Games") would be checked on one volume and written on another.
bool IsAbsolutePath(const std::wstring& path);

// text in lower case, for comparisons that ignore letter case as the system's file names do.
// Windows: the invariant locale's mapping (LCMapStringEx). POSIX: towlower, unit by unit.
std::wstring LowerCase(std::wstring text);

// The part of a path whose volume a free-space query asks about. Windows: the drive, up to the
// first ":" (empty without one). POSIX: the path itself, as the volume that holds it is asked.
std::wstring VolumeOf(const std::wstring& path);

// The path inside a final-path text. Windows: "\\?\D:\dir" gives "D:\dir", from the drive
// letter before the first ":"; false when the text has no such letter. POSIX: the text itself.
bool PathOfFinalPathText(const std::wstring& text, std::wstring& path);

}  // namespace sys
