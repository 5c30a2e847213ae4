// Windows backend of the file-system calls: the real Win32 calls.
#include <share.h>
#include <windows.h>

#include <cstdio>

#include "platform/fs.h"
#include "platform/sys.h"

namespace sys {

bool CreateDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::CreateDirectory)) return false;
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

std::FILE* OpenSharedAppend(const std::wstring& name) {
    return ::_wfsopen(name.c_str(), L"at", _SH_DENYNO);
}

}  // namespace sys
