// A move in the user's real world through the real Win32 calls under Wine: read-only files and
// folders, a relative base folder, and Wine's own service manager with the fake service set to
// refuse a stop or a start, or to announce a long wait. Wine makes no symbolic links (see
// move_test.cpp), so every whole move here ends in a rollback; what is checked is that rollback.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <mutex>

#include "TaskMgr/MoveJournal.h"
#include "Vr/vr.h"
#include "fileop_support.h"
#include "install_fixture.h"
#include "interrupt.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "wholeness.h"
#include "wine_services.h"

using namespace testsupport;

namespace {

constexpr const wchar_t* kQuick =
    L"C:\\halvex\\fakesvc.exe --start-ms 300 --start-hint 3000 --stop-ms 300 --stop-hint 200 "
    L"--step-ms 100";

// Gives a fake service other arguments (it must be stopped for them to count); the quick ones
// come back when the object ends.
class ServiceArgs {
  public:
    ServiceArgs(const wchar_t* name, const std::wstring& binPath) : name_(name) {
        ok_ = Ensure(name, SERVICE_STOPPED) && Set(binPath);
    }
    ~ServiceArgs() {
        ForceStop();
        Ensure(name_, SERVICE_STOPPED);
        Set(kQuick);
        Ensure(name_, SERVICE_RUNNING);
    }
    bool ok() const { return ok_; }

  private:
    // The fake service's own control that stops it even when it refuses the real one.
    void ForceStop() {
        SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? ::OpenServiceW(scm, name_, SERVICE_USER_DEFINED_CONTROL) : nullptr;
        SERVICE_STATUS status{};
        if (svc) ::ControlService(svc, 128, &status);
        if (svc) ::CloseServiceHandle(svc);
        if (scm) ::CloseServiceHandle(scm);
    }
    bool Set(const std::wstring& binPath) {
        SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? ::OpenServiceW(scm, name_, SERVICE_CHANGE_CONFIG) : nullptr;
        const bool ok = svc && ::ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                      SERVICE_NO_CHANGE, binPath.c_str(), nullptr,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr);
        if (svc) ::CloseServiceHandle(svc);
        if (scm) ::CloseServiceHandle(scm);
        return ok;
    }
    const wchar_t* name_;
    bool ok_ = false;
};

// The real clock, with every requested sleep noted (the waits are real, what is asked is checked).
class RecordingClock final : public sys::Clock {
  public:
    int64_t Time64() override { return sys::SystemClock().Time64(); }
    uint32_t GetTickCount() override { return sys::SystemClock().GetTickCount(); }
    void Sleep(uint32_t ms) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (ms > longest_) longest_ = ms;
        }
        sys::SystemClock().Sleep(ms);
    }
    uint32_t Longest() {
        std::lock_guard<std::mutex> guard(lock_);
        return longest_;
    }

  private:
    std::mutex lock_;
    uint32_t longest_ = 0;
};

class WineMoveTest : public ::testing::Test {
  protected:
    WineMoveTest() : cwd_(logDir_.path()) {
        LogResetForTests();
        sys::UseClock(&clock_);
    }
    ~WineMoveTest() override {
        sys::UseClock(nullptr);
        LogResetForTests();
    }
    void SetUp() override {
        if (StateOf(L"OVRService") == 0 || StateOf(L"OVRLibraryService") == 0) {
            GTEST_SKIP() << "the fake services are not registered: run through scripts/wine-test";
        }
        ASSERT_TRUE(Ensure(L"OVRLibraryService", SERVICE_RUNNING));
        ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    }
    int32_t Move() { return testsupport::Move(engine_, install_.target()); }
    fs::path Software() const { return install_.base() / "Software"; }
    fs::path Downloads() const { return install_.base() / "Downloads"; }
    std::string LogText() const { return LogTextIn(logDir_.path()); }

    TempDir logDir_;
    ScopedWorkingDir cwd_;
    ScopedFaults faults_;
    RecordingClock clock_;
    SimulatedInstall install_;
    CVr engine_;
};

void SetReadOnly(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    ::SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

// ---- Read-only entries -------------------------------------------------------------------------

TEST_F(FileOpTest, WineDeleteTreeLiftsTheReadOnlyAttributeOfFilesAndFolders) {
    const fs::path tree = Data("tree");
    WriteFile(tree / "ro.txt", "x");
    WriteFile(tree / "sub" / "inner.txt", "y");
    SetReadOnly(tree / "ro.txt");
    SetReadOnly(tree / "sub" / "inner.txt");
    SetReadOnly(tree / "sub");
    SetReadOnly(tree);
    EXPECT_EQ(op_.DeleteTree(W(tree), false), 0);
    EXPECT_FALSE(fs::exists(tree));
}

TEST_F(FileOpTest, WineCopyKeepsFolderAttributes) {
    const fs::path source = Data("s");
    WriteFile(source / "hidden" / "f.txt", "x");
    ::SetFileAttributesW((source / "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
    fs::create_directories(Data("t"));
    ASSERT_EQ(op_.CopyTree(W(source), W(Data("t"))), 0);
    EXPECT_TRUE(::GetFileAttributesW((Data("t") / "hidden").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    std::wstring difference;
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(Data("t")), difference), 0);
}

// ---- Identity
// ------------------------------------------------------------------------------------

// Folders are known by volume serial and file index, whatever letter case or ".." spelled them.
TEST_F(FileOpTest, WineFoldersInsideASourceAreKnownByVolumeAndFileIndex) {
    const fs::path software = Data("Oculus") / "Software";
    WriteFile(software / "game" / "level" / "f.bin", "x");
    fs::create_directories(Data("apart"));
    sys::FileIdentity deep, apart;
    ASSERT_TRUE(sys::GetFileIdentity(W(Data("OCULUS") / "SOFTWARE" / "Game" / "LEVEL"), deep));
    ASSERT_TRUE(sys::GetFileIdentity(W(Data("apart")), apart));
    bool found = true;
    ASSERT_TRUE(sys::FolderHoldsAnyOf(W(software), {apart}, found));
    EXPECT_FALSE(found);
    ASSERT_TRUE(sys::FolderHoldsAnyOf(W(software), {apart, deep}, found));
    EXPECT_TRUE(found);
    EXPECT_EQ(op_.CheckTarget({W(software)},
                              W(Data("apart") / ".." / "OCULUS" / "software" / "GAME" / "level")),
              2);
    EXPECT_EQ(op_.CheckTarget({W(software)}, W(Data("apart"))), 0);
}

TEST_F(WineMoveTest, AReadOnlyFileInTheFirstCopyStillLetsTheRollbackEmptyTheTarget) {
    SetReadOnly(Downloads() / "cache" / "file0.bin");
    SetReadOnly(Downloads() / "cache");
    const uint64_t intoSecondTree = install_.files().size() / 2 + 2;
    sys::fault::Arm({sys::Call::kCopyFile, intoSecondTree, ERROR_DISK_FULL});

    EXPECT_EQ(Move(), 10112);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");  // the rollback removes "Oculus game"
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
}

// ---- A move stopped while copying, put back by the next start ----------------------------------

TEST_F(WineMoveTest, ARecoveryPutsBackAMoveStoppedWhileCopying) {
    // Stopped a few files into the first copy: parked, half copied, services stopped, journal in
    // %ProgramData%\Halvex.
    Interrupter stop(kCopyFirst, 12);
    engine_.Task().SetPhaseObserver(&stop);
    Move();
    engine_.Task().SetPhaseObserver(nullptr);
    sys::fault::Reset();
    ASSERT_TRUE(stop.Interrupted());
    ASSERT_TRUE(fs::is_directory(install_.base() / "SoftwareVarko"));
    ASSERT_FALSE(fs::exists(Software()));
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_STOPPED);
    std::wstring journal;
    ASSERT_EQ(GetJournalPath(journal), 0);
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_NE(journal.find(L"\\ProgramData\\Halvex\\move.journal"), std::wstring::npos)
        << sys::ToUtf8(journal);

    RecoveryPlan plan;
    ASSERT_EQ(engine_.AssessRecovery(plan), 0);
    ASSERT_EQ(plan.action, RecoveryAction::kPutBack) << sys::ToUtf8(plan.why);
    EXPECT_EQ(engine_.Recover(plan.action), 0);

    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_TRUE(WaitForState(L"OVRLibraryService", SERVICE_RUNNING));
    EXPECT_TRUE(WaitForState(L"OVRService", SERVICE_RUNNING));
    EXPECT_FALSE(engine_.HasUnfinishedMove());
}

// ---- A relative base folder --------------------------------------------------------------------

TEST_F(WineMoveTest, ARelativeBaseIsRefusedLikeAnEmptyOne) {
    for (const wchar_t* base : {L"Oculus\\", L"C:Oculus\\", L"\\Oculus\\"}) {
        install_.SetBaseValue(base);
        std::wstring source;
        EXPECT_EQ(engine_.ResolveSourceDir(source), 10013) << sys::ToUtf8(base);
        EXPECT_EQ(engine_.MoveInstallation(), 2);
    }
    EXPECT_NE(LogText().find(">: 10013"), std::string::npos);
    EXPECT_FALSE(sys::IsAbsolutePath(L"C:Oculus\\"));
    EXPECT_TRUE(sys::IsAbsolutePath(L"c:/Oculus/"));
}

TEST_F(WineMoveTest, TargetsAreTidiedAndSeenThroughEverySpelling) {
    std::wstring full;
    ASSERT_TRUE(sys::GetFullPathNameW(L"C:\\a\\X\\..\\games\\", full));
    EXPECT_EQ(full, L"C:\\a\\games");
    ASSERT_TRUE(sys::GetFullPathNameW(L"c:/a//b/./c", full));
    EXPECT_EQ(full, L"c:\\a\\b\\c");
    EXPECT_FALSE(sys::GetFullPathNameW(std::wstring(L"C:\\a\0\\..\\b", 10), full));
    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    std::wstring inside = Software().wstring() + L"\\Game A";
    for (wchar_t& c : inside) {
        if (c == L'\\') c = L'/';
        c = static_cast<wchar_t>(::towlower(c));
    }
    EXPECT_EQ(engine_.CheckTargetDir(inside), 2);
    EXPECT_EQ(engine_.CheckTargetDir(install_.target().wstring() + L"\\..\\Oculus\\Software"), 2);
    EXPECT_TRUE(engine_.IsInsideBase(install_.target().wstring() + L"\\..\\OCULUS\\new"));
}

// ---- Services ----------------------------------------------------------------------------------

TEST_F(WineMoveTest, ARefusedStopOfOVRServiceStartsTheLibraryServiceAgain) {
    ServiceArgs stubborn(L"OVRService", L"C:\\halvex\\fakesvc.exe --refuse-stop");
    ASSERT_TRUE(stubborn.ok());
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));

    EXPECT_EQ(Move(), 10000 + ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
}

TEST_F(WineMoveTest, ALibraryServiceThatWillNotStopStopsTheMove) {
    ServiceArgs stubborn(L"OVRLibraryService", L"C:\\halvex\\fakesvc.exe --refuse-stop");
    ASSERT_TRUE(stubborn.ok());
    ASSERT_TRUE(Ensure(L"OVRLibraryService", SERVICE_RUNNING));

    EXPECT_EQ(Move(), 10000 + ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING) << "never asked to stop";
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game")) << "the rollback removes it";
}

TEST_F(WineMoveTest, ACancelStartsTheServicesAgain) {
    sys::fault::Arm({sys::Call::kCopyFile, 2, 0, false, [&] { engine_.CancelMove(); }});
    EXPECT_EQ(Move(), 3);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
}

TEST_F(WineMoveTest, ARollbackThatPutsTheDataBackIsCleanWhenAServiceWillNotStart) {
    // Stopped by the move, and then failing to start again: the data is back all the same.
    ServiceArgs restored(L"OVRService", kQuick);  // running now; the refusal comes at the restart
    ASSERT_TRUE(restored.ok());
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    {
        SC_HANDLE scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = ::OpenServiceW(scm, L"OVRService", SERVICE_CHANGE_CONFIG);
        const std::wstring refusing = std::wstring(kQuick) + L" --refuse-start";
        ASSERT_TRUE(::ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           SERVICE_NO_CHANGE, refusing.c_str(), nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
        ::CloseServiceHandle(svc);
        ::CloseServiceHandle(scm);
    }
    sys::fault::Arm({sys::Call::kCopyFile, 3, ERROR_DISK_FULL});

    EXPECT_EQ(Move(), 10112);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_FALSE(engine_.Task().ServicesRestarted());
    EXPECT_EQ(NotWhole(install_, {Whole::Data::kHome, false, 0}), "");
    EXPECT_NE(LogText().find("services not started again after the rollback"), std::string::npos);
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
    EXPECT_EQ(SettledStateOf(L"OVRService"), SERVICE_STOPPED);
}

TEST_F(WineMoveTest, ALongWaitHintDoesNotHoldAStopThatIsOver) {
    ServiceArgs slow(L"OVRService",
                     L"C:\\halvex\\fakesvc.exe --stop-ms 300 --stop-hint 35000 --step-ms 100");
    ASSERT_TRUE(slow.ok());
    ASSERT_TRUE(Ensure(L"OVRService", SERVICE_RUNNING));
    COculusMgr oculus;
    EXPECT_EQ(oculus.StopServices(), 0);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_STOPPED);
    EXPECT_LE(clock_.Longest(), 1000u) << "no pause longer than a second between looks";
    EXPECT_EQ(oculus.RestartStoppedServices(), 0);
    EXPECT_EQ(StateOf(L"OVRService"), SERVICE_RUNNING);
    EXPECT_EQ(StateOf(L"OVRLibraryService"), SERVICE_RUNNING);
}

// The Restart Manager, asked directly about a file this process holds: whether Wine's names the
// holder is printed for the report, not assumed. Halvex's own query leaves itself out.
TEST(WineInUse, RestartManagerIsAskedAboutTheFilesOfAFolder) {
    TempDir dir;
    WriteFile(dir.path() / "held.txt", "x");
    const std::wstring held = (dir.path() / "held.txt").wstring();
    const HANDLE handle =
        ::CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::vector<sys::ProcessUse> users;
    const bool asked = sys::FindProcessesUsing(dir.wide(), users);
    const DWORD error = ::GetLastError();

    int named = -1;
    if (const HMODULE rm = ::LoadLibraryW(L"rstrtmgr.dll")) {
        using Start = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
        using Register = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, void*, UINT, LPCWSTR*);
        using List = DWORD(WINAPI*)(DWORD, UINT*, UINT*, void*, LPDWORD);
        using End = DWORD(WINAPI*)(DWORD);
        auto start = reinterpret_cast<Start>(
            reinterpret_cast<void (*)()>(::GetProcAddress(rm, "RmStartSession")));
        auto enroll = reinterpret_cast<Register>(
            reinterpret_cast<void (*)()>(::GetProcAddress(rm, "RmRegisterResources")));
        auto list =
            reinterpret_cast<List>(reinterpret_cast<void (*)()>(::GetProcAddress(rm, "RmGetList")));
        auto end = reinterpret_cast<End>(
            reinterpret_cast<void (*)()>(::GetProcAddress(rm, "RmEndSession")));
        DWORD session = 0;
        WCHAR key[64] = {};
        LPCWSTR files[] = {held.c_str()};
        UINT needed = 0, count = 0;
        DWORD reasons = 0;
        if (start && enroll && list && end && start(&session, 0, key) == 0) {
            if (enroll(session, 1, files, 0, nullptr, 0, nullptr) == 0) {
                const DWORD r = list(session, &needed, &count, nullptr, &reasons);
                named = (r == 0 || r == ERROR_MORE_DATA) ? static_cast<int>(needed)
                                                         : -2 - static_cast<int>(r);
            }
            end(session);
        }
        ::FreeLibrary(rm);
    }
    ::CloseHandle(handle);
    std::printf("restart manager: query %s (error %lu), holders of a held file named: %d\n",
                asked ? "answered" : "failed", error, named);
    if (!asked) GTEST_SKIP() << "Wine's Restart Manager cannot be asked (error " << error << ")";
    for (const auto& user : users)
        EXPECT_NE(user.pid, ::GetCurrentProcessId());
}

}  // namespace

#endif  // _WIN32
