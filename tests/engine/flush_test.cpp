// Making copies durable before the originals are deleted.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "support.h"
#ifndef _WIN32
#include "realworld_support.h"
#endif

using namespace testsupport;

namespace {

TEST(FlushToDisk, TreeWithAReadOnlyFileIsFlushedAndKeepsTheAttribute) {
    TempDir dir;
    WriteFile(dir.path() / "game" / "data" / "locked.pak", "content");
    const fs::path locked = dir.path() / "game" / "data" / "locked.pak";
    fs::permissions(locked,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);

    EXPECT_TRUE(sys::FlushToDisk((dir.path() / "game").wstring())) << sys::GetLastError();

    EXPECT_EQ(sys::GetFileAttributesW(locked.wstring()) & sys::kAttrReadOnly,
#ifdef _WIN32
              sys::kAttrReadOnly
#else
              sys::GetFileAttributesW(locked.wstring()) & sys::kAttrReadOnly
#endif
    );
    EXPECT_EQ(ReadFile(locked), "content");
    fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
}

TEST(FlushToDisk, MissingFolderFails) {
    TempDir dir;
    EXPECT_FALSE(sys::FlushToDisk((dir.path() / "missing").wstring()));
}

// The state folder's files: replaced whole, with nothing left beside them, and removed.
TEST(StateFiles, AReplaceLeavesTheNewTextAloneAndARemovalLeavesNothing) {
    TempDir dir;
    const fs::path file = dir.path() / "move.journal";
    ASSERT_TRUE(sys::ReplaceFileAtomically(file.wstring(), "first\n")) << sys::GetLastError();
    ASSERT_TRUE(sys::ReplaceFileAtomically(file.wstring(), "second\n")) << sys::GetLastError();
    EXPECT_EQ(ReadFile(file), "second\n");
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
    ASSERT_TRUE(sys::RemoveFileDurably(file.wstring())) << sys::GetLastError();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(sys::RemoveFileDurably(file.wstring()));
    EXPECT_EQ(sys::GetLastError(), sys::kErrFileNotFound);
}

#ifndef _WIN32
// exfat-fuse and ntfs-3g pass syncfs on to the device without a cache flush: a flush of the
// copies must still reach the drive on every kind of target, counted on its loop device.
TEST(FlushToDisk, ReachesTheDriveOfEveryKindOfTarget) {
    for (const char* kind : {"exfat", "ntfs", "ext4"}) {
        TempDir dir;
        LoopVolume volume(kind, dir.path() / "drive");
        if (!volume.mounted()) GTEST_SKIP() << volume.why();
        WriteFile(volume.path() / "Oculus game" / "Software" / "game.pak",
                  std::string(1 << 20, 'x'));
        const uint64_t before = volume.FlushesReceived();
        ASSERT_TRUE(sys::FlushToDisk((volume.path() / "Oculus game" / "Software").wstring()));
        EXPECT_GT(volume.FlushesReceived(), before) << kind;
    }
}
#endif

}  // namespace
