// POSIX only: the one translation of errno into Windows error numbers.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/fs.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"
#include "support.h"

using namespace testsupport;

namespace {

TEST(ErrnoTable, EachErrnoMapsToItsWindowsError) {
    const struct {
        int err;
        uint32_t win;
    } rows[] = {
        {0, 0},        {ENOTDIR, 3},     {EACCES, 5},         {EPERM, 5},
        {EEXIST, 183}, {ENOTEMPTY, 145}, {EBUSY, 32},         {ETXTBSY, 32},
        {ENOSPC, 112}, {EDQUOT, 112},    {ENAMETOOLONG, 206}, {EROFS, 19},
        {EXDEV, 17},   {ELOOP, 1921},    {EMFILE, 4},         {ENFILE, 4},
        {EIO, 1117},   {EINVAL, 87},     {ENOMEM, 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::strerror(row.err));
        EXPECT_EQ(sys::WinErrorFromErrno(row.err, true), row.win);
        EXPECT_EQ(sys::WinErrorFromErrno(row.err, false), row.win);
        sys::SetLastErrorFromErrno(row.err, "/nonexistent-parent/leaf");
        EXPECT_EQ(sys::GetLastError(), row.win);
        EXPECT_EQ(sys::LastUnmappedErrno(), 0);
    }
}

// Windows tells a missing last part (2) from a missing folder above it (3).
TEST(ErrnoTable, MissingEntryGives2WhenItsFolderExistsElse3) {
    EXPECT_EQ(sys::WinErrorFromErrno(ENOENT, true), sys::kErrFileNotFound);
    EXPECT_EQ(sys::WinErrorFromErrno(ENOENT, false), sys::kErrPathNotFound);

    TempDir dir;
    WriteFile(dir.path() / "file", "x");
    const std::string root = dir.path().string();
    const struct {
        std::string path;
        uint32_t win;
    } rows[] = {
        {root + "/missing", 2},
        {root + "/missing/", 2},  // a trailing separator still names the same entry
        {root + "/gone/missing", 3},
        {root + "/gone/deeper/missing", 3},
        {root + "/file/missing", 3},  // the part above is a file, not a folder
        {"/halvex-no-such-entry", 2},
        {"halvex-no-such-entry", 2},  // relative: its folder is the working folder
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        sys::SetLastErrorFromErrno(ENOENT, row.path);
        EXPECT_EQ(sys::GetLastError(), row.win);
    }
}

TEST(ErrnoTable, UnmappedErrnoGives1AndIsKept) {
    for (const int err : {EPROTO, ENOTSOCK, EOVERFLOW}) {
        SCOPED_TRACE(std::strerror(err));
        EXPECT_EQ(sys::WinErrorFromErrno(err, true), sys::kErrInvalidFunction);
        sys::SetLastErrorFromErrno(err);
        EXPECT_EQ(sys::GetLastError(), sys::kErrInvalidFunction);
        EXPECT_EQ(sys::LastUnmappedErrno(), err);
    }
    // A later error, mapped or set directly, does not carry the old errno along.
    sys::SetLastErrorFromErrno(EACCES);
    EXPECT_EQ(sys::LastUnmappedErrno(), 0);
    sys::SetLastErrorFromErrno(EPROTO);
    sys::SetLastError(sys::kErrInvalidFunction);
    EXPECT_EQ(sys::LastUnmappedErrno(), 0);
}

// The failure that ends a move is told with the path it concerned.
TEST(ErrnoTable, TheLastErrorKeepsThePathItConcerned) {
    sys::SetLastErrorFromErrno(EPERM, "/srv/games/locked.pak");
    EXPECT_EQ(sys::LastErrorPath(), L"/srv/games/locked.pak");
    // Its words are the errno's own, not those of another errno behind the same number.
    EXPECT_EQ(sys::LastErrorText(), L"Operation not permitted");
    EXPECT_EQ(sys::ErrorText(sys::GetLastError()), L"Permission denied");
    sys::SetLastError(sys::kErrDiskFull);  // an error without a path forgets the old one
    EXPECT_EQ(sys::LastErrorPath(), L"");
    EXPECT_EQ(sys::LastErrorText(), L"No space left on device");

    TempDir dir;
    sys::FindData data;
    EXPECT_EQ(sys::FindFirstFileW(dir.wide(L"missing/*"), data), nullptr);
    EXPECT_EQ(sys::GetLastError(), sys::kErrPathNotFound);
    EXPECT_EQ(sys::LastErrorPath(), dir.wide(L"missing"));

    WriteFile(dir.path() / "a.txt", "a");
    EXPECT_FALSE(sys::CopyFileW(dir.wide(L"a.txt"), dir.wide(L"no/such/b.txt"), true));
    EXPECT_EQ(sys::LastErrorPath(), dir.wide(L"no/such/b.txt"));
    EXPECT_FALSE(sys::CopyFileW(dir.wide(L"gone.txt"), dir.wide(L"b.txt"), true));
    EXPECT_EQ(sys::LastErrorPath(), dir.wide(L"gone.txt"));
}

// A cancelled copy is an aborted request, as CopyFileExW reports it.
TEST(ErrnoTable, CancelledMapsToTheAbortedRequest) {
    EXPECT_EQ(sys::WinErrorFromErrno(ECANCELED, true), sys::kErrRequestAborted);
}

}  // namespace
#endif
