// A library's whole life: moved, moved on to another drive, moved back home. Every step keeps
// every entry as it was (content, size, times, mode, extended attributes, links); a failing
// call or a kill at any moment of moving back or on loses nothing, and the next start puts it
// in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "TaskMgr/InstallState.h"
#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "interrupt.h"
#include "platform/sys.h"
#include "wholeness.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

using namespace testsupport;

namespace {

#ifndef _WIN32

// Every entry below a folder as a person would compare it: its kind, content or link text, size,
// last write, mode and extended attributes. The folder itself may be a link (a moved library).
std::map<std::string, std::string> TreeState(const fs::path& top) {
    std::map<std::string, std::string> state;
    const fs::path root = fs::canonical(top);
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st {};
        const std::string path = it->path().string();
        if (lstat(path.c_str(), &st) != 0) {
            state[path] = "unreadable";
            continue;
        }
        std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
        if (S_ISLNK(st.st_mode)) {
            facts += " -> " + fs::read_symlink(it->path()).string();
        } else {
            facts +=
                " t" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
            if (S_ISREG(st.st_mode))
                facts += " #" + std::to_string(std::hash<std::string>{}(ReadFile(it->path())));
        }
        char names[4096];
        const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
        for (ssize_t i = 0; i < length; i += static_cast<ssize_t>(strlen(names + i)) + 1) {
            char value[256];
            const ssize_t got = lgetxattr(path.c_str(), names + i, value, sizeof value);
            facts += std::string(" x:") + (names + i) + "=" +
                     std::string(value, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        state[it->path().lexically_relative(root).string()] = facts;
    }
    return state;
}

// The first entry that differs between two states, as "path: now / before"; empty when none.
std::string FirstDifference(const std::map<std::string, std::string>& now,
                            const std::map<std::string, std::string>& before) {
    for (const auto& [path, facts] : before) {
        const auto it = now.find(path);
        if (it == now.end()) return path + ": missing";
        if (it->second != facts) return path + ": " + it->second + " / " + facts;
    }
    for (const auto& [path, facts] : now) {
        if (before.count(path) == 0) return path + ": added";
    }
    return {};
}

class MoveBackTest : public ::testing::Test {
  public:
    explicit MoveBackTest(InstallShape shape = {}) : install_(shape) {
        fs::create_directories(SecondTarget());
    }

    fs::path Software() const { return install_.base() / "Software"; }
    fs::path Downloads() const { return install_.base() / "Downloads"; }
    fs::path SecondTarget() const { return install_.root() / "second"; }

    int32_t MoveTo(const fs::path& target) {
        const int32_t result = Move(engine_, target);
        engine_.ResetTask();
        return result;
    }
    int32_t MoveBack(TaskPhaseObserver* observer = nullptr) {
        engine_.Task().SetPhaseObserver(observer);
        const int32_t result = engine_.MoveBack();
        engine_.Task().SetPhaseObserver(nullptr);
        return result;
    }
    std::map<std::string, std::string> State() const {
        auto state = TreeState(Software());
        for (const auto& [path, facts] : TreeState(Downloads()))
            state["Downloads/" + path] = facts;
        return state;
    }
    RecoveryPlan Assess() {
        RecoveryPlan plan;
        EXPECT_EQ(engine_.AssessRecovery(plan), 0);
        return plan;
    }

    // Whole (the shared check), and nothing in any of targets but the copies the links lead to.
    // An empty folder that a failed removal left in a target is no data: it is taken away
    // here, and counted in emptyLeft, so that the check below judges the rest.
    int emptyLeft = 0;
    void TakeAwayEmptyFolders(const std::vector<fs::path>& targets) {
        std::error_code ec;
        for (const fs::path& target : targets) {
            for (const auto& entry : fs::directory_iterator(target, ec)) {
                if (fs::is_symlink(entry.path(), ec) || !fs::is_directory(entry.path(), ec))
                    continue;
                bool empty = true;
                for (const auto& inner : fs::recursive_directory_iterator(entry.path(), ec))
                    empty = empty && inner.is_directory(ec) && !inner.is_symlink(ec);
                const bool linkedTo =
                    fs::is_symlink(Software(), ec) &&
                    fs::canonical(Software(), ec).parent_path() == fs::canonical(entry.path(), ec);
                if (empty && !linkedTo) {
                    fs::remove_all(entry.path(), ec);
                    ++emptyLeft;
                }
            }
        }
    }

    std::string Settled(const std::vector<fs::path>& targets,
                        uint32_t services = sys::kServiceRunning) {
        TakeAwayEmptyFolders(targets);
        if (std::string problem = NotWhole(install_, {Whole::Data::kEither, false, services});
            !problem.empty()) {
            return problem;
        }
        std::error_code ec;
        const bool linked = fs::is_symlink(Software(), ec);
        const fs::path copies = linked ? fs::canonical(Software(), ec).parent_path() : fs::path();
        for (const fs::path& target : targets) {
            for (const auto& entry : fs::directory_iterator(target, ec)) {
                if (!linked || fs::canonical(entry.path(), ec) != copies)
                    return "left in " + target.string() + ": " + entry.path().filename().string();
            }
        }
        return {};
    }

    ScopedVirtualClock clock_;
    ScopedFaults faults_;
    SimulatedInstall install_;
    CVr engine_;
};

// A link that leads somewhere is copied as what it leads to; one that leads nowhere stays a link.
class RoundTripTest : public MoveBackTest {
  public:
    RoundTripTest() : MoveBackTest(InstallShape{6, false, true, true}) {}
};

TEST_F(RoundTripTest, MovedOnAndBackEveryEntryIsAsItWasAndNothingIsLeft) {
    setxattr(Software().c_str(), "user.halvex", "kept", 4, 0);  // where the file system allows
    const auto first = State();
    ASSERT_GT(first.size(), 10u);

    ASSERT_EQ(MoveTo(install_.target()), 0);
    EXPECT_EQ(FirstDifference(State(), first), "");
    // Moved on: straight from the first target to the second, which the links then lead to.
    ASSERT_EQ(MoveTo(SecondTarget()), 0);
    EXPECT_EQ(FirstDifference(State(), first), "");
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game"));
    EXPECT_EQ(Settled({install_.target(), SecondTarget()}), "");

    ASSERT_EQ(MoveBack(), 0);
    EXPECT_EQ(FirstDifference(State(), first), "");
    EXPECT_EQ(Settled({install_.target(), SecondTarget()}), "");
    const MoveOutcome outcome = engine_.GetMoveOutcome();
    EXPECT_TRUE(outcome.back);
    EXPECT_EQ(outcome.movedTo, (SecondTarget() / "Oculus game").wstring());
    MoveRecord record;
    EXPECT_FALSE(ReadMoveRecord(record)) << "the record of where the links led outlives them";
    InstallState state;
    ASSERT_EQ(engine_.ReadInstallState(state), 0);
    EXPECT_EQ(state.kind, InstallState::Kind::kHome);

    // And moved again, as any library at home.
    engine_.ResetTask();
    ASSERT_EQ(MoveTo(install_.target()), 0);
    EXPECT_EQ(FirstDifference(State(), first), "");
}

TEST_F(MoveBackTest, ALibraryAtHomeIsNotMovedBackAndNothingChanges) {
    const auto first = State();
    EXPECT_EQ(MoveBack(), kCodeNotMoved);
    EXPECT_EQ(FirstDifference(State(), first), "");
    EXPECT_EQ(Settled({install_.target()}), "");
}

TEST_F(MoveBackTest, ACancelDuringTheCopyLeavesTheLinksAndNoCopyAtHome) {
    ASSERT_EQ(MoveTo(install_.target()), 0);
    struct Canceller final : TaskPhaseObserver {
        explicit Canceller(CVr& engine) : engine(engine) {}
        void OnPhase(int32_t phase) override {
            if (phase == kCopyFirst) accepted = engine.CancelMove() == kCancelAccepted;
        }
        CVr& engine;
        bool accepted = false;
    } canceller(engine_);
    EXPECT_EQ(MoveBack(&canceller), kCodeCancelled);
    EXPECT_TRUE(canceller.accepted);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(Settled({install_.target()}), "");
    EXPECT_TRUE(fs::is_symlink(Software()));
}

// The page of the next operation polls before the worker starts it: it must not read the full
// bar of the check before.
TEST_F(MoveBackTest, TheBarOfAMoveBackAfterACheckStartsEmpty) {
    ASSERT_EQ(MoveTo(install_.target()), 0);
    LibraryReport report;
    ASSERT_EQ(engine_.CheckMovedLibrary(report), 0);
    float fraction = 0.0f;
    ASSERT_EQ(engine_.GetProgress(fraction), 0);
    EXPECT_FLOAT_EQ(fraction, 1.0f);
    engine_.PrepareFor(kOpMoveBack);
    fraction = 0.0f;
    engine_.GetProgress(fraction);
    EXPECT_FLOAT_EQ(fraction, 0.0f);
}

// ---- A stopped move back, decided from the disk ------------------------------------------------

// Each moment a move back may be stopped at, and what its recovery must then be.

class StoppedMoveBackTest : public MoveBackTest, public ::testing::WithParamInterface<Moment> {};

TEST_P(StoppedMoveBackTest, IsFinishedOrPutBackWhole) {
    const Moment moment = GetParam();
    ASSERT_EQ(MoveTo(install_.target()), 0);
    Interrupter stop(moment.phase, moment.callsInto);
    MoveBack(&stop);
    sys::fault::Reset();
    ASSERT_TRUE(stop.Interrupted());
    const RecoveryPlan plan = Assess();
    ASSERT_EQ(plan.action, moment.action) << sys::ToUtf8(plan.why);
    EXPECT_EQ(plan.record.work, JournalWork::kBack);
    ASSERT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(Settled({install_.target()}), "");
    EXPECT_EQ(fs::is_symlink(Software()), moment.action == RecoveryAction::kPutBack);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StoppedMoveBackTest,
    ::testing::Values(Moment{kParking, 3, RecoveryAction::kPutBack},     // home names planned
                      Moment{kCopyFirst, 30, RecoveryAction::kPutBack},  // copying
                      Moment{kCopied, 0, RecoveryAction::kPutBack},      // checking
                      Moment{kLinking, 0, RecoveryAction::kFinish},      // checked
                      Moment{kLinking, 12, RecoveryAction::kFinish},     // one placed
                      Moment{kEmptying, 10, RecoveryAction::kFinish},    // deleting
                      Moment{kStarting, 0, RecoveryAction::kFinish}));   // services

TEST_F(MoveBackTest, AHomeCopyThatLacksWhatTheMovedFolderHoldsIsNeverPlaced) {
    ASSERT_EQ(MoveTo(install_.target()), 0);
    Interrupter stop(kLinking, 0);
    MoveBack(&stop);
    sys::fault::Reset();
    // A file of the moved library changed behind the journal's back: the checked copy no
    // longer holds the library, and deleting the moved folder would lose the change.
    WriteFile(install_.target() / "Oculus game" / "Software" / "Game A" / "new.sav", "saved");
    const RecoveryPlan plan = Assess();
    EXPECT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    ASSERT_EQ(engine_.Recover(plan.action), 0);
    EXPECT_EQ(ReadFile(Software() / "Game A" / "new.sav"), "saved");
}

// ---- Every call failing, every moment cut ------------------------------------------------------

const InstallShape kSweepShape{1, false, true, true};

// A library moved once, then moved back (on: true, moved on to a second target) with call k
// failing or, with cut, every call from k on failing (a kill). Whatever the result, the data is
// whole where the links or folders lead, and one recovery settles it.
std::string BackOnce(bool on, uint64_t k, bool cut, std::vector<sys::Call>* trace,
                     int* emptyLeft = nullptr) {
    struct Scene : MoveBackTest {
        Scene() : MoveBackTest(kSweepShape) {}
        void TestBody() override {}
    } t;
    if (t.MoveTo(t.install_.target()) != 0) return "the first move failed";
    t.engine_.ResetTask();
    std::wstring source;
    t.engine_.ResolveSourceDir(source);
    if (on && t.engine_.CheckTargetDir(t.SecondTarget().wstring()) != 0) return "no second target";
    sys::fault::Reset();  // the calls are counted from here: those of the move back or on
    if (trace) sys::fault::Trace(trace);
    bool hit = false;
    if (k > 0) {
        sys::fault::Arm({sys::Call::kAny, k, sys::kErrAccessDenied, cut, [&hit] { hit = true; }});
    }
    const int32_t result = on ? t.engine_.MoveInstallation() : t.engine_.MoveBack();
    sys::fault::Reset();
    if (k > 0 && !hit) return "call " + std::to_string(k) + " never came";
    t.engine_.ResetTask();
    const fs::path first = t.install_.target() / "Oculus game";
    const fs::path second = t.SecondTarget() / "Oculus game";
    const std::vector<fs::path> softwarePlaces{t.Software(), first / "Software",
                                               second / "Software"};
    const std::vector<fs::path> downloadsPlaces{t.Downloads(), first / "Downloads",
                                                second / "Downloads"};
    if (const auto missing = t.install_.Missing(softwarePlaces, downloadsPlaces); !missing.empty())
        return "result " + std::to_string(result) + ": lost " + missing.front();
    const RecoveryPlan plan = t.Assess();
    if (plan.action == RecoveryAction::kRefuse)
        return "the recovery refused: " + sys::ToUtf8(plan.why);
    if (plan.action != RecoveryAction::kNothing) {
        if (const int32_t r = t.engine_.Recover(plan.action); r != 0)
            return "the recovery failed with " + std::to_string(r);
    }
    // Services that would not start stay stopped, as the closing words say.
    const bool stopped = result == kCodeServicesNotStarted || result == kCodeOldDataLeft;
    const std::string settled = t.Settled({t.install_.target(), t.SecondTarget()},
                                          stopped ? uint32_t{0} : uint32_t{sys::kServiceRunning});
    if (emptyLeft) *emptyLeft += t.emptyLeft;
    return settled.empty() ? settled : "result " + std::to_string(result) + ": " + settled;
}

TEST(MoveBackSweep, NoFailingCallOrKillOfAMoveBackOrOnLosesData) {
    ScopedMemoryTemp memory;
    ScopedCopyThreads walkerOnly(1);  // call k is the same call each run
    const SweepSample sample = SweepSample::FromEnvironment();
    for (const bool on : {false, true}) {
        std::vector<sys::Call> kinds;
        ASSERT_EQ(BackOnce(on, 0, false, &kinds), "");
        ASSERT_GT(kinds.size(), 50u);
        int failed = 0, cuts = 0, lost = 0, emptyLeft = 0;
        for (size_t k = 1; k <= kinds.size(); ++k) {
            if (!sample.Takes(k)) continue;
            for (const bool cut : {false, true}) {
                ++(cut ? cuts : failed);
                if (const std::string problem = BackOnce(on, k, cut, nullptr, &emptyLeft);
                    !problem.empty()) {
                    ++lost;
                    ADD_FAILURE() << (on ? "move on" : "move back") << ", call " << k << " ("
                                  << sys::fault::Name(kinds[k - 1]) << ") "
                                  << (cut ? "cut" : "failing") << ": " << problem;
                }
            }
        }
        std::printf("%s sweep: %d failing calls, %d cuts, %d lost%s\n",
                    on ? "move-on" : "move-back", failed, cuts, lost, sample.Described().c_str());
        std::printf("  an empty folder left in a target %d times\n", emptyLeft);
        EXPECT_EQ(lost, 0);
    }
}

#endif  // !_WIN32

}  // namespace
