// Large files are copied around the page cache (unbuffered on Windows): the copy must still keep
// every byte, the times and the holes, leave the cache as it found it, and stop on a cancel.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

#include "fileOp/CFileOp.h"
#include "fileop_support.h"
#include "platform/fs.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Bytes that differ from offset to offset, so that a step written to the wrong place shows.
std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// A file of size bytes holding the given pieces at their offsets and nothing (a hole, where the
// file system has them) elsewhere; written through to the disk, so that its pages are clean.
void WriteSparse(const fs::path& file, uint64_t size,
                 const std::vector<std::pair<uint64_t, std::string>>& pieces) {
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary);
        for (const auto& [offset, bytes] : pieces) {
            out.seekp(static_cast<std::streamoff>(offset));
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
    }
    fs::resize_file(file, size);
#ifndef _WIN32
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ::fsync(fd);
    ::close(fd);
#endif
}

// The whole content as one string with the pieces in place and zeros elsewhere.
std::string Expected(uint64_t size, const std::vector<std::pair<uint64_t, std::string>>& pieces) {
    std::string bytes(size, '\0');
    for (const auto& [offset, piece] : pieces)
        bytes.replace(offset, piece.size(), piece);
    return bytes;
}

#ifndef _WIN32
// Where the file keeps data: [start, end) of each run, as SEEK_DATA and SEEK_HOLE tell.
std::vector<std::pair<off_t, off_t>> DataRuns(const fs::path& file) {
    std::vector<std::pair<off_t, off_t>> runs;
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return runs;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    for (off_t at = 0; at < size;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) break;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        runs.emplace_back(data, hole);
        at = hole;
    }
    ::close(fd);
    return runs;
}

// Bytes of the file that are in the page cache now.
uint64_t CachedBytes(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const auto size = static_cast<size_t>(::lseek(fd, 0, SEEK_END));
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return 0;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages((size + page - 1) / page);
    uint64_t cached = 0;
    if (::mincore(map, size, pages.data()) == 0) {
        for (const unsigned char p : pages)
            cached += (p & 1) ? page : 0;
    }
    ::munmap(map, size);
    return cached;
}

bool OnTmpfs(const fs::path& path) {
    struct statfs info {};
    return ::statfs(path.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}
#endif

// A sparse file: data at the start (ending inside a block), a hole, data in the middle, and a
// hole up to an odd size; and a plain file of an odd size just above where the uncached copy
// starts.
const uint64_t kSparseSize = 80 * kMiB + 5;
const std::vector<std::pair<uint64_t, std::string>> kSparsePieces = {
    {0, Pattern(2 * kMiB + 123, 1)}, {24 * kMiB, Pattern(30 * kMiB, 2)}};
const uint64_t kPlainSize = sys::kUncachedCopyFrom + 4097;

TEST_F(FileOpTest, UncachedCopyKeepsEveryByteTheTimesAndTheHolesAndLeavesTheCacheAlone) {
    const fs::path source = Data("s");
    WriteSparse(source / "sparse.pak", kSparseSize, kSparsePieces);
    const std::vector<std::pair<uint64_t, std::string>> plain = {{0, Pattern(kPlainSize, 3)}};
    WriteSparse(source / "deep" / "plain.pak", kPlainSize, plain);
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400) +
                       std::chrono::nanoseconds(123456789);
    fs::last_write_time(source / "sparse.pak", stamp);
    fs::last_write_time(source / "deep" / "plain.pak", stamp + std::chrono::seconds(7));
    const fs::path target = Data("t");
    fs::create_directories(target);

    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);

#ifndef _WIN32
    // What the copy read and wrote has left the cache (looked at before the checks below read
    // it back); only the source's read-ahead past its last data, up to the device's read-ahead
    // of several MiB, may stay behind.
    if (!OnTmpfs(Data(""))) {
        const uint64_t sparseData = 32 * kMiB + 123;
        for (const fs::path& relative : {fs::path("sparse.pak"), fs::path("deep") / "plain.pak"}) {
            const uint64_t data = relative == "sparse.pak" ? sparseData : kPlainSize;
            EXPECT_LT(CachedBytes(source / relative), data / 2) << relative;
            EXPECT_LT(CachedBytes(target / relative), data / 2) << relative;
        }
    }
#endif
    EXPECT_EQ(op_.ReadCounters().copiedBytes, kSparseSize + kPlainSize);
    EXPECT_TRUE(ReadFile(target / "sparse.pak") == Expected(kSparseSize, kSparsePieces));
    EXPECT_TRUE(ReadFile(target / "deep" / "plain.pak") == Expected(kPlainSize, plain));
    for (const fs::path& relative : {fs::path("sparse.pak"), fs::path("deep") / "plain.pak"}) {
        EXPECT_EQ(fs::last_write_time(target / relative), fs::last_write_time(source / relative))
            << relative;
    }
#ifndef _WIN32
    const auto holes = DataRuns(source / "sparse.pak");
    if (holes.size() < 2) GTEST_SKIP() << "the temporary folder's file system keeps no holes";
    EXPECT_EQ(DataRuns(target / "sparse.pak"), holes);
#endif
}

#ifndef _WIN32
// The copy's own reads and writes leave the cache even where a step ends inside one of the
// kernel's large folios (steps end on any MiB) or the kernel could not drop a page at once: a
// step's own range alone left 2 MiB of each step cached, hundreds of MiB over a library. The
// data starts on an odd MiB, so that the steps end there too.
TEST_F(FileOpTest, UncachedCopyOfLargeFilesReadFromTheDiskLeavesTheCacheAlone) {
    if (OnTmpfs(Data(""))) GTEST_SKIP() << "a tmpfs keeps every file in the cache";
    constexpr uint64_t kSize = 128 * kMiB;
    const fs::path source = Data("s");
    const std::vector<fs::path> names = {"a.pak", fs::path("b") / "b.pak"};
    for (size_t i = 0; i < names.size(); ++i) {
        WriteSparse(source / names[i], kSize,
                    {{3 * kMiB, Pattern(kSize - 4 * kMiB, static_cast<uint32_t>(i))}});
        // Clean since written through: dropped, so that the copy reads it from the disk.
        const int fd = ::open((source / names[i]).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
    const fs::path target = Data("t");
    fs::create_directories(target);

    ASSERT_EQ(op_.CopyTree(W(source), W(target)), 0);

    for (const fs::path& name : names) {
        const uint64_t cached = CachedBytes(source / name) + CachedBytes(target / name);
        EXPECT_LE(cached, kMiB) << name << ": " << cached / kMiB << " MiB of 248 still cached";
    }
}
#endif

// A cancel heard after the first step of a large sparse file: the part written goes, the
// original stays whole, and the rollback's delete leaves the target empty.
TEST_F(FileOpTest, CancelInsideALargeUncachedFileLeavesNoPartAndTheOriginalWhole) {
    if (sys::RunningUnderWine()) GTEST_SKIP() << "Wine's CopyFileExW never calls back";
    const fs::path source = Data("s");
    WriteSparse(source / "sparse.pak", kSparseSize, kSparsePieces);
    const fs::path target = Data("t");
    fs::create_directories(target / "Software");
    sys::fault::Arm({sys::Call::kCopyFile, 1, 0, false, [this] { op_.Cancel(); }});

    EXPECT_EQ(op_.CopyTree(W(source), W(target / "Software")), 3);

    EXPECT_FALSE(fs::exists(target / "Software" / "sparse.pak"));
    const CFileOp::Counters done = op_.ReadCounters();
    EXPECT_GT(done.copiedBytes, 0u);
    EXPECT_LT(done.copiedBytes, kSparseSize);
    EXPECT_EQ(done.copiedFiles, 0);
    EXPECT_TRUE(ReadFile(source / "sparse.pak") == Expected(kSparseSize, kSparsePieces));
    op_.ResetCancel();
    EXPECT_EQ(op_.DeleteTree(W(target / "Software"), false), 0);
    EXPECT_TRUE(fs::is_empty(target));
}

}  // namespace
