// Directory links, final paths, and how the tree walks treat links: reading walks follow them,
// a delete never reaches through one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "platform/fs.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr const char* kWineLinks =
    "Wine 8's CreateSymbolicLinkW answers success without making a link; MakeDirLink looks for "
    "the link afterwards and refuses with 4390";

// Windows answers in the file system's spelling, whose letter case may differ.
bool SamePath(std::wstring a, std::wstring b) {
#ifdef _WIN32
    for (auto* s : {&a, &b})
        std::transform(s->begin(), s->end(), s->begin(),
                       [](wchar_t c) { return std::towlower(c); });
#endif
    return a == b;
}

// Makes a directory link with the system's own call; why says when that is not possible here.
bool TestLink(const fs::path& target, const fs::path& link, std::string& why) {
    if (sys::RunningUnderWine()) {
        why = kWineLinks;
        return false;
    }
    std::error_code error;
    fs::create_directory_symlink(target, link, error);
    if (error) why = "cannot make a directory link here: " + error.message();
    return !error;
}

TEST_F(FileOpTest, LinkChainResolvesToTheLastFolder) {
    const fs::path data = Data("data");
    WriteFile(data / "f.txt", "content");
    const int32_t r = op_.MakeDirLink(W(Data("first")), W(data));
    if (sys::RunningUnderWine()) {
        EXPECT_EQ(r, 14390) << kWineLinks;
        EXPECT_EQ(LoggedCodes(), std::vector<std::string>{"14390"});
        return;
    }
    ASSERT_EQ(r, 0);
    ASSERT_EQ(op_.MakeDirLink(W(Data("second")), W(Data("first"))), 0);
    std::wstring finalPath;
    ASSERT_EQ(op_.GetFinalPath(W(Data("second")), finalPath), 0);
    EXPECT_TRUE(SamePath(finalPath, W(data))) << sys::ToUtf8(finalPath);
    EXPECT_EQ(ReadFile(Data("second") / "f.txt"), "content");
    EXPECT_EQ(LogText(), "");
}

TEST_F(FileOpTest, LinkWhoseParentFolderIsMissingFails) {
    fs::create_directories(Data("data"));
    const int32_t r = op_.MakeDirLink(W(Data("missing") / "link"), W(Data("data")));
    if (sys::RunningUnderWine()) {
        EXPECT_EQ(r, 14390) << kWineLinks;
    } else {
        EXPECT_EQ(r, 10003);
    }
    EXPECT_FALSE(fs::exists(Data("missing")));
}

TEST_F(FileOpTest, LinkOverAnExistingEntryFailsAndLeavesTheEntry) {
    WriteFile(Data("data") / "new.txt", "new");
    WriteFile(Data("Software") / "old.txt", "old");
    EXPECT_EQ(op_.MakeDirLink(W(Data("Software")), W(Data("data"))), 10183);
    EXPECT_FALSE(sys::IsLinkOrReparsePoint(W(Data("Software"))));
    EXPECT_EQ(ReadFile(Data("Software") / "old.txt"), "old");
    EXPECT_EQ(LoggedCodes(), std::vector<std::string>{"10183"});
#ifndef _WIN32
    fs::create_directory_symlink(Data("gone"), Data("dangling"));
    EXPECT_EQ(op_.MakeDirLink(W(Data("dangling")), W(Data("data"))), 10183);
    EXPECT_EQ(fs::read_symlink(Data("dangling")), Data("gone"));
#endif
}

TEST_F(FileOpTest, MissingLinkFacilityAnswersTenAndTouchesNothing) {
    fs::create_directories(Data("data"));
    LinkApi().unavailable = true;
    const Cleanup restore([] { LinkApi().unavailable = false; });
    EXPECT_EQ(op_.MakeDirLink(W(Data("link")), W(Data("data"))), 10);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Data("link"))));
    std::wstring finalPath = L"untouched";
    EXPECT_EQ(op_.GetFinalPath(W(Data("data")), finalPath), 10);
    EXPECT_EQ(finalPath, L"untouched");
    EXPECT_EQ(LogText(), "");
}

TEST_F(FileOpTest, FinalPathOfAFolderIsItsPlainAbsolutePath) {
    fs::create_directories(Data("data") / "sub");
    std::wstring finalPath;
    ASSERT_EQ(op_.GetFinalPath(W(Data("data") / "sub" / ".." / ".." / "data"), finalPath), 0);
    EXPECT_TRUE(SamePath(finalPath, W(Data("data")))) << sys::ToUtf8(finalPath);

    EXPECT_EQ(op_.GetFinalPath(W(Data("missing")), finalPath), 10002);
    EXPECT_EQ(op_.GetFinalPath(W(Data("missing") / "deeper"), finalPath), 10003);
    EXPECT_TRUE(SamePath(finalPath, W(Data("data"))));
}

TEST_F(FileOpTest, FinalPathQueryThatAnswersNothingIsAFailure) {
    fs::create_directories(Data("data"));
    sys::fault::Arm({sys::Call::kGetFinalPathName, 1, sys::kErrNotEnoughMemory});
    std::wstring finalPath = L"untouched";
    EXPECT_EQ(op_.GetFinalPath(W(Data("data")), finalPath), 10008);
    EXPECT_EQ(finalPath, L"untouched");
    EXPECT_EQ(LoggedCodes(), std::vector<std::string>{"10008"});
}

#ifndef _WIN32
// A final path of 511 characters fits the 512-character room with its terminator; 512 does not.
TEST_F(FileOpTest, FinalPathOf511CharactersFitsAnd512IsRefused) {
    auto folderOfLength = [this](size_t length, const std::string& tag) {
        fs::path path = dir_.path() / tag;
        while (path.string().size() + 101 < length)
            path /= std::string(100, 'd');
        return path / std::string(length - path.string().size() - 1, 'e');
    };
    const fs::path fits = folderOfLength(511, "a");
    const fs::path tooLong = folderOfLength(512, "b");
    fs::create_directories(fits);
    fs::create_directories(tooLong);
    ASSERT_EQ(fits.string().size(), 511u);
    ASSERT_EQ(tooLong.string().size(), 512u);

    std::wstring finalPath;
    EXPECT_EQ(op_.GetFinalPath(W(fits), finalPath), 0);
    EXPECT_EQ(finalPath, W(fits));
    EXPECT_EQ(op_.GetFinalPath(W(tooLong), finalPath), 9);
    EXPECT_EQ(finalPath, W(fits));
}
#endif

// ---- Walks and links ------------------------------------------------------------------------

TEST_F(FileOpTest, InnerLinkIsFollowedByReadingWalksAndSurvivesDelete) {
    const fs::path outside = Data("outside");
    WriteFile(outside / "keep.txt", "keep");
    const fs::path tree = Data("tree");
    WriteFile(tree / "own.txt", "own");
    std::string why;
    if (!TestLink(outside, tree / "inner", why)) GTEST_SKIP() << why;

    int32_t count = 0;
    ASSERT_EQ(op_.CountFiles(W(tree), count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(op_.SizeTree(W(tree)), 0);
    EXPECT_EQ(op_.TotalBytes(), 7u);
    fs::create_directories(Data("copy"));
    ASSERT_EQ(op_.CopyTree(W(tree), W(Data("copy"))), 0);
    EXPECT_FALSE(fs::is_symlink(Data("copy") / "inner"));  // the copy stands on its own
    EXPECT_EQ(ReadFile(Data("copy") / "inner" / "keep.txt"), "keep");

    ASSERT_EQ(op_.DeleteTree(W(tree), true), 0);
    EXPECT_TRUE(fs::is_empty(tree));
    EXPECT_EQ(ReadFile(outside / "keep.txt"), "keep");

    ASSERT_TRUE(TestLink(outside, tree / "inner", why)) << why;
    ASSERT_EQ(op_.DeleteTree(W(tree), false), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(ReadFile(outside / "keep.txt"), "keep");
}

TEST_F(FileOpTest, DeleteOfALinkRootEmptiesItsFolderAndRemovesTheLink) {
    const fs::path data = Data("data");
    WriteFile(data / "sub" / "a.txt", "a");
    WriteFile(data / "b.txt", "b");
    std::string why;
    if (!TestLink(data, Data("parked"), why)) GTEST_SKIP() << why;

    ASSERT_EQ(op_.DeleteTree(W(Data("parked")), false), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Data("parked"))));
    EXPECT_TRUE(fs::is_directory(data));
    EXPECT_TRUE(fs::is_empty(data));
    EXPECT_EQ(op_.TakeDoneCount(), 2);
}

}  // namespace
