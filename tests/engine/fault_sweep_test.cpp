// The exhaustive fault sweep: a whole move is run once to count its platform calls, then once
// more for every call, with that call failing. After each run every original file must still
// exist where the result tells the user to look, and the data outside the installation must be
// untouched.
#include <gtest/gtest.h>

#include <cstdio>

#include "Vr/vr.h"
#include "install_fixture.h"
#include "platform/sys.h"

using namespace testsupport;

namespace {

#ifndef _WIN32

// About 50 files, one inner link, a read-only file, a link that leads nowhere, a private folder.
const InstallShape kSweepShape{5, true, true, true};

uint32_t ErrorFor(sys::Call kind) {
    switch (kind) {
        case sys::Call::kCopyFile:
        case sys::Call::kCreateDirectory:
        case sys::Call::kFlushToDisk:
            return sys::kErrDiskFull;
        default:
            return sys::kErrAccessDenied;
    }
}

struct Outcome {
    int32_t result = 0;
    bool clean = true;
    std::wstring parkedFirst, parkedSecond;
};

Outcome RunMove(SimulatedInstall& install, const sys::fault::Rule* rule,
                std::vector<sys::Call>* trace) {
    CVr engine;
    std::wstring source;
    EXPECT_EQ(engine.ResolveSourceDir(source), 0);
    EXPECT_EQ(engine.CheckTargetDir(install.target().wstring()), 0);
    sys::fault::Reset();
    if (trace) sys::fault::Trace(trace);
    if (rule) sys::fault::Arm(*rule);
    Outcome outcome;
    outcome.result = engine.MoveInstallation();
    sys::fault::Reset();
    outcome.clean = engine.IsRollbackClean();
    engine.GetParkedPaths(outcome.parkedSecond, outcome.parkedFirst);
    return outcome;
}

// What the user is told decides where the data may be: after 0, 6, 12 and a clean rollback it
// must be reachable at the old paths; after an unclean rollback the message names the parked
// folders as well.
std::string Verify(const SimulatedInstall& install, const Outcome& outcome) {
    const fs::path software = install.base() / "Software";
    const fs::path downloads = install.base() / "Downloads";
    std::vector<fs::path> softwarePlaces{software}, downloadsPlaces{downloads};
    const bool moved = outcome.result == 0 || outcome.result == 6 || outcome.result == 12;
    if (!moved && !outcome.clean) {
        softwarePlaces.push_back(fs::path(outcome.parkedSecond));
        downloadsPlaces.push_back(fs::path(outcome.parkedFirst));
    }
    const auto missing = install.Missing(softwarePlaces, downloadsPlaces);
    if (!missing.empty()) return "lost " + missing.front();
    if (!install.OutsideUntouched()) return "outside data touched";

    std::error_code ec;
    if (moved && !(fs::is_symlink(software, ec) && fs::is_symlink(downloads, ec))) {
        return "a moved result without links";
    }
    if (!moved && outcome.clean) {
        if (fs::is_symlink(software, ec) || fs::is_symlink(downloads, ec)) {
            return "a clean rollback left a link";
        }
        for (const auto& entry : fs::directory_iterator(install.base())) {
            const std::string name = entry.path().filename().string();
            if (name != "Software" && name != "Downloads") return "a clean rollback left " + name;
        }
    }
    if (moved || outcome.clean) {
        if (!fs::is_symlink(software / "Game A" / "dangling", ec))
            return "the dangling link is gone";
        if ((fs::status(downloads / "private", ec).permissions() & fs::perms::all) !=
            fs::perms::owner_all) {
            return "the private folder is no longer private";
        }
    }
    if (outcome.result == 0 && fs::exists(install.base() / "SoftwareVarko", ec)) {
        return "success with the parked folder left";
    }
    return {};
}

TEST(FaultSweep, NoFailingCallLosesData) {
    ScopedVirtualClock clock;
    // One copy thread: the walker copies each file itself, so call k is the same call each run.
    ScopedCopyThreads walkerOnly(1);
    std::vector<sys::Call> kinds;
    {
        SimulatedInstall warmUp(kSweepShape);  // opens the log, so every run makes the same calls
        ASSERT_EQ(RunMove(warmUp, nullptr, nullptr).result, 0);
    }
    {
        SimulatedInstall install(kSweepShape);
        const Outcome clean = RunMove(install, nullptr, &kinds);
        ASSERT_EQ(clean.result, 0);
        ASSERT_EQ(Verify(install, clean), "");
    }
    ASSERT_GT(kinds.size(), 100u);

    const SweepSample sample = SweepSample::FromEnvironment();
    int injected = 0, lost = 0;
    for (size_t k = 1; k <= kinds.size(); ++k) {
        if (!sample.Takes(k)) continue;
        ++injected;
        SimulatedInstall install(kSweepShape);
        const sys::fault::Rule rule{sys::Call::kAny, k, ErrorFor(kinds[k - 1])};
        const Outcome outcome = RunMove(install, &rule, nullptr);
        const std::string problem = Verify(install, outcome);
        if (!problem.empty()) {
            ++lost;
            ADD_FAILURE() << "call " << k << " (" << sys::fault::Name(kinds[k - 1])
                          << ") failing: result " << outcome.result << ", clean " << outcome.clean
                          << ": " << problem;
        }
    }
    std::printf("fault sweep: %d injected, %d lost%s\n", injected, lost,
                sample.Described().c_str());
    EXPECT_EQ(lost, 0);
}

#endif  // !_WIN32

}  // namespace
