// Copies a folder's tree into another folder and then deletes the source tree, with the same
// file-tree operations a move uses. The benchmark times it against cp and rsync.
//   halvex-copybench [--threads N] SOURCE TARGET   (TARGET is made when missing)
// --threads sets the number of copy threads, for measuring which number is best.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileOp/CFileOp.h"
#include "platform/fs.h"
#include "platform/sys.h"

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--threads") == 0) {
        CFileOp::UseCopyThreads(static_cast<unsigned>(std::atoi(argv[2])));
        argv += 2;
        argc -= 2;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--threads N] SOURCE TARGET\n", argv[0]);
        return 2;
    }
    const std::wstring source = sys::FromUtf8(argv[1]);
    const std::wstring target = sys::FromUtf8(argv[2]);
    if (!sys::CreateDirectoryW(target) && sys::GetLastError() != sys::kErrAlreadyExists) {
        std::fprintf(stderr, "cannot make %s: error %u\n", argv[2], sys::GetLastError());
        return 1;
    }
    CFileOp op;
    if (const int32_t r = op.CopyTree(source, target); r != 0) {
        std::fprintf(stderr, "copy failed: %d\n", r);
        return 1;
    }
    if (const int32_t r = op.DeleteTree(source, false); r != 0) {
        std::fprintf(stderr, "delete failed: %d\n", r);
        return 1;
    }
    return 0;
}
