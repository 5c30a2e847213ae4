// Whole moves through the engine on real folders, with the registry and services of the
// platform: the forward phases, every rollback, cancels, and the data after each.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Vr/MoveStatus.h"
#include "Vr/vr.h"
#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "wholeness.h"
#ifndef _WIN32
#include "platform/posix/service_standin.h"
#endif
#include "platform/services.h"
#include "platform/units.h"

using namespace testsupport;

namespace {

class PhaseRecorder final : public TaskPhaseObserver {
  public:
    void OnStep(MoveStep step) override {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(lock_);
            steps_.push_back(step);
            action = onEveryStep_;
        }
        if (action) action();
    }
    void OnPhase(int32_t phase) override {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(lock_);
            phases_.push_back(phase);
            auto it = actions_.find(phase);
            if (it != actions_.end()) {
                action = std::move(it->second);
                actions_.erase(it);
            }
        }
        if (action) action();
    }
    // Runs action the first time the task enters phase.
    void At(int32_t phase, std::function<void()> action) { actions_[phase] = std::move(action); }
    std::vector<int32_t> Phases() {
        std::lock_guard<std::mutex> guard(lock_);
        return phases_;
    }
    std::vector<MoveStep> Steps() {
        std::lock_guard<std::mutex> guard(lock_);
        return steps_;
    }
    void AtEveryStep(std::function<void()> action) { onEveryStep_ = std::move(action); }

  private:
    std::mutex lock_;
    std::vector<int32_t> phases_;
    std::vector<MoveStep> steps_;
    std::function<void()> onEveryStep_;
    std::map<int32_t, std::function<void()>> actions_;
};

// Public: the tables of cases arm the move from outside.
class MoveTest : public ::testing::Test {
  public:
    explicit MoveTest(InstallShape shape = {}) : install_(shape) {
        engine_.Task().SetPhaseObserver(&phases_);
    }

    int32_t Move(const fs::path& target) { return testsupport::Move(engine_, target); }
    int32_t Move() { return Move(install_.target()); }

    fs::path Software() const { return install_.base() / "Software"; }
    fs::path Downloads() const { return install_.base() / "Downloads"; }
    fs::path Game(const char* sub) const { return install_.target() / "Oculus game" / sub; }

    ScopedServiceClock clock_;
    ScopedFaults faults_;
    SimulatedInstall install_;
    CVr engine_;
    PhaseRecorder phases_;
};

// Wine's CreateSymbolicLinkW reports success and makes no link: a move that goes well there
// fails when it reads its first link back, and rolls back.
constexpr int32_t kWineNoLink = 10000 + 4390;

int CountFilesUnder(const fs::path& dir) {
    int n = 0;
    for (auto it =
             fs::recursive_directory_iterator(dir, fs::directory_options::follow_directory_symlink);
         it != fs::recursive_directory_iterator(); ++it) {
        n += it->is_regular_file() ? 1 : 0;
    }
    return n;
}

#ifndef _WIN32

// ---- The forward move --------------------------------------------------------------------------

TEST_F(MoveTest, WholeMoveRunsEveryPhaseAndLeavesLinksToSelfContainedCopies) {
    const int files = CountFilesUnder(Software()) + CountFilesUnder(Downloads());
    ASSERT_EQ(files, install_.countedFiles());

    EXPECT_EQ(Move(), 0);

    EXPECT_EQ(phases_.Phases(), (std::vector<int32_t>{1, 0, 2, 3, 3, 6, 4, 5, 5, 12, 13}));
    EXPECT_EQ(engine_.Task().TotalUnits(), 2 * files + 10);
    EXPECT_EQ(engine_.Task().DoneUnits(), engine_.Task().TotalUnits());
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(engine_.GetMovedSoftwarePath(), Game("Software").wstring());

    EXPECT_EQ(NotWhole(install_, kMoved), "");
    EXPECT_EQ(fs::canonical(Software()), Game("Software"));
    // The copy holds the linked data itself; the link's own target is left alone.
    EXPECT_FALSE(fs::is_symlink(Game("Software") / "Game A" / "shared"));
    EXPECT_TRUE(fs::is_directory(Game("Software") / "empty dir" / ".x"));
}

TEST_F(MoveTest, SecondMoveOfLinkedInstallationRemovesTheEarlierOculusGameFolder) {
    ASSERT_EQ(Move(), 0);
    engine_.ResetTask();

    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    EXPECT_EQ(engine_.GetResolvedInstallDir(), (install_.target() / "Oculus game").wstring());

    const fs::path second = install_.root() / "second";
    fs::create_directories(second);
    EXPECT_EQ(Move(second), 0);

    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game"));
    EXPECT_TRUE(fs::is_directory(install_.target()));
    EXPECT_EQ(fs::canonical(Software()), second / "Oculus game" / "Software");
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

TEST_F(MoveTest, ParentOfEarlierLinksThatHoldsOtherDataStays) {
    // Links made by hand into a folder that also holds the user's own data.
    const fs::path elsewhere = install_.root() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::rename(Software(), elsewhere / "Software");
    fs::rename(Downloads(), elsewhere / "Downloads");
    fs::create_directory_symlink(elsewhere / "Software", Software());
    fs::create_directory_symlink(elsewhere / "Downloads", Downloads());
    WriteFile(elsewhere / "keep.txt", "mine");

    EXPECT_EQ(Move(), 0);

    EXPECT_EQ(ReadFile(elsewhere / "keep.txt"), "mine");
    EXPECT_FALSE(fs::exists(elsewhere / "Software"));
    EXPECT_FALSE(fs::exists(elsewhere / "Downloads"));
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

TEST_F(MoveTest, TakenOculusGameNamesGetRepeatedSuffixes) {
    fs::create_directories(install_.target() / "Oculus game");
    fs::create_directories(install_.target() / "Oculus game(1)");

    EXPECT_EQ(Move(), 0);

    const fs::path used = install_.target() / "Oculus game(1)(1)";
    EXPECT_EQ(engine_.GetMovedSoftwarePath(), (used / "Software").wstring());
    EXPECT_EQ(fs::canonical(Software()), used / "Software");
    EXPECT_TRUE(fs::is_empty(install_.target() / "Oculus game"));
}

#endif  // !_WIN32

// ---- Cancels -----------------------------------------------------------------------------------

class CancelAtPhaseTest : public MoveTest, public ::testing::WithParamInterface<int32_t> {};

// From the first byte of the first copy until linking starts a cancel is taken and rolls the
// move back as a failed copy would; before and after it, it is refused and changes nothing.
TEST_P(CancelAtPhaseTest, CancelIsTakenFromTheFirstCopyUntilLinkingStarts) {
    const int32_t phase = GetParam();
    int32_t answer = -1;
    phases_.At(phase, [&] { answer = engine_.CancelMove(); });

    const int32_t result = Move();

    if (phase == kCopyFirst || phase == kCopied) {
        EXPECT_EQ(answer, 0);
        EXPECT_EQ(result, 3);
        EXPECT_TRUE(engine_.IsRollbackClean());
        EXPECT_EQ(NotWhole(install_, kAtHome), "");
        EXPECT_TRUE(engine_.GetMoveOutcome().cancelled);
        if (sys::RunningUnderWine()) return;
        engine_.ResetTask();
        ASSERT_EQ(Move(), 0);  // no folder was left: the next move takes the same name
        EXPECT_EQ(fs::canonical(Software()), Game("Software"));
    } else {
        EXPECT_EQ(answer, 4);
        EXPECT_FALSE(engine_.GetMoveOutcome().cancelled);
        if (sys::RunningUnderWine()) {  // the refused cancel changed nothing: the move went on
            EXPECT_EQ(result, kWineNoLink);
            EXPECT_EQ(NotWhole(install_, kAtHome), "");
            return;
        }
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(fs::is_symlink(Software()));
    }
}

#ifdef _WIN32
// Under Wine the move ends at its first link: the phases after it are never reached.
INSTANTIATE_TEST_SUITE_P(EveryForwardPhase, CancelAtPhaseTest,
                         ::testing::Values(kStopping, kParking, kCopyFirst, kCopied));
#else
INSTANTIATE_TEST_SUITE_P(EveryForwardPhase, CancelAtPhaseTest,
                         ::testing::Values(kStopping, kParking, kCopyFirst, kCopied, kLinking,
                                           kEmptying, kEmptied, kStarting));
#endif

// A cancel wherever the copy takes one, and a failure at each step before the originals go:
// each rollback leaves the installation whole at home, nothing of the move on either drive,
// the services running, and nothing deleted. (A cancel in the first copy: CancelAtPhaseTest.)
struct Rollback {
    const char* what;
    std::function<void(MoveTest&)> arm;
    int32_t result;
};

std::ostream& operator<<(std::ostream& out, const Rollback& rollback) {
    return out << rollback.what;
}

uint64_t IntoSecondTree(MoveTest& t, uint64_t n) {
    return CountFilesUnder(t.Downloads()) + n;  // Downloads is copied first
}

void CancelAt(MoveTest& t, sys::Call call, uint64_t nth, uint32_t error = 0) {
    sys::fault::Arm({call, nth, error, false, [&t] { EXPECT_EQ(t.engine_.CancelMove(), 0); }});
}

void FailAt(sys::Call call, uint64_t nth, uint32_t error) {
    sys::fault::Arm({call, nth, error});
}

class RollbackTest : public MoveTest, public ::testing::WithParamInterface<Rollback> {};

TEST_P(RollbackTest, LeavesTheInstallationWholeAtHome) {
    GetParam().arm(*this);
    EXPECT_EQ(Move(), GetParam().result);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.rollbackClean && outcome.servicesRunning);
    if (GetParam().result == 3) {
        EXPECT_EQ(outcome.failure.code, 0);  // a cancel is no failure
    }
    const auto phases = phases_.Phases();
    EXPECT_EQ(std::count(phases.begin(), phases.end(), kEmptying), 0);
    EXPECT_EQ(phases.back(), kFinished);
}

INSTANTIATE_TEST_SUITE_P(
    CancelsAndFailures, RollbackTest,
    ::testing::Values(
        Rollback{"a cancel in the first copy's last file, no entry left for the walk to see it",
                 [](MoveTest& t) { CancelAt(t, sys::Call::kCopyFile, IntoSecondTree(t, 0)); }, 3},
        Rollback{"a cancel during the second copy",
                 [](MoveTest& t) { CancelAt(t, sys::Call::kCopyFile, IntoSecondTree(t, 3)); }, 3},
        Rollback{"a cancel while the copies are checked",
                 [](MoveTest& t) { CancelAt(t, sys::Call::kFlushToDisk, 1); }, 3},
        Rollback{"a copy failing after an accepted cancel",
                 [](MoveTest& t) { CancelAt(t, sys::Call::kCopyFile, 2, sys::kErrAccessDenied); },
                 10005},
        Rollback{"a service that cannot be opened to stop",
                 [](MoveTest&) { FailAt(sys::Call::kOpenService, 2, sys::kErrAccessDenied); },
                 10005},
        Rollback{"a folder that cannot be parked",
                 [](MoveTest&) { FailAt(sys::Call::kMoveFile, 2, sys::kErrSharingViolation); },
                 10032},
        Rollback{"the second copy failing",
                 [](MoveTest& t) {
                     FailAt(sys::Call::kCopyFile, IntoSecondTree(t, 2), sys::kErrDiskFull);
                 },
                 10112}
#ifndef _WIN32  // the first link must be made
        ,
        Rollback{
            "the second link failing: only its own link is removed",
            [](MoveTest&) { FailAt(sys::Call::kCreateSymbolicLink, 2, sys::kErrAccessDenied); },
            10005}
#endif
        ),
    [](const ::testing::TestParamInfo<Rollback>& info) {
        return "Case" + std::to_string(info.index);
    });

TEST_F(MoveTest, CancelledMoveWhoseServicesWillNotStartSaysSo) {
    sys::fault::Arm({sys::Call::kCopyFile, 2, 0, false, [&] { engine_.CancelMove(); }});
    sys::fault::Arm({sys::Call::kStartService, 1, sys::kErrAccessDenied, true});

    EXPECT_EQ(Move(), 3);

    EXPECT_EQ(NotWhole(install_, {Whole::Data::kHome, false, sys::kServiceStopped}), "");
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.rollbackClean);
    EXPECT_FALSE(outcome.servicesRunning);
    const std::wstring words = ClosingWords(outcome);
    EXPECT_NE(words.find(L"\"OVRService\" and \"OVRLibraryService\" are not running"),
              std::wstring::npos)
        << sys::ToUtf8(words);
}

TEST_F(MoveTest, ProgressReaderAndCancelRaceTheWorker) {
    int32_t result = -1;
    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    ASSERT_EQ(engine_.CheckTargetDir(install_.target().wstring()), 0);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = engine_.MoveInstallation();
        done = true;
    });
    int cancels = 0;
    float highest = 0.0f;
    while (!done) {
        float fraction = 0.0f;
        engine_.GetProgress(fraction);
        EXPECT_GE(fraction, highest);  // never falls, not even while a cancel rolls back
        highest = std::max(highest, fraction);
        const MoveSnapshot snapshot = engine_.GetMoveSnapshot();  // the status line's look
        EXPECT_LE(snapshot.treeBytesDone, snapshot.treeBytesTotal);
        if (++cancels % 50 == 0) engine_.CancelMove();
        std::this_thread::yield();
    }
    worker.join();
    const int32_t moved = sys::RunningUnderWine() ? kWineNoLink : 0;
    ASSERT_TRUE(result == moved || result == 3) << result;
    EXPECT_EQ(NotWhole(install_, result == 0 ? kMoved : kAtHome), "");
}

#ifndef _WIN32

// ---- What the bar and the status line read ----------------------------------------------------

uint64_t BytesUnder(const SimulatedInstall& install, const std::string& top) {
    uint64_t bytes = 0;
    for (const auto& [rel, content] : install.files()) {
        if (rel.rfind(top + "/", 0) == 0) bytes += content.size();
    }
    return bytes;
}

TEST_F(MoveTest, BarNeverFallsFollowsEveryStepAndStaysShortOfFullUntilTheMoveReturns) {
    // The samples stand for the one progress reader: from one copy thread, as the reader has one.
    ScopedCopyThreads walkerOnly(1);
    std::vector<float> fractions;
    const auto sample = [&] {
        float fraction = -1.0f;
        if (engine_.GetProgress(fraction) == 0) fractions.push_back(fraction);
    };
    phases_.AtEveryStep(sample);
    for (int n = 1; n <= install_.countedFiles(); ++n)  // before every file's copy
        sys::fault::Arm({sys::Call::kCopyFile, static_cast<uint64_t>(n), 0, false, sample});

    ASSERT_EQ(Move(), 0);

    EXPECT_EQ(phases_.Steps(),
              (std::vector<MoveStep>{MoveStep::kStoppingServices, MoveStep::kPreparing,
                                     MoveStep::kCopying, MoveStep::kCheckingCopies,
                                     MoveStep::kCreatingLinks, MoveStep::kRemovingOld,
                                     MoveStep::kStartingServices, MoveStep::kFinishing}));
    ASSERT_GT(fractions.size(), static_cast<size_t>(install_.countedFiles()));
    for (size_t i = 1; i < fractions.size(); ++i)
        EXPECT_GE(fractions[i], fractions[i - 1]) << i;
    EXPECT_GT(fractions.back(), 0.95f);
    EXPECT_LT(fractions.back(), 1.0f);
    // The copy takes most of the bar, its files one after another.
    std::set<float> distinct(fractions.begin(), fractions.end());
    EXPECT_GT(distinct.size(), static_cast<size_t>(install_.countedFiles()) / 2);
}

TEST_F(MoveTest, SnapshotDuringTheCopyNamesTheFolderAndItsBytes) {
    MoveSnapshot seen;
    // With n copy threads, n + 1 copies started in the second tree mean one of them has ended.
    const uint64_t intoSecondTree = CountFilesUnder(Downloads()) + 1 + CCopyEngine::Threads();
    sys::fault::Arm({sys::Call::kCopyFile, intoSecondTree, 0, false,
                     [&] { seen = engine_.GetMoveSnapshot(); }});

    ASSERT_EQ(Move(), 0);

    EXPECT_EQ(seen.step, MoveStep::kCopying);
    EXPECT_TRUE(seen.cancellable);
    EXPECT_FALSE(seen.cancelled);
    EXPECT_EQ(seen.treeName, L"Software");
    EXPECT_EQ(seen.treeBytesTotal, BytesUnder(install_, "Software"));
    EXPECT_EQ(seen.bytesTotal,
              BytesUnder(install_, "Software") + BytesUnder(install_, "Downloads"));
    EXPECT_GT(seen.treeBytesDone, 0u);
    EXPECT_LT(seen.treeBytesDone, seen.treeBytesTotal);
    EXPECT_EQ(seen.bytesDone, BytesUnder(install_, "Downloads") + seen.treeBytesDone);
    EXPECT_FALSE(engine_.GetMoveSnapshot().cancellable);
}

TEST_F(MoveTest, SuccessfulMoveTellsWhatMovedWhereAndOnWhichVolume) {
    ASSERT_EQ(Move(), 0);

    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesMoved,
              BytesUnder(install_, "Software") + BytesUnder(install_, "Downloads"));
    EXPECT_EQ(outcome.movedTo, (install_.target() / "Oculus game").wstring());
    EXPECT_EQ(outcome.baseFolder, install_.base().wstring());
    EXPECT_TRUE(outcome.sameVolume);  // the test's target shares the installation's volume
    EXPECT_FALSE(outcome.sourceVolume.empty());
    EXPECT_TRUE(outcome.servicesRunning);
    EXPECT_EQ(outcome.failure.code, 0);
    EXPECT_EQ(ClosingWords(outcome).rfind(L"Moved " + sys::FormatBytes(outcome.bytesMoved) +
                                              L" to " + outcome.movedTo + L". It lies on ",
                                          0),
              0u);
}

TEST_F(MoveTest, FailureDeepInTheCopyIsToldWithThePathTheUserKnows) {
    const fs::path pipe = Software() / "Game A" / "data" / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);

    EXPECT_EQ(Move(), SystemCode(sys::kErrNotSupported));

    EXPECT_TRUE(engine_.IsRollbackClean());
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_EQ(outcome.failure.code, SystemCode(sys::kErrNotSupported));
    EXPECT_EQ(outcome.failure.step, MoveStep::kCopying);
    EXPECT_EQ(outcome.failure.path, pipe.wstring());  // not the parked name it had then
    EXPECT_TRUE(outcome.servicesRunning);
    const std::wstring words = ClosingWords(outcome);
    EXPECT_EQ(words.rfind(L"The move failed: The request is not supported: " + pipe.wstring() +
                              L". Everything is back in " + install_.base().wstring() + L".",
                          0),
              0u)
        << sys::ToUtf8(words);
    EXPECT_NE(words.find(L" The log is "), std::wstring::npos);
}

// The write-protected target of the report: it passes every check, and the move must then say
// why it failed and where, not only that it did.
TEST_F(MoveTest, WriteProtectedTargetFailureNamesTheFolderAndTheSystemsWords) {
    const std::string target = install_.target().string();
    if (std::system(("chattr +i '" + target + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "making a folder immutable needs root and a file system with chattr";
    }
    const Cleanup unprotect([&] { std::system(("chattr -i '" + target + "'").c_str()); });

    const int32_t result = Move();

    EXPECT_EQ(result, SystemCode(sys::kErrAccessDenied));
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_EQ(outcome.failure.path, (install_.target() / "Oculus game").wstring());
    EXPECT_EQ(outcome.failure.systemText, L"Operation not permitted");
    EXPECT_TRUE(outcome.servicesRunning);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    const std::wstring words = ClosingWords(outcome);
    EXPECT_EQ(words.rfind(L"The move failed: Operation not permitted: " + outcome.failure.path +
                              L". Everything is back in ",
                          0),
              0u)
        << sys::ToUtf8(words);
    EXPECT_NE(words.find(L"Choose a target folder that you may write to."), std::wstring::npos);
}

#endif  // !_WIN32

// ---- Rollback by phase -------------------------------------------------------------------------

TEST_F(MoveTest, UndeletableCopyStillGivesTheOriginalsTheirNamesBack) {
    sys::fault::Arm({sys::Call::kCopyFile, 2, sys::kErrDiskFull});
    sys::fault::Arm({sys::Call::kRemoveDirectory, 1, sys::kErrSharingViolation});

    EXPECT_EQ(Move(), 10112);

    EXPECT_TRUE(engine_.IsRollbackClean());
    // The folder it could not remove stays, empty; nothing else of the move does.
    for (const auto& entry : fs::recursive_directory_iterator(install_.target()))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    fs::remove_all(install_.target() / "Oculus game");
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

TEST_F(MoveTest, TakenOldNameLeavesTheFolderParkedAndTheRollbackUnclean) {
    // Something takes the name "Software" while the first tree is copied; the copy then fails.
    sys::fault::Arm({sys::Call::kCopyFile, 1, sys::kErrDiskFull, false,
                     [&] { fs::create_directory(Software()); }});

    EXPECT_EQ(Move(), 10112);

    EXPECT_FALSE(engine_.IsRollbackClean());
    std::wstring first, second;
    ASSERT_EQ(engine_.GetParkedPaths(second, first), 0);
    EXPECT_EQ(second, (install_.base() / "SoftwareVarko").wstring());
    EXPECT_EQ(NotWhole(install_, kPending), "");  // and no "Software(1)"
}

#ifndef _WIN32

TEST_F(MoveTest, FailedEmptyingEndsWith12AndKeepsTheMovedDataReachable) {
    sys::fault::Arm({sys::Call::kDeleteFile, 1, sys::kErrAccessDenied});

    EXPECT_EQ(Move(), 12);

    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_TRUE(fs::is_symlink(Software()));
    EXPECT_EQ(NotWhole(install_, kPending), "");
    std::wstring first, second;
    ASSERT_EQ(engine_.GetParkedPaths(second, first), 0);
    EXPECT_EQ(first, (install_.base() / "DownloadsVarko").wstring());
    EXPECT_EQ(second, (install_.base() / "SoftwareVarko").wstring());
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceStopped);
}

TEST_F(MoveTest, FailedServiceStartEndsWith6WithTheDataMoved) {
    sys::fault::Arm({sys::Call::kStartService, 2, sys::kErrAccessDenied});

    EXPECT_EQ(Move(), 6);

    EXPECT_EQ(NotWhole(install_, {Whole::Data::kMoved, false, 0}), "");
}

// The page polls the progress from the moment it opens, before the move has counted anything;
// a move that succeeds has no error to log, so its log holds no error record.
TEST_F(MoveTest, SuccessfulMovePolledFromTheStartLogsNoError) {
    TempDir logDir;
    ScopedWorkingDir cwd(logDir.path());
    LogResetForTests();
    float fraction = 0.0f;
    EXPECT_EQ(engine_.GetProgress(fraction), 5);  // before the count
    phases_.AtEveryStep([&] {
        float value = 0.0f;
        engine_.GetProgress(value);
    });

    EXPECT_EQ(Move(), 0);

    const std::string log = LogTextIn(logDir.path());
    LogResetForTests();
    EXPECT_EQ(log.find("<err|"), std::string::npos) << log;
    EXPECT_NE(log.find("srcFullPath: "), std::string::npos) << "the move's pairs are logged";
}

// A service that takes 75 s to stop: the move gives up 60 s after asking, and its rollback does
// not wait for that same stop a second time.
TEST_F(MoveTest, AStopLongerThanTheCapEndsTheMoveWithinItRollbackIncluded) {
    sys::standin::ServiceRecord slow;
    slow.state = sys::kServiceRunning;
    slow.stopMs = 75000;
    slow.stopHint = 80000;
    slow.checkPointMs = 1000;
    slow.since = sys::GetTickCount();
    ASSERT_TRUE(sys::standin::WriteService(L"OVRService", slow));
    const uint64_t before = clock_->SleptMs();

    EXPECT_EQ(Move(), 10000 + 1053);

    // The stop's 60 s and the closing second; the library service stops and starts at once.
    EXPECT_EQ(clock_->SleptMs() - before, 60000u + 1000u);
    EXPECT_EQ(phases_.Phases(), (std::vector<int32_t>{kStopping, kFailed, kFinished}));
    EXPECT_EQ(NotWhole(install_, {Whole::Data::kHome, false, 0}), "");  // one is stopping still
    EXPECT_EQ(install_.ServiceState(L"OVRLibraryService"), sys::kServiceRunning);
}

#endif  // !_WIN32

// ---- Task and engine edges ---------------------------------------------------------------------

TEST(TaskEdges, ProgressBeforeCountingIsFiveAndLeavesTheValue) {
    CTaskMgr task;
    float fraction = 0.25f;
    EXPECT_EQ(task.GetProgress(fraction), 5);
    EXPECT_EQ(fraction, 0.25f);
}

TEST(TaskEdges, EmptyPathsAreRefusedBeforeAnyFolderIsMade) {
    CTaskMgr task;
    EXPECT_EQ(task.SetPairs({{L"", L"x"}}), 2);
    std::wstring first, second;
    EXPECT_EQ(task.GetParkedPaths(second, first), 13);

    // An engine without detection or a checked target must not make "Oculus game" anywhere.
    CVr engine;
    EXPECT_EQ(engine.MoveInstallation(), 2);
    EXPECT_EQ(engine.GetTargetSoftwarePath(), L"");
}

// Spellings that would be made absolute against the working folder: here each one would lead
// to the real target, so only the refusal keeps the engine from using it.
TEST_F(MoveTest, TargetsThatAreNotFullPathsAreRefusedWhoeverCallsTheEngine) {
    ScopedWorkingDir cwd(install_.root());
#ifdef _WIN32
    const std::wstring drive = install_.root().wstring().substr(0, 2);  // "C:"
    const std::vector<std::wstring> relative{drive + L"target", L"target", L".\\target",
                                             L"\\" + install_.target().wstring().substr(3)};
#else
    const std::vector<std::wstring> relative{
        L"target", L"./target", L"../" + install_.root().filename().wstring() + L"/target"};
#endif
    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    for (const std::wstring& target : relative) {
        EXPECT_EQ(engine_.CheckTargetDir(target), 3) << sys::ToUtf8(target);
        EXPECT_EQ(engine_.MoveInstallation(), 2) << sys::ToUtf8(target);
        CTaskMgr task;
        EXPECT_EQ(task.SetPairs({{Software().wstring(), target}}), 2) << sys::ToUtf8(target);
        EXPECT_EQ(task.SetPairs({{target, Game("Software").wstring()}}), 2);
    }
    EXPECT_EQ(phases_.Phases(), std::vector<int32_t>{});
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_EQ(engine_.CheckTargetDir(install_.target().wstring()), 0);  // the full spelling
}

TEST(TaskEdges, CancelBeforeAnyCopyIsRefused) {
    CTaskMgr task;
    EXPECT_EQ(task.Cancel(), 4);
    EXPECT_EQ(task.Phase(), kParking);
}

#ifdef _WIN32
// Wine's CreateSymbolicLinkW reports success and makes no link, so a whole move through the
// real Win32 calls reaches the link step and must roll back to the old names.
TEST_F(MoveTest, WineMoveRollsBackAtTheLinkStepWithEveryFolderBack) {
    EXPECT_EQ(Move(), kWineNoLink);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    const auto phases = phases_.Phases();
    EXPECT_NE(std::find(phases.begin(), phases.end(), kLinking), phases.end());
}
#endif

}  // namespace
