#include "fileop_support.h"

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
    (void)why;  // the read-only attribute always works there
    fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    return Cleanup([file] { fs::permissions(file, fs::perms::all, fs::perm_options::add); });
#else
    const std::string quoted = "'" + file.string() + "'";
    if (Run("chattr +i " + quoted)) return Cleanup([quoted] { Run("chattr -i " + quoted); });
    // Not root: a folder without write rights refuses to let its entries go.
    const fs::path parent = file.parent_path();
    const auto old = fs::status(parent).permissions();
    fs::permissions(parent, fs::perms::owner_read | fs::perms::owner_exec);
    Cleanup restore([parent, old] { fs::permissions(parent, old); });
    if (std::ofstream(parent / "probe").is_open()) {
        fs::remove(parent / "probe");
        why = "neither chattr +i nor folder rights can refuse a delete here";
    }
    return restore;
#endif
}

FileOpTest::FileOpTest() : cwd_(logDir_.path()) {
    LogResetForTests();
}

FileOpTest::~FileOpTest() {
    LogResetForTests();
}

std::string FileOpTest::LogText() const {
    LogFlushForTests();
    std::string text;
    if (!fs::exists(logDir_.path() / "log")) return text;
    for (const auto& entry : fs::directory_iterator(logDir_.path() / "log"))
        text += ReadFile(entry.path());
    return text;
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
