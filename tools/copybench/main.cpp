// Copies a folder's tree into another folder as a move does before it deletes anything (hashing
// every file as it copies it, making the copy durable, reading every copy back from its drive
// and comparing), and then deletes the source tree, with the same file-tree operations a move
// uses. The benchmark times it against cp and rsync.
//   halvex-copybench [--threads N] [--flush-each] [--no-verify] [--phases] SOURCE TARGET
// (TARGET is made when missing). --threads sets the number of copy threads, for measuring which
// number is best. --flush-each makes the copy durable by an fsync of every file and folder
// instead of the move's one flush of the file system (sys::FlushToDisk), for measuring which is
// the cheaper. --no-verify leaves out the hashing and the read-back, for measuring what they
// cost; the program itself has no such switch. --phases prints the milliseconds of each phase
// (copy, flush, verify, delete), wall and processor time, on one line, to find where the time goes.
//   halvex-copybench --copy-threads
// prints how many files a copy copies at once here, so that the benchmark's floors can do the same.
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileOp/CFileOp.h"
#include "platform/fs.h"
#include "platform/sys.h"

namespace {

int FsyncOne(const char* path, const struct stat*, int type, struct FTW*) {
    if (type != FTW_F && type != FTW_D && type != FTW_DP) return 0;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int r = ::fsync(fd);
    ::close(fd);
    return r;
}

// Milliseconds since the last call (the first: since the program's start), and the processor
// time of all threads since then: on a shared machine the wall time swings with the others' work.
struct Laps {
    long long wall = 0;
    long long cpu = 0;
};
Laps Lap() {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point last = Clock::now();
    static long long lastCpu = 0;
    const Clock::time_point now = Clock::now();
    struct rusage use {};
    ::getrusage(RUSAGE_SELF, &use);
    const long long cpu = (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000LL +
                          (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000;
    const Laps lap{std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count(),
                   cpu - lastCpu};
    last = now;
    lastCpu = cpu;
    return lap;
}

}  // namespace

int main(int argc, char** argv) {
    bool flushEach = false;
    bool verify = true;
    bool phases = false;
    if (argc == 2 && std::strcmp(argv[1], "--copy-threads") == 0) {
        std::printf("%u\n", CCopyEngine::Threads());
        return 0;
    }
    for (;;) {
        if (argc >= 4 && std::strcmp(argv[1], "--threads") == 0) {
            CCopyEngine::UseThreads(static_cast<unsigned>(std::atoi(argv[2])));
            argv += 2;
            argc -= 2;
        } else if (argc >= 3 && std::strcmp(argv[1], "--flush-each") == 0) {
            flushEach = true;
            argv += 1;
            argc -= 1;
        } else if (argc >= 3 && std::strcmp(argv[1], "--no-verify") == 0) {
            verify = false;
            argv += 1;
            argc -= 1;
        } else if (argc >= 3 && std::strcmp(argv[1], "--phases") == 0) {
            phases = true;
            argv += 1;
            argc -= 1;
        } else {
            break;
        }
    }
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: %s [--threads N] [--flush-each] [--no-verify] [--phases] SOURCE TARGET\n",
            argv[0]);
        return 2;
    }
    const std::wstring source = sys::FromUtf8(argv[1]);
    const std::wstring target = sys::FromUtf8(argv[2]);
    if (!sys::CreateDirectoryW(target) && sys::GetLastError() != sys::kErrAlreadyExists) {
        std::fprintf(stderr, "cannot make %s: error %u\n", argv[2], sys::GetLastError());
        return 1;
    }
    Lap();
    CFileOp op;
    ManifestTree manifest;
    if (verify) op.Copier().CollectManifest(&manifest);
    if (const int32_t r = op.CopyTree(source, target); r != 0) {
        std::fprintf(stderr, "copy failed: %d\n", r);
        return 1;
    }
    const Laps copyMs = Lap();
    const bool flushed = flushEach ? ::nftw(argv[2], FsyncOne, 64, FTW_PHYS | FTW_DEPTH) == 0
                                   : sys::FlushToDisk(target);
    if (!flushed) {
        std::fprintf(stderr, "flush failed\n");
        return 1;
    }
    const Laps flushMs = Lap();
    std::wstring difference;
    if (const int32_t r = verify ? op.Copier().VerifyFromMedia(target, manifest, difference) : 0;
        r != 0) {
        std::fprintf(stderr, "verification failed: %d %s\n", r, sys::ToUtf8(difference).c_str());
        return 1;
    }
    const Laps verifyMs = Lap();
    if (const int32_t r = op.DeleteTree(source, false); r != 0) {
        std::fprintf(stderr, "delete failed: %d\n", r);
        return 1;
    }
    if (phases) {
        const Laps deleteMs = Lap();
        std::printf(
            "phases-ms: copy %lld flush %lld verify %lld delete %lld"
            " (cpu %lld %lld %lld %lld)\n",
            copyMs.wall, flushMs.wall, verifyMs.wall, deleteMs.wall, copyMs.cpu, flushMs.cpu,
            verifyMs.cpu, deleteMs.cpu);
    }
    return 0;
}
