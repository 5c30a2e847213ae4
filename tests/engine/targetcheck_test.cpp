// The whole check of a target (IArSet::CheckMoveTarget): every refusal the window shows a
// message for, in its order, from the engine itself, so that the command line gets the same
// refusals; and the move's own look at its target before it stops anything.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <vector>

#include "Vr/MoveStatus.h"
#include "Vr/TargetCheck.h"
#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/paths.h"
#include "platform/services.h"
#include "platform/volume.h"
#include "wholeness.h"

using namespace testsupport;

namespace {

class Phases final : public TaskPhaseObserver {
  public:
    void OnPhase(int32_t phase) override {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(phase);
    }
    std::vector<int32_t> Seen() {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }

  private:
    std::mutex lock_;
    std::vector<int32_t> seen_;
};

class TargetCheckTest : public ::testing::Test {
  protected:
    TargetCheckTest() {
        engine_.Task().SetPhaseObserver(&phases_);
        std::wstring source;
        EXPECT_EQ(engine_.ResolveSourceDir(source), 0);
    }
    ~TargetCheckTest() override { targetcheck::SetUsbProbeForTests({}); }

    int32_t Check(const std::wstring& target) {
        TargetVerdict verdict;
        return engine_.CheckMoveTarget(target, verdict);
    }

    // Nothing was stopped, parked or made: the task never ran, the services run, the folders
    // are where they were and the target holds nothing of a move.
    void ExpectNothingChanged() {
        EXPECT_EQ(phases_.Seen(), std::vector<int32_t>{});
        EXPECT_EQ(NotWhole(install_, kAtHome), "");
    }

    ScopedVirtualClock clock_;
    SimulatedInstall install_;
    CVr engine_;
    Phases phases_;
};

TEST_F(TargetCheckTest, EachRefusalOfTheWindowComesFromTheEngineInItsOrder) {
    fs::create_directories(install_.target());
    const fs::path file = install_.root() / "a file";
    std::ofstream(file) << "not a folder";
    fs::create_directories(install_.base() / "Other");
    struct Row {
        std::wstring target;
        int32_t code;
    };
    std::vector<Row> rows{
        {L"", kTargetNotGiven},
        {L"target", kTargetMissing},  // relative: judged here, written elsewhere
        {W(install_.root() / "missing"), kTargetMissing},
        {W(file), kTargetNotFolder},
        {W(install_.base() / "Software" / "Game A"), kTargetInsideSource},
        // The folder that holds the installation's Software, by its spelling.
        {W(install_.base()), kTargetIsInstallFolder},
        {W(install_.base() / "Other"), kTargetInsideBase},
    };
#ifndef _WIN32
    rows.push_back({L"/proc/self", kTargetWrongDrive});  // no disk at all
    if (sys::DriveRootOf(L"/dev/shm/x") == L"/dev/shm")
        rows.push_back({L"/dev/shm", kTargetWrongDrive});
#endif
    for (const Row& row : rows) {
        EXPECT_EQ(Check(row.target), row.code) << sys::ToUtf8(row.target);
        // A refused target is never kept for a move.
        EXPECT_EQ(engine_.GetTargetSoftwarePath(), L"") << sys::ToUtf8(row.target);
        EXPECT_EQ(engine_.MoveInstallation(), kCodeEmptyPath) << sys::ToUtf8(row.target);
    }
    fs::remove(install_.base() / "Other");
    ExpectNothingChanged();
    EXPECT_EQ(Check(W(install_.target())), kTargetFits);
}

// A file given as the target used to pass the engine's own check (free space and nesting only):
// the move stopped the services, then failed to make its folder there.
TEST_F(TargetCheckTest, AFileAsTargetIsRefusedBeforeTheServicesStop) {
    const fs::path file = install_.root() / "target.txt";
    std::ofstream(file) << "x";
    EXPECT_EQ(Check(W(file)), kTargetNotFolder);
    EXPECT_EQ(engine_.MoveInstallation(), kCodeEmptyPath);
    ExpectNothingChanged();
}

TEST_F(TargetCheckTest, ATargetReplacedByAFileAfterItsCheckIsRefusedBeforeTheServicesStop) {
    fs::create_directories(install_.target());
    ASSERT_EQ(Check(W(install_.target())), kTargetFits);
    fs::remove(install_.target());
    std::ofstream(install_.target()) << "x";
    EXPECT_EQ(engine_.MoveInstallation(), kCodeTargetUnfit);
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.servicesRunning);
    const std::wstring words = ClosingWords(outcome);
    EXPECT_NE(words.find(L"no longer a folder"), std::wstring::npos) << sys::ToUtf8(words);
    EXPECT_NE(words.find(W(install_.target())), std::wstring::npos) << sys::ToUtf8(words);
    fs::remove(install_.target());
    EXPECT_EQ(phases_.Seen(), std::vector<int32_t>{});
    EXPECT_FALSE(fs::exists(install_.base() / "SoftwareVarko"));
}

TEST_F(TargetCheckTest, ATargetThatFitsCarriesTheQuestionsToAsk) {
    fs::create_directories(install_.target());
    TargetVerdict verdict;
    ASSERT_EQ(engine_.CheckMoveTarget(W(install_.target()), verdict), kTargetFits);
    // The target lies beside the installation: the question names the installation's volume.
    std::wstring root;
    ASSERT_TRUE(sys::GetVolumePathNameW(W(install_.base()), root));
    EXPECT_EQ(verdict.sameVolume, sys::WithoutTrailingSeparators(root, 1));
    EXPECT_FALSE(verdict.removable);

    std::wstring asked;
    targetcheck::SetUsbProbeForTests([&](const std::wstring& path) {
        asked = path;
        return true;
    });
    ASSERT_EQ(engine_.CheckMoveTarget(W(install_.target()), verdict), kTargetFits);
    EXPECT_TRUE(verdict.removable);
    EXPECT_EQ(asked, W(install_.target()));
    EXPECT_TRUE(verdict.HasQuestions());
}

TEST(TargetPaths, TheInstallationsFolderIsRefusedInAnyLetterCaseAndSeparator) {
#ifdef _WIN32
    const std::wstring source = L"C:\\Oculus\\Software";
    EXPECT_FALSE(targetcheck::IsApartFromSource(source, L"c:/oculus"));
    EXPECT_FALSE(targetcheck::IsApartFromSource(source, L"C:\\OCULUS\\SOFTWARE\\Games"));
    EXPECT_FALSE(targetcheck::IsApartFromSource(L"C:\\\u00C4pps\\Software", L"c:\\\u00E4pps"));
    EXPECT_TRUE(targetcheck::IsApartFromSource(source, L"D:\\Oculus"));
#else
    const std::wstring source = L"/c/Oculus/Software";
    EXPECT_FALSE(targetcheck::IsApartFromSource(source, L"/c/OCULUS"));
    EXPECT_FALSE(targetcheck::IsApartFromSource(source, L"/c/oculus/software/games/"));
    EXPECT_TRUE(targetcheck::IsApartFromSource(source, L"/c/Games"));
    // Lengths count in UTF-16 units, as on Windows: 254 characters beyond the first plane are
    // 508 units, and the path 511.
    const std::wstring astral(254, static_cast<wchar_t>(0x1F600));
    EXPECT_TRUE(targetcheck::IsApartFromSource(source, L"/d/" + astral));
    EXPECT_FALSE(targetcheck::IsApartFromSource(source, L"/d/x" + astral));
#endif
}

}  // namespace
