// The copy on several threads: a failure or a cancel met by any thread stops them all before the
// copy returns, the result and the last error are the failing call's, the counters match what
// was really copied, and folders get their metadata only after their files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "platform/fs.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr int kFolders = 6;
constexpr int kFilesPerFolder = 40;

class CopyPoolTest : public FileOpTest {
  protected:
    CopyPoolTest() {
        for (int d = 0; d < kFolders; ++d) {
            for (int f = 0; f < kFilesPerFolder; ++f) {
                const std::string name = "f" + std::to_string(f);
                WriteFile(Data("s") / ("d" + std::to_string(d)) / "in" / name,
                          std::string(100 + 37 * f, 'a' + d));
            }
        }
        fs::create_directories(Data("t"));
    }

    // Files in the copy, each checked to be whole, byte for byte: a file cut short or filled
    // from another would be a lie.
    int WholeFilesInCopy() {
        int files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(Data("t"))) {
            if (!entry.is_regular_file()) continue;
            const fs::path original = Data("s") / fs::relative(entry.path(), Data("t"));
            EXPECT_EQ(ReadFile(entry.path()), ReadFile(original)) << entry.path();
            ++files;
        }
        return files;
    }

    // No thread may copy on once the copy has returned: the caller is about to undo it.
    void ExpectNoCopyAfterReturn() {
        const uint64_t calls = sys::fault::Count(sys::Call::kCopyFile);
        const int files = WholeFilesInCopy();
        EXPECT_EQ(sys::fault::Count(sys::Call::kCopyFile), calls);
        EXPECT_EQ(WholeFilesInCopy(), files);
    }

    ScopedCopyThreads threads_{3};
};

TEST_F(CopyPoolTest, CopiesEveryFileOnceWithExactCounters) {
    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 0);

    EXPECT_EQ(WholeFilesInCopy(), kFolders * kFilesPerFolder);
    const CFileOp::Counters done = op_.ReadCounters();
    EXPECT_EQ(done.copiedFiles, kFolders * kFilesPerFolder);
    uint64_t bytes = 0;
    for (int f = 0; f < kFilesPerFolder; ++f)
        bytes += 100 + 37 * f;
    EXPECT_EQ(done.copiedBytes, bytes * kFolders);
    EXPECT_EQ(op_.TakeDoneCount(), kFolders * kFilesPerFolder);
    EXPECT_EQ(sys::fault::Count(sys::Call::kCopyFile), uint64_t{kFolders * kFilesPerFolder});
    EXPECT_EQ(LogText(), "");
}

TEST_F(CopyPoolTest, FirstFailureStopsEveryThreadAndIsTheResult) {
    sys::fault::Arm({sys::Call::kCopyFile, 50, sys::kErrDiskFull});

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 10112);

    // The failing call's error reaches the caller's thread, as if the walk had met it.
    EXPECT_EQ(sys::GetLastError(), sys::kErrDiskFull);
    EXPECT_EQ(LoggedCodes().front(), "10112");
    ExpectNoCopyAfterReturn();
    const int copied = WholeFilesInCopy();
    EXPECT_LT(copied, kFolders * kFilesPerFolder);
    EXPECT_EQ(op_.ReadCounters().copiedFiles, copied);
}

TEST_F(CopyPoolTest, FailureDuringACancelIsStillTheResult) {
    sys::fault::Arm({sys::Call::kCopyFile, 20, sys::kErrAccessDenied, false, [this] {
                         op_.Cancel();  // the other threads see the cancel first
                     }});

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 10005);
    ExpectNoCopyAfterReturn();
}

TEST_F(CopyPoolTest, CancelReachesEveryThreadAndCountsOnlyWholeFiles) {
    sys::fault::Arm({sys::Call::kCopyFile, 30, 0, false, [this] { op_.Cancel(); }});

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 3);

    ExpectNoCopyAfterReturn();
    const int copied = WholeFilesInCopy();
    EXPECT_LT(copied, kFolders * kFilesPerFolder);
    EXPECT_EQ(op_.ReadCounters().copiedFiles, copied);
    EXPECT_EQ(op_.TakeDoneCount(), copied);
    EXPECT_EQ(LoggedCodes().front(), "3");
}

TEST_F(CopyPoolTest, WalkerFailureStopsTheThreadsToo) {
    sys::fault::Arm({sys::Call::kCreateDirectory, 4, sys::kErrAccessDenied});

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 10005);
    ExpectNoCopyAfterReturn();
    EXPECT_EQ(op_.ReadCounters().copiedFiles, WholeFilesInCopy());
}

TEST_F(CopyPoolTest, DeleteOnThreadsCountsEveryFileAndRemovesFoldersAfterTheirFiles) {
    EXPECT_EQ(op_.DeleteTree(W(Data("s")), false), 0);

    EXPECT_FALSE(fs::exists(Data("s")));
    EXPECT_EQ(op_.ReadCounters().deletedFiles, kFolders * kFilesPerFolder);
    EXPECT_EQ(LogText(), "");
}

TEST_F(CopyPoolTest, DeleteFailureOnAThreadStopsTheDeleteAndKeepsTheFolders) {
    sys::fault::Arm({sys::Call::kDeleteFile, 70, sys::kErrAccessDenied});

    // As on one thread: the folder that kept a file cannot go, and says why.
    EXPECT_EQ(op_.DeleteTree(W(Data("s")), false), 10000 + sys::kErrDirNotEmpty);
    EXPECT_EQ(LoggedCodes().front(), "10005");
    const uint64_t calls = sys::fault::Count(sys::Call::kDeleteFile);
    int left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(Data("s")))
        left += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(sys::fault::Count(sys::Call::kDeleteFile), calls);  // no thread deletes on
    EXPECT_EQ(op_.ReadCounters().deletedFiles, kFolders * kFilesPerFolder - left);

    // Kept as the tree is, it is deleted whole by a second try.
    sys::fault::Reset();
    EXPECT_EQ(op_.DeleteTree(W(Data("s")), true), 0);
    EXPECT_TRUE(fs::is_empty(Data("s")));
}

// The walker fails while a thread is inside a large file: the file stops at its next step, as
// for a cancel, instead of being copied to its end before the rollback may start.
TEST_F(FileOpTest, AFailureElsewhereStopsALargeFileAtItsNextStep) {
    if (sys::RunningUnderWine()) GTEST_SKIP() << "Wine's CopyFileExW never calls back";
    ScopedCopyThreads threads(2);
    constexpr uint64_t kSize = uint64_t{192} << 20;
    constexpr uint64_t kLargestStep = uint64_t{64} << 20;
    // The large file in the folder the walker lists first, so that its thread has it before the
    // walker fails in the other one.
    for (const char* name : {"a", "b"})
        fs::create_directories(Data("s") / name);
    std::vector<std::string> order = ListingOrder(Data("s"));
    order.erase(std::remove_if(order.begin(), order.end(),
                               [](const std::string& n) { return n == "." || n == ".."; }),
                order.end());
    ASSERT_EQ(order.size(), 2u);
    WriteFile(Data("s") / order[0] / "big.pak", std::string(kSize, 'x'));
    fs::create_directories(Data("s") / order[1] / "inner");
    fs::create_directories(Data("t"));

    uint64_t atFailure = 0;
    // Making the third folder (t/<second>/inner) fails once the large file has reported a step.
    sys::fault::Arm({sys::Call::kCreateDirectory, 3, sys::kErrAccessDenied, false, [&] {
                         while (op_.ReadCounters().copiedBytes == 0)
                             std::this_thread::yield();
                         atFailure = op_.ReadCounters().copiedBytes;
                     }});

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 10005);

    const uint64_t copied = op_.ReadCounters().copiedBytes;
    EXPECT_LE(copied - atFailure, kLargestStep) << "more than one step after the failure";
    EXPECT_LT(copied, kSize);
    EXPECT_FALSE(fs::exists(Data("t") / order[0] / "big.pak"));
    EXPECT_EQ(op_.ReadCounters().copiedFiles, 0);
    EXPECT_EQ(LoggedCodes().front(), "10005");
    EXPECT_EQ(LogText().find("11235"), std::string::npos) << "the stop is no failure of its own";
}

#ifndef _WIN32
// A folder its owner may not write gets that mode only once the threads have filled it.
TEST_F(CopyPoolTest, ReadOnlyFoldersGetTheirModeAfterTheirFiles) {
    for (int d = 0; d < kFolders; ++d) {
        ASSERT_EQ(::chmod(Data("s/d" + std::to_string(d) + "/in").c_str(), 0555), 0);
        ASSERT_EQ(::chmod(Data("s/d" + std::to_string(d)).c_str(), 0500), 0);
    }
    Cleanup restore([this] {
        for (int d = 0; d < kFolders; ++d) {
            for (const char* root : {"s/d", "t/d"}) {
                ::chmod(Data(root + std::to_string(d)).c_str(), 0755);
                ::chmod(Data(root + std::to_string(d) + "/in").c_str(), 0755);
            }
        }
    });

    EXPECT_EQ(op_.CopyTree(W(Data("s")), W(Data("t"))), 0);

    EXPECT_EQ(WholeFilesInCopy(), kFolders * kFilesPerFolder);
    for (int d = 0; d < kFolders; ++d) {
        struct stat st {};
        ASSERT_EQ(::stat(Data("t/d" + std::to_string(d) + "/in").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0555u);
        ASSERT_EQ(::stat(Data("t/d" + std::to_string(d)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0500u);
    }
}
#endif

}  // namespace
