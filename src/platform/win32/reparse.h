// Windows backend: the part of REPARSE_DATA_BUFFER that names a mount point's target (the
// user-mode headers do not declare it).
#pragma once

#include <windows.h>

#include <string>

namespace sys {

struct MountPointReparseData {
    DWORD reparseTag;
    WORD reparseDataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
    WCHAR pathBuffer[1];
};

#ifndef MAXIMUM_REPARSE_DATA_BUFFER_SIZE
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE (16 * 1024)
#endif

// True when path is a volume mount point (a folder where a volume is mounted), not a junction.
bool IsVolumeMountPoint(const std::wstring& path);
// The same for an entry of a listing, path its full path: only a folder with a mount point's
// reparse tag is looked at further (junctions carry that tag too).
bool IsVolumeMountPoint(const std::wstring& path, const WIN32_FIND_DATAW& entry);

}  // namespace sys
