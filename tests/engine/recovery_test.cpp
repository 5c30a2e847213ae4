// The move journal and the recovery of an interrupted move: the journal's text, the journal a
// move keeps, what the recovery decides for what each interrupted moment leaves and for the
// leftovers of earlier versions, what it refuses, its own interruptions, and a fault sweep of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

#include "TaskMgr/CRecovery.h"
#include "TaskMgr/MoveJournal.h"
#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "interrupt.h"
#include "platform/fs.h"
#include "wholeness.h"
#ifndef _WIN32
#include "platform/posix/service_standin.h"
#endif
#include "TaskMgr/InstallState.h"

using namespace testsupport;

namespace {

// ---- The journal's text ------------------------------------------------------------------------

JournalRecord SampleRecord() {
    JournalRecord record;
    record.work = JournalWork::kMove;
    record.phase = kCopied;
    record.base = L"/b/Oculus/";
    record.services = {L"OVRLibraryService", L"OVRService"};
    record.folders = {
        {L"/b/Oculus/Downloads", L"/t/Oculus game/Downloads", L"/b/Oculus/DownloadsVarko", true},
        {L"/b/Oculus/Software", L"/t/Oculus game/Software", L"", false}};
    return record;
}

TEST(JournalText, WhatIsWrittenIsReadBackTheSame) {
    std::vector<JournalRecord> records{SampleRecord()};
    JournalRecord odd = SampleRecord();
    odd.work = JournalWork::kPutBack;
    odd.phase = kFailed;
    odd.services = {L"OVRService"};
    // Every byte a name may hold that the format itself uses: "=", "%", line ends, controls.
    odd.base = L"/b/a=b%25 c\n\r\t\x7f\u00f6\u30bb/";
    odd.folders[0].source = odd.base + L"Downloads";
    odd.folders[1].target = L"C:\\Games\\Oculus game(1)(1)\\Software(1)";
    records.push_back(odd);
#ifndef _WIN32
    JournalRecord notUtf8 = SampleRecord();
    notUtf8.base = sys::FromUtf8("/b/\xff\xfe/");  // a name that is not UTF-8 travels as itself
    records.push_back(notUtf8);
#endif
    JournalRecord bare;
    bare.base = L"/b/";
    records.push_back(bare);
    JournalRecord checked = SampleRecord();
    checked.copiesChecked = true;
    records.push_back(checked);

    for (const JournalRecord& record : records) {
        const std::string text = SerializeJournal(record);
        EXPECT_EQ(text.rfind("version=3\n", 0), 0u);
        EXPECT_TRUE(JournalTextIsWhole(text));
        EXPECT_FALSE(JournalTextIsWhole(text.substr(0, text.size() - 6)));
        JournalRecord back;
        ASSERT_TRUE(ParseJournal(text, back)) << text;
        EXPECT_TRUE(back == record) << text;
        EXPECT_EQ(SerializeJournal(back), text);
    }
}

TEST(JournalText, OnlyWhatTheWriterWritesIsRead) {
    const std::string head = "version=1\nwork=move\nphase=2\nbase=/b/\n";
    const std::string folder = "source=/b/Software\ntarget=/t/Oculus game/Software\n";
    const std::vector<std::pair<const char*, std::string>> refused{
        {"empty", ""},
        {"a later version", "version=4\nwork=move\nphase=2\nbase=/b/\nend=1\n"},
        {"version 3 without its end line", "version=3\nwork=move\nphase=2\nbase=/b/\n"},
        {"an end line in version 2", "version=2\nwork=move\nphase=2\nbase=/b/\nend=1\n"},
        {"a line after the end", "version=3\nwork=move\nphase=2\nbase=/b/\nend=1\nbase=/c/\n"},
        {"checked in version 1", "version=1\nwork=move\nphase=2\nchecked=1\nbase=/b/\n"},
        {"checked=0, which the writer leaves out",
         "version=2\nwork=move\nphase=2\nchecked=0\n"
         "base=/b/\n"},
        {"checked after the base", "version=2\nwork=move\nphase=2\nbase=/b/\nchecked=1\n"},
        {"an unknown key before the phase",
         "version=2\nwork=move\nnew-key=1\nphase=2\n"
         "base=/b/\n"},
        {"a line cut short", head.substr(0, head.size() - 1)},
        {"no base", "version=1\nwork=move\nphase=2\n"},
        {"base before phase", "version=1\nwork=move\nbase=/b/\nphase=2\n"},
        {"an unknown work", "version=1\nwork=copy\nphase=2\nbase=/b/\n"},
        {"a phase beyond the last", "version=1\nwork=move\nphase=14\nbase=/b/\n"},
        {"a phase with a leading zero", "version=1\nwork=move\nphase=02\nbase=/b/\n"},
        {"a negative phase", "version=1\nwork=move\nphase=-1\nbase=/b/\n"},
        {"an unknown key", head + "colour=red\n"},
        {"a line without =", head + "service\n"},
        {"another service", head + "service=Spooler\n"},
        {"a service twice", head + "service=OVRService\nservice=OVRService\n"},
        {"a service after a folder", head + folder + "service=OVRService\n"},
        {"an empty value", head + "source=\n"},
        {"a target without a source", head + "target=/t/x\n"},
        {"a source without a target", head + "source=/b/Software\n"},
        {"parked twice", head + folder + "parked=/b/SoftwareVarko\nparked=/b/x\n"},
        {"linked=0, which the writer leaves out", head + folder + "linked=0\n"},
        {"a third folder", head + folder + folder + folder},
        {"an escape in lower case", head + "source=/b/a%0ab\ntarget=/t\n"},
        {"an escape of a plain letter", head + "source=/b/%41\ntarget=/t\n"},
        {"an escape cut short", head + "source=/b/%4\ntarget=/t\n"},
        {"a raw carriage return", head + "source=/b/a\rb\ntarget=/t\n"},
        {"a raw tab", head + "source=/b/a\tb\ntarget=/t\n"},
    };
    for (const auto& [why, text] : refused) {
        JournalRecord record;
        EXPECT_FALSE(ParseJournal(text, record)) << why;
    }
    JournalRecord record;
    EXPECT_TRUE(
        ParseJournal(head + folder + "parked=/b/SoftwareVarko\nlinked=1\n" + folder, record));
    EXPECT_EQ(record.folders.size(), 2u);
    EXPECT_FALSE(record.copiesChecked);

    // A later writer's keys are passed over by a reader of version 2, wherever they stand.
    const std::string head2 = "version=2\nwork=move\nphase=4\nchecked=1\nbase=/b/\n";
    JournalRecord later;
    ASSERT_TRUE(ParseJournal(head2 + "re-point=1\n" + folder + "links-to=/x\n", later));
    EXPECT_TRUE(later.copiesChecked);
    ASSERT_EQ(later.folders.size(), 1u);
    EXPECT_EQ(later.folders[0].target, L"/t/Oculus game/Software");
}

// ---- The journal a move keeps ------------------------------------------------------------------

class JournalProbe final : public TaskPhaseObserver {
  public:
    void OnPhase(int32_t phase) override {
        JournalRecord record;
        bool found = false;
        ASSERT_EQ(ReadJournal(record, found), 0);
        seen.push_back({phase, found ? record.phase : -1});
        if (found) last = record;
    }
    std::vector<std::pair<int32_t, int32_t>> seen;  // the task's phase, the journal's
    JournalRecord last;
};

// Public: the sweep sets up a scene of its own for every call.
class RecoveryTest : public ::testing::Test {
  public:
    explicit RecoveryTest(InstallShape shape = {}) : install_(shape) {}

    int32_t Move(TaskPhaseObserver* observer = nullptr) {
        engine_.Task().SetPhaseObserver(observer);
        const int32_t result = testsupport::Move(engine_, install_.target());
        engine_.Task().SetPhaseObserver(nullptr);
        engine_.ResetTask();
        return result;
    }
    // Leaves what a move stopped at that moment leaves.
    void InterruptMove(int32_t phase, uint64_t callsInto) {
        Interrupter stop(phase, callsInto);
        Move(&stop);
        sys::fault::Reset();
        ASSERT_TRUE(stop.Interrupted()) << "the move never reached phase " << phase;
    }
    RecoveryPlan Assess() {
        RecoveryPlan plan;
        EXPECT_EQ(engine_.AssessRecovery(plan), 0);
        return plan;
    }

    fs::path Software() const { return install_.base() / "Software"; }
    fs::path Downloads() const { return install_.base() / "Downloads"; }
    fs::path Copies() const { return install_.target() / "Oculus game"; }

    ScopedServiceClock clock_;
    ScopedFaults faults_;
    SimulatedInstall install_;
    CVr engine_;
};

// A scene of its own, for a test that needs several.
struct Scene final : RecoveryTest {
    using RecoveryTest::RecoveryTest;
    void TestBody() override {}
};

#ifndef _WIN32

TEST_F(RecoveryTest, TheJournalFollowsEveryPhaseOfAMoveAndGoesAtItsEnd) {
    JournalProbe probe;
    ASSERT_EQ(Move(&probe), 0);

    // It is begun just after phase 1 is entered, so the first look finds none yet.
    ASSERT_FALSE(probe.seen.empty());
    EXPECT_EQ(probe.seen.front(), std::make_pair(int32_t{kStopping}, -1));
    for (size_t i = 1; i + 1 < probe.seen.size(); ++i)
        EXPECT_EQ(probe.seen[i].first, probe.seen[i].second) << "at step " << i;
    EXPECT_EQ(probe.seen.back(), std::make_pair(int32_t{kFinished}, -1));

    const JournalRecord& last = probe.last;  // as it stood when the services were started
    EXPECT_EQ(last.base, install_.baseValue());
    EXPECT_EQ(last.services, (std::vector<std::wstring>{L"OVRLibraryService", L"OVRService"}));
    ASSERT_EQ(last.folders.size(), 2u);
    EXPECT_EQ(last.folders[0].source, Downloads().wstring());
    EXPECT_EQ(last.folders[0].target, (Copies() / "Downloads").wstring());
    EXPECT_EQ(last.folders[0].parked, Downloads().wstring() + L"Varko");
    EXPECT_EQ(last.folders[1].parked, Software().wstring() + L"Varko");
    EXPECT_TRUE(last.folders[0].linked && last.folders[1].linked);
    EXPECT_FALSE(JournalThere());
}

#endif  // !_WIN32

TEST_F(RecoveryTest, AJournalThatCannotBeWrittenFailsTheMoveBeforeAnythingChanges) {
    sys::fault::Arm({sys::Call::kWriteFile, 1, sys::kErrAccessDenied});
    EXPECT_EQ(Move(), 10000 + 5);
    EXPECT_EQ(sys::fault::Count(sys::Call::kControlService), 0u);
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceRunning);
    EXPECT_EQ(NotWhole(install_), "");

    // Parking is planned in the journal before any rename: failing that write parks nothing.
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kWriteFile, 3, sys::kErrAccessDenied});
    EXPECT_EQ(Move(), 10000 + 5);
    EXPECT_EQ(sys::fault::Count(sys::Call::kMoveFile), 0u);
    EXPECT_EQ(NotWhole(install_), "");
}

// Fails the journal's writes from a moment of the move on: the nth entry into phase, then the
// first write (the one that follows, sticky: every later one too).
class JournalWriteFailer final : public TaskPhaseObserver {
  public:
    JournalWriteFailer(int32_t phase, int nth, bool sticky)
        : phase_(phase), nth_(nth), sticky_(sticky) {}
    void OnPhase(int32_t phase) override {
        if (phase != phase_ || --nth_ != 0) return;
        const uint64_t next = sys::fault::Count(sys::Call::kWriteFile) + 1;
        sys::fault::Arm({sys::Call::kWriteFile, next, sys::kErrDiskFull, sticky_, {}});
    }

  private:
    int32_t phase_;
    int nth_;
    bool sticky_;
};

#ifndef _WIN32

TEST_F(RecoveryTest, LaterJournalWritesThatFailLeaveTheMoveGoingOn) {
    JournalWriteFailer failer(kLinking, 1, true);
    EXPECT_EQ(Move(&failer), 0);
    sys::fault::Reset();
    EXPECT_EQ(NotWhole(install_), "");
}

#endif  // !_WIN32

// The record that the copies are flushed and checked (the first write after the second copy)
// must be on disk before any original goes: without it the move is rolled back, and nothing of
// the data is deleted.
TEST_F(RecoveryTest, NoOriginalIsDeletedBeforeTheCheckedCopiesAreRecorded) {
    JournalWriteFailer failer(kCopied, 2, false);
    EXPECT_EQ(Move(&failer), 10000 + 112);
    sys::fault::Reset();
    EXPECT_EQ(NotWhole(install_, kAtHome), "");  // the folders the move made go too
}

#ifndef _WIN32

// The order that makes a power cut harmless, seen call by call: each copy flushed to its drive
// and the "checked" record on disk before the first original is deleted; the folders the journal
// names flushed after their last change and before the journal goes.
TEST_F(RecoveryTest, CopiesAreDurableBeforeAnOriginalGoesAndTheFoldersBeforeTheJournal) {
    ScopedCopyThreads walkerOnly(1);  // the calls in order, on one thread
    std::wstring journalPath;
    ASSERT_EQ(GetJournalPath(journalPath), 0);
    const std::wstring state = fs::path(journalPath).parent_path().wstring();
    const std::wstring base = install_.base().wstring();
    std::set<std::wstring> flushed;
    int deletes = 0, changesSinceBaseFlush = 0, journalsRemoved = 0;
    sys::fault::Arm(
        {sys::Call::kAny, 1, 0, false,
         [&] {
             const std::wstring& path = sys::fault::CurrentPath();
             const bool stateFile = !path.empty() && path.rfind(state, 0) == 0;
             switch (sys::fault::CurrentCall()) {
                 case sys::Call::kFlushToDisk:
                     flushed.insert(fs::path(path).lexically_normal().wstring());
                     if (path.rfind(base, 0) == 0) changesSinceBaseFlush = 0;
                     return;
                 case sys::Call::kDeleteFile:
                     if (path == journalPath) {
                         ++journalsRemoved;
                         EXPECT_EQ(changesSinceBaseFlush, 0)
                             << "the journal went before the base folder was flushed";
                         return;
                     }
                     if (stateFile) return;
                     if (deletes++ == 0) {
                         for (const fs::path& copy :
                              {Copies() / "Software", Copies() / "Downloads"}) {
                             EXPECT_EQ(flushed.count(copy.lexically_normal().wstring()), 1u)
                                 << copy << " not flushed before the first delete";
                         }
                         EXPECT_NE(ReadFile(journalPath).find("\nchecked=1\n"), std::string::npos)
                             << "an original deleted before the checked record";
                     }
                     break;
                 case sys::Call::kRemoveDirectory:
                 case sys::Call::kMoveFile:
                 case sys::Call::kCreateSymbolicLink:
                     break;
                 default:
                     return;
             }
             if (!stateFile) ++changesSinceBaseFlush;
         },
         true});
    EXPECT_EQ(Move(), 0);
    sys::fault::Reset();
    EXPECT_GT(deletes, 0);
    EXPECT_EQ(journalsRemoved, 1);
}

#endif  // !_WIN32

TEST_F(RecoveryTest, AMoveIsRefusedWhileAnInterruptedOneWaits) {
    JournalRecord record = SampleRecord();
    ASSERT_EQ(WriteJournal(record), 0);
    EXPECT_TRUE(engine_.HasUnfinishedMove());
    EXPECT_EQ(Move(), kCodeRecoveryPending);
    EXPECT_FALSE(fs::exists(Copies()));

    ASSERT_EQ(RemoveJournal(), 0);
    fs::create_directories(install_.base() / "DownloadsVarko(1)");  // an earlier version's
    EXPECT_TRUE(engine_.HasUnfinishedMove());
    EXPECT_EQ(Move(), kCodeRecoveryPending);
    EXPECT_FALSE(fs::exists(Copies()));
}

// ---- What each interrupted moment leaves, and its recovery -------------------------------------

class InterruptedMoveTest : public RecoveryTest, public ::testing::WithParamInterface<Moment> {};

TEST_P(InterruptedMoveTest, IsFinishedOrPutBackWhole) {
    const Moment moment = GetParam();
    InterruptMove(moment.phase, moment.callsInto);
    if (moment.action == RecoveryAction::kNothing) {  // stopped before its journal was written
        EXPECT_FALSE(engine_.HasUnfinishedMove());
        EXPECT_EQ(Assess().action, RecoveryAction::kNothing);
        EXPECT_EQ(NotWhole(install_), "");
        return;
    }
    EXPECT_TRUE(JournalThere());
    EXPECT_TRUE(engine_.HasUnfinishedMove());

    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, moment.action) << NotWhole(install_) << " / " << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_, plan.action == RecoveryAction::kFinish ? kMoved : kAtHome), "");
    EXPECT_EQ(Assess().action, RecoveryAction::kNothing);
    EXPECT_FALSE(engine_.HasUnfinishedMove());
}

constexpr auto kPutBack = RecoveryAction::kPutBack;
constexpr auto kFinish = RecoveryAction::kFinish;
constexpr auto kNothing = RecoveryAction::kNothing;

// Every moment at which a move may be interrupted: the tests of each, and the recovery sweep.
const Moment kMoments[] = {
    Moment{kStopping, 0, kNothing},    // before the journal
    Moment{kStopping, 3, kPutBack},    // nothing stopped yet
    Moment{kStopping, 9, kPutBack},    // one service stopped
    Moment{kParking, 0, kPutBack},     // nothing parked
    Moment{kParking, 103, kPutBack},   // one folder parked of two
    Moment{kCopyFirst, 0, kPutBack},   // both parked, no copy
    Moment{kCopyFirst, 40, kPutBack},  // half a copy
    Moment{kCopied, 0, kPutBack},      // one copy of two
    Moment{kCopied, 200, kFinish},     // both copied, not yet verified
    Moment{kLinking, 0, kFinish},      // verified, no link
    Moment{kLinking, 8, kFinish},      // one link of two
    Moment{kEmptying, 0, kFinish},     // linked, nothing deleted
    Moment{kEmptying, 20, kFinish},    // a parked folder half deleted
    Moment{kEmptied, 0, kFinish},      // one parked folder emptied
    Moment{kEmptied, 30, kFinish},     // the other one half deleted
    Moment{kEmptied, 88, kFinish},     // one parked folder removed
    Moment{kStarting, 0, kFinish},     // services still stopped
    Moment{kStarting, 8, kFinish},     // one service started
};

// The moments a move reaches here. Wine makes no directory links: there a move ends at its first
// link, and only the moments before it, which a recovery puts back, are reached.
std::vector<Moment> MomentsHere() {
    std::vector<Moment> here;
    for (const Moment& moment : kMoments) {
        if (!sys::RunningUnderWine()) {
            here.push_back(moment);
        } else if (moment.action != kFinish &&
                   !(moment.phase == kStopping && moment.callsInto == 3)) {
            // Three calls in, the POSIX journal is written; the Windows one takes more calls, and
            // is not there yet at that moment.
            here.push_back(moment);
        }
    }
    return here;
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, InterruptedMoveTest, ::testing::ValuesIn(MomentsHere()));

// ---- A recovery stopped at any of its moments is finished by the next ---------------------------

struct RecoveryMoment {
    Moment move;
    int32_t step;  // the recovery's own step
    uint64_t callsInto;
};

std::ostream& operator<<(std::ostream& out, const RecoveryMoment& m) {
    return out << m.move << ", recovery step " << m.step << " + " << m.callsInto << " calls";
}

class InterruptedRecoveryTest : public RecoveryTest,
                                public ::testing::WithParamInterface<RecoveryMoment> {};

TEST_P(InterruptedRecoveryTest, TheNextRecoveryFinishesTheJob) {
    const RecoveryMoment moment = GetParam();
    InterruptMove(moment.move.phase, moment.move.callsInto);
    Interrupter stop(moment.step, moment.callsInto);
    engine_.Recovery().SetPhaseObserver(&stop);
    EXPECT_NE(engine_.Recover(moment.move.action), 0);
    engine_.Recovery().SetPhaseObserver(nullptr);
    sys::fault::Reset();
    ASSERT_TRUE(stop.Interrupted());

    EXPECT_TRUE(JournalThere());
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, moment.move.action) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

std::vector<RecoveryMoment> RecoveryMoments() {
    std::vector<RecoveryMoment> moments;
    const Moment putBack{kCopyFirst, 40, kPutBack};
    const Moment finish{kEmptying, 20, kFinish};
    for (uint64_t calls : {0, 3, 12, 40}) {
        moments.push_back({putBack, kFailed, calls});
        moments.push_back({finish, kLinking, calls});
        moments.push_back({finish, kEmptying, calls});
    }
    moments.push_back({putBack, kStarting, 0});
    moments.push_back({finish, kStarting, 0});
    moments.push_back({Moment{kLinking, 0, kFinish}, kLinking, 8});  // one link made of two
    if (sys::RunningUnderWine()) {  // as MomentsHere: the put backs alone
        std::erase_if(moments, [](const RecoveryMoment& m) { return m.move.action == kFinish; });
    }
    return moments;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, InterruptedRecoveryTest,
                         ::testing::ValuesIn(RecoveryMoments()));

#ifndef _WIN32

// ---- A second move, of data an earlier move linked
// -----------------------------------------------

// The parked folders are then the earlier move's links: putting back gives the links their
// names back, finishing removes the earlier copies behind them, as the move itself would.
class SecondMoveTest : public RecoveryTest {
  protected:
    void InterruptSecondMove(int32_t phase, uint64_t callsInto) {
        ASSERT_EQ(Move(), 0);
        InterruptMove(phase, callsInto);
        ASSERT_TRUE(fs::is_symlink(install_.base() / "SoftwareVarko"));
    }
    fs::path Second() const { return install_.target() / "Oculus game(1)"; }
};

TEST_F(SecondMoveTest, PutBackGivesTheEarlierLinksTheirNamesBack) {
    InterruptSecondMove(kCopyFirst, 40);
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(fs::canonical(Software()), Copies() / "Software");
    EXPECT_EQ(NotWhole(install_, kMoved), "");
    EXPECT_FALSE(fs::exists(Second()));
}

TEST_F(SecondMoveTest, FinishRemovesTheEarlierCopiesBehindTheParkedLinks) {
    InterruptSecondMove(kEmptying, 10);
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(fs::canonical(Software()), Second() / "Software");
    EXPECT_EQ(NotWhole(install_, kMoved), "");
    EXPECT_FALSE(fs::exists(Copies()));  // the earlier move's folder, emptied, goes too
}

// ---- Leftovers of earlier versions: no journal
// ---------------------------------------------------

// Copies a tree keeping write times, as a move's copy does.
void CopyKeepingTimes(const fs::path& from, const fs::path& to) {
    ASSERT_EQ(std::system(("cp -a '" + from.string() + "' '" + to.string() + "'").c_str()), 0);
}

#endif  // !_WIN32

TEST_F(RecoveryTest, AParkedFolderWithoutAJournalGetsItsNameBack) {
    fs::rename(Software(), install_.base() / "SoftwareVarko");
    EXPECT_TRUE(engine_.HasUnfinishedMove());
    const RecoveryPlan plan = Assess();
    EXPECT_FALSE(plan.journalFound);
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

#ifndef _WIN32

TEST_F(RecoveryTest, AHalfDeletedParkedFolderBehindTheLinksIsDeletedWithoutAJournal) {
    ASSERT_EQ(Move(), 0);
    // What an earlier version left after it failed to delete everything: part of the old data.
    CopyKeepingTimes(Copies() / "Software", install_.base() / "SoftwareVarko");
    fs::remove_all(install_.base() / "SoftwareVarko" / "Game A");

    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_EQ(plan.folders[1].copy, FolderFinding::Copy::kMore);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

TEST_F(RecoveryTest, NothingToDoWithoutJournalOrParkedFolder) {
    EXPECT_FALSE(engine_.HasUnfinishedMove());
    EXPECT_EQ(Assess().action, RecoveryAction::kNothing);
    ASSERT_EQ(Move(), 0);
    EXPECT_EQ(Assess().action, RecoveryAction::kNothing);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kPutBack), kCodeRecoveryRefused);
}

// ---- Copies the disk cannot vouch for, and copies holding what their data lacks -----------------

#endif  // !_WIN32

// What a power cut leaves of a file written since the last flush: its size and write time, and
// zeros for its bytes.
void ZeroKeepingSizeAndTime(const fs::path& file) {
    const auto time = fs::last_write_time(file);
    const auto size = fs::file_size(file);
    WriteFile(file, std::string(size, '\0'));
    fs::last_write_time(file, time);
}

// A file of the copy, with its original's content, somewhere in "Software".
fs::path SomeCopiedFile(const fs::path& copies) {
    return copies / "Software" / "Game A" / "file0.bin";
}

TEST_F(RecoveryTest, CopiesNotYetRecordedAsCheckedAreJudgedByTheirBytes) {
    InterruptMove(kCopied, 200);  // both copied, not flushed nor checked
    JournalRecord record;
    bool found = false;
    ASSERT_EQ(ReadJournal(record, found), 0);
    ASSERT_FALSE(record.copiesChecked);
    ZeroKeepingSizeAndTime(SomeCopiedFile(Copies()));

    RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    EXPECT_TRUE(plan.folders[1].contentKnown);
    EXPECT_NE(plan.folders[1].lacking.find(L"file0.bin"), std::wstring::npos);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

#ifndef _WIN32

TEST_F(RecoveryTest, AWholeCopyIsFinishedOnItsBytesWithoutTheRecord) {
    InterruptMove(kCopied, 200);
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_TRUE(plan.folders[0].contentKnown && plan.folders[1].contentKnown);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

// What the disk alone cannot decide is refused, naming the places, and neither a put back nor
// a finish touches anything: a file the copy holds and its data does
// not (put back would delete it, finish would delete the data's own version), a parked folder
// holding what its copy lacks, two parked folders for one, an old folder beside its parked one.
// (A stopped copy with other bytes in a file its data has is continued: continue_test.cpp.)
TEST_F(RecoveryTest, WhatTheDiskCannotDecideIsRefusedAndLeftAlone) {
    struct Case {
        const char* what;
        std::function<void(RecoveryTest& t)> setUp;
        std::vector<std::string> words;
        std::string kept;  // relative to the base folder or, with "{copies}", the copies
    };
    const std::vector<Case> cases{
        {"a person's file in a partial copy",
         [](RecoveryTest& t) {
             t.InterruptMove(kCopyFirst, 40);
             WriteFile(t.Copies() / "Downloads" / "mine.sav", "mine");
         },
         {"{copies}", "Varko"},
         "{copies}/Downloads/mine.sav"},
        {"a copy holding more than the data at home",
         [](RecoveryTest& t) {
             t.InterruptMove(kLinking, 0);
             fs::rename(t.install_.base() / "SoftwareVarko", t.Software());
             fs::rename(t.install_.base() / "DownloadsVarko", t.Downloads());
             WriteFile(t.Copies() / "Software" / "new game.bin", "new");
         },
         {},
         "{copies}/Software/new game.bin"},
        {"a parked folder holding what its copy lacks",
         [](RecoveryTest& t) {
             ASSERT_EQ(t.Move(), 0);
             CopyKeepingTimes(t.Copies() / "Software", t.install_.base() / "SoftwareVarko");
             WriteFile(t.install_.base() / "SoftwareVarko" / "only here.sav", "mine");
         },
         {"SoftwareVarko"},
         "SoftwareVarko/only here.sav"},
        {"two parked folders for one",
         [](RecoveryTest& t) {
             fs::rename(t.Software(), t.install_.base() / "SoftwareVarko");
             fs::create_directories(t.install_.base() / "SoftwareVarko(1)");
         },
         {"several"},
         "SoftwareVarko(1)"},
        {"an old folder beside its parked one",
         [](RecoveryTest& t) {
             t.InterruptMove(kCopyFirst, 40);
             fs::create_directories(t.Software());  // the platform made itself a new one
         },
         {"both exist", "\"Downloads\": in "},
         "SoftwareVarko"},
    };
    for (const Case& c : cases) {
        Scene t;
        c.setUp(t);
        const auto copies = [&](std::string text) {
            if (text.rfind("{copies}", 0) == 0) text = t.Copies().string() + text.substr(8);
            return text;
        };
        const fs::path base = t.install_.base();
        const auto missing = [&] {
            return t.install_.Missing(
                {t.Software(), base / "SoftwareVarko", t.Copies() / "Software"},
                {t.Downloads(), base / "DownloadsVarko", t.Copies() / "Downloads"});
        };
        const auto before = missing();
        const RecoveryPlan plan = t.Assess();
        ASSERT_EQ(plan.action, RecoveryAction::kRefuse) << c.what;
        const std::string why = sys::ToUtf8(plan.why);
        for (const std::string& words : c.words)
            EXPECT_NE(why.find(copies(words)), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(t.engine_.Recover(RecoveryAction::kPutBack), kCodeRecoveryRefused) << c.what;
        EXPECT_EQ(t.engine_.Recover(RecoveryAction::kFinish), kCodeRecoveryRefused) << c.what;
        EXPECT_EQ(missing(), before) << c.what;
        const fs::path kept = copies(c.kept);
        EXPECT_TRUE(fs::exists(kept.is_absolute() ? kept : base / kept)) << c.what;
    }
}

// A move that ended with its journal still there: the links lead to whole copies and nothing is
// parked. It is finished, and the copies stay, even where a reinstall put fresh folders in place
// of the links.
TEST_F(RecoveryTest, AStaleJournalAfterAMoveNeverLeadsToDeletingTheMovedLibrary) {
    JournalProbe probe;
    ASSERT_EQ(Move(&probe), 0);
    JournalRecord stale = probe.last;  // as it stood when the services were started
    ASSERT_EQ(WriteJournal(stale), 0);

    RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");

    // The platform reinstalled: fresh folders where the links were.
    ASSERT_EQ(WriteJournal(stale), 0);
    fs::remove(Software());
    fs::remove(Downloads());
    WriteFile(Software() / "fresh" / "setup.bin", "fresh");
    fs::create_directories(Downloads());
    plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kRefuse) << sys::ToUtf8(plan.why);
    EXPECT_NE(plan.why.find(Copies().wstring()), std::wstring::npos) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kPutBack), kCodeRecoveryRefused);
    EXPECT_EQ(install_.Missing({Copies() / "Software"}, {Copies() / "Downloads"}),
              std::vector<std::string>{});
}

// ---- Journals that cannot be trusted, and rollbacks that did not finish -------------------------

#endif  // !_WIN32

// The journal's path in the host folder of the scene made last.
fs::path JournalFile() {
    std::wstring path;
    EXPECT_EQ(GetJournalPath(path), 0);
    return fs::path(path);
}

#ifndef _WIN32

TEST_F(RecoveryTest, AJournalThatCannotBeReadIsDecidedFromTheDisk) {
    for (const std::string& text :
         {std::string(), std::string("version=2\nwork=move\nphase=2\nbase=/")}) {
        Scene t;
        t.InterruptMove(kCopyFirst, 40);
        WriteFile(JournalFile(), text);  // empty, or cut short
        const RecoveryPlan plan = t.Assess();
        ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
        EXPECT_EQ(t.engine_.Recover(plan.action), 0);
        // Nothing vouches that the copies are the move's: they stay, beside the data at home.
        EXPECT_TRUE(fs::is_directory(t.Copies() / "Downloads"));
        fs::remove_all(t.Copies());
        EXPECT_EQ(NotWhole(t.install_), "");
    }
    {
        Scene t;
        ASSERT_EQ(t.Move(), 0);
        WriteFile(JournalFile(), "");  // a moved installation: its links decide
        const RecoveryPlan plan = t.Assess();
        ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
        EXPECT_EQ(t.engine_.Recover(plan.action), 0);
        for (const auto& e : fs::recursive_directory_iterator(t.install_.target()))
            std::printf("LEFT %s\n", e.path().c_str());
        EXPECT_EQ(NotWhole(t.install_), "");
    }
    {
        Scene t;
        ASSERT_EQ(t.Move(), 0);
        fs::remove(t.Downloads());
        fs::rename(t.Copies() / "Downloads", t.Downloads());  // one home, one linked
        WriteFile(JournalFile(), "");
        const RecoveryPlan plan = t.Assess();
        ASSERT_EQ(plan.action, RecoveryAction::kRefuse);
        const std::string why = sys::ToUtf8(plan.why);
        EXPECT_NE(why.find("then delete the journal"), std::string::npos) << why;
    }
}

#endif  // !_WIN32

TEST_F(RecoveryTest, AJournalThatNamesOtherFoldersIsSetAside) {
    InterruptMove(kCopyFirst, 40);
    // A copy the journal calls its own must look like one a move makes, or it is not deleted.
    const fs::path precious = install_.root() / "precious";
    WriteFile(precious / "keep.txt", "keep");
    for (const auto& [field, value] : std::vector<std::pair<int, std::wstring>>{
             {0, precious.wstring()},
             {1, (install_.root() / "Oculus game" / "Software" / "..").wstring()},
             {2, install_.outside().wstring()}}) {
        JournalRecord record;
        bool found = false;
        ASSERT_EQ(ReadJournal(record, found), 0);
        if (field == 2) {
            record.folders[1].parked = value;
        } else {
            record.folders[1].target = value;
        }
        ASSERT_EQ(WriteJournal(record), 0);
        const RecoveryPlan plan = Assess();
        EXPECT_EQ(plan.action, RecoveryAction::kPutBack) << field;
        // The copies it names as a move names them are still looked at, and one of the same
        // name beside them; no other.
        ASSERT_EQ(plan.folders.size(), 2u) << field;
        EXPECT_FALSE(plan.folders[0].target.empty()) << field;
        for (const FolderFinding& f : plan.folders)
            EXPECT_TRUE(f.target.empty() || fs::path(f.target).parent_path() == Copies()) << field;
    }
    EXPECT_EQ(engine_.Recover(RecoveryAction::kPutBack), 0);
    EXPECT_EQ(ReadFile(precious / "keep.txt"), "keep");
    fs::remove_all(precious);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");  // the partial copies went, and their folder
}

#ifndef _WIN32

// ---- What a recovery asks before it acts, and what it says is left ----------------------------

#endif  // !_WIN32

// After a power cut the platform's services start with the system: the recovery stops them
// before its first change on the disk, and they run again at its end.
TEST_F(RecoveryTest, ServicesRunningAtTheRecoveryAreStoppedWhileItChangesTheFolders) {
    for (const auto& [moment, action, firstChange] :
         {std::tuple(Moment{kLinking, 0, kFinish}, kFinish, sys::Call::kCreateSymbolicLink),
          std::tuple(Moment{kCopyFirst, 40, kPutBack}, kPutBack, sys::Call::kDeleteFile)}) {
        if (sys::RunningUnderWine() && action == kFinish) continue;  // see MomentsHere
        Scene t;
        t.InterruptMove(moment.phase, moment.callsInto);
        t.install_.SetServicesRunning();
        std::vector<uint32_t> seen;
        sys::fault::Arm({firstChange, 1, 0, false, [&] {
                             for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"})
                                 seen.push_back(t.install_.ServiceState(name));
                         }});
        ASSERT_EQ(t.Assess().action, action) << moment;
        EXPECT_EQ(t.engine_.Recover(action), 0) << moment;
        sys::fault::Reset();
        EXPECT_EQ(seen, (std::vector<uint32_t>{sys::kServiceStopped, sys::kServiceStopped}))
            << moment;
        EXPECT_EQ(NotWhole(t.install_), "") << moment;
    }
}

#ifndef _WIN32

TEST_F(RecoveryTest, AServiceThatWillNotStopLeavesTheInterruptedMoveAsItWas) {
    InterruptMove(kLinking, 0);
    install_.SetServicesRunning();
    sys::standin::ServiceRecord refusing;
    sys::standin::ReadService(L"OVRService", refusing);
    refusing.refuseStop = sys::kErrAccessDenied;
    sys::standin::WriteService(L"OVRService", refusing);
    JournalRecord before;
    bool found = false;
    ASSERT_EQ(ReadJournal(before, found), 0);

    EXPECT_EQ(engine_.Recover(RecoveryAction::kFinish), SystemCode(sys::kErrAccessDenied));
    EXPECT_FALSE(fs::is_symlink(Software()));  // no link was made
    EXPECT_TRUE(fs::is_directory(install_.base() / "SoftwareVarko"));
    JournalRecord after;
    ASSERT_EQ(ReadJournal(after, found), 0);
    EXPECT_TRUE(after == before);
    EXPECT_EQ(install_.ServiceState(L"OVRLibraryService"), sys::kServiceRunning);

    refusing.refuseStop = 0;
    sys::standin::WriteService(L"OVRService", refusing);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kFinish), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

#endif  // !_WIN32

// A journal cut short still names the copies in its first lines: they are judged by their bytes
// and go with a put back, instead of being left behind.
TEST_F(RecoveryTest, ATruncatedJournalStillNamesItsCopies) {
    InterruptMove(kCopyFirst, 40);
    std::string text = ReadFile(JournalFile());
    text.resize(text.rfind("parked="));  // in the middle of the second folder's lines
    WriteFile(JournalFile(), text);
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

#ifndef _WIN32

// Without a journal a copy that no link names yet is the one beside the copy a link names.
TEST_F(RecoveryTest, AWholeCopyBesideALinkedOneIsFinishedWithoutAJournal) {
    InterruptMove(kLinking, 8);  // one link of two
    ASSERT_EQ(fs::is_symlink(Downloads()) + fs::is_symlink(Software()), 1);
    fs::remove(JournalFile());
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

// A copy missing because its drive is not connected: nothing is done, and the refusal says so
// and names the copies' folder, where some files may now exist only.
TEST_F(RecoveryTest, ACopyOnADriveNotConnectedIsNamedAndNothingIsDone) {
    InterruptMove(kEmptying, 20);
    JournalRecord record;
    bool found = false;
    ASSERT_EQ(ReadJournal(record, found), 0);
    ASSERT_FALSE(record.targetVolume.empty());
    const fs::path away = install_.root() / "unplugged";
    fs::rename(Copies(), away);
    record.targetVolume = L"uuid:not-attached";  // the folder above is another volume now
    ASSERT_EQ(WriteJournal(record), 0);

    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kRefuse);
    const std::string why = sys::ToUtf8(plan.why);
    EXPECT_NE(why.find("is not connected"), std::string::npos) << why;
    EXPECT_NE(why.find((Copies() / "Software").string()), std::string::npos) << why;
    EXPECT_NE(why.find("SoftwareVarko"), std::string::npos) << why;

    fs::rename(away, Copies());  // the drive is back
    ASSERT_EQ(Assess().action, RecoveryAction::kFinish);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kFinish), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

#endif  // !_WIN32

// A journal replaced by deleting the old name before renaming the new text (FAT, exFAT) and cut
// between the two leaves only move.journal.tmp: taken when whole, never when cut short.
TEST_F(RecoveryTest, AWholeTemporaryJournalStandsInForAMissingOne) {
    InterruptMove(kCopyFirst, 40);
    const fs::path temporary = JournalFile().string() + ".tmp";
    fs::rename(JournalFile(), temporary);
    EXPECT_TRUE(engine_.HasUnfinishedMove());
    const RecoveryPlan plan = Assess();
    EXPECT_TRUE(plan.journalFound);
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
    EXPECT_FALSE(fs::exists(temporary));

    // Cut short, it is a replace that never got as far as the rename: no move waits for it.
    std::string text = SerializeJournal(SampleRecord());
    WriteFile(temporary, text.substr(0, text.size() - 6));
    EXPECT_FALSE(engine_.HasUnfinishedMove());
    fs::remove(temporary);
}

// A put back that leaves anything in the copies' folder says so and names it.
TEST_F(RecoveryTest, APutBackThatLeavesSomethingInTheCopiesFolderSaysSo) {
    InterruptMove(kCopyFirst, 40);
    WriteFile(Copies() / "notes.txt", "mine");
    ASSERT_EQ(Assess().action, RecoveryAction::kPutBack);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kPutBack), kCodeCopyLeft);
    EXPECT_EQ(engine_.RecoveryHeld().first, Copies().wstring());
    EXPECT_EQ(ReadFile(Copies() / "notes.txt"), "mine");
    EXPECT_EQ(install_.Missing({Software()}, {Downloads()}), std::vector<std::string>{});
    EXPECT_FALSE(JournalThere());
    EXPECT_EQ(Assess().action, RecoveryAction::kNothing);
}

#ifndef _WIN32

// Re-pointing replaces each link in one step, and its recovery finds the links' volume by its
// identity wherever it is now: here back at its first place, after a cut that left no link.
TEST_F(RecoveryTest, AStoppedRepointingFindsTheVolumeWhereItIsNow) {
    ASSERT_EQ(Move(), 0);
    ASSERT_EQ(RecordMove(install_.baseValue()), 0);
    JournalRecord record;
    record.work = JournalWork::kRepoint;
    record.phase = kLinking;
    record.base = install_.baseValue();
    record.services = {L"OVRLibraryService", L"OVRService"};
    for (const fs::path& link : {Downloads(), Software()}) {
        record.folders.push_back(
            {link.wstring(),
             (install_.root() / "gone" / "Oculus game" / link.filename()).wstring(),
             {},
             true});
    }
    ASSERT_EQ(WriteJournal(record), 0);
    fs::remove(Software());  // the cut came between removing one link and making the new one

    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kFinish) << sys::ToUtf8(plan.why);
    EXPECT_EQ(plan.record.folders[1].target, (Copies() / "Software").wstring());
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_), "");
}

TEST(ReplaceDirectoryLink, NeverLeavesTheNameWithoutALinkNorReplacesAFolder) {
    TempDir dir;
    fs::create_directories(dir.path() / "a");
    fs::create_directories(dir.path() / "b");
    const fs::path link = dir.path() / "Software";
    fs::create_directory_symlink(dir.path() / "a", link);
    fs::create_directory_symlink(dir.path() / "a", link.string() + ".halvex-link");  // a cut's
    // Watched at the moment the new link is renamed over the old one: the old is still there.
    ASSERT_TRUE(sys::ReplaceDirectoryLinkW(link.wstring(), (dir.path() / "b").wstring()));
    EXPECT_EQ(fs::read_symlink(link), dir.path() / "b");
    EXPECT_FALSE(fs::exists(fs::symlink_status(link.string() + ".halvex-link")));

    fs::create_directories(dir.path() / "Downloads");
    EXPECT_FALSE(sys::ReplaceDirectoryLinkW((dir.path() / "Downloads").wstring(),
                                            (dir.path() / "b").wstring()));
    EXPECT_EQ(sys::GetLastError(), sys::kErrAlreadyExists);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir.path() / "Downloads")));
}

// After the copies were checked, the manifest stands for them: a parked original changed since
// is never deleted, nor an original whose copy the drive now gives back other bytes of.
TEST_F(RecoveryTest, AFinishChecksTheOriginalsAndTheCopiesAgainstTheManifest) {
    InterruptMove(kEmptying, 0);  // linked, nothing deleted yet
    const fs::path parked = install_.base() / "SoftwareVarko" / "Game A" / "file0.bin";
    ASSERT_TRUE(fs::exists(parked)) << "the fixture's files have other names";
    const auto written = fs::last_write_time(parked);
    WriteFile(parked, ReadFile(parked) + "saved later");
    fs::last_write_time(parked, written + std::chrono::seconds(60));
    RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kRefuse);
    EXPECT_NE(sys::ToUtf8(plan.why).find("changed after the copies were checked"),
              std::string::npos)
        << sys::ToUtf8(plan.why);
    EXPECT_NE(sys::ToUtf8(plan.why).find(parked.string()), std::string::npos);
}

TEST_F(RecoveryTest, ACopyTheDriveChangedAfterTheCheckStopsTheFinishWithNothingLost) {
    InterruptMove(kEmptying, 0);
    const fs::path copy = Copies() / "Downloads" / "cache" / "file0.bin";
    ASSERT_TRUE(fs::exists(copy)) << "the fixture's files have other names";
    const auto written = fs::last_write_time(copy);
    std::string bytes = ReadFile(copy);
    bytes[0] ^= 0x5A;  // other bytes, the same size and time: the drive's doing
    WriteFile(copy, bytes);
    fs::last_write_time(copy, written);
    ASSERT_EQ(Assess().action, RecoveryAction::kFinish);
    EXPECT_EQ(engine_.Recover(RecoveryAction::kFinish), kCodeCopyCorrupt);
    EXPECT_EQ(engine_.RecoveryHeld().first, copy.wstring());
    EXPECT_TRUE(JournalThere());
    EXPECT_EQ(
        install_.Missing({install_.base() / "SoftwareVarko"}, {install_.base() / "DownloadsVarko"}),
        std::vector<std::string>{});
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceStopped);  // as the move left them
}

#endif  // !_WIN32

// A rollback that cannot give a folder its name back keeps the journal, with the services it
// stopped: the next start puts the rest back and starts them.
TEST_F(RecoveryTest, AnUncleanRollbackLeavesItsJournalForTheNextStart) {
    sys::fault::Arm({sys::Call::kCopyFile, 3, sys::kErrDiskFull});
    sys::fault::Arm({sys::Call::kMoveFile, 3, sys::kErrAccessDenied});  // the first rename back
    EXPECT_EQ(Move(), 10000 + 112);
    sys::fault::Reset();
    EXPECT_TRUE(JournalThere());
    EXPECT_NE(install_.ServiceState(L"OVRService"), sys::kServiceRunning);

    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

#ifndef _WIN32

// ---- Every platform call of a recovery, failing in turn
// ------------------------------------------

uint32_t SweepError(sys::Call kind) {
    switch (kind) {
        case sys::Call::kWriteFile:
        case sys::Call::kFlushToDisk:
            return sys::kErrDiskFull;
        default:
            return sys::kErrAccessDenied;
    }
}

// A small installation: the sweep sets it up once per call.
const InstallShape kSweepShape{2, true, true, true};

// Interrupts a move at moment, then runs the recovery it calls for with call k failing with
// error (k = 0: none, the calls traced). A recovery that says it succeeded must leave the
// installation whole; one that fails must leave every original reachable and its journal for
// another try, which must then finish the job. Empty where the moment needs no recovery.
std::string SweepOnce(const Moment& moment, uint64_t k, uint32_t error,
                      std::vector<sys::Call>* trace) {
    Scene t(kSweepShape);
    t.InterruptMove(moment.phase, moment.callsInto);
    const RecoveryAction action = t.Assess().action;
    if (action == RecoveryAction::kNothing) return NotWhole(t.install_);
    if (action == RecoveryAction::kRefuse) return "refused";
    sys::fault::Reset();
    if (trace) sys::fault::Trace(trace);
    if (k > 0) sys::fault::Arm({sys::Call::kAny, k, error});
    int32_t result = t.engine_.Recover(action);
    sys::fault::Reset();
    if (result == kCodeCopyLeft) {  // said so, naming the folder: it may hold no file
        const fs::path held(t.engine_.RecoveryHeld().first);
        for (const auto& entry : fs::recursive_directory_iterator(held)) {
            if (!entry.is_directory()) return "a file in the folder said to be left";
        }
        fs::remove_all(held);
        result = 0;
    }
    if (result == 0) {
        const std::string whole = NotWhole(t.install_);
        return whole.empty() ? whole : "a recovery that said it succeeded: " + whole;
    }
    if (const std::string problem = NotWhole(t.install_, kPending); !problem.empty())
        return "failed with " + std::to_string(result) + ": " + problem;
    const RecoveryPlan plan = t.Assess();
    if (plan.action != RecoveryAction::kNothing) t.engine_.Recover(plan.action);
    const std::string after = NotWhole(t.install_);
    return after.empty() ? after : "after another recovery: " + after;
}

TEST(RecoverySweep, NoFailingCallOfARecoveryFromAnyMomentLosesDataOrItsJournal) {
    ScopedMemoryTemp memory;
    ScopedCopyThreads walkerOnly(1);  // each interrupted move leaves the same files behind
    const SweepSample sample = SweepSample::FromEnvironment();
    int injected = 0, lost = 0, moments = 0;
    size_t point = 0;
    for (const Moment& moment : kMoments) {
        std::vector<sys::Call> kinds;
        ASSERT_EQ(SweepOnce(moment, 0, 0, &kinds), "") << moment;
        ++moments;
        for (size_t k = 1; k <= kinds.size(); ++k) {
            if (!sample.Takes(point++)) continue;
            ++injected;
            const std::string problem = SweepOnce(moment, k, SweepError(kinds[k - 1]), nullptr);
            if (!problem.empty()) {
                ++lost;
                ADD_FAILURE() << moment << ": call " << k << " (" << sys::fault::Name(kinds[k - 1])
                              << ") failing: " << problem;
            }
        }
    }
    std::printf("recovery sweep: %d moments, %d injected, %d lost%s\n", moments, injected, lost,
                sample.Described().c_str());
    EXPECT_EQ(moments, 18);
    EXPECT_EQ(lost, 0);
}

#endif  // !_WIN32

}  // namespace
