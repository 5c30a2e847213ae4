// Copies a folder's tree into another folder as a move does before it deletes anything (hashing
// every file as it copies it, making the copy durable, reading every copy back from its drive
// and comparing), and then deletes the source tree, with the same file-tree operations a move
// uses. The benchmark times it against cp and rsync.
//   halvex-copybench [--threads N] [--flush-each] [--no-verify] SOURCE TARGET
// (TARGET is made when missing). --threads sets the number of copy threads, for measuring which
// number is best. --flush-each makes the copy durable by an fsync of every file and folder
// instead of the move's one flush of the file system (sys::FlushToDisk), for measuring which is
// the cheaper. --no-verify leaves out the hashing and the read-back, for measuring what they
// cost; the program itself has no such switch.
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char** argv) {
    bool flushEach = false;
    bool verify = true;
    for (;;) {
        if (argc >= 4 && std::strcmp(argv[1], "--threads") == 0) {
            CFileOp::UseCopyThreads(static_cast<unsigned>(std::atoi(argv[2])));
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
        } else {
            break;
        }
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--threads N] [--flush-each] [--no-verify] SOURCE TARGET\n",
                     argv[0]);
        return 2;
    }
    const std::wstring source = sys::FromUtf8(argv[1]);
    const std::wstring target = sys::FromUtf8(argv[2]);
    if (!sys::CreateDirectoryW(target) && sys::GetLastError() != sys::kErrAlreadyExists) {
        std::fprintf(stderr, "cannot make %s: error %u\n", argv[2], sys::GetLastError());
        return 1;
    }
    CFileOp op;
    ManifestTree manifest;
    if (verify) op.CollectManifest(&manifest);
    if (const int32_t r = op.CopyTree(source, target); r != 0) {
        std::fprintf(stderr, "copy failed: %d\n", r);
        return 1;
    }
    const bool flushed = flushEach ? ::nftw(argv[2], FsyncOne, 64, FTW_PHYS | FTW_DEPTH) == 0
                                   : sys::FlushToDisk(target);
    if (!flushed) {
        std::fprintf(stderr, "flush failed\n");
        return 1;
    }
    std::wstring difference;
    if (const int32_t r = verify ? op.VerifyFromMedia(target, manifest, difference) : 0; r != 0) {
        std::fprintf(stderr, "verification failed: %d %s\n", r, sys::ToUtf8(difference).c_str());
        return 1;
    }
    if (const int32_t r = op.DeleteTree(source, false); r != 0) {
        std::fprintf(stderr, "delete failed: %d\n", r);
        return 1;
    }
    return 0;
}
