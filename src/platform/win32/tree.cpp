// Windows backend of the tree calls a move needs beyond the basic file calls: the real Win32 calls.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/win32/reparse.h"

namespace sys {

namespace {

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_TEMPORARY;

// Opens what path leads to (links followed) for reading its information only.
HANDLE OpenFollowed(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool InformationOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE handle = OpenFollowed(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = ::GetFileInformationByHandle(handle, &info) != FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    if (!ok) ::SetLastError(error);
    return ok;
}

// The reparse data of path itself (the link, not what it leads to) into buffer, got bytes of
// it. false with the system's error.
bool ReadReparseData(const std::wstring& path, std::vector<BYTE>& buffer, DWORD& got) {
    const HANDLE handle = ::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    buffer.assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    got = 0;
    const bool ok = ::DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), &got, nullptr) != FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    if (!ok) ::SetLastError(error);
    return ok;
}

}  // namespace

bool IsVolumeMountPoint(const std::wstring& path) {
    std::vector<BYTE> buffer;
    DWORD got = 0;
    if (!ReadReparseData(path, buffer, got) || got < sizeof(MountPointReparseData)) return false;
    const auto* data = reinterpret_cast<const MountPointReparseData*>(buffer.data());
    if (data->reparseTag != IO_REPARSE_TAG_MOUNT_POINT) return false;
    // A junction names a folder (\??\C:\...); a volume mount point names a volume. The name
    // must lie within what the system gave back.
    const size_t end = offsetof(MountPointReparseData, pathBuffer) + data->substituteNameOffset +
                       data->substituteNameLength;
    if (end > got) return false;
    const wchar_t* name = data->pathBuffer + data->substituteNameOffset / sizeof(wchar_t);
    const std::wstring substitute(name, data->substituteNameLength / sizeof(wchar_t));
    return substitute.rfind(L"\\??\\Volume{", 0) == 0;
}

bool IsVolumeMountPoint(const std::wstring& path, const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           entry.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT && IsVolumeMountPoint(path);
}

bool ReadLinkText(const std::wstring& link, std::wstring& text) {
    std::vector<BYTE> buffer;
    DWORD got = 0;
    if (!ReadReparseData(link, buffer, got)) return false;
    const auto* data = reinterpret_cast<const MountPointReparseData*>(buffer.data());
    // A symbolic link's names start after a flags word that a junction's lack.
    const BYTE* names = reinterpret_cast<const BYTE*>(data->pathBuffer);
    if (data->reparseTag == IO_REPARSE_TAG_SYMLINK) {
        names += sizeof(ULONG);
    } else if (data->reparseTag != IO_REPARSE_TAG_MOUNT_POINT) {
        ::SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    const size_t end =
        static_cast<size_t>(names - buffer.data()) + data->printNameOffset + data->printNameLength;
    if (end > got) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    const auto* print = reinterpret_cast<const wchar_t*>(names + data->printNameOffset);
    text.assign(print, data->printNameLength / sizeof(wchar_t));
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

bool MakeDeletable(const std::wstring& path, uint32_t attributes) {
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    if (fault::Hit(Call::kSetFileAttributes)) return false;
    const DWORD kept = attributes & kSettableAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    return ::SetFileAttributesW(path.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool CopySymbolicLinkW(const std::wstring& link, const std::wstring& target) {
    if (fault::Hit(Call::kCopySymbolicLink)) return false;
    if (::CopyFileExW(link.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                      COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS)) {
        return true;
    }
    if (::GetLastError() == ERROR_FILE_EXISTS) ::SetLastError(ERROR_ALREADY_EXISTS);
    return false;
}

bool LinkLeadsNowhere(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    const HANDLE handle = OpenFollowed(path);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_CANT_RESOLVE_FILENAME;
}

bool CreateHardLinkW(const std::wstring& link, const std::wstring& existing) {
    if (fault::Hit(Call::kCreateHardLink)) return false;
    return ::CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) != FALSE;
}

bool CopyFolderMetadata(const std::wstring& source, const std::wstring& target) {
    if (fault::Hit(Call::kSetFileAttributes)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) return false;
    // A folder is opened for its times only with backup semantics.
    const HANDLE folder =
        ::CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    const bool timed = ::SetFileTime(folder, nullptr, nullptr, &data.ftLastWriteTime) != FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(folder);
    if (!timed) {
        ::SetLastError(error);
        return false;
    }
    // Exactly the source's: a new folder may carry some of its own (archive).
    const DWORD kept = data.dwFileAttributes & kSettableAttributes;
    return ::SetFileAttributesW(target.c_str(), kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept) != FALSE;
}

bool GetFolderMetadata(const std::wstring& path, FolderMetadata& data) {
    if (fault::Hit(Call::kGetFileInfo)) return false;
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) return false;
    data = FolderMetadata{};
    data.writeTime =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    data.mode = info.dwFileAttributes & kSettableAttributes;
    return true;
}

bool GetFileInfoFollowed(const std::wstring& path, FindData& data) {
    if (fault::Hit(Call::kGetFileInfo)) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!InformationOf(path, info)) return false;
    data.attributes = info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_REPARSE_POINT};
    data.sizeHigh = info.nFileSizeHigh;
    data.sizeLow = info.nFileSizeLow;
    data.writeTime =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

bool GetFileIdentity(const std::wstring& path, FileIdentity& id) {
    if (fault::Hit(Call::kGetFileInfo)) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!InformationOf(path, info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

bool NamesIgnoreCase(const std::wstring&) {
    return true;  // Windows compares names without regard to case on every volume it mounts
}

namespace {

bool CollectMountPoints(const std::wstring& folder, std::vector<std::wstring>& mounts) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (IsVolumeMountPoint(path, data)) mounts.push_back(path);
            continue;  // links are not walked for this
        }
        ok = CollectMountPoints(path, mounts);
    } while (ok && ::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (ok && error != ERROR_NO_MORE_FILES) return false;
    return ok;
}

}  // namespace

bool FindMountPointsBelow(const std::wstring& folder, std::vector<std::wstring>& mounts) {
    if (fault::Hit(Call::kMountQuery)) return false;
    if (IsVolumeMountPoint(folder)) mounts.push_back(folder);
    return CollectMountPoints(folder, mounts);
}

bool GetFullPathNameW(const std::wstring& path, std::wstring& full) {
    if (path.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The system would read the text only up to a NUL: the rest would be judged but not used.
    if (path.find(L'\0') != std::wstring::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                                buffer.data(), nullptr);
        if (length == 0) return false;
        if (length < buffer.size()) {
            full.assign(buffer.data(), length);
            break;
        }
        buffer.resize(length);
    }
    // "D:\Games\" keeps its separator; only a drive's root needs one.
    full = WithoutTrailingSeparators(full, 3);
    return true;
}

size_t PathUnits(std::wstring_view path) {
    return path.size();
}

}  // namespace sys
