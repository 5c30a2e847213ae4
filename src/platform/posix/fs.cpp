// POSIX backend of the file-system calls: real calls on UTF-8 paths, Windows error numbers.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/fs.h"
#include "platform/posix/errors.h"
#include "platform/sys.h"

namespace sys {

bool CreateDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::CreateDirectory)) return false;
    const std::string native = ToUtf8(path);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    SetLastErrorFromErrno(errno, native);
    return false;
}

std::FILE* OpenSharedAppend(const std::wstring& name) {
    return std::fopen(ToUtf8(name).c_str(), "a");
}

}  // namespace sys
