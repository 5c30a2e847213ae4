// Test entry: runs GoogleTest and closes with one line "<suite>: N passed, F failed[, K skipped]".
// The suite's name comes from --suite=NAME (default "engine"). Each skipped test is listed before
// it as "SKIP Suite.Test: reason". With --expect-skips=K a run that skips another number of tests
// fails: a new skip must be seen, and one that no longer skips taken off the count.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class SummaryLine : public testing::EmptyTestEventListener {
  public:
    SummaryLine(std::string suite, int expectedSkips)
        : suite_(std::move(suite)), expectedSkips_(expectedSkips) {}

    void OnTestEnd(const testing::TestInfo& info) override {
        const testing::TestResult& result = *info.result();
        if (!result.Skipped()) return;
        std::string reason;
        for (int i = 0; i < result.total_part_count(); ++i) {
            const testing::TestPartResult& part = result.GetTestPartResult(i);
            if (part.skipped() && part.message()[0] != '\0') reason = part.message();
        }
        for (char& c : reason)
            if (c == '\n') c = ' ';
        skips_.push_back(std::string(info.test_suite_name()) + "." + info.name() + ": " +
                         (reason.empty() ? "(no reason given)" : reason));
    }

    void OnTestProgramEnd(const testing::UnitTest& unit) override {
        const int skipped = unit.skipped_test_count();
        std::printf("\n");
        for (const std::string& skip : skips_)
            std::printf("SKIP %s\n", skip.c_str());
        std::printf("%s: %d passed, %d failed", suite_.c_str(), unit.successful_test_count(),
                    unit.failed_test_count());
        if (skipped > 0) std::printf(", %d skipped", skipped);
        if (expectedSkips_ >= 0) std::printf(" (%d expected)", expectedSkips_);
        std::printf("\n");
        if (expectedSkips_ >= 0 && skipped != expectedSkips_) {
            std::printf("FAILED: %d tests skipped where %d skips are expected\n", skipped,
                        expectedSkips_);
            skipsAsExpected_ = false;
        }
        std::fflush(stdout);
    }

    bool skipsAsExpected() const { return skipsAsExpected_; }

  private:
    std::string suite_;
    int expectedSkips_;
    std::vector<std::string> skips_;
    bool skipsAsExpected_ = true;
};

}  // namespace

int main(int argc, char** argv) {
    std::string suite = "engine";
    int expectedSkips = -1;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--suite=", 8) == 0) {
            suite = argv[i] + 8;
        } else if (std::strncmp(argv[i], "--expect-skips=", 15) == 0) {
            expectedSkips = std::atoi(argv[i] + 15);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    testing::InitGoogleTest(&argc, argv);
    auto* summary = new SummaryLine(suite, expectedSkips);
    testing::UnitTest::GetInstance()->listeners().Append(summary);  // owned by GoogleTest
    const int result = RUN_ALL_TESTS();
    return result != 0 ? result : summary->skipsAsExpected() ? 0 : 1;
}
