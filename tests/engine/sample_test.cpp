// The host tool's sample installation, run as the demo and a user run it: the real halvex-host
// next to this test binary, on real folders. What matters is that Halvex finds what setup made,
// that reset gives back the first state after a move, and that neither touches data it did not
// make.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "OculusMgr/COculusMgr.h"
#include "platform/host.h"
#include "platform/posix/service_standin.h"
#include "platform/process.h"
#include "support.h"

namespace {

using namespace testsupport;

fs::path HostTool() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error).parent_path() / "tools" / "halvex-host";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct ToolRun {
    int code = -1;
    std::string output;
};

// A simulated machine in a temporary folder: its host folder and the base folder setup uses.
class SampleMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(HostTool())) GTEST_SKIP() << HostTool() << " is not built";
        sys::SetHostDir(host().string());
    }
    void TearDown() override { sys::SetHostDir({}); }

    fs::path host() const { return dir_.path() / "host"; }
    fs::path base() const { return dir_.path() / "Oculus"; }
    fs::path target() const { return dir_.path() / "target" / "Oculus game"; }

    ToolRun Run(const std::vector<std::string>& args) const {
        std::string command = Quoted(HostTool().string()) + " --host " + Quoted(host().string());
        for (const std::string& arg : args)
            command += " " + Quoted(arg);
        const fs::path out = dir_.path() / "tool.out", rc = dir_.path() / "tool.rc";
        command += " >" + Quoted(out.string()) + " 2>&1; echo $? >" + Quoted(rc.string());
        std::system(command.c_str());
        ToolRun run;
        run.output = ReadFile(out);
        std::ifstream(rc) >> run.code;
        return run;
    }

    ToolRun SetUpSample(const fs::path& at) const {
        return Run({"setup", "--base", at.string(), "--big-mib", "2", "--files", "60"});
    }

    // Every file under a folder, links followed, as relative path -> content.
    static std::map<std::string, std::string> Snapshot(const fs::path& folder) {
        std::map<std::string, std::string> files;
        std::error_code error;
        const auto options = fs::directory_options::follow_directory_symlink;
        for (fs::recursive_directory_iterator it(folder, options, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_regular_file())
                files[it->path().lexically_relative(folder).string()] = ReadFile(it->path());
        }
        return files;
    }

    // Where a move leaves things: the data under the target, links at the old places, the
    // services stopped. The parked folder stands for a move that could not delete it.
    void SimulateMove() const {
        fs::create_directories(target());
        for (const char* top : {"Software", "Downloads"}) {
            fs::rename(base() / top, target() / top);
            fs::create_directory_symlink(target() / top, base() / top);
        }
        WriteFile(base() / "SoftwareVarko" / "left.bin", "parked");
        for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
            sys::standin::ServiceRecord record;
            ASSERT_TRUE(sys::standin::ReadService(name, record));
            record.state = sys::kServiceStopped;
            ASSERT_TRUE(sys::standin::WriteService(name, record));
        }
        ASSERT_EQ(Run({"registry", "remove"}).code, 0);
    }

    void ExpectPlatformRegistered() const {
        COculusMgr detection;
        ASSERT_EQ(detection.DetectBase(), 0);
        EXPECT_EQ(detection.GetBasePath(), base().wstring() + L"/");
        for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
            sys::standin::ServiceRecord record;
            ASSERT_TRUE(sys::standin::ReadService(name, record));
            EXPECT_EQ(sys::standin::Settle(record, sys::GetTickCount()).state,
                      sys::kServiceRunning);
        }
    }

    TempDir dir_;
};

TEST_F(SampleMachine, SetupMakesGamesOfRealShapesThatHalvexFinds) {
    const ToolRun run = SetUpSample(base());
    ASSERT_EQ(run.code, 0) << run.output;
    ExpectPlatformRegistered();

    const auto software = Snapshot(base() / "Software");
    const auto downloads = Snapshot(base() / "Downloads");
    EXPECT_GE(software.size() + downloads.size(), 60u);
    EXPECT_FALSE(downloads.empty());
    EXPECT_EQ(fs::file_size(base() / "Software/Software/northwind-skyrail/Content/Paks/"
                                     "skyrail-main.pak"),
              2u * 1024 * 1024);
    EXPECT_TRUE(fs::exists(base() / "Software/Software/ölberg-café-racer/Spielstände"));
    size_t deepest = 0;
    for (const auto& [path, content] : software)
        deepest =
            std::max<size_t>(deepest, std::distance(fs::path(path).begin(), fs::path(path).end()));
    EXPECT_GE(deepest, 7u) << "games nest their data in folders several levels deep";
}

TEST_F(SampleMachine, SetupLeavesFoldersItDidNotMakeAlone) {
    WriteFile(base() / "Software" / "mine.txt", "the user's own");
    ToolRun run = SetUpSample(base());
    EXPECT_NE(run.code, 0) << run.output;
    EXPECT_EQ(ReadFile(base() / "Software" / "mine.txt"), "the user's own");
    EXPECT_FALSE(fs::exists(base() / "Downloads"));
    EXPECT_FALSE(fs::exists(host() / "HKLM.reg")) << "nothing registered for a refused setup";

    // A link in the way is someone's too, and so is what it leads to.
    const fs::path other = dir_.path() / "Other";
    WriteFile(dir_.path() / "elsewhere" / "keep.txt", "keep");
    fs::create_directories(other);
    fs::create_directory_symlink(dir_.path() / "elsewhere", other / "Downloads");
    run = SetUpSample(other);
    EXPECT_NE(run.code, 0) << run.output;
    EXPECT_EQ(Snapshot(dir_.path() / "elsewhere").size(), 1u);
    EXPECT_FALSE(fs::exists(other / "Software"));
}

TEST_F(SampleMachine, SetupAgainKeepsAMovedInstallationAndRefusesASecondBase) {
    ASSERT_EQ(SetUpSample(base()).code, 0);
    SimulateMove();

    // The demo's second run sets up again: the moved state must survive it.
    const ToolRun again = SetUpSample(base());
    EXPECT_EQ(again.code, 0) << again.output;
    EXPECT_TRUE(fs::is_symlink(base() / "Software"));
    EXPECT_TRUE(fs::exists(target() / "Software" / "Manifests"));

    const ToolRun other = SetUpSample(dir_.path() / "Other");
    EXPECT_NE(other.code, 0) << other.output;
    EXPECT_FALSE(fs::exists(dir_.path() / "Other"));
}

TEST_F(SampleMachine, ResetAfterAMoveGivesBackTheFirstStateAndKeepsTheMovedData) {
    ASSERT_EQ(SetUpSample(base()).code, 0);
    const auto software = Snapshot(base() / "Software");
    const auto downloads = Snapshot(base() / "Downloads");
    SimulateMove();
    WriteFile(target() / "Software" / "added after the move.txt", "the user's");

    const ToolRun run = Run({"reset"});
    ASSERT_EQ(run.code, 0) << run.output;

    for (const char* top : {"Software", "Downloads"}) {
        EXPECT_FALSE(fs::is_symlink(base() / top)) << top;
        EXPECT_TRUE(fs::is_directory(base() / top)) << top;
    }
    EXPECT_EQ(Snapshot(base() / "Software"), software) << "the same bytes as setup made";
    EXPECT_EQ(Snapshot(base() / "Downloads"), downloads);
    EXPECT_FALSE(fs::exists(base() / "SoftwareVarko"));
    ExpectPlatformRegistered();

    // Only the links went: the data they led to is where the move put it.
    auto moved = Snapshot(target() / "Software");
    EXPECT_EQ(moved.erase("added after the move.txt"), 1u);
    EXPECT_EQ(moved, software);
    EXPECT_EQ(Snapshot(target() / "Downloads"), downloads);
}

TEST_F(SampleMachine, ResetRemovesLinksInsideTheSampleWithoutFollowingThem) {
    ASSERT_EQ(SetUpSample(base()).code, 0);
    WriteFile(dir_.path() / "shared" / "library.bin", "outside the base folder");
    fs::create_directory_symlink(dir_.path() / "shared",
                                 base() / "Software" / "Software" / "shared");
    fs::create_directory_symlink(dir_.path() / "gone", base() / "Downloads" / "dangling");

    const ToolRun run = Run({"reset"});
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(ReadFile(dir_.path() / "shared" / "library.bin"), "outside the base folder");
    EXPECT_FALSE(fs::exists(fs::symlink_status(base() / "Software" / "Software" / "shared")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(base() / "Downloads" / "dangling")));
}

TEST_F(SampleMachine, ResetRefusesWhileHalvexRunsAndWithoutASetup) {
    ToolRun run = Run({"reset"});
    EXPECT_NE(run.code, 0) << "nothing was set up: " << run.output;

    ASSERT_EQ(SetUpSample(base()).code, 0);
    SimulateMove();
    sys::MutexHandle running = sys::CreateMutexW(L"Varko_Oculus_Kestrum");
    ASSERT_NE(running, nullptr);
    run = Run({"reset"});
    EXPECT_NE(run.code, 0) << run.output;
    EXPECT_TRUE(fs::is_symlink(base() / "Software")) << "a running Halvex's data is not touched";
    sys::CloseHandle(running);

    run = Run({"reset"});
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_FALSE(fs::is_symlink(base() / "Software"));
}

TEST_F(SampleMachine, SetupThatCannotWriteSaysSoAndLeavesNothingBehind) {
    fs::create_directories(base());
    if (std::system(("chattr +i " + Quoted(base().string()) + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not possible here (not root, or the file system lacks it)";
    const ToolRun run = SetUpSample(base());
    std::system(("chattr -i " + Quoted(base().string())).c_str());

    EXPECT_NE(run.code, 0) << run.output;
    EXPECT_FALSE(fs::exists(host() / "sample.conf")) << "a failed setup is not remembered";
    EXPECT_FALSE(fs::exists(host() / "HKLM.reg"));
    EXPECT_FALSE(fs::exists(base() / "Software"));
}

}  // namespace

#endif  // _WIN32
