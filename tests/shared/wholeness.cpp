#include "wholeness.h"

#include <gtest/gtest.h>

#include <vector>

#include "TaskMgr/MoveJournal.h"
#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"

namespace testsupport {

int32_t Move(CVr& engine, const fs::path& target, const std::function<void()>& beforeMove) {
    std::wstring source;
    EXPECT_EQ(engine.ResolveSourceDir(source), 0);
    const int32_t check = engine.CheckTargetDir(target.wstring());
    EXPECT_EQ(check, 0);
    if (check != 0) return -1;
    if (beforeMove) beforeMove();
    return engine.MoveInstallation();
}

bool JournalThere() {
    JournalRecord record;
    bool found = false;
    return ReadJournal(record, found) == kCodeJournalUnreadable || found;
}

namespace {

const char* const kTops[] = {"Software", "Downloads"};

// A name as the installation's file list spells it: UTF-8, with "/".
std::string Utf8(const fs::path& path) {
#ifdef _WIN32
    return sys::ToUtf8(path.generic_wstring());
#else
    return path.generic_string();
#endif
}

// A regular file under the tree (links not followed) that is no original of top.
std::string Stranger(const SimulatedInstall& install, const fs::path& tree,
                     const std::string& top) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!fs::is_regular_file(it->symlink_status(ec))) continue;
        const std::string relative = top + "/" + Utf8(fs::relative(it->path(), tree));
        if (install.files().count(relative) == 0) return Utf8(it->path());
    }
    return {};
}

std::string Pending(const SimulatedInstall& install) {
    if (!JournalThere()) return "a move waits for its recovery without its journal";
    const fs::path base = install.base(), copies = install.target() / "Oculus game";
    const auto missing =
        install.Missing({base / "Software", base / "SoftwareVarko", copies / "Software"},
                        {base / "Downloads", base / "DownloadsVarko", copies / "Downloads"});
    if (!missing.empty()) return "lost " + missing.front();
    return install.OutsideUntouched() ? "" : "outside data touched";
}

}  // namespace

std::string NotWhole(const SimulatedInstall& install, const Whole& expect) {
    if (expect.pending) return Pending(install);
    const fs::path base = install.base();
    std::error_code ec;
    int links = 0, folders = 0;
    for (const char* top : kTops) {
        const fs::path path = base / top;
        links += fs::is_symlink(path, ec);
        folders += !fs::is_symlink(path, ec) && fs::is_directory(path, ec);
    }
    const bool home = folders == 2, moved = links == 2;
    if (!home && !moved) return "neither both folders at home nor both linked";
    if (expect.data == Whole::Data::kHome && !home) return "the data is not back at home";
    if (expect.data == Whole::Data::kMoved && !moved) return "the data is not moved";

    for (const auto& entry : fs::directory_iterator(base)) {
        const std::string name = Utf8(entry.path().filename());
        if (name != "Software" && name != "Downloads") return "left in the base folder: " + name;
    }
    if (home) {
        if (!fs::is_empty(install.target(), ec)) return "the move left something in the target";
    } else {
        const fs::path software = fs::canonical(base / "Software", ec);
        const fs::path copies = software.parent_path();
        if (software.filename() != "Software" ||
            fs::canonical(base / "Downloads", ec) != copies / "Downloads") {
            return "links that do not lead to the two copies of one folder";
        }
        for (const auto& entry : fs::directory_iterator(copies, ec)) {
            const std::string name = Utf8(entry.path().filename());
            if (name != "Software" && name != "Downloads") return "left beside the copies: " + name;
        }
    }

    if (const auto missing = install.Missing({base / "Software"}, {base / "Downloads"});
        !missing.empty()) {
        return "lost " + missing.front();
    }
    for (const char* top : kTops) {
        const std::string stranger = Stranger(install, fs::canonical(base / top, ec), top);
        if (!stranger.empty()) return "a file that is no original: " + stranger;
    }
    if (!install.OutsideUntouched()) return "outside data touched";
    if (expect.services != 0) {
        for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
            const uint32_t state = install.ServiceState(name);
            if (state != 0 && state != expect.services)
                return sys::ToUtf8(name) + " in state " + std::to_string(state);
        }
    }
    if (JournalThere()) return "the journal is left";
    return {};
}

}  // namespace testsupport
