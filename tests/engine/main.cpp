// Test entry: runs GoogleTest and closes with one line "<suite>: N passed, F failed[, K skipped]".
// The suite's name comes from --suite=NAME (default "engine").
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

class SummaryLine : public testing::EmptyTestEventListener {
  public:
    explicit SummaryLine(std::string suite) : suite_(std::move(suite)) {}

    void OnTestProgramEnd(const testing::UnitTest& unit) override {
        const int skipped = unit.skipped_test_count();
        std::printf("\n%s: %d passed, %d failed", suite_.c_str(), unit.successful_test_count(),
                    unit.failed_test_count());
        if (skipped > 0) std::printf(", %d skipped", skipped);
        std::printf("\n");
        std::fflush(stdout);
    }

  private:
    std::string suite_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string suite = "engine";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--suite=", 8) == 0) {
            suite = argv[i] + 8;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new SummaryLine(suite));
    return RUN_ALL_TESTS();
}
