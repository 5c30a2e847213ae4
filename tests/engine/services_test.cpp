// Service control. On Linux against the stand-in manager under the virtual clock, so every wait
// is checked to the millisecond; under Wine against Wine's own manager and the fake service.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "OculusMgr/COculusMgr.h"
#include "logging/log.h"
#include "platform/services.h"
#include "platform/sys.h"
#include "support.h"
#include "wine_services.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/host.h"
#include "platform/posix/service_standin.h"
#endif

using namespace testsupport;

namespace {

using Sleeps = std::vector<uint32_t>;

#ifndef _WIN32

using sys::standin::kNever;
using sys::standin::ServiceRecord;

ServiceRecord Running(uint32_t stopMs = 0, uint32_t stopHint = 0) {
    ServiceRecord record;
    record.state = sys::kServiceRunning;
    record.stopMs = stopMs;
    record.stopHint = stopHint;
    return record;
}

ServiceRecord Stopped(uint32_t startMs = 0, uint32_t startHint = 0) {
    ServiceRecord record;
    record.startMs = startMs;
    record.startHint = startHint;
    return record;
}

ServiceRecord StopPending(uint32_t stopMs, uint32_t hint) {
    ServiceRecord record = Running(stopMs, hint);
    record.state = sys::kServiceStopPending;
    record.waitHint = hint;
    return record;
}

// A host folder of its own, the virtual clock, a fresh log, and a check that every operation
// released the handles it opened.
class ServiceTest : public ::testing::Test {
  protected:
    ServiceTest() : cwd_(work_.path()) {
        sys::SetHostDir(host_.path().string());
        handlesBefore_ = sys::standin::OpenHandleCount();
        LogResetForTests();
    }
    ~ServiceTest() override {
        EXPECT_EQ(sys::standin::OpenHandleCount(), handlesBefore_) << "handles left open";
        LogResetForTests();
        sys::SetHostDir({});
    }

    // Installs a service; a pending state begins now.
    void Install(const std::wstring& name, ServiceRecord record) {
        record.since = sys::GetTickCount();
        ASSERT_TRUE(sys::standin::WriteService(name, record));
    }
    ServiceRecord Read(const std::wstring& name) {
        ServiceRecord record;
        EXPECT_TRUE(sys::standin::ReadService(name, record));
        return sys::standin::Settle(record, sys::GetTickCount());
    }
    uint32_t State(const std::wstring& name) { return Read(name).state; }

    int32_t Stop(const std::wstring& name) {
        mgr_.serviceName = name;
        return mgr_.StopOneService();
    }
    int32_t Start(const std::wstring& name) {
        mgr_.serviceName = name;
        return mgr_.StartOneService();
    }
    Sleeps Slept() { return clock_->Sleeps(); }
    uint64_t Calls(sys::Call kind) { return sys::fault::Count(kind); }

    std::string LogText() { return LogTextIn(work_.path()); }

    TempDir host_, work_;
    ScopedWorkingDir cwd_;
    ScopedVirtualClock clock_;
    ScopedFaults faults_;
    COculusMgr mgr_;
    size_t handlesBefore_ = 0;
};

// ---- The stand-in itself -------------------------------------------------------------------

using StandInTest = ServiceTest;

TEST_F(StandInTest, RecordSurvivesTheFileWithEveryFieldAndNonAsciiDependents) {
    ServiceRecord record = StopPending(kNever, 4000);
    record.checkPoint = 3, record.exitCode = 1066, record.startMs = 12, record.startHint = 34;
    record.checkPointMs = 250, record.refuseStop = 1052, record.refuseStart = 1058;
    record.startExit = 5, record.since = 4294967295u;
    record.dependents = {L"Helper", L"Dienst-\u00e9\u00df-\u6f22"};
    ASSERT_TRUE(sys::standin::WriteService(L"OVRService", record));
    ServiceRecord back;
    ASSERT_TRUE(sys::standin::ReadService(L"OVRService", back));
    EXPECT_EQ(back, record);
    EXPECT_EQ(sys::standin::ListServices(), std::vector<std::wstring>{L"OVRService"});

    ServiceRecord junk;
    EXPECT_FALSE(sys::standin::Parse("state=4\nstop_ms=12x\n", junk));
    EXPECT_FALSE(sys::standin::Parse("state=4294967296\n", junk));
    EXPECT_FALSE(sys::standin::Parse("dependent=../escape\n", junk));
    EXPECT_FALSE(sys::standin::SetField(junk, "colour", "4"));
}

// A stop or start that the stand-in could not write was never made, and must not be reported as
// made, however the clean-up after the failed replacement went.
TEST_F(StandInTest, ARecordThatCannotBeReplacedFailsTheWriteAndTheRequest) {
    const fs::path services = host_.path() / "services";
    fs::create_directories(services / "Ghost");
    WriteFile(services / "Ghost" / "keep", "x");  // a folder no file can be renamed over
    EXPECT_FALSE(sys::standin::WriteService(L"Ghost", Running()));
    for (const auto& entry : fs::directory_iterator(services))
        EXPECT_NE(entry.path().filename().string().rfind(".tmp-", 0), 0u) << "temporary file left";

    Install(L"OVRService", Running());
    const std::string record = (services / "OVRService").string();
    if (std::system(("chattr +i '" + record + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not possible here (not root, or the file system lacks it)";
    sys::ScHandle scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    sys::ScHandle svc = sys::OpenServiceW(scm, L"OVRService", sys::kServiceAllAccess);
    sys::ServiceStatusProcess status;
    const bool stopped = sys::ControlService(svc, sys::kServiceControlStop, status);
    const uint32_t error = sys::GetLastError();
    sys::CloseServiceHandle(svc);
    sys::CloseServiceHandle(scm);
    std::system(("chattr -i '" + record + "'").c_str());
    EXPECT_FALSE(stopped);
    EXPECT_EQ(error, sys::kErrAccessDenied);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

TEST_F(StandInTest, PendingStatesMoveWithTheClock) {
    ServiceRecord record = Stopped(3000, 1500);
    record.checkPointMs = 1000;
    record.startExit = 1066;
    Install(L"S", record);
    sys::ScHandle scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    sys::ScHandle svc = sys::OpenServiceW(scm, L"s", sys::kServiceAllAccess);  // any case
    ASSERT_TRUE(svc);
    ASSERT_TRUE(sys::StartServiceW(svc));
    sys::ServiceStatusProcess status;
    clock_->Advance(2500);
    ASSERT_TRUE(sys::QueryServiceStatusEx(svc, status));
    EXPECT_EQ(status.currentState, sys::kServiceStartPending);
    EXPECT_EQ(status.checkPoint, 2u);
    EXPECT_EQ(status.waitHint, 1500u);
    clock_->Advance(500);  // the start is over, and it failed
    ASSERT_TRUE(sys::QueryServiceStatusEx(svc, status));
    EXPECT_EQ(status.currentState, sys::kServiceStopped);
    EXPECT_EQ(status.win32ExitCode, 1066u);
    EXPECT_EQ(status.waitHint, 0u);
    ServiceRecord stored;
    ASSERT_TRUE(sys::standin::ReadService(L"S", stored));
    EXPECT_EQ(stored.state, sys::kServiceStopped);  // settled and written back
    EXPECT_TRUE(sys::CloseServiceHandle(svc));
    EXPECT_TRUE(sys::CloseServiceHandle(scm));
    EXPECT_FALSE(sys::CloseServiceHandle(svc));
    EXPECT_EQ(sys::GetLastError(), sys::kErrInvalidHandle);
}

// Each row: the service's record, the call, and the Windows error it must give.
TEST_F(StandInTest, RefusalsCarryTheWindowsErrorNumbers) {
    Install(L"Idle", Stopped());
    Install(L"Busy", Running());
    Install(L"Stopping", StopPending(kNever, 0));
    ServiceRecord stubborn = Running();
    stubborn.refuseStop = 1052;
    stubborn.refuseStart = 1058;
    Install(L"Stubborn", stubborn);
    ServiceRecord parent = Running();
    parent.dependents = {L"Busy"};
    Install(L"Parent", parent);

    sys::ScHandle scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    auto error = [&](const wchar_t* name, auto call, uint32_t access = sys::kServiceAllAccess) {
        sys::ScHandle svc = sys::OpenServiceW(scm, name, access);
        if (!svc) return sys::GetLastError();
        const uint32_t result = call(svc) ? 0 : sys::GetLastError();
        sys::CloseServiceHandle(svc);
        return result;
    };
    sys::ServiceStatusProcess status;
    auto stop = [&](sys::ScHandle s) { return sys::ControlService(s, 1, status); };
    auto start = [&](sys::ScHandle s) { return sys::StartServiceW(s); };
    auto query = [&](sys::ScHandle s) { return sys::QueryServiceStatusEx(s, status); };
    EXPECT_EQ(error(L"Nowhere", query), sys::kErrServiceDoesNotExist);
    EXPECT_EQ(error(L"../Idle", query), sys::kErrInvalidName);
    EXPECT_EQ(error(L"Busy", start), sys::kErrServiceAlreadyRunning);
    EXPECT_EQ(error(L"Idle", stop), sys::kErrServiceNotActive);
    EXPECT_EQ(error(L"Stopping", stop), sys::kErrServiceCannotAcceptCtrl);
    EXPECT_EQ(error(L"Parent", stop), sys::kErrDependentServicesRunning);
    EXPECT_EQ(error(L"Stubborn", stop), 1052u);
    EXPECT_EQ(error(L"Busy", start, sys::kServiceStopQueryEnumerate), sys::kErrAccessDenied);
    EXPECT_EQ(error(L"Busy", stop, 0x4), sys::kErrAccessDenied);
    sys::CloseServiceHandle(scm);
    ServiceRecord idle = Read(L"Idle");
    idle.refuseStart = 1058;
    sys::standin::WriteService(L"Idle", idle);
    scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    EXPECT_EQ(error(L"Idle", start), 1058u);
    sys::CloseServiceHandle(scm);
    EXPECT_EQ(State(L"Busy"), sys::kServiceRunning);
    EXPECT_EQ(State(L"Parent"), sys::kServiceRunning);
}

TEST_F(StandInTest, AMachineWithoutServicesHasAManagerButAMissingHostHasNone) {
    sys::ScHandle scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    ASSERT_TRUE(scm);  // no services/ folder: nothing is installed
    EXPECT_FALSE(sys::OpenServiceW(scm, L"OVRService", sys::kServiceAllAccess));
    EXPECT_EQ(sys::GetLastError(), sys::kErrServiceDoesNotExist);
    sys::CloseServiceHandle(scm);
    sys::SetHostDir((host_.path() / "absent").string());
    EXPECT_FALSE(sys::OpenSCManagerW(sys::kScManagerAllAccess));
    EXPECT_EQ(sys::GetLastError(), sys::kErrDatabaseDoesNotExist);
}

TEST_F(StandInTest, DependentsComeInTwoCallsDeepestFirstWithNamesInTheBuffer) {
    ServiceRecord top = Running(), middle = Running(), leaf = Running();
    top.dependents = {L"Middle", L"Idle", L"Gone"};
    middle.dependents = {L"Leaf", L"Top"};  // a cycle in the files must not loop
    Install(L"Top", top);
    Install(L"Middle", middle);
    Install(L"Leaf", leaf);
    Install(L"Idle", Stopped());
    sys::ScHandle scm = sys::OpenSCManagerW(sys::kScManagerAllAccess);
    sys::ScHandle svc = sys::OpenServiceW(scm, L"Top", sys::kServiceStopQueryEnumerate);
    uint32_t needed = 0, count = 7;
    EXPECT_FALSE(sys::EnumDependentServicesW(svc, sys::kServiceActive, nullptr, 0, needed, count));
    EXPECT_EQ(sys::GetLastError(), sys::kErrMoreData);
    EXPECT_EQ(count, 0u);
    std::vector<std::byte> small(needed - 1), buffer(needed);
    EXPECT_FALSE(sys::EnumDependentServicesW(svc, 1, small.data(), needed - 1, needed, count));
    ASSERT_TRUE(sys::EnumDependentServicesW(svc, 1, buffer.data(), needed, needed, count));
    ASSERT_EQ(count, 2u);
    const auto* entries = reinterpret_cast<const sys::EnumServiceStatus*>(buffer.data());
    EXPECT_STREQ(entries[0].serviceName, L"Leaf");
    EXPECT_STREQ(entries[1].serviceName, L"Middle");
    EXPECT_STREQ(entries[1].displayName, L"Middle");
    EXPECT_EQ(entries[1].currentState, sys::kServiceRunning);
    const auto* end = buffer.data() + buffer.size();
    EXPECT_LT(reinterpret_cast<const std::byte*>(entries[1].displayName), end);
    EXPECT_GE(reinterpret_cast<const std::byte*>(entries[0].serviceName),
              reinterpret_cast<const std::byte*>(entries + 2));
    sys::CloseServiceHandle(svc);
    sys::CloseServiceHandle(scm);
}

// ---- Stopping one service ------------------------------------------------------------------

using StopServiceTest = ServiceTest;

TEST_F(StopServiceTest, AlreadyStoppedReturnsAtOnceWithoutRequestOrDependents) {
    ServiceRecord stopped = Stopped();
    stopped.dependents = {L"Helper"};
    Install(L"OVRService", stopped);
    Install(L"Helper", Running());
    testing::internal::CaptureStdout();
    EXPECT_EQ(Stop(L"OVRService"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "dwCurrentState == SERVICE_STOPPED =====CoulusMgr.CPP   LIN400");
    EXPECT_EQ(Calls(sys::Call::kControlService), 0u);
    EXPECT_EQ(Calls(sys::Call::kEnumDependentServices), 0u);
    EXPECT_EQ(State(L"Helper"), sys::kServiceRunning);
    EXPECT_TRUE(Slept().empty());
}

TEST_F(StopServiceTest, StopPendingThatEndsInTimeNeedsNoRequest) {
    Install(L"OVRService", StopPending(2500, 5000));
    EXPECT_EQ(Stop(L"OVRService"), 0);
    EXPECT_EQ(Slept(), (Sleeps{1000, 1000, 1000}));
    EXPECT_EQ(Calls(sys::Call::kControlService), 0u);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);
}

TEST_F(StopServiceTest, RequestAnsweredStoppedAtOnceDoesNotWait) {
    Install(L"OVRService", Running(0, 5000));
    EXPECT_EQ(Stop(L"OVRService"), 0);
    EXPECT_TRUE(Slept().empty());
    EXPECT_EQ(Calls(sys::Call::kControlService), 1u);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);
}

TEST_F(StopServiceTest, AfterTheRequestAServiceIsLookedAtEverySecondWhateverItsHint) {
    // Stopped in 0.3 s while announcing 35 s: held for one look, not for the hint.
    Install(L"OVRService", Running(300, 35000));
    EXPECT_EQ(Stop(L"OVRService"), 0);
    EXPECT_EQ(Slept(), (Sleeps{1000}));

    Install(L"Slow", Running(2500, 20000));
    EXPECT_EQ(Stop(L"Slow"), 0);
    EXPECT_EQ(Slept(), (Sleeps{1000, 1000, 1000, 1000}));

    Install(L"Quick", Running(2500, 400));  // a short hint is looked at after its own time
    EXPECT_EQ(Stop(L"Quick"), 0);
    EXPECT_EQ(Slept(), (Sleeps{1000, 1000, 1000, 1000, 400, 400, 400, 400, 400, 400, 400}));
}

TEST_F(StopServiceTest, WaitAfterTheRequestEndsSixtySecondsAfterItWhateverTheHint) {
    for (const uint32_t hint : {0u, 999u, 35000u, 250000u, 0xFFFFFFFFu}) {
        sys::fault::Reset();
        const std::wstring name = L"Never" + std::to_wstring(hint);
        Install(name, Running(kNever, hint));
        const uint64_t before = clock_->SleptMs();
        EXPECT_EQ(Stop(name), 10000 + 1053) << "hint " << hint;
        EXPECT_EQ(clock_->SleptMs() - before, 60000u) << "hint " << hint;
        EXPECT_EQ(State(name), sys::kServiceStopPending);
    }
    EXPECT_NE(LogText().find(">: 11053"), std::string::npos);
}

TEST_F(StopServiceTest, PendingWaitIsATenthOfTheHintKeptBetweenOneAndTenSeconds) {
    const struct {
        uint32_t hint, wait;
    } rows[] = {{0, 1000},     {9999, 1000},    {10000, 1000},   {10010, 1001},
                {55000, 5500}, {100000, 10000}, {100010, 10000}, {250000, 10000}};
    for (const auto& row : rows) {
        sys::fault::Reset();
        const std::wstring name = L"S" + std::to_wstring(row.hint);
        Install(name, StopPending(1, row.hint));  // over at the first look
        const size_t before = Slept().size();
        EXPECT_EQ(Stop(name), 0);
        EXPECT_EQ(Slept().size(), before + 1) << "wait hint " << row.hint;
        EXPECT_EQ(Slept().back(), row.wait) << "wait hint " << row.hint;
    }
}

TEST_F(StopServiceTest, StopPendingBeyondTheLimitFailsWithoutARequest) {
    Install(L"OVRService", StopPending(kNever, 50000));
    EXPECT_EQ(Stop(L"OVRService"), 10000 + 1053);
    EXPECT_EQ(Slept(), Sleeps(7, 5000));  // 35 s: the first look past 30 s
    EXPECT_EQ(Calls(sys::Call::kControlService), 0u);
}

TEST_F(StopServiceTest, DependentsStopFirstDeepestFirst) {
    ServiceRecord main = Running(3000, 3000), helper = Running(1500, 1500);
    main.dependents = {L"Helper", L"Idle"};
    helper.dependents = {L"Leaf"};
    Install(L"OVRService", main);
    Install(L"Helper", helper);
    Install(L"Leaf", Running(500, 500));
    Install(L"Idle", Stopped());
    EXPECT_EQ(Stop(L"OVRService"), 0);
    EXPECT_EQ(Slept(), (Sleeps{500, 1000, 1000, 1000, 1000, 1000}));
    for (const wchar_t* name : {L"OVRService", L"Helper", L"Leaf", L"Idle"})
        EXPECT_EQ(State(name), sys::kServiceStopped) << sys::ToUtf8(name);
    EXPECT_EQ(Calls(sys::Call::kOpenService), 3u);  // the stopped one is not touched
}

TEST_F(StopServiceTest, ARefusingDependentDoesNotHoldBackTheRequest) {
    ServiceRecord main = Running(), helper = Running();
    main.dependents = {L"Helper"};
    helper.refuseStop = 1052;
    Install(L"OVRService", main);
    Install(L"Helper", helper);
    EXPECT_EQ(Stop(L"OVRService"), 10000 + 1051);  // the manager refuses: a dependent runs
    EXPECT_EQ(Calls(sys::Call::kControlService), 2u);
    EXPECT_NE(LogText().find(">: 11051"), std::string::npos);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

TEST_F(StopServiceTest, EachStopRequestHasItsOwnCap) {
    ServiceRecord main = Running(kNever, 4000);
    main.dependents = {L"Slow", L"Quick"};
    Install(L"OVRService", main);
    Install(L"Slow", Running(20000, 10000));
    Install(L"Quick", Running(kNever, 15000));  // gives up 60 s after its own request
    EXPECT_EQ(Stop(L"OVRService"), 10000 + 1051);
    EXPECT_EQ(clock_->SleptMs(), 20000u + 60000u);

    ServiceRecord quick = Read(L"Quick");
    quick.state = sys::kServiceStopped;
    sys::standin::WriteService(L"Quick", quick);
    Install(L"Slow", Running(20000, 10000));
    const uint64_t before = clock_->SleptMs();
    EXPECT_EQ(Stop(L"OVRService"), 10000 + 1053);
    EXPECT_EQ(clock_->SleptMs() - before, 20000u + 60000u);  // the dependent, then its own cap
}

// ---- Starting one service ------------------------------------------------------------------

using StartServiceTest = ServiceTest;

TEST_F(StartServiceTest, StartsAndWaitsWhileStartPending) {
    Install(L"OVRService", Stopped(3000, 20000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Start(L"OVRService"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Service start pending...\nService started successfully.\n");
    EXPECT_EQ(Slept(), (Sleeps{2000, 2000}));
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

// Each start: the service as it is found, the start's answer, its waits and the state after.
// A stop still pending is waited out first (the stopped service then reports a hint and check
// point of 0, which is no missed deadline); a moving check point restarts the limit.
TEST_F(StartServiceTest, EachStartWaitsAsTheServiceAnnouncesAndGivesItsAnswer) {
    ServiceRecord stopping = StopPending(2500, 3000), moving = Stopped(10000, 3000);
    stopping.startMs = 4000, stopping.startHint = 20000;
    moving.checkPointMs = 2000;
    ServiceRecord stopsAgain = Stopped(1500, 20000), disabled = Stopped();
    stopsAgain.startExit = 1066;
    disabled.refuseStart = 1058;
    const struct {
        const char* what;
        ServiceRecord record;
        int32_t code;
        Sleeps sleeps;
        uint32_t state;
    } rows[] = {
        {"a stop pending", stopping, 0, {1000, 1000, 1000, 2000, 2000}, sys::kServiceRunning},
        {"a stop pending without progress",
         StopPending(kNever, 2500),
         10000 + 1053,
         {1000, 1000, 1000},
         sys::kServiceStopPending},
        {"a moving check point", moving, 0, Sleeps(10, 1000), sys::kServiceRunning},
        {"stopping again", stopsAgain, 10000 + 1066, {2000}, sys::kServiceStopped},
        {"disabled", disabled, 10000 + 1058, {}, sys::kServiceStopped},
    };
    for (const auto& row : rows) {
        const std::wstring name = sys::FromUtf8(row.what);
        Install(name, row.record);
        const size_t before = Slept().size();
        const uint64_t starts = Calls(sys::Call::kStartService);
        EXPECT_EQ(Start(name), row.code) << row.what;
        const Sleeps slept = Slept();
        EXPECT_EQ(Sleeps(slept.begin() + before, slept.end()), row.sleeps) << row.what;
        EXPECT_EQ(State(name), row.state) << row.what;
        EXPECT_EQ(Calls(sys::Call::kStartService) - starts, row.state != sys::kServiceStopPending)
            << row.what;
    }
}

TEST_F(StartServiceTest, RunningOrStartingServiceFailsAtTheStateCheck) {
    ServiceRecord starting = Stopped();
    starting.state = sys::kServiceStartPending;
    starting.startMs = kNever;
    Install(L"Starting", starting);
    Install(L"OVRService", Running());
    EXPECT_EQ(Start(L"OVRService"), 10000 + 1056);
    EXPECT_EQ(Start(L"Starting"), 10000 + 1056);
    EXPECT_EQ(Calls(sys::Call::kStartService), 0u);
    EXPECT_NE(LogText().find(">: 11056"), std::string::npos);
}

TEST_F(StartServiceTest, StartRefusedBecauseItAlreadyRunsGives11056) {
    Install(L"OVRService", Stopped());
    // Someone else starts it between the state check and the start call.
    sys::fault::Arm(
        {sys::Call::kStartService, 1, 0, false, [this] { Install(L"OVRService", Running()); }});
    EXPECT_EQ(Start(L"OVRService"), 10000 + 1056);
    EXPECT_EQ(Calls(sys::Call::kStartService), 1u);
}

TEST_F(StartServiceTest, StartPendingWithoutProgressIsAFailureWithItsDiagnostics) {
    Install(L"OVRService", Stopped(kNever, 3000));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Start(L"OVRService"), 10000 + 1053);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Service start pending...\nService not started. \n  Current State: 2\n"
              "  Exit Code: 0\n  Check Point: 0\n  Wait Hint: 3000\n");
    EXPECT_EQ(Slept(), Sleeps(4, 1000));  // 4 s without progress exceed the 3 s hint
}

// 183 counts as success for a call, but never makes a service that did not start a success.
TEST_F(StartServiceTest, BenignErrorDoesNotTurnAFailedStartIntoSuccess) {
    Install(L"OVRService", Stopped());
    sys::fault::Arm({sys::Call::kStartService, 1, sys::kErrAlreadyExists});
    EXPECT_EQ(Start(L"OVRService"), 10000 + 1053);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);
}

// A service whose check point keeps moving would hold every wait for as long as it pleases:
// the start's wait for a stop still pending, and its wait while start pending, each end 60 s
// after they began.
TEST_F(StartServiceTest, EveryWaitEndsSixtySecondsAfterItBeganHoweverTheCheckPointMoves) {
    ServiceRecord stopping = StopPending(kNever, 5000);
    stopping.checkPointMs = 1000;
    Install(L"OVRService", stopping);
    EXPECT_EQ(Start(L"OVRService"), 10000 + 1053);
    EXPECT_EQ(clock_->SleptMs(), 60000u);
    EXPECT_EQ(Calls(sys::Call::kStartService), 0u);

    ServiceRecord starting = Stopped(kNever, 5000);
    starting.checkPointMs = 1000;
    Install(L"Slow", starting);
    const uint64_t before = clock_->SleptMs();
    EXPECT_EQ(Start(L"Slow"), 10000 + 1053);
    EXPECT_EQ(clock_->SleptMs() - before, 60000u);
    EXPECT_EQ(State(L"Slow"), sys::kServiceStartPending);
}

// ---- The pair ------------------------------------------------------------------------------

using ServicePairTest = ServiceTest;

TEST_F(ServicePairTest, BothStopAndStartInOrderAndAgain) {
    Install(L"OVRLibraryService", Running(100, 100));
    Install(L"OVRService", Running(200, 200));
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(Slept(), (Sleeps{100, 200}));
    EXPECT_EQ(mgr_.serviceName, L"OVRService");
    EXPECT_EQ(mgr_.StartServices(), 0);
    EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceRunning);
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);
}

TEST_F(ServicePairTest, EitherServiceThatCannotBeStoppedEndsTheStop) {
    // The library service refuses: the other one is not even asked.
    ServiceRecord stubborn = Running();
    stubborn.refuseStop = 1052;
    Install(L"OVRLibraryService", stubborn);
    Install(L"OVRService", Running());
    EXPECT_EQ(mgr_.StopServices(), 10000 + 1052);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
    EXPECT_EQ(mgr_.RestartStoppedServices(), 0);  // it stopped nothing
    EXPECT_EQ(Calls(sys::Call::kStartService), 0u);

    // The second refuses after the first was stopped: only the first is started again.
    Install(L"OVRLibraryService", Running());
    Install(L"OVRService", stubborn);
    EXPECT_EQ(mgr_.StopServices(), 10000 + 1052);
    EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceStopped);
    EXPECT_EQ(mgr_.RestartStoppedServices(), 0);
    EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceRunning);
    EXPECT_EQ(Calls(sys::Call::kStartService), 1u);

    // A library service that is not installed cannot write: the move goes on without it. A
    // missing OVRService still ends the stop, as it always did.
    sys::standin::RemoveService(L"OVRLibraryService");
    Install(L"OVRService", Running());
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);
    sys::standin::RemoveService(L"OVRService");
    EXPECT_EQ(mgr_.StopServices(), 10000 + 1060);
}

// A library service that does not start again fails the start and is the one named, with the
// other started all the same; one that is not installed has nothing to start.
TEST_F(ServicePairTest, ALibraryServiceThatWillNotStartFailsTheStart) {
    ServiceRecord disabled = Stopped();
    disabled.refuseStart = 1058;
    Install(L"OVRLibraryService", disabled);
    Install(L"OVRService", Stopped());
    EXPECT_EQ(mgr_.StartServices(), 10000 + 1058);
    EXPECT_EQ(mgr_.serviceName, L"OVRLibraryService");
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
    sys::standin::RemoveService(L"OVRLibraryService");
    Install(L"OVRService", Stopped());
    EXPECT_EQ(mgr_.StartServices(), 0);
}

TEST_F(ServicePairTest, RestartStartsOnlyWhatTheStopStoppedAndTriesAll) {
    Install(L"OVRLibraryService", Stopped());  // the user's choice: stays stopped
    ServiceRecord failing = Running();
    failing.refuseStart = 1058;
    Install(L"OVRService", failing);
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(mgr_.RestartStoppedServices(), 10000 + 1058);
    EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceStopped);
    EXPECT_EQ(Calls(sys::Call::kStartService), 1u);

    Install(L"OVRLibraryService", Running());
    Install(L"OVRService", Running());
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(mgr_.RestartStoppedServices(), 0);
    EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceRunning);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

// A stop that takes 75 s: the move gives up 60 s after its request, and the rollback's start
// does not wait for that same stop again. Whatever the service's check point does, the stop and
// its rollback together stay within the one 60 s (and the library service's own moments).
TEST_F(ServicePairTest, TheRollbackDoesNotWaitAgainForAStopThatRanOutOfTime) {
    for (const uint32_t checkPointMs : {0u, 1000u}) {
        sys::fault::Reset();
        Install(L"OVRLibraryService", Running(100, 100));
        ServiceRecord slow = Running(75000, 80000);
        slow.checkPointMs = checkPointMs;
        Install(L"OVRService", slow);
        const uint64_t before = clock_->SleptMs();
        EXPECT_EQ(mgr_.StopServices(), 10000 + 1053);
        EXPECT_EQ(mgr_.RestartStoppedServices(), 10000 + 1053);
        EXPECT_EQ(clock_->SleptMs() - before, 100u + 60000u)
            << "check point every " << checkPointMs << " ms";
        EXPECT_EQ(State(L"OVRLibraryService"), sys::kServiceRunning);
        EXPECT_EQ(Calls(sys::Call::kStartService), 1u);  // the library service only
    }

    // A stop that did end in time leaves no deadline behind for a later start.
    Install(L"OVRLibraryService", Running(100, 100));
    Install(L"OVRService", Running(2000, 2000));
    EXPECT_EQ(mgr_.StopServices(), 0);
    clock_->Advance(120000);
    Install(L"OVRService", StopPending(3000, 3000));  // being stopped again, much later
    EXPECT_EQ(mgr_.RestartStoppedServices(), 0);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

// A recovery starts what the journal says the move stopped: a running one is left be, a missing
// one has nothing to start, and a refusal is reported after the others were tried.
TEST_F(ServicePairTest, RecoveryStartsOnlyTheNamedServicesThatAreStopped) {
    Install(L"OVRLibraryService", Running());
    Install(L"OVRService", Stopped());
    EXPECT_EQ(mgr_.StartServicesIfStopped(COculusMgr::ServiceNames()), 0);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
    EXPECT_EQ(Calls(sys::Call::kStartService), 1u);

    Install(L"OVRService", Stopped());
    EXPECT_EQ(mgr_.StartServicesIfStopped({}), 0);  // a move that stopped none
    EXPECT_EQ(State(L"OVRService"), sys::kServiceStopped);

    sys::standin::RemoveService(L"OVRLibraryService");
    EXPECT_EQ(mgr_.StartServicesIfStopped(COculusMgr::ServiceNames()), 0);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);

    ServiceRecord refusing = Stopped();
    refusing.refuseStart = 1058;
    Install(L"OVRLibraryService", refusing);
    Install(L"OVRService", Stopped());
    EXPECT_EQ(mgr_.StartServicesIfStopped(COculusMgr::ServiceNames()), 10000 + 1058);
    EXPECT_EQ(State(L"OVRService"), sys::kServiceRunning);
}

// Every call of a stop with a dependent, and of a start from stop pending, fails in turn: the
// result is the injected code or success (a dependent's failure is not fatal), and the fixture
// checks that no handle stays open.
TEST_F(ServicePairTest, EveryFailingCallReleasesItsHandles) {
    auto setUp = [this] {
        Install(L"OVRLibraryService", Running(300, 300));
        ServiceRecord main = Running(300, 300);
        main.dependents = {L"Helper"};
        main.startMs = 300;
        Install(L"OVRService", main);
        Install(L"Helper", Running(300, 300));
    };
    setUp();
    mgr_.StopServices();
    mgr_.StartServices();
    const uint64_t calls = Calls(sys::Call::kAny);
    for (uint64_t n = 1; n <= calls; ++n) {
        setUp();
        sys::fault::Reset();
        sys::fault::Arm({sys::Call::kAny, n, sys::kErrAccessDenied});
        const int32_t stop = mgr_.StopServices();
        const int32_t start = mgr_.StartServices();
        EXPECT_TRUE(stop == 0 || stop == 10005 || stop == 11051) << "call " << n << ": " << stop;
        mgr_.RestartStoppedServices();
        EXPECT_TRUE(start == 0 || start == 10005 || start == 11056)
            << "call " << n << ": " << start;
        EXPECT_EQ(sys::standin::OpenHandleCount(), handlesBefore_) << "call " << n;
    }
}

#else  // _WIN32

// ---- Wine's service manager and the fake service -------------------------------------------
// Waits are real here, so the services report short hints and each case has a cap on its time.

constexpr ULONGLONG kCapMs = 20000;

class WineServiceTest : public ::testing::Test {
  protected:
    WineServiceTest() : cwd_(work_.path()), begun_(::GetTickCount64()) { LogResetForTests(); }
    ~WineServiceTest() override { LogResetForTests(); }
    void SetUp() override {
        if (StateOf(L"OVRService") == 0 || StateOf(L"OVRLibraryService") == 0) {
            GTEST_SKIP() << "the fake services are not registered: run through scripts/wine-test";
        }
    }
    void TearDown() override { EXPECT_LT(::GetTickCount64() - begun_, kCapMs); }

    TempDir work_;
    ScopedWorkingDir cwd_;
    ScopedFaults faults_;
    COculusMgr mgr_;
    ULONGLONG begun_;
};

TEST_F(WineServiceTest, StopsARunningServiceAndStartsItAgain) {
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    mgr_.serviceName = L"OVRService";
    EXPECT_EQ(mgr_.StopOneService(), 0);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_STOPPED);
    EXPECT_EQ(mgr_.StartOneService(), 0);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
}

TEST_F(WineServiceTest, StoppedServiceNeedsNoRequestAndRunningOneNoStart) {
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_STOPPED));
    mgr_.serviceName = L"OVRService";
    EXPECT_EQ(mgr_.StopOneService(), 0);
    EXPECT_EQ(sys::fault::Count(sys::Call::kControlService), 0u);
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    EXPECT_EQ(mgr_.StartOneService(), 10000 + 1056);
    EXPECT_EQ(sys::fault::Count(sys::Call::kStartService), 0u);
}

TEST_F(WineServiceTest, MissingServiceGives11060) {
    mgr_.serviceName = L"HalvexNoSuchService";
    EXPECT_EQ(mgr_.StopOneService(), 10000 + 1060);
    EXPECT_EQ(mgr_.StartOneService(), 10000 + 1060);
}

TEST_F(WineServiceTest, ServiceThatRefusesTheStopGivesTheManagersError) {
    if (!Ensure(L"HalvexStubbornService", SERVICE_RUNNING)) GTEST_SKIP() << "not registered";
    mgr_.serviceName = L"HalvexStubbornService";
    EXPECT_EQ(mgr_.StopOneService(), 10000 + ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(StateOf(L"HalvexStubbornService"), SERVICE_RUNNING);
}

TEST_F(WineServiceTest, PairStopsAndStartsBoth) {
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    ASSERT_TRUE(Ensure(L"OVRLibraryService", SERVICE_RUNNING));
    EXPECT_EQ(mgr_.StopServices(), 0);
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_STOPPED);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_STOPPED);
    EXPECT_EQ(mgr_.StartServices(), 0);
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
}

#endif

}  // namespace
