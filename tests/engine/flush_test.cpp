// Making copies durable before the originals are deleted.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "support.h"

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

}  // namespace
