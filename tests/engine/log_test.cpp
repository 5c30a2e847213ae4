#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <sstream>
#include <thread>
#include <vector>

#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/sys.h"
#include "support.h"

#ifndef _WIN32
#include <cerrno>
#include <cstdlib>

#include "platform/posix/errors.h"
#endif

using namespace testsupport;

namespace {

#ifdef _WIN32
constexpr const char* kNewline = "\r\n";  // the file is written in text mode
#else
constexpr const char* kNewline = "\n";
#endif

constexpr const wchar_t* kSource = L".\\TaskMgr\\CTaskMgr.cpp";

// Runs a test with a fresh log in a fresh working folder at a chosen time.
class LogTest : public ::testing::Test {
  protected:
    LogTest() : cwd_(dir_.path()) { LogResetForTests(); }
    ~LogTest() override { LogResetForTests(); }

    std::vector<fs::path> LogFiles() {
        std::vector<fs::path> files;
        if (!fs::exists(dir_.path() / "log")) return files;
        for (const auto& entry : fs::directory_iterator(dir_.path() / "log"))
            files.push_back(entry.path());
        return files;
    }

    std::string OnlyLogText() {
        LogFlushForTests();
        const std::vector<fs::path> files = LogFiles();
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::string() : ReadFile(files.front());
    }

    // The message part of the only record: what follows ">: ", without the newline.
    std::string OnlyMessage() {
        const std::string text = OnlyLogText();
        const size_t start = text.find(">: ");
        const size_t end = text.rfind(kNewline);
        if (start == std::string::npos || end == std::string::npos || end < start) return text;
        return text.substr(start + 3, end - start - 3);
    }

    TempDir dir_;
    ScopedWorkingDir cwd_;
    ScopedVirtualClock clock_;
};

TEST_F(LogTest, RecordCarriesUtcPlus8StampSourceLineAndCode) {
    clock_->SetTime64(1772845502);  // 2026-03-07 01:05:02 UTC
    WriteLogRecord(kSource, 50, LogErr, LogDev, 10002);
    EXPECT_EQ(OnlyLogText(), "[2026-3-7-9:5:2].\\TaskMgr\\CTaskMgr.cpp(50) : <err|dev>: 10002" +
                                 std::string(kNewline));
    EXPECT_TRUE(fs::exists(dir_.path() / "log" / "20263-7-9-5-2.txt"));
}

// The log is read while the program runs (and after it was killed): every record is in the
// file as soon as it is written, without a flush or an exit.
TEST_F(LogTest, EachRecordIsOnDiskWhenWrittenAndItsFileIsNamed) {
    EXPECT_EQ(LogFilePath(), L"");  // nothing written yet, no file
    HX_LOG.Err(10005);
    const std::vector<fs::path> files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadFile(files.front()).find(">: 10005"), std::string::npos);
    HX_LOG.Err(10032);
    EXPECT_NE(ReadFile(files.front()).find(">: 10032"), std::string::npos);
    EXPECT_TRUE(fs::equivalent(fs::path(LogFilePath()), files.front()));
    EXPECT_TRUE(fs::path(LogFilePath()).is_absolute());
}

TEST_F(LogTest, SourceNameIsRelativeToTheSourceRootWithWindowsSeparators) {
    static constexpr auto name = logdetail::MakeSourceName("/x/y/src/TaskMgr/CTaskMgr.cpp");
    EXPECT_EQ(std::wstring(name.text), L".\\TaskMgr\\CTaskMgr.cpp");
    static constexpr auto nested = logdetail::MakeSourceName("/src/a/src/OculusMgr/COculusMgr.cpp");
    EXPECT_EQ(std::wstring(nested.text), L".\\OculusMgr\\COculusMgr.cpp");
    static constexpr auto windows = logdetail::MakeSourceName("C:\\b\\src\\fileOp\\CFileOp.cpp");
    EXPECT_EQ(std::wstring(windows.text), L".\\fileOp\\CFileOp.cpp");
}

TEST_F(LogTest, NothingLoggedMeansNoLogFolder) {
    LogFlushForTests();
    EXPECT_FALSE(fs::exists(dir_.path() / "log"));
}

// The stamps show UTC+8 whatever the machine's zone; the date moves with the shifted time, and
// the file name glues the month's one or two digits to the year.
TEST_F(LogTest, StampsShowUtcPlus8AcrossDayMonthAndYearEnds) {
    struct Row {
        int64_t utc;
        const char* record;
        const char* file;
    };
    const Row rows[] = {
        {1777581005, "[2026-5-1-4:30:5]", "20265-1-4-30-5.txt"},      // 30 Apr 20:30:05 UTC
        {1767213000, "[2026-1-1-4:30:0]", "20261-1-4-30-0.txt"},      // 31 Dec 2025 20:30
        {1792026123, "[2026-10-15-9:2:3]", "202610-15-9-2-3.txt"},    // October: two digits
        {1835380800, "[2028-2-29-4:0:0]", "20282-29-4-0-0.txt"},      // leap day
        {1803830400, "[2027-3-1-0:0:0]", "20273-1-0-0-0.txt"},        // no leap day in 2027
        {1772899199, "[2026-3-7-23:59:59]", "20263-7-23-59-59.txt"},  // last second of a day
        {1790784000, "[2026-10-1-0:0:0]", "202610-1-0-0-0.txt"},      // first second of a month
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.record);
        LogResetForTests();
        fs::remove_all(dir_.path() / "log");
        clock_->SetTime64(row.utc);
        WriteLogRecord(kSource, 1, LogErr, LogDev, 1);
        EXPECT_EQ(OnlyLogText().substr(0, std::string(row.record).size()), row.record);
        EXPECT_TRUE(fs::exists(dir_.path() / "log" / row.file));
    }
}

TEST_F(LogTest, FileNameIsFixedByTheFirstRecordAndLaterStampsAreFresh) {
    clock_->SetTime64(1772845502);
    WriteLogRecord(kSource, 1, LogErr, LogDev, 1);
    clock_->Advance(65 * 1000);
    WriteLogRecord(kSource, 2, LogErr, LogDev, 2);
    const std::string text = OnlyLogText();
    EXPECT_TRUE(fs::exists(dir_.path() / "log" / "20263-7-9-5-2.txt"));
    EXPECT_NE(text.find("[2026-3-7-9:6:7].\\TaskMgr\\CTaskMgr.cpp(2)"), std::string::npos) << text;
}

TEST_F(LogTest, RunStartingInTheSameSecondAppendsToTheEarlierFile) {
    WriteFile(dir_.path() / "log" / "20263-7-9-5-2.txt", "earlier run\n");
    WriteLogRecord(kSource, 3, LogErr, LogDev, 3);
    const std::string text = OnlyLogText();
    EXPECT_EQ(text.rfind("earlier run\n[2026-3-7-9:5:2]", 0), 0u) << text;
}

TEST_F(LogTest, SeverityAndAudienceNamesIncludingUnknownValues) {
    const std::pair<int32_t, const char*> severities[] = {{0, "unknown severity"},
                                                          {1, "dbg"},
                                                          {2, "inf"},
                                                          {3, "msg"},
                                                          {4, "wrn"},
                                                          {5, "err"},
                                                          {6, "ftl"},
                                                          {7, "unknown severity"}};
    const std::pair<int32_t, const char*> audiences[] = {
        {0, "unknown audience"}, {1, "dev"}, {2, "sup"}, {3, "usr"}, {4, "unknown audience"}};
    for (const auto& [value, name] : severities)
        WriteLogRecord(kSource, 9, static_cast<LogSeverity>(value), LogDev, "x");
    for (const auto& [value, name] : audiences)
        WriteLogRecord(kSource, 9, LogErr, static_cast<LogAudience>(value), "x");

    std::istringstream lines(OnlyLogText());
    std::string line;
    for (const auto& [value, name] : severities) {
        std::getline(lines, line);
        EXPECT_NE(line.find(std::string(") : <") + name + "|dev>: x"), std::string::npos) << line;
    }
    for (const auto& [value, name] : audiences) {
        std::getline(lines, line);
        EXPECT_NE(line.find(std::string("<err|") + name + ">: x"), std::string::npos) << line;
    }
}

TEST_F(LogTest, IntegersAreWrittenInDecimalWithTheirSign) {
    WriteLogRecord(kSource, 1, LogErr, LogDev, int32_t{-5}, "|", uint32_t{4294967295u}, "|",
                   int32_t{INT32_MIN}, "|", uint32_t{0}, "|", int32_t{10183});
    EXPECT_EQ(OnlyMessage(), "-5|4294967295|-2147483648|0|10183");
}

TEST_F(LogTest, WideTextIsWrittenAsUtf8) {
    // Short texts and long ones (beyond the 31 units that fit the small buffer) alike; the
    // emoji is a surrogate pair where wide text is UTF-16.
    const std::wstring shortPath = L"D:\\Spiele\\\u00dcber \u65e5\u672c \U0001F600";
    const std::string shortUtf8 =
        "D:\\Spiele\\\xC3\x9C"
        "ber \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
    std::wstring longPath;
    std::string longUtf8;
    for (int i = 0; i < 40; ++i) {
        longPath += L"\u00e9\u4e2d/";
        longUtf8 += "\xC3\xA9\xE4\xB8\xAD/";
    }
    WriteLogRecord(kSource, 1, LogInf, LogDev, shortPath, "#", longPath);
    EXPECT_EQ(OnlyMessage(), shortUtf8 + "#" + longUtf8);
}

TEST_F(LogTest, PairRecordNamesSourceAndTarget) {
    CLogSite(kSource, 77).Pair(L"C:\\Oculus\\Software", L"E:\\Oculus game\\S\u00f6ftware");
    EXPECT_EQ(OnlyLogText(),
              "[2026-3-7-9:5:2].\\TaskMgr\\CTaskMgr.cpp(77) : <inf|dev>: srcFullPath: "
              "C:\\Oculus\\Software, desFullPath: E:\\Oculus game\\S\xC3\xB6"
              "ftware" +
                  std::string(kNewline));
}

TEST_F(LogTest, LoggingKeepsTheCallersLastError) {
    fs::create_directory(dir_.path() / "log");  // opening finds the folder there already
    sys::SetLastError(sys::kErrSharingViolation);
    HX_LOG.Err(10032);
    EXPECT_EQ(sys::GetLastError(), sys::kErrSharingViolation);
    EXPECT_EQ(OnlyMessage(), "10032");
}

// A failed call's code is the error it left, logged where it was met; a failure that left no
// error number is still a failure, never 10000 + 0.
TEST_F(LogTest, FailedCallLogsAndReturnsTheCodeOfTheErrorItLeft) {
    sys::SetLastError(sys::kErrAccessDenied);
    EXPECT_EQ(HX_LOG.FailedCall(), SystemCode(sys::kErrAccessDenied));
    EXPECT_EQ(sys::GetLastError(), sys::kErrAccessDenied);
    EXPECT_EQ(OnlyMessage(), std::to_string(SystemCode(sys::kErrAccessDenied)));
    LogResetForTests();
    fs::remove_all(dir_.path() / "log");

    sys::SetLastError(0);
    EXPECT_EQ(HX_LOG.FailedCall(), SystemCode(sys::kErrInvalidFunction));
    // An errno met earlier with no Windows counterpart may follow the code in the record.
    EXPECT_EQ(OnlyMessage().rfind(std::to_string(SystemCode(sys::kErrInvalidFunction)), 0), 0u);
}

// A plain file named "log" stands in the way of the folder: the run goes on without a log.
TEST_F(LogTest, UnopenableLogDropsRecordsSilently) {
    WriteFile(dir_.path() / "log", "not a folder");
    WriteLogRecord(kSource, 1, LogErr, LogDev, 5);
    fs::remove(dir_.path() / "log");
    WriteLogRecord(kSource, 2, LogErr, LogDev, 6);  // the failed open is not retried
    LogFlushForTests();
    EXPECT_FALSE(fs::exists(dir_.path() / "log"));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
    constexpr int kPerThread = 3000;
    const std::string a(300, 'a');
    const std::string b(300, 'b');
    std::atomic<bool> go{false};
    auto writer = [&](const std::string& text) {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < kPerThread; ++i)
            WriteLogRecord(kSource, 1, LogInf, LogDev, text);
    };
    // Both threads write the run's first record at the same moment.
    std::thread first(writer, a);
    std::thread second(writer, b);
    go.store(true);
    first.join();
    second.join();

    const std::string prefix = "[2026-3-7-9:5:2].\\TaskMgr\\CTaskMgr.cpp(1) : <inf|dev>: ";
    std::istringstream lines(OnlyLogText());
    int countA = 0, countB = 0, other = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == prefix + a) {
            ++countA;
        } else if (line == prefix + b) {
            ++countB;
        } else {
            ++other;
        }
    }
    EXPECT_EQ(countA, kPerThread);
    EXPECT_EQ(countB, kPerThread);
    EXPECT_EQ(other, 0);
}

#ifndef _WIN32
TEST_F(LogTest, ReadOnlyWorkingFolderDropsRecordsSilently) {
    if (std::system(("chattr +i '" + dir_.path().string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot make the working folder immutable (chattr +i needs root and "
                        "a file system that supports it)";
    sys::SetLastError(sys::kErrDiskFull);
    WriteLogRecord(kSource, 1, LogErr, LogDev, 10005);
    HX_LOG.Pair(L"/a", L"/b");
    EXPECT_EQ(sys::GetLastError(), sys::kErrDiskFull);
    LogFlushForTests();
    std::system(("chattr -i '" + dir_.path().string() + "'").c_str());
    EXPECT_FALSE(fs::exists(dir_.path() / "log"));
}

// An errno without a Windows counterpart travels as error 1; the record keeps the errno, also
// when the caller passes the code on and logs it again.
TEST_F(LogTest, UnmappedErrnoIsKeptInEveryRecordOfTheCode) {
    sys::SetLastErrorFromErrno(EPROTO);
    const int32_t code = static_cast<int32_t>(10000 + sys::GetLastError());
    HX_LOG.Err(code);
    HX_LOG.Err(code);
    std::istringstream lines(OnlyLogText());
    const std::string expected = ">: 10001 (errno " + std::to_string(EPROTO) + ")";
    int records = 0;
    for (std::string line; std::getline(lines, line); ++records)
        EXPECT_NE(line.find(expected), std::string::npos) << line;
    EXPECT_EQ(records, 2);
}
#endif

}  // namespace
