// File-tree operations on real temporary trees: walks, copies, deletes, renames, target checks,
// cancellation and the progress count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <list>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "support.h"

using namespace testsupport;

namespace {

TEST_F(FileOpTest, EmptyFolderIsCountedSizedCopiedAndDeletedAsEmpty) {
    const fs::path empty = Data("empty");
    const fs::path target = Data("target");
    fs::create_directories(empty);
    fs::create_directories(target);
    int32_t count = -1;
    EXPECT_EQ(op_.CountFiles(W(empty), count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(op_.SizeTree(W(empty)), 0);
    EXPECT_EQ(op_.TotalBytes(), 0u);
    EXPECT_EQ(op_.CopyTree(W(empty), W(target)), 0);
    EXPECT_TRUE(fs::is_empty(target));

    EXPECT_EQ(op_.DeleteTree(W(empty), true), 0);
    EXPECT_TRUE(fs::is_directory(empty));
    EXPECT_EQ(op_.DeleteTree(W(empty), false), 0);
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_EQ(LogText(), "");
}

#ifndef _WIN32
TEST_F(FileOpTest, FifoInATreeIsRefusedWithoutBlockingTheCopy) {
    const fs::path source = Data("source");
    WriteFile(source / "a.txt", "a");
    ASSERT_EQ(::mkfifo((source / "pipe").c_str(), 0600), 0);
    const fs::path target = Data("target");
    fs::create_directories(target);

    // A blocking open of the FIFO would wait here for a writer that never comes.
    EXPECT_EQ(op_.CopyTree(W(source), W(target)), 10000 + sys::kErrNotSupported);
    EXPECT_FALSE(fs::exists(target / "pipe"));
}
#endif

TEST_F(FileOpTest, DotNamesAndNonAsciiNamesAreOrdinaryEntries) {
    const fs::path source = Data("source");
    std::vector<fs::path> files = {".x", "..x", fs::path(u8"\u00fcber \u65e5\u672c.txt"),
                                   fs::path(u8"\u0444\u0430\u0439\u043b") / ".x"};
#ifndef _WIN32
    // Win32 paths drop trailing dots, so only here can "..." be both a folder and a file.
    files.push_back(fs::path("...") / "...");
#else
    files.push_back(fs::path("..y") / "..x");
#endif
    for (const fs::path& file : files)
        WriteFile(source / file, file.generic_string());
    const fs::path target = Data("target");
    fs::create_directories(target);

    int32_t count = 0;
    ASSERT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 5);
    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    for (const fs::path& file : files)
        EXPECT_EQ(ReadFile(target / file), file.generic_string()) << file;
    EXPECT_EQ(op_.TakeDoneCount(), 5);

    ASSERT_EQ(op_.DeleteTree(W(source), false), 0);
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(op_.TakeDoneCount(), 5);
}

TEST_F(FileOpTest, DeepTreeIsCountedCopiedAndDeletedToTheBottom) {
    const fs::path source = Data("s");
    fs::path deep = source;
    for (int level = 0; level < 40; ++level)
        deep /= "d";
    WriteFile(deep / "bottom.txt", "deep");
    WriteFile(source / "top.txt", "top");
    const fs::path target = Data("t");
    fs::create_directories(target);

    int32_t count = 0;
    ASSERT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    EXPECT_EQ(ReadFile(target / fs::relative(deep / "bottom.txt", source)), "deep");
    ASSERT_EQ(op_.DeleteTree(W(source), true), 0);
    EXPECT_TRUE(fs::is_directory(source));
    EXPECT_TRUE(fs::is_empty(source));
}

// Inside a tree the copy is making, a name already there can only be a collision: nothing is
// overwritten and no two folders are merged.
TEST_F(FileOpTest, CopyRefusesEveryNameAlreadyInItsWay) {
    const fs::path source = Data("s");
    WriteFile(source / "same.txt", "new");
    WriteFile(Data("t1") / "same.txt", "an older and much longer content");
    EXPECT_EQ(op_.CopyTree(W(source), W(Data("t1"))), 10183);
    EXPECT_EQ(ReadFile(Data("t1") / "same.txt"), "an older and much longer content");

    fs::remove(source / "same.txt");
    WriteFile(source / "sub" / "inner.txt", "inner new");
    WriteFile(Data("t2") / "sub" / "kept.txt", "kept");
    EXPECT_EQ(op_.CopyTree(W(source), W(Data("t2"))), 10183);
    EXPECT_FALSE(fs::exists(Data("t2") / "sub" / "inner.txt"));
    EXPECT_NE(LogText().find("name taken in the copy: " + (Data("t2") / "sub").string()),
              std::string::npos);
    EXPECT_EQ(op_.TakeDoneCount(), 0);
}

TEST_F(FileOpTest, CopyIntoMissingTargetFailsAtTheFirstEntry) {
    const fs::path source = Data("s");
    WriteFile(source / "a.txt", "a");
    EXPECT_EQ(op_.CopyTree(W(source), W(Data("missing"))), 10003);
    EXPECT_FALSE(fs::exists(Data("missing")));
    EXPECT_NE(LogText().find("10003"), std::string::npos);
}

TEST_F(FileOpTest, CopyKeepsModificationTimeAndMode) {
    const fs::path source = Data("s");
    WriteFile(source / "tool.sh", "#!/bin/sh\n");
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(source / "tool.sh", stamp);
#ifndef _WIN32
    fs::permissions(source / "tool.sh", fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_exec);
#endif
    const fs::path target = Data("t");
    fs::create_directories(target);
    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    EXPECT_EQ(fs::last_write_time(target / "tool.sh"), fs::last_write_time(source / "tool.sh"));
    EXPECT_EQ(fs::status(target / "tool.sh").permissions(),
              fs::status(source / "tool.sh").permissions());
}

// A folder's write time in FindData's ticks, read and set as the system does (a folder's times
// are set through a handle opened with backup semantics on Windows).
uint64_t FolderTime(const fs::path& folder) {
    sys::FolderMetadata data;
    EXPECT_TRUE(sys::GetFolderMetadata(W(folder), data)) << folder;
    return data.writeTime;
}

void SetFolderTime(const fs::path& folder, uint64_t ticks) {
#ifdef _WIN32
    const HANDLE handle =
        ::CreateFileW(folder.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << folder;
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(::SetFileTime(handle, nullptr, nullptr, &time)) << folder;
    ::CloseHandle(handle);
#else
    const timespec times[2] = {
        {static_cast<time_t>(ticks / 1000000000), static_cast<long>(ticks % 1000000000)},
        {static_cast<time_t>(ticks / 1000000000), static_cast<long>(ticks % 1000000000)}};
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, 0), 0) << folder;
#endif
}

// Every folder of a copy, its root too, gets its original's write time once it is filled, and
// the check compares each folder's time and mode (Windows: attributes), naming the original's
// folder; a copy that may hold more has had entries made in it, so its folders' own metadata
// is not judged.
TEST_F(FileOpTest, FoldersKeepTheirWriteTimeAndTheCheckComparesTheirOwnMetadata) {
    const fs::path source = Data("s");
    WriteFile(source / "a" / "b" / "f.txt", "f");
    WriteFile(source / "a" / "g.txt", "g");
    fs::create_directories(source / "empty");
    const uint64_t old = FolderTime(source) - 900 * 86400 * sys::kWriteTimeTicksPerSecond + 12345;
    uint64_t minute = 0;
    for (const fs::path& folder : {source / "a" / "b", source / "a", source / "empty", source})
        SetFolderTime(folder, old + 60 * sys::kWriteTimeTicksPerSecond * ++minute);
    const fs::path target = Data("t");
    fs::create_directories(target);

    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    for (const fs::path& folder : {fs::path("a") / "b", fs::path("a"), fs::path("empty")})
        EXPECT_EQ(FolderTime(target / folder), FolderTime(source / folder)) << folder;
    EXPECT_EQ(FolderTime(target), FolderTime(source));
    std::wstring difference;
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(target), difference), 0)
        << sys::ToUtf8(difference);

    for (const fs::path& folder : {fs::path("a") / "b", fs::path()}) {
        const fs::path copied = folder.empty() ? target : target / folder;
        const fs::path original = folder.empty() ? source : source / folder;
        const uint64_t time = FolderTime(copied);
        std::vector<std::pair<std::string, std::function<void(bool)>>> changes{
            {"time", [&](bool undo) {
                 SetFolderTime(copied, undo ? time : time + 10 * sys::kWriteTimeTicksPerSecond);
             }}};
#ifdef _WIN32
        changes.emplace_back("attributes", [&](bool undo) {
            ::SetFileAttributesW(copied.wstring().c_str(),
                                 undo ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_HIDDEN);
        });
#else
        const fs::perms mode = fs::status(copied).permissions();
        changes.emplace_back("mode", [&](bool undo) {
            fs::permissions(copied, undo ? mode : fs::perms::owner_all);
        });
#endif
        for (const auto& [what, change] : changes) {
            change(false);
            const std::string label = what + " of " + original.string();
            EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(target), difference), kCodeCopyDiffers)
                << label;
            EXPECT_EQ(difference, W(original)) << label;
            EXPECT_EQ(op_.Compare().VerifyHeldIn(W(source), W(target), difference), 0) << label;
            change(true);
            EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(target), difference), 0) << label;
        }
    }
}

TEST_F(FileOpTest, CopyOntoItselfFailsAndKeepsTheContent) {
    const fs::path file = Data("self.txt");
    WriteFile(file, "precious");
    EXPECT_NE(op_.CopyOneFile(W(file), W(file)), 0);
    EXPECT_EQ(ReadFile(file), "precious");
}

TEST_F(FileOpTest, DeleteThatFailsPartWayReportsFolderNotEmptyAtEveryLevel) {
    const fs::path root = Data("root");
    const fs::path locked = root / "a" / "b" / "locked.txt";
    WriteFile(locked, "locked");
    WriteFile(root / "a" / "b" / "z.txt", "z");
    std::string why;
    const Cleanup undo = MakeUndeletable(locked, why);
    if (!why.empty()) GTEST_SKIP() << why;

    EXPECT_EQ(op_.DeleteTree(W(root), false), 10145);
    EXPECT_TRUE(fs::exists(locked));
    const std::vector<std::string> codes = LoggedCodes();
    ASSERT_FALSE(codes.empty());
    EXPECT_TRUE(codes.front() == "10005" || codes.front() == "10032") << codes.front();
    EXPECT_GE(std::count(codes.begin(), codes.end(), "10145"), 3);  // b, a and root
}

TEST_F(FileOpTest, EnumerationFailureEndsDeleteWithoutRemovingTheRoot) {
    const fs::path root = Data("root");
    WriteFile(root / "a.txt", "a");
    sys::fault::Arm({sys::Call::kFindNextFile, 1, sys::kErrAccessDenied});
    EXPECT_EQ(op_.DeleteTree(W(root), false), 10005);
    EXPECT_TRUE(fs::is_directory(root));
}

// "No more files" and "already exists" are the two codes this program treats as harmless on
// every tree and file call but the rename: the call counts as done and the walk goes on. That
// holds for a single file's delete too, although nothing was deleted; what is really left is
// found by the folder's own removal and by the checks after the move.
TEST_F(FileOpTest, HarmlessCodesCountAsSuccessOnEveryCallButTheRename) {
    const fs::path empty = Data("empty");
    fs::create_directories(empty);
    sys::fault::Arm({sys::Call::kFindFirstFile, 1, sys::kErrNoMoreFiles});
    int32_t count = -1;
    EXPECT_EQ(op_.CountFiles(W(empty), count), 0);  // an empty listing
    EXPECT_EQ(count, 0);
    sys::fault::Arm({sys::Call::kFindFirstFile, 2, sys::kErrNoMoreFiles});
    EXPECT_EQ(op_.DeleteTree(W(empty), false), 0);  // still runs its closing step
    EXPECT_FALSE(fs::exists(empty));
    sys::fault::Arm({sys::Call::kDeleteFile, 1, sys::kErrAlreadyExists});
    EXPECT_EQ(op_.DeleteOneFile(W(Data("whatever"))), 0);
    EXPECT_EQ(LogText(), "");  // and none of them is logged as a failure
}

// A size above 4 GiB reaches the count through the high word of the Windows listing: 5 GiB and
// 3 bytes, sparse on the host's file system (under Wine too, whose end-of-file call extends the
// host's file without writing it).
void MakeSparse(const fs::path& file, uint64_t size) {
#ifdef _WIN32
    const HANDLE handle = ::CreateFileW(file.wstring().c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD returned = 0;  // a real NTFS volume keeps the holes only when told
    ::DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool sized =
        ::SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle);
    ::CloseHandle(handle);
    ASSERT_TRUE(sized);
#else
    WriteFile(file, "");
    fs::resize_file(file, size);
#endif
    ASSERT_EQ(fs::file_size(file), size);
}

TEST_F(FileOpTest, SizeTreeAddsSizesAboveFourGibibytesAcrossCalls) {
    const fs::path source = Data("s");
    WriteFile(source / "small.bin", "12345");
    fs::create_directories(source / "sub");
    MakeSparse(source / "sub" / "huge.bin", (uint64_t{5} << 30) + 3);
    ASSERT_EQ(op_.SizeTree(W(source)), 0);
    EXPECT_EQ(op_.TotalBytes(), (uint64_t{5} << 30) + 8);
    ASSERT_EQ(op_.SizeTree(W(source)), 0);
    EXPECT_EQ(op_.TotalBytes(), 2 * ((uint64_t{5} << 30) + 8));
}

// ---- Cancel -------------------------------------------------------------------------------------

TEST_F(FileOpTest, CancelStaysUntilResetAndStopsEveryWalkAtItsFirstEntry) {
    const fs::path source = Data("s");
    WriteFile(source / "a.txt", "a");
    const fs::path target = Data("t");
    fs::create_directories(target);
    op_.Cancel();
    int32_t count = 42;
    EXPECT_EQ(op_.CountFiles(W(source), count), 3);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(op_.SizeTree(W(source)), 3);
    EXPECT_EQ(op_.CopyTree(W(source), W(target)), 3);
    EXPECT_EQ(op_.DeleteTree(W(source), false), 3);
    EXPECT_TRUE(fs::exists(source / "a.txt"));
    EXPECT_TRUE(fs::is_empty(target));

    op_.ResetCancel();
    EXPECT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 1);
}

TEST_F(FileOpTest, CancelDuringCopyStopsInsideTheFileItWasCopying) {
    ScopedCopyThreads walkerOnly(1);  // which files end first is the threads' own business
    const fs::path source = Data("s");
    for (int i = 0; i < 6; ++i)
        WriteFile(source / ("f" + std::to_string(i)), "data");
    const fs::path target = Data("t");
    fs::create_directories(target);
    sys::fault::Arm({sys::Call::kCopyFile, 2, 0, false, [this] { op_.Cancel(); }});

    EXPECT_EQ(op_.CopyTree(W(source), W(target)), 3);
    // Wine copies a file in one go without calling back: its file ends, the walk stops after it.
    const int copied = sys::RunningUnderWine() ? 2 : 1;
    EXPECT_EQ(op_.TakeDoneCount(), copied);
    EXPECT_EQ(op_.ReadCounters().copiedFiles, copied);
    EXPECT_EQ(std::distance(fs::directory_iterator(target), fs::directory_iterator()), copied);
}

// A cancel is heard between the steps of one large file, and the part written goes with it.
TEST_F(FileOpTest, LargeFileCancelledAfterItsFirstStepLeavesNoPartBehind) {
    if (sys::RunningUnderWine()) GTEST_SKIP() << "Wine's CopyFileExW never calls back";
    const fs::path source = Data("s");
    WriteFile(source / "big.pak", std::string(40 << 20, 'x'));
    const fs::path target = Data("t");
    fs::create_directories(target);
    sys::fault::Arm({sys::Call::kCopyFile, 1, 0, false, [this] { op_.Cancel(); }});

    EXPECT_EQ(op_.CopyTree(W(source), W(target)), 3);

    EXPECT_FALSE(fs::exists(target / "big.pak"));
    const CFileOp::Counters done = op_.ReadCounters();
    EXPECT_GT(done.copiedBytes, 0u);
    EXPECT_LT(done.copiedBytes, uint64_t{40} << 20);
    EXPECT_EQ(done.copiedFiles, 0);
    EXPECT_EQ(LoggedCodes().front(), "3");
}

TEST_F(FileOpTest, CountAndCopySumTheBytesOfEveryFileOnce) {
    const fs::path source = Data("s");
    WriteFile(source / "a.bin", std::string(1000, 'a'));
    WriteFile(source / "deep" / "er" / "b.bin", std::string(70000, 'b'));
    WriteFile(source / "empty.txt", "");
    uint64_t expected = 71000;
    uint64_t holes = 0;  // the copy passes them over: no time, and the count knows them ahead
#ifndef _WIN32
    fs::create_symlink("a.bin", source / "to-a");             // followed: a's bytes again
    fs::create_symlink("nowhere", source / "dangling");       // a link, no bytes
    fs::create_hard_link(source / "a.bin", source / "hard");  // made as a link; counted as a file
    WriteFile(source / "sparse.bin", "");
    fs::resize_file(source / "sparse.bin", 5 << 20);
    expected += 1000 + 1000 + (5 << 20);
    holes = 5 << 20;
#endif
    int32_t count = 0;
    ASSERT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(op_.CountedBytes(), expected);
    EXPECT_EQ(op_.CountedHoleBytes(), holes);
    // The names-only count (the bytes known from the target check) counts the same entries,
    // and the check sized each source on its own.
    int32_t named = 0;
    ASSERT_EQ(op_.CountFiles(W(source), named, false), 0);
    EXPECT_EQ(named, count);
    fs::create_directories(Data("elsewhere"));
    ASSERT_EQ(op_.CheckTarget({W(source), W(source / "deep")}, W(Data("elsewhere"))), 0);
    EXPECT_EQ(op_.SourceBytes(), (std::vector<uint64_t>{expected, 70000}));
    EXPECT_EQ(op_.SourceHoleBytes(), (std::vector<uint64_t>{holes, 0}));

    const fs::path target = Data("t");
    fs::create_directories(target);
    op_.ResetCounters();
    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);
    CFileOp::Counters done = op_.ReadCounters();
    EXPECT_EQ(done.copiedBytes, expected);
    EXPECT_EQ(done.holeBytes, holes);
    EXPECT_EQ(done.copiedFiles, count);
    EXPECT_EQ(done.deletedFiles, 0);

    ASSERT_EQ(op_.DeleteTree(W(target), false), 0);
    EXPECT_EQ(op_.ReadCounters().deletedFiles, count);
    op_.ResetCounters();
    done = op_.ReadCounters();
    EXPECT_EQ(done.copiedBytes + done.copiedFiles + done.deletedFiles, 0u);
}

TEST_F(FileOpTest, WholeFileCopyReportsItsBytesInStepsOfAtMost64MiB) {
    const fs::path file = Data("big.bin");
    WriteFile(file, std::string(100 << 20, 'y'));
    std::vector<uint64_t> steps;
    const bool copied =
        sys::CopyFileW(W(file), W(Data("copy.bin")), true, [&](uint64_t bytes, bool) {
            steps.push_back(bytes);
            return true;
        });
    ASSERT_TRUE(copied) << sys::GetLastError();
    EXPECT_EQ(fs::file_size(Data("copy.bin")), uint64_t{100} << 20);
    if (sys::RunningUnderWine()) {
        EXPECT_TRUE(
            steps.empty());  // Wine's CopyFileExW never calls back; CFileOp counts at the end
        return;
    }
    EXPECT_GE(steps.size(), 2u);
    uint64_t sum = 0;
    for (const uint64_t step : steps) {
        EXPECT_LE(step, uint64_t{64} << 20);
        sum += step;
    }
    EXPECT_EQ(sum, uint64_t{100} << 20);
}

// A failed copy names the file it failed on, source or target, for the closing words.
TEST_F(FileOpTest, FailedWholeFileCopyNamesTheFileItConcerned) {
    WriteFile(Data("a.txt"), "a");
    EXPECT_FALSE(sys::CopyFileW(W(Data("gone.txt")), W(Data("b.txt")), true,
                                [](uint64_t, bool) { return true; }));
    EXPECT_EQ(sys::LastErrorPath(), W(Data("gone.txt")));
    EXPECT_FALSE(sys::CopyFileW(W(Data("a.txt")), W(Data("no") / "such" / "b.txt"), true));
    EXPECT_EQ(sys::LastErrorPath(), W(Data("no") / "such" / "b.txt"));
    EXPECT_FALSE(sys::ErrorText(sys::GetLastError()).empty());
    sys::SetLastError(sys::kErrDiskFull);  // another error: the path no longer belongs to it
    EXPECT_EQ(sys::LastErrorPath(), L"");
}

TEST_F(FileOpTest, WholeFileCopyStoppedByItsProgressFailsAsAbortedAndLeavesNoFile) {
    const fs::path file = Data("big.bin");
    WriteFile(file, std::string(20 << 20, 'z'));
    int calls = 0;
    const bool copied = sys::CopyFileW(W(file), W(Data("copy.bin")), true,
                                       [&](uint64_t, bool) { return ++calls < 2; });
    if (sys::RunningUnderWine()) {
        EXPECT_TRUE(copied);  // nothing to stop it: Wine never calls back
        return;
    }
    EXPECT_FALSE(copied);
    EXPECT_EQ(sys::GetLastError(), sys::kErrRequestAborted);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(fs::exists(Data("copy.bin")));
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(FileOpTest, CancelInSubFolderIsSeenByTheEnclosingWalkAtItsNextEntry) {
    const fs::path source = Data("s");
    WriteFile(source / "one" / "a.txt", "a");
    WriteFile(source / "two" / "b.txt", "b");
    // Whichever sub-folder is opened first, the other one is still to come.
    sys::fault::Arm({sys::Call::kFindFirstFile, 2, 0, false, [this] { op_.Cancel(); }});
    int32_t count = 42;
    EXPECT_EQ(op_.CountFiles(W(source), count), 3);
    EXPECT_EQ(count, 42);

    op_.ResetCancel();  // the cancelled walk left no partial count behind
    EXPECT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 2);
}

TEST_F(FileOpTest, CancelInTheLastSubFolderCompletesWithTheFilesCountedSoFar) {
    const fs::path source = Data("s");
    // Listing order is the file system's (hash order on ext4): pick a sub-folder name that
    // comes last, so no enclosing entry is left to notice the cancel.
    fs::path sub;
    for (int i = 0; sub.empty() && i < 100; ++i) {
        fs::create_directories(source / ("sub" + std::to_string(i)));
        if (ListingOrder(source).back() == "sub" + std::to_string(i)) {
            sub = source / ("sub" + std::to_string(i));
        } else {
            fs::remove(source / ("sub" + std::to_string(i)));
        }
    }
    ASSERT_FALSE(sub.empty());
    for (const char* name : {"a", "b", "c"})
        WriteFile(sub / name, name);
    // Each listing call moves one entry on: the top level makes one per entry, then the
    // sub-folder's calls run until the one that fetches the entry after its first file.
    const std::vector<std::string> top = ListingOrder(source);
    const std::vector<std::string> inner = ListingOrder(sub);
    const auto firstFile = std::find_if(inner.begin(), inner.end(),
                                        [](const std::string& n) { return n != "." && n != ".."; });
    const auto nth = top.size() + static_cast<size_t>(firstFile - inner.begin()) + 1;
    sys::fault::Reset();  // the listings above made calls of their own
    sys::fault::Arm({sys::Call::kFindNextFile, nth, 0, false, [this] { op_.Cancel(); }});

    int32_t count = 42;
    EXPECT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 1);
}

TEST_F(FileOpTest, DoneCountAndCancelFromAnotherThreadLoseNothing) {
    const fs::path source = Data("s");
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i)
        WriteFile(source / std::to_string(i % 7) / std::to_string(i), "x");
    const fs::path first = Data("first");
    const fs::path second = Data("second");
    fs::create_directories(first);
    fs::create_directories(second);

    std::atomic<bool> done{false};
    int64_t taken = 0;
    std::thread reader([&] {
        while (!done.load())
            taken += op_.TakeDoneCount();
    });
    EXPECT_EQ(op_.CopyTree(W(source), W(first)), 0);
    done = true;
    reader.join();
    EXPECT_EQ(taken + op_.TakeDoneCount(), kFiles);

    done = false;
    taken = 0;
    std::thread canceller([&] {
        while (!done.load()) {
            taken += op_.TakeDoneCount();
            if (taken >= 20) op_.Cancel();
        }
    });
    const int32_t r = op_.CopyTree(W(source), W(second));
    done = true;
    canceller.join();
    EXPECT_TRUE(r == 3 || r == 0) << r;
    int64_t copied = 0;
    for (const auto& entry : fs::recursive_directory_iterator(second))
        copied += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(taken + op_.TakeDoneCount(), copied);
}

// ---- Rename ------------------------------------------------------------------------------------

TEST_F(FileOpTest, RenameUniqueAppendsTheSuffixAgainUntilANameIsFree) {
    const fs::path old = Data("Software");
    WriteFile(old / "game.bin", "game");
    fs::create_directories(Data("SoftwareVarko"));
    fs::create_directories(Data("SoftwareVarko(1)"));
    std::wstring used = L"untouched";

    ASSERT_EQ(op_.RenameUnique(W(old), W(Data("SoftwareVarko")), used), 0);
    EXPECT_EQ(used, W(Data("SoftwareVarko(1)(1)")));
    EXPECT_EQ(ReadFile(Data("SoftwareVarko(1)(1)") / "game.bin"), "game");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::is_empty(Data("SoftwareVarko")));
    EXPECT_EQ(LogText(), "");  // a taken name is not a failure
}

TEST_F(FileOpTest, MoveOneOntoATakenNameRefusesWithoutReplacing) {
    WriteFile(Data("a.txt"), "a");
    WriteFile(Data("b.txt"), "b");
    EXPECT_EQ(op_.MoveOne(W(Data("a.txt")), W(Data("b.txt"))), 10183);
    EXPECT_EQ(ReadFile(Data("b.txt")), "b");
    EXPECT_EQ(LogText(), "");

    std::wstring used = L"untouched";
    EXPECT_EQ(op_.RenameUnique(W(Data("missing")), W(Data("elsewhere")), used), 10002);
    EXPECT_EQ(used, L"untouched");
    EXPECT_EQ(LoggedCodes(), (std::vector<std::string>{"10002", "10002"}));
}

// ---- Target check -----------------------------------------------------------------------------

TEST_F(FileOpTest, TargetThatMerelyContainsASourcePathAsTextIsRefused) {
    const fs::path software = Data("Oculus") / "Software";
    WriteFile(software / "a.bin", "a");
    fs::create_directories(Data("Oculus") / "Software2");
    fs::create_directories(Data("elsewhere"));
    fs::create_directories(software / "inner");

    EXPECT_EQ(CFileOp().CheckTarget({W(software)}, W(Data("Oculus") / "Software2")), 2);
    EXPECT_EQ(CFileOp().CheckTarget({W(software)}, W(software / "inner")), 2);
    EXPECT_EQ(CFileOp().CheckTarget({W(software)}, W(Data("elsewhere"))), 0);
}

// The move copies each source into a folder of its own name, and "Software" is one unit shorter
// than "Downloads": each is measured under its own, to the exact limit of a file's and a
// folder's path, one unit over refused in either.
TEST_F(FileOpTest, EachSourceIsMeasuredUnderItsOwnFolderToTheExactLimit) {
    const fs::path base = Data("O");
    const fs::path target = Data("t");
    fs::create_directories(target);
    const auto copyRoot = [&](const char* folder) {
        return W(target) + sys::kSep + L"Oculus game" + sys::kSep + sys::FromUtf8(folder);
    };
    // Makes below folder an entry whose copy path under the target is exactly units long.
    const auto make = [&](const char* folder, size_t units, bool isFolder) {
        fs::remove_all(base);
        for (const char* name : {"Software", "Downloads"})
            fs::create_directories(base / name);
        size_t left = units - sys::PathUnits(copyRoot(folder));
        fs::path entry = base / folder;
        while (left > 0) {
            size_t part = std::min<size_t>(200, left - 1);  // a separator before each
            if (left - part - 1 == 1) --part;               // no name can be empty
            entry /= std::string(part, 'a' + static_cast<char>(left % 26));
            left -= part + 1;
        }
        if (isFolder) {
            fs::create_directories(entry);
        } else {
            WriteFile(entry, "x");
        }
    };
    const std::list<std::wstring> sources{W(base / "Software"), W(base / "Downloads")};
    for (const char* folder : {"Software", "Downloads"}) {
        for (const bool isFolder : {false, true}) {
            const size_t limit = isFolder ? sys::kMaxFolderPathUnits : sys::kMaxFilePathUnits;
            make(folder, limit, isFolder);
            EXPECT_EQ(CFileOp().CheckTarget(sources, W(target)), 0)
                << folder << (isFolder ? " folder" : " file") << " at the limit";
            make(folder, limit + 1, isFolder);
            EXPECT_EQ(CFileOp().CheckTarget(sources, W(target)), 5)
                << folder << (isFolder ? " folder" : " file") << " one over";
        }
    }
}

TEST_F(FileOpTest, TargetCheckWhoseQueryFailsAnswersFour) {
    const fs::path software = Data("Software");
    WriteFile(software / "a.bin", "a");
    const std::wstring target = W(dir_.path());
    for (sys::Call call :
         {sys::Call::kFindFirstFile, sys::Call::kGetDiskFreeSpace, sys::Call::kCreateFile}) {
        sys::fault::Reset();
        sys::fault::Arm({call, 1, sys::kErrAccessDenied});
        EXPECT_EQ(CFileOp().CheckTarget({W(software)}, target), 4) << sys::fault::Name(call);
    }
}

}  // namespace
