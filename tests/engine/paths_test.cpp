// How each platform spells paths: the rules the checks, the free-space query and the final path
// rest on, row by row for the platform that runs the tests (Linux, and Windows under Wine).
#include <gtest/gtest.h>

#include <string>

#include "fileOp/CFileOp.h"
#include "platform/paths.h"

namespace {

#ifdef _WIN32
// A relative or drive-relative spelling would be checked on one volume and written on another.
TEST(PathSpelling, OnlyADriveWithItsRootIsAbsolute) {
    for (const wchar_t* path : {L"D:", L"D:\\", L"d:\\Games", L"D:/Games"}) {
        EXPECT_TRUE(sys::IsAbsolutePath(path)) << sys::ToUtf8(path);
    }
    for (const wchar_t* path : {L"", L"D", L"D:Games", L"\\Games", L"/Games", L"Games", L"1:\\x",
                                L"\\\\?\\D:\\x", L"\u00e9:\\x"}) {
        EXPECT_FALSE(sys::IsAbsolutePath(path)) << sys::ToUtf8(path);
    }
}

TEST(PathSpelling, FreeSpaceIsAskedOfTheDrive) {
    EXPECT_EQ(sys::VolumeOf(L"E:\\Games\\Oculus game"), L"E:");
    EXPECT_EQ(sys::VolumeOf(L"Games"), L"");
}

TEST(PathSpelling, FinalPathStartsAtItsDriveLetter) {
    std::wstring path;
    ASSERT_TRUE(sys::PathOfFinalPathText(L"\\\\?\\D:\\Oculus\\Software", path));
    EXPECT_EQ(path, L"D:\\Oculus\\Software");
    EXPECT_FALSE(sys::PathOfFinalPathText(L"\\\\?\\UNC\\server\\share", path));
    EXPECT_FALSE(sys::PathOfFinalPathText(L"D:\\Oculus", path));  // no "\" before the drive
}
#else
TEST(PathSpelling, OnlyAPathFromTheRootIsAbsolute) {
    EXPECT_TRUE(sys::IsAbsolutePath(L"/"));
    EXPECT_TRUE(sys::IsAbsolutePath(L"/mnt/games"));
    for (const wchar_t* path : {L"", L"games", L"./games", L"~/games", L"D:\\Games"}) {
        EXPECT_FALSE(sys::IsAbsolutePath(path)) << sys::ToUtf8(path);
    }
}

TEST(PathSpelling, FreeSpaceAndFinalPathUseThePathItself) {
    EXPECT_EQ(sys::VolumeOf(L"/mnt/games/Oculus game"), L"/mnt/games/Oculus game");
    std::wstring path;
    ASSERT_TRUE(sys::PathOfFinalPathText(L"/srv/Oculus/Software", path));
    EXPECT_EQ(path, L"/srv/Oculus/Software");
}
#endif

TEST(PathSpelling, TrailingSeparatorsGoDownToWhatMustStay) {
    const std::wstring sep(1, sys::kSep);
    const std::wstring folder = sep + L"a" + sep + L"b";
    EXPECT_EQ(sys::WithoutTrailingSeparators(folder + sep + sep), folder);
    EXPECT_EQ(sys::WithoutTrailingSeparators(folder), folder);
    EXPECT_EQ(sys::WithoutTrailingSeparators(sep + sep), L"");
    EXPECT_EQ(sys::WithoutTrailingSeparators(sep + sep, 1), sep);  // the root stays a folder
    EXPECT_EQ(sys::WithoutTrailingSeparators(std::string("/x//"), 1), "/x");
#ifdef _WIN32
    EXPECT_EQ(sys::WithoutTrailingSeparators(std::wstring(L"D:\\Games\\/")), L"D:\\Games");
#endif
}

// Spellings, exactly and anywhere: a longer sibling counts, another letter case does not.
TEST(PathSpelling, NestingTestFindsTheSourceAnywhereInTheTarget) {
    EXPECT_TRUE(TargetHoldsSourcePath(L"/srv/Oculus/Software", L"/srv/Oculus/Software"));
    EXPECT_TRUE(TargetHoldsSourcePath(L"/srv/Oculus/Software/games", L"/srv/Oculus/Software"));
    EXPECT_TRUE(TargetHoldsSourcePath(L"/srv/Oculus/Software2", L"/srv/Oculus/Software"));
    EXPECT_TRUE(TargetHoldsSourcePath(L"/mnt/x/srv/Oculus/Software", L"/srv/Oculus/Software"));
    EXPECT_FALSE(TargetHoldsSourcePath(L"/srv/Oculus/software", L"/srv/Oculus/Software"));
    EXPECT_FALSE(TargetHoldsSourcePath(L"/srv/Oculus", L"/srv/Oculus/Software"));
}

}  // namespace
