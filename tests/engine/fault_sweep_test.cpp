// The exhaustive fault sweep: a whole move is run once to count its platform calls, then once
// more for every call, with that call failing. Each call fails twice: with the error a full or
// locked drive gives, and with one the program takes for harmless at some calls ("no more
// files", "not found", "already exists") or a sharing violation, so that an error passed over
// where it matters shows. A third pass runs three copy threads, the failing call picked by its
// kind and its number among that kind's calls.
//
// After each run the installation must be whole as the result says: moved, or at home after a
// clean rollback, with nothing of the move left on either drive, the services running and no
// journal; a recovery then finds nothing to do. After an unclean rollback, or a move that could
// not empty its parked folders, every original must be whole somewhere the journal leads, and
// the recovery must then leave it whole.
//
// Under Wine the sweep takes the points before the links, on Wine's own file system calls,
// registry and service manager: Wine makes no directory links, so every move there ends at its
// first link and rolls back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/sys.h"
#include "wholeness.h"
#ifdef _WIN32
#include "wine_services.h"
#endif

using namespace testsupport;

namespace {

#ifdef _WIN32
// About 15 files. Under Wine each run costs real time (Wine's file calls, its services), and the
// services stay stopped: a start is a new process of the fake service, a second or more, which
// the sweep's many runs cannot afford. The services' stops and starts are swept on the POSIX
// stand-in and tried one by one against Wine's manager by the Wine move tests.
const InstallShape kSweepShape{2, true, true, true, false};
#else
// About 50 files, one inner link, a read-only file, a link that leads nowhere, a private folder.
const InstallShape kSweepShape{5, true, true, true};
#endif

uint32_t FirstError(sys::Call kind) {
    switch (kind) {
        case sys::Call::kCopyFile:
        case sys::Call::kCreateDirectory:
        case sys::Call::kFlushToDisk:
        case sys::Call::kWriteFile:
            return sys::kErrDiskFull;
        default:
            return sys::kErrAccessDenied;
    }
}

// The harmless-looking answer a call of that kind may give, or a sharing violation.
uint32_t SecondError(sys::Call kind) {
    switch (kind) {
        case sys::Call::kFindNextFile:
        case sys::Call::kRegEnumKey:
        case sys::Call::kRegEnumValue:
            return sys::kErrNoMoreFiles;
        case sys::Call::kFindFirstFile:
        case sys::Call::kGetFileAttributes:
        case sys::Call::kDeleteFile:
        case sys::Call::kRemoveDirectory:
        case sys::Call::kRegOpenKey:
        case sys::Call::kRegQueryValue:
            return sys::kErrFileNotFound;
        case sys::Call::kCreateDirectory:
        case sys::Call::kCopyFile:
        case sys::Call::kMoveFile:
        case sys::Call::kCreateSymbolicLink:
        case sys::Call::kCreateHardLink:
        case sys::Call::kCopySymbolicLink:
            return sys::kErrAlreadyExists;
        default:
            return sys::kErrSharingViolation;
    }
}

MoveOutcome RunMove(SimulatedInstall& install, const sys::fault::Rule* rule,
                    std::vector<sys::Call>* trace) {
    CVr engine;
    Move(engine, install.target(), [&] {
        sys::fault::Reset();
        if (trace) sys::fault::Trace(trace);
        if (rule) sys::fault::Arm(*rule);
    });
    sys::fault::Reset();
    return engine.GetMoveOutcome();
}

// The installation as the outcome tells the user it is, then after a recovery.
std::string Verify(const SimulatedInstall& install, const MoveOutcome& outcome) {
    const bool moved = outcome.result == 0 || outcome.result == 6 || outcome.result == 12;
    // A journal the move could not remove after its end waits for a recovery that finds it
    // finished: a success still.
    const bool pending =
        outcome.result == 12 || (!moved && !outcome.rollbackClean) || JournalThere();
    // Where the services are said to run they must; where they are not, the user is told.
    // Services stopped before the move stay stopped.
    uint32_t services = outcome.servicesRunning ? uint32_t{sys::kServiceRunning} : 0;
    if (!kSweepShape.servicesRunning) services = sys::kServiceStopped;
    Whole expect{moved ? Whole::Data::kMoved : Whole::Data::kHome, false, services};
    if (pending) expect = kPending;
    if (std::string problem = NotWhole(install, expect); !problem.empty()) return problem;

#ifndef _WIN32
    const fs::path software = install.base() / "Software";
    std::error_code ec;
    if (!pending) {
        if (!fs::is_symlink(software / "Game A" / "dangling", ec))
            return "the dangling link is gone";
        if ((fs::status(install.base() / "Downloads" / "private", ec).permissions() &
             fs::perms::all) != fs::perms::owner_all) {
            return "the private folder is no longer private";
        }
    }
#endif
    CVr engine;
    RecoveryPlan plan;
    if (engine.AssessRecovery(plan) != 0) return "the recovery cannot judge";
    if (!pending) {
        return plan.action == RecoveryAction::kNothing ? "" : "a recovery would still act";
    }
    if (plan.action != RecoveryAction::kFinish && plan.action != RecoveryAction::kPutBack)
        return "the recovery refuses: " + sys::ToUtf8(plan.why);
    if (const int32_t result = engine.Recover(plan.action); result != 0)
        return "the recovery failed with " + std::to_string(result);
    const std::string after = NotWhole(
        install, {moved ? Whole::Data::kMoved : Whole::Data::kEither, false,
                  kSweepShape.servicesRunning ? sys::kServiceRunning : sys::kServiceStopped});
    return after.empty() ? "" : "after the recovery: " + after;
}

struct Tally {
    int injected = 0, lost = 0;
};

void Inject(const sys::fault::Rule& rule, Tally& tally) {
    ++tally.injected;
    SimulatedInstall install(kSweepShape);
    const MoveOutcome outcome = RunMove(install, &rule, nullptr);
    const std::string problem = Verify(install, outcome);
    if (!problem.empty()) {
        ++tally.lost;
        ADD_FAILURE() << sys::fault::Name(rule.kind) << " call " << rule.nth << " failing with "
                      << rule.error << ": result " << outcome.result << ", clean "
                      << outcome.rollbackClean << ": " << problem;
    }
}

// The calls of a whole move, traced on one copy thread after a warm-up that opens the log, so
// that every later run makes the same calls in the same order.
std::vector<sys::Call> TraceMove() {
    std::vector<sys::Call> kinds;
    {
        SimulatedInstall warmUp(kSweepShape);
        EXPECT_EQ(RunMove(warmUp, nullptr, nullptr).result, 0);
    }
    SimulatedInstall install(kSweepShape);
    const MoveOutcome clean = RunMove(install, nullptr, &kinds);
    EXPECT_EQ(clean.result, 0);
    EXPECT_EQ(Verify(install, clean), "");
    return kinds;
}

#ifndef _WIN32

TEST(FaultSweep, NoFailingCallLosesData) {
    ScopedMemoryTemp memory;
    ScopedVirtualClock clock;
    const SweepSample sample = SweepSample::FromEnvironment();
    Tally first, second, threaded;
    {
        // One copy thread: the walker copies each file itself, so call k is the same each run.
        ScopedCopyThreads walkerOnly(1);
        const std::vector<sys::Call> kinds = TraceMove();
        ASSERT_GT(kinds.size(), 100u);
        for (size_t k = 1; k <= kinds.size(); ++k) {
            if (!sample.Takes(k)) continue;
            Inject({sys::Call::kAny, k, FirstError(kinds[k - 1])}, first);
            Inject({sys::Call::kAny, k, SecondError(kinds[k - 1])}, second);
        }
    }
    {
        // Three copy threads: calls of one kind keep their count, whichever thread makes them.
        // Every other call of each kind, the two errors in turn.
        ScopedCopyThreads three(3);
        std::map<sys::Call, uint64_t> counts;  // counted, not traced: the threads call at once
        {
            SimulatedInstall install(kSweepShape);
            CVr engine;
            ASSERT_EQ(Move(engine, install.target(), [] { sys::fault::Reset(); }), 0);
            for (size_t k = 1; k < static_cast<size_t>(sys::Call::kCount); ++k) {
                const auto kind = static_cast<sys::Call>(k);
                if (sys::fault::Count(kind) > 0) counts[kind] = sys::fault::Count(kind);
            }
            sys::fault::Reset();
            ASSERT_EQ(Verify(install, engine.GetMoveOutcome()), "");
        }
        size_t point = 0;
        for (const auto& [kind, count] : counts) {
            for (uint64_t n = 1; n <= count; n += 2) {
                if (!sample.Takes(point++)) continue;
                const uint32_t error = (n / 2) % 2 == 0 ? FirstError(kind) : SecondError(kind);
                Inject({kind, n, error}, threaded);
            }
        }
    }
    std::printf(
        "fault sweep: %d injected, %d lost (%d with a full drive or no access, %d with an "
        "answer taken for harmless or a sharing violation, %d on three copy threads)%s\n",
        first.injected + second.injected + threaded.injected,
        first.lost + second.lost + threaded.lost, first.injected, second.injected,
        threaded.injected, sample.Described().c_str());
    EXPECT_EQ(first.lost + second.lost + threaded.lost, 0);
}

#else

// Every call before the first link, failing with each of the two errors on one copy thread; then
// on three, by kind. The services stay stopped (see kSweepShape).
TEST(FaultSweep, NoFailingCallBeforeTheLinksLosesData) {
    sys::UseClock(nullptr);  // Wine's service manager answers in real time
    for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
        if (StateOf(name) == 0) GTEST_SKIP() << "the fake services are not registered";
        ASSERT_TRUE(Ensure(name, SERVICE_STOPPED));
    }
    const SweepSample sample = SweepSample::FromEnvironment();
    Tally first, second, threaded;
    size_t beforeTheLinks = 0;
    {
        ScopedCopyThreads walkerOnly(1);
        std::vector<sys::Call> kinds;
        {
            SimulatedInstall warmUp(kSweepShape);
            RunMove(warmUp, nullptr, nullptr);
        }
        SimulatedInstall install(kSweepShape);
        const MoveOutcome clean = RunMove(install, nullptr, &kinds);
        EXPECT_EQ(clean.result, 10000 + 4390) << "Wine made a link: the whole sweep can run here";
        EXPECT_EQ(Verify(install, clean), "");
        beforeTheLinks =
            std::find(kinds.begin(), kinds.end(), sys::Call::kCreateSymbolicLink) - kinds.begin();
        ASSERT_LT(beforeTheLinks, kinds.size()) << "the move never reached its links";
        ASSERT_GT(beforeTheLinks, 100u);
        for (size_t k = 1; k <= beforeTheLinks; ++k) {
            if (!sample.Takes(k)) continue;
            Inject({sys::Call::kAny, k, FirstError(kinds[k - 1])}, first);
            Inject({sys::Call::kAny, k, SecondError(kinds[k - 1])}, second);
        }
    }
    {
        // Three copy threads: each kind's calls up to the first link, counted when it comes.
        ScopedCopyThreads three(3);
        std::map<sys::Call, uint64_t> counts;
        {
            SimulatedInstall install(kSweepShape);
            RunMove(install, nullptr, nullptr);  // the log and the journal's folder made
        }
        {
            SimulatedInstall install(kSweepShape);
            CVr engine;
            Move(engine, install.target(), [&] {
                sys::fault::Reset();
                sys::fault::Arm({sys::Call::kCreateSymbolicLink, 1, 0, false, [&] {
                                     for (size_t k = 1; k < size_t(sys::Call::kCount); ++k) {
                                         const auto kind = static_cast<sys::Call>(k);
                                         if (sys::fault::Count(kind) > 0)
                                             counts[kind] = sys::fault::Count(kind);
                                     }
                                     counts.erase(sys::Call::kCreateSymbolicLink);
                                 }});
            });
            sys::fault::Reset();
        }
        ASSERT_GT(counts[sys::Call::kCopyFile], 0u);
        size_t point = 0;
        for (const auto& [kind, count] : counts) {
            for (uint64_t n = 1; n <= count; n += 2) {
                if (!sample.Takes(point++)) continue;
                const uint32_t error = (n / 2) % 2 == 0 ? FirstError(kind) : SecondError(kind);
                Inject({kind, n, error}, threaded);
            }
        }
    }
    for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"})
        EXPECT_EQ(StateOf(name), SERVICE_STOPPED) << "a run started a service it never stopped";
    std::printf(
        "fault sweep: %d injected before the links (of %zu calls), %d lost (%d with a full drive "
        "or no access, %d with an answer taken for harmless or a sharing violation, %d on three "
        "copy threads)%s\n",
        first.injected + second.injected + threaded.injected, beforeTheLinks,
        first.lost + second.lost + threaded.lost, first.injected, second.injected,
        threaded.injected, sample.Described().c_str());
    EXPECT_EQ(first.lost + second.lost + threaded.lost, 0);
}

#endif  // !_WIN32

}  // namespace
