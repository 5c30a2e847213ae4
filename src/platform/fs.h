// File-system calls, shaped after their Win32 namesakes (see sys.h for the error contract).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sys {

inline constexpr uint32_t kAttrReadOnly = 0x1;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrReparsePoint = 0x400;
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
inline constexpr uint32_t kErrFileExists = 80;  // CopyFileW with failIfExists, target present

// One directory entry, as WIN32_FIND_DATAW carries it.
struct FindData {
    uint32_t attributes = 0;
    uint32_t sizeHigh = 0;
    uint32_t sizeLow = 0;
    std::wstring name;
};

struct FindState;
using FindHandle = FindState*;  // null: invalid

// pattern is folder + separator + "*". Reports "." and ".." like Windows. A symbolic link to a
// folder reports kAttrDirectory | kAttrReparsePoint.
FindHandle FindFirstFileW(const std::wstring& pattern, FindData& data);
bool FindNextFileW(FindHandle find, FindData& data);  // false + kErrNoMoreFiles at the end
void FindClose(FindHandle find);

bool CreateDirectoryW(const std::wstring& path);
bool RemoveDirectoryW(const std::wstring& path);  // a directory link: removes the link
bool DeleteFileW(const std::wstring& path);
// Whole-file copy that keeps mode and modification time; replaces target unless failIfExists.
bool CopyFileW(const std::wstring& source, const std::wstring& target, bool failIfExists);
// Never replaces an existing entry (kErrAlreadyExists).
bool MoveFileW(const std::wstring& from, const std::wstring& to);
uint32_t GetFileAttributesW(const std::wstring& path);
// Free bytes of the volume that holds path (POSIX: the bytes a writer can use).
bool GetDiskFreeSpaceExW(const std::wstring& path, uint64_t& freeBytes);

// True when two paths are spelled alike as the system compares names: ignoring letter case on
// Windows, exactly elsewhere.
bool SamePathSpelling(const std::wstring& a, const std::wstring& b);

// True when path itself is a symbolic link or another reparse point (not followed).
bool IsLinkOrReparsePoint(const std::wstring& path);

// The link facility: on Windows looked up in kernel32.dll at run time.
struct LinkFacility {
    bool libraryLoaded = false;
    bool createLinkFound = false;
    bool finalPathFound = false;
};
LinkFacility LoadLinkFacility();
// Tests only: Wine 8's CreateSymbolicLinkW reports success without making a link.
bool RunningUnderWine();

inline constexpr uint32_t kSymlinkFlagDirectory = 1;
bool CreateSymbolicLinkW(const std::wstring& link, const std::wstring& target, uint32_t flags);

struct OpenFile;
using FileHandle = OpenFile*;  // null: invalid
// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS).
FileHandle OpenForQuery(const std::wstring& path);
void CloseFile(FileHandle file);
// Windows: \\?\D:\... as GetFinalPathNameByHandleW gives it. POSIX: the resolved absolute path.
// Returns the length written, or the size needed (>= size) when it does not fit, 0 on failure.
uint32_t GetFinalPathNameByHandleW(FileHandle file, wchar_t* buffer, uint32_t size);

// Makes the data written under path durable. POSIX: syncfs of its file system.
// Windows: FlushFileBuffers of the volume.
bool FlushToDisk(const std::wstring& path);

// Opens name for appending in text mode, shared for reading and writing with other processes
// (deny-none on Windows). Null when it cannot be opened.
std::FILE* OpenSharedAppend(const std::wstring& name);

}  // namespace sys
