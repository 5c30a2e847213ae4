#include "fileop_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <fstream>

#include "logging/log.h"
#include "platform/sys.h"

namespace testsupport {

std::vector<std::string> ListingOrder(const fs::path& folder) {
    std::vector<std::string> names;
    CDirFinder finder;
    if (!finder.Open(W(folder / "*"))) return names;
    for (bool more = true; more;) {
        more = finder.Next();
        names.push_back(sys::ToUtf8(finder.Current().name));
    }
    return names;
}

#ifndef _WIN32
namespace {

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace
#endif

Cleanup MakeUndeletable(const fs::path& file, std::string& why) {
#ifdef _WIN32
    (void)why;
    // Held open without delete sharing: the read-only attribute no longer stops the delete of a
    // tree this move made, an open file still does.
    const HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    return Cleanup([held] {
        if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    });
#else
    const std::string quoted = "'" + file.string() + "'";
    if (Run("chattr +i " + quoted)) return Cleanup([quoted] { Run("chattr -i " + quoted); });
    // Not root: a read-only folder no longer stops the delete of a tree this move made.
    why = "only chattr +i (root) can refuse a delete here";
    return Cleanup();
#endif
}

FileOpTest::FileOpTest() : cwd_(logDir_.path()) {
    LogResetForTests();
}

FileOpTest::~FileOpTest() {
    LogResetForTests();
}

std::string FileOpTest::LogText() const {
    return LogTextIn(logDir_.path());
}

std::vector<std::string> FileOpTest::LoggedCodes() const {
    std::vector<std::string> codes;
    const std::string text = LogText();
    const std::string marker = "<err|dev>: ";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
        at += marker.size();
        const size_t end = text.find_first_of("\r\n", at);
        codes.push_back(text.substr(at, end - at));
    }
    return codes;
}

}  // namespace testsupport
