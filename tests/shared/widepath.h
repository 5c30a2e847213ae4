// Paths as the engine spells them, for both test suites: wide, with the platform separator, and
// on POSIX every byte of a name kept (std::filesystem's own conversion depends on the locale).
#pragma once

#include <filesystem>
#include <string>

#include "platform/sys.h"

namespace testsupport {

inline std::wstring W(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return sys::FromUtf8(path.string());
#endif
}

}  // namespace testsupport

#ifdef QT_CORE_LIB
#include <QString>

namespace testsupport {

// An engine path as the pages show it, for the window tests' comparisons.
inline QString Wide(const std::wstring& path) {
    return QString::fromStdWString(path);
}

}  // namespace testsupport
#endif
