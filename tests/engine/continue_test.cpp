// A move stopped while it copies goes on from the copies it made: each file its copy log lists
// whose copy is still whole is kept, everything else is copied again, and the library ends
// whole, linked and checked, as after a move that was never stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "TaskMgr/CRecovery.h"
#include "Vr/MoveStatus.h"
#include "Vr/vr.h"
#include "fileOp/Manifest.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "interrupt.h"
#include "platform/sys.h"
#include "wholeness.h"

#ifndef _WIN32
#include "platform/posix/service_standin.h"
#endif

using namespace testsupport;

namespace {

class ContinueTest : public ::testing::Test {
  public:
    ContinueTest() : install_(InstallShape{12, true, true, true}) {}

    fs::path Copies() const { return install_.target() / "Oculus game"; }

    // A move stopped at moment (as a kill leaves it): the copy log it left.
    Manifest StopMoveAt(int32_t phase, uint64_t callsInto) {
        Interrupter stop(phase, callsInto);
        engine_.Task().SetPhaseObserver(&stop);
        Move(engine_, install_.target());
        engine_.Task().SetPhaseObserver(nullptr);
        engine_.ResetTask();
        sys::fault::Reset();
        EXPECT_TRUE(stop.Interrupted());
        Manifest log;
        bool found = false;
        EXPECT_EQ(ReadCopyLog(log, found), 0);
        return log;
    }
    RecoveryPlan Assess() {
        RecoveryPlan plan;
        EXPECT_EQ(engine_.AssessRecovery(plan), 0);
        return plan;
    }
    // The bytes the log lists whose copies are there, the same as their originals.
    uint64_t LoggedWhole(const Manifest& log) {
        uint64_t bytes = 0;
        for (const ManifestTree& tree : log.trees) {
            for (const ManifestFile& file : tree.files) {
                const fs::path copy = Copies() / tree.name / fs::path(file.path);
                const fs::path original =
                    install_.base() / (tree.name + L"Varko") / fs::path(file.path);
                std::error_code ec;
                if (fs::exists(copy, ec) && ReadFile(copy) == ReadFile(original))
                    bytes += file.size;
            }
        }
        return bytes;
    }
    const ManifestFile* FirstLoggedFile(const Manifest& log) {
        for (const ManifestTree& tree : log.trees) {
            if (!tree.files.empty()) {
                treeOfFirst_ = tree.name;
                return &tree.files.front();
            }
        }
        return nullptr;
    }

    ScopedServiceClock clock_;
    ScopedFaults faults_;
    ScopedCopyThreads oneThread_{1};  // calls in the order of the walk
    SimulatedInstall install_;
    CVr engine_;
    std::wstring treeOfFirst_;
};

#ifndef _WIN32  // a continued move ends with links, which Wine 8 does not make

// Each moment of the copy a move may be stopped at: the first tree begun, well into it, the
// second begun, well into it.
class StoppedCopyTest : public ContinueTest, public ::testing::WithParamInterface<Moment> {};

TEST_P(StoppedCopyTest, IsContinuedWholeKeepingEveryFileItCopiedWhole) {
    const Moment moment = GetParam();
    const Manifest log = StopMoveAt(moment.phase, moment.callsInto);
    const uint64_t whole = LoggedWhole(log);
    const RecoveryPlan plan = Assess();
    ASSERT_TRUE(plan.canContinue) << sys::ToUtf8(plan.why);
    EXPECT_EQ(plan.action, RecoveryAction::kPutBack);  // offered beside it
    EXPECT_EQ(plan.bytesCopied, whole);
    EXPECT_GT(plan.bytesInAll, plan.bytesCopied);

    ASSERT_EQ(engine_.ContinueMove(), 0);
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.continued);
    EXPECT_NE(ClosingWords(outcome).find(L" had been copied before the move was stopped; "),
              std::wstring::npos);
    // Every file the stopped move finished is kept; only the one in flight is copied again.
    EXPECT_EQ(outcome.bytesKept, whole);
    if (moment.callsInto > 20) {
        EXPECT_GT(outcome.bytesKept, 0u);
    }
    EXPECT_EQ(NotWhole(install_, kMoved), "");
    // The moved library's manifest covers every file, kept or copied now.
    Manifest moved;
    bool found = false;
    ASSERT_EQ(ReadManifest(ManifestFileName::kMoved, moved, found), 0);
    ASSERT_TRUE(found);
    size_t files = 0;
    for (const ManifestTree& tree : moved.trees)
        files += tree.files.size();
    EXPECT_EQ(files, install_.files().size());
    EXPECT_EQ(ReadCopyLog(moved, found), 0);
    EXPECT_FALSE(found) << "the copy log outlived the move";
}

INSTANTIATE_TEST_SUITE_P(EveryPartOfTheCopy, StoppedCopyTest,
                         ::testing::Values(Moment{kCopyFirst, 4, RecoveryAction::kPutBack},
                                           Moment{kCopyFirst, 60, RecoveryAction::kPutBack},
                                           Moment{kCopied, 3, RecoveryAction::kPutBack},
                                           Moment{kCopied, 50, RecoveryAction::kPutBack}));

TEST_F(ContinueTest, ACopyChangedByHandOrAnOriginalTouchedSinceIsCopiedAgain) {
    const Manifest log = StopMoveAt(kCopied, 50);
    const ManifestFile* first = FirstLoggedFile(log);
    ASSERT_NE(first, nullptr);
    // One byte of a finished copy changed, its size and time kept, as a hand or a drive would.
    const fs::path changed = Copies() / treeOfFirst_ / fs::path(first->path);
    const auto time = fs::last_write_time(changed);
    std::string bytes = ReadFile(changed);
    ASSERT_FALSE(bytes.empty());
    bytes[bytes.size() / 2] ^= 0x20;
    WriteFile(changed, bytes);
    fs::last_write_time(changed, time);
    // Another original given a new write time after it was copied.
    const ManifestFile* second = nullptr;
    std::wstring secondTree;
    for (const ManifestTree& tree : log.trees) {
        for (const ManifestFile& file : tree.files) {
            if (&file != first && !second) {
                second = &file;
                secondTree = tree.name;
            }
        }
    }
    ASSERT_NE(second, nullptr);
    const fs::path touched = install_.base() / (secondTree + L"Varko") / fs::path(second->path);
    fs::last_write_time(touched, fs::last_write_time(touched) + std::chrono::seconds(5));
    const uint64_t whole = LoggedWhole(log);

    // Put back would delete a copy that holds other bytes: going on is the one way offered.
    const RecoveryPlan plan = Assess();
    ASSERT_TRUE(plan.canContinue);
    EXPECT_EQ(plan.action, RecoveryAction::kContinue);
    ASSERT_EQ(engine_.ContinueMove(), 0);
    EXPECT_EQ(engine_.GetMoveOutcome().bytesKept, whole - second->size);
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

#endif  // !_WIN32

TEST_F(ContinueTest, ACopyHoldingAnEntryOfItsOwnIsNeitherContinuedNorPutBack) {
    StopMoveAt(kCopied, 20);
    WriteFile(Copies() / "Software" / "mine.txt", "written into the half-made copy");
    const RecoveryPlan plan = Assess();
    EXPECT_FALSE(plan.canContinue);
    EXPECT_EQ(plan.action, RecoveryAction::kRefuse);
    EXPECT_EQ(engine_.ContinueMove(), kCodeRecoveryRefused);
    EXPECT_EQ(ReadFile(Copies() / "Software" / "mine.txt"), "written into the half-made copy");
    EXPECT_EQ(NotWhole(install_, kPending), "");
}

#ifndef _WIN32

TEST_F(ContinueTest, WithoutItsLogEverythingIsCopiedAgainAndTheLibraryEndsWhole) {
    StopMoveAt(kCopied, 30);
    std::wstring state;
    ASSERT_TRUE(sys::GetStateFolder(state));
    fs::remove(fs::path(state) / "move.copied");
    ASSERT_TRUE(Assess().canContinue);
    ASSERT_EQ(engine_.ContinueMove(), 0);
    EXPECT_EQ(engine_.GetMoveOutcome().bytesKept, 0u);
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

#endif  // !_WIN32

TEST_F(ContinueTest, ACancelledContinueIsPutBackWhole) {
    StopMoveAt(kCopied, 30);
    struct CancelAtCopy final : TaskPhaseObserver {
        CVr* engine;
        void OnPhase(int32_t) override {}
        void OnStep(MoveStep step) override {
            if (step == MoveStep::kCopying) engine->CancelMove();
        }
    } cancel;
    cancel.engine = &engine_;
    engine_.Task().SetPhaseObserver(&cancel);
    EXPECT_EQ(engine_.ContinueMove(), kCodeCancelled);
    engine_.Task().SetPhaseObserver(nullptr);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

#ifndef _WIN32

// Refused by its first checks, a continue changes nothing: the stopped move waits as before, its
// copies and its log kept, and goes on once the cause is gone.
TEST_F(ContinueTest, AContinueAServiceRefusesLeavesTheStoppedMoveWaiting) {
    const Manifest log = StopMoveAt(kCopied, 40);
    const uint64_t whole = LoggedWhole(log);
    ASSERT_GT(whole, 0u);
    install_.SetServicesRunning();
    sys::standin::ServiceRecord refusing;
    sys::standin::ReadService(L"OVRService", refusing);
    refusing.refuseStop = sys::kErrAccessDenied;
    sys::standin::WriteService(L"OVRService", refusing);

    EXPECT_EQ(engine_.ContinueMove(), SystemCode(sys::kErrAccessDenied));
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.stillWaiting);
    EXPECT_NE(ClosingWords(outcome).find(L"the stopped move still waits"), std::wstring::npos);
    EXPECT_EQ(install_.ServiceState(L"OVRLibraryService"), sys::kServiceRunning);
    EXPECT_EQ(NotWhole(install_, kPending), "");
    const RecoveryPlan plan = Assess();
    ASSERT_TRUE(plan.canContinue);
    EXPECT_EQ(plan.bytesCopied, whole);

    refusing.refuseStop = 0;
    sys::standin::WriteService(L"OVRService", refusing);
    ASSERT_EQ(engine_.ContinueMove(), 0);
    EXPECT_EQ(engine_.GetMoveOutcome().bytesKept, whole);
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

// A continue stopped in turn, anywhere, is continued (or finished) again, and ends whole.
TEST_F(ContinueTest, AContinueStoppedAnywhereIsTakenUpAgain) {
    for (const Moment& moment : {Moment{kCopyFirst, 10, RecoveryAction::kContinue},
                                 Moment{kCopied, 40, RecoveryAction::kContinue},
                                 Moment{kLinking, 2, RecoveryAction::kFinish},
                                 Moment{kEmptying, 5, RecoveryAction::kFinish}}) {
        SCOPED_TRACE(::testing::Message() << moment);
        SimulatedInstall install(InstallShape{12, true, true, true});
        CVr engine;
        Interrupter first(kCopied, 30);
        engine.Task().SetPhaseObserver(&first);
        Move(engine, install.target());
        engine.ResetTask();
        sys::fault::Reset();
        Interrupter again(moment.phase, moment.callsInto);
        engine.Task().SetPhaseObserver(&again);
        engine.ContinueMove();
        engine.Task().SetPhaseObserver(nullptr);
        engine.ResetTask();
        sys::fault::Reset();
        ASSERT_TRUE(again.Interrupted());
        ASSERT_EQ(NotWhole(install, kPending), "");
        RecoveryPlan plan;
        ASSERT_EQ(engine.AssessRecovery(plan), 0);
        if (moment.action == RecoveryAction::kContinue) {
            ASSERT_TRUE(plan.canContinue) << sys::ToUtf8(plan.why);
            ASSERT_EQ(engine.ContinueMove(), 0);
        } else {
            ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
            ASSERT_EQ(engine.Recover(plan.action), 0);
        }
        EXPECT_EQ(NotWhole(install, kMoved), "");
    }
}

#endif  // !_WIN32

}  // namespace
