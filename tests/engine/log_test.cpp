#include <gtest/gtest.h>

#include "logging/log.h"
#include "support.h"

using namespace testsupport;

namespace {

#ifdef _WIN32
constexpr const char* kNewline = "\r\n";  // the file is written in text mode
#else
constexpr const char* kNewline = "\n";
#endif

// Runs a test with a fresh log in a fresh working folder at a chosen time.
class LogTest : public ::testing::Test {
  protected:
    LogTest() : cwd_(dir_.path()) { LogResetForTests(); }
    ~LogTest() override { LogResetForTests(); }

    std::string OnlyLogText() {
        LogFlushForTests();
        std::string text;
        for (const auto& entry : fs::directory_iterator(dir_.path() / "log")) {
            text += ReadFile(entry.path());
        }
        return text;
    }

    TempDir dir_;
    ScopedWorkingDir cwd_;
    ScopedVirtualClock clock_;
};

TEST_F(LogTest, RecordCarriesUtcPlus8StampSourceLineAndCode) {
    clock_->SetTime64(1772845502);  // 2026-03-07 01:05:02 UTC
    WriteLogRecord(L".\\TaskMgr\\CTaskMgr.cpp", 50, LogErr, LogDev, 10002);
    EXPECT_EQ(OnlyLogText(), "[2026-3-7-9:5:2].\\TaskMgr\\CTaskMgr.cpp(50) : <err|dev>: 10002" +
                                 std::string(kNewline));
    EXPECT_TRUE(fs::exists(dir_.path() / "log" / "20263-7-9-5-2.txt"));
}

TEST_F(LogTest, SourceNameIsRelativeToTheSourceRootWithWindowsSeparators) {
    static constexpr auto name = logdetail::MakeSourceName("/x/y/src/TaskMgr/CTaskMgr.cpp");
    EXPECT_EQ(std::wstring(name.text), L".\\TaskMgr\\CTaskMgr.cpp");
}

TEST_F(LogTest, NothingLoggedMeansNoLogFolder) {
    EXPECT_FALSE(fs::exists(dir_.path() / "log"));
}

}  // namespace
