// File-tree operations against a small real volume of their own: free space, a full disk and a
// copy across file systems. Needs root to mount a tmpfs; skipped otherwise.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "platform/fs.h"
#include "support.h"

using namespace testsupport;

namespace {

// A 1 MiB tmpfs mounted at a folder for the life of the object.
class SmallVolume {
  public:
    explicit SmallVolume(const fs::path& at) : at_(at) {
        fs::create_directories(at);
        const std::string command = "mount -t tmpfs -o size=1m halvex-test '" + at.string() + "'";
        mounted_ = std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    ~SmallVolume() {
        if (mounted_) std::system(("umount '" + at_.string() + "'").c_str());
    }
    bool mounted() const { return mounted_; }

  private:
    fs::path at_;
    bool mounted_ = false;
};

constexpr const char* kNoMount = "mounting a small tmpfs needs root (or CAP_SYS_ADMIN)";

std::string Noise(size_t size) {
    std::mt19937 random(7);
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(random());
    return text;
}

TEST_F(FileOpTest, FreeSpaceExactlyTheSizeIsTooLittle) {
    const SmallVolume volume(Data("volume"));
    if (!volume.mounted()) GTEST_SKIP() << kNoMount;
    uint64_t freeBytes = 0;
    ASSERT_EQ(op_.GetDiskFree(W(Data("volume")), freeBytes), 0);
    ASSERT_GT(freeBytes, 0u);
    const fs::path source = Data("Software");
    WriteFile(source / "game.bin", "");

    fs::resize_file(source / "game.bin", freeBytes);  // sparse: costs nothing on the source disk
    EXPECT_EQ(CFileOp().CheckTarget({W(source)}, W(Data("volume"))), 1);
    fs::resize_file(source / "game.bin", freeBytes - 1);
    EXPECT_EQ(CFileOp().CheckTarget({W(source)}, W(Data("volume"))), 0);
    // Both folders of a move count together.
    WriteFile(Data("Downloads") / "one.bin", "1");
    EXPECT_EQ(CFileOp().CheckTarget({W(source), W(Data("Downloads"))}, W(Data("volume"))), 1);
}

TEST_F(FileOpTest, FullDiskFailsTheCopyAndLeavesNoHalfFile) {
    const SmallVolume volume(Data("volume"));
    if (!volume.mounted()) GTEST_SKIP() << kNoMount;
    const fs::path source = Data("s");
    WriteFile(source / "big.bin", Noise(3 << 20));

    EXPECT_EQ(op_.CopyTree(W(source), W(Data("volume"))), 10112);
    EXPECT_FALSE(fs::exists(Data("volume") / "big.bin"));
    EXPECT_EQ(op_.TakeDoneCount(), 0);
    EXPECT_EQ(LoggedCodes().front(), "10112");
}

TEST_F(FileOpTest, CopyAcrossFileSystemsKeepsContentModeAndTime) {
    const SmallVolume volume(Data("volume"));
    if (!volume.mounted()) GTEST_SKIP() << kNoMount;
    const fs::path source = Data("volume") / "s";
    const std::string content = Noise(300 << 10);
    WriteFile(source / "sub" / "data.bin", content);
    WriteFile(source / "empty.bin", "");
    fs::permissions(source / "sub" / "data.bin", fs::perms::owner_read | fs::perms::group_read);
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1000);
    fs::last_write_time(source / "sub" / "data.bin", stamp);
    const fs::path target = Data("t");
    fs::create_directories(target);

    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    EXPECT_TRUE(ReadFile(target / "sub" / "data.bin") == content);
    EXPECT_EQ(fs::status(target / "sub" / "data.bin").permissions(),
              fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(fs::last_write_time(target / "sub" / "data.bin"), stamp);
    EXPECT_TRUE(fs::exists(target / "empty.bin"));
    EXPECT_TRUE(sys::FlushToDisk(W(target)));
}

}  // namespace
#endif
