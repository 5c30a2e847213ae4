// File-system calls, shaped after their Win32 namesakes (see sys.h for the error contract).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/contenthash.h"

namespace sys {

inline constexpr uint32_t kAttrReadOnly = 0x1;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrReparsePoint = 0x400;
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;
inline constexpr uint32_t kErrFileExists = 80;  // CopyFileW with failIfExists, target present

// One directory entry, as WIN32_FIND_DATAW carries it, with what the copy and its verification
// need besides. On POSIX kAttrReadOnly on a folder means its owner may not change its entries.
struct FindData {
    uint32_t attributes = 0;
    uint32_t sizeHigh = 0;
    uint32_t sizeLow = 0;
    std::wstring name;
    uint64_t writeTime = 0;  // last write, in kWriteTimeTicksPerSecond since the backend's epoch
    uint32_t links = 1;      // hard links of a file; 1 where the listing does not tell (Windows)
    uint64_t volumeId = 0;   // with fileId: which file a hard link leads to (where links > 1)
    uint64_t fileId = 0;
    bool mountPoint = false;  // a folder where another volume (or a bind mount) is mounted
    // Of a sparse file's size, the part that no block holds: the copy passes it over at once.
    // 0 where the listing does not tell (Windows, and POSIX listings of kinds only).
    uint64_t holeBytes = 0;
};

#ifdef _WIN32
inline constexpr uint64_t kWriteTimeTicksPerSecond = 10000000;  // FILETIME
#else
inline constexpr uint64_t kWriteTimeTicksPerSecond = 1000000000;
#endif

struct FindState;
using FindHandle = FindState*;  // null: invalid

// How much a listing tells of each entry. kKinds: what the entry is (file, folder, link) and,
// for a folder, whether it is a mount point or read-only; a plain file's size, time, mode and
// identity are left out where the listing does not carry them (POSIX), which saves a call per
// file. Windows lists everything either way.
enum class FindLevel { kFull, kKinds };

// pattern is folder + separator + "*". Reports "." and ".." like Windows. A symbolic link to a
// folder reports kAttrDirectory | kAttrReparsePoint.
FindHandle FindFirstFileW(const std::wstring& pattern, FindData& data,
                          FindLevel level = FindLevel::kFull);
bool FindNextFileW(FindHandle find, FindData& data);  // false + kErrNoMoreFiles at the end
void FindClose(FindHandle find);

bool CreateDirectoryW(const std::wstring& path);
bool RemoveDirectoryW(const std::wstring& path);  // a directory link: removes the link
bool DeleteFileW(const std::wstring& path);
// Told the bytes of a whole-file copy as they are copied (the new ones since the last call): data
// written, or with hole true the bytes of a hole that a sparse copy passes over without writing;
// false cancels the copy. Runs on the copying thread.
using CopyProgress = std::function<bool(uint64_t newBytes, bool hole)>;
// Whole-file copy that keeps mode and modification time; replaces target unless failIfExists.
// With progress: CopyFileExW with a progress routine on Windows; on POSIX the copy goes in steps
// of at most 64 MiB, each about a quarter of a second long, and waits for each step to reach the
// disk before the next but one, so that what it reports is what the disk took. A cancelled copy
// fails with kErrRequestAborted and leaves no file. Not every system calls back (Wine copies in
// one go): the caller counts what was never reported once the copy has succeeded.
// A file of kUncachedCopyFrom bytes or more is copied around the page cache, so that a long move
// does not push out what the user has cached: on Windows unbuffered (COPY_FILE_NO_BUFFERING);
// on POSIX each step leaves the cache, on the source and the target, once the disk has it.
// With copied, the copy's bytes pass through this program and are hashed as the copy reads them,
// a hole of a sparse file as the zeros it reads as: POSIX leaves the kernel's own copy for reads
// and writes; Windows copies with ReadFile and WriteFile (the main stream, the attributes and
// the times). copied also gets the source's size and last write as the copy found them.
struct CopiedContent {
    ContentHash hash;
    uint64_t size = 0;
    uint64_t writeTime = 0;  // as FindData::writeTime
};
inline constexpr uint64_t kUncachedCopyFrom = uint64_t{16} << 20;
bool CopyFileW(const std::wstring& source, const std::wstring& target, bool failIfExists,
               const CopyProgress& progress = {}, CopiedContent* copied = nullptr);

// Reads a file as its drive gives it back, around the system's caches, and hashes it: POSIX with
// O_DIRECT and aligned buffers, or where the file system refuses direct I/O, after dropping the
// file's cached pages (POSIX_FADV_DONTNEED; the file must be flushed first, as only clean pages
// go); Windows with FILE_FLAG_NO_BUFFERING. progress, when given, is told the bytes read; false
// stops the read (kErrRequestAborted). A FUSE driver may still answer from its device's cache,
// and a drive from its own: the read-back comes after the flush of every copy, so that a drive
// that lost or overwrote what it took meanwhile gives back other bytes.
using ReadProgress = std::function<bool(uint64_t newBytes)>;
bool HashFromMedia(const std::wstring& path, ContentHash& hash, const ReadProgress& progress = {});
// Never replaces an existing entry (kErrAlreadyExists).
bool MoveFileW(const std::wstring& from, const std::wstring& to);
uint32_t GetFileAttributesW(const std::wstring& path);
// Free bytes of the volume that holds path (POSIX: the bytes a writer can use).
bool GetDiskFreeSpaceExW(const std::wstring& path, uint64_t& freeBytes);

// True when two paths are spelled alike as the system compares names: ignoring letter case and
// which separator is used on Windows, exactly elsewhere.
bool SamePathSpelling(const std::wstring& a, const std::wstring& b);

// True when path itself is a symbolic link or another reparse point (not followed).
bool IsLinkOrReparsePoint(const std::wstring& path);

// ---- What a move needs beyond the basic file calls ----------------------------------------------

// Makes an entry of a tree this move parked or made deletable. Windows: lifts the read-only
// attribute. POSIX: gives a folder's owner the right to list and change its entries (a file's
// own mode never stops its deletion there).
bool MakeDeletable(const std::wstring& path, uint32_t attributes);

// Copies a symbolic link as the link it is (the same target text), never what it leads to.
// Fails with kErrAlreadyExists when an entry of that name exists.
bool CopySymbolicLinkW(const std::wstring& link, const std::wstring& target);
// True when path is a link whose target cannot be reached (missing, or a loop of links).
bool LinkLeadsNowhere(const std::wstring& path);
// The text a symbolic link stores: where it leads, whether or not that exists. Windows: the
// link's print name (a junction's too).
bool ReadLinkText(const std::wstring& link, std::wstring& text);

// Makes link a second name of existing. Fails with kErrAlreadyExists when link exists.
bool CreateHardLinkW(const std::wstring& link, const std::wstring& existing);

// Gives a copied folder what the source folder carries besides its entries, its last write
// time included: called once the folder is filled, as making an entry would change that time.
// POSIX: mode, owner and group (as far as the caller may), extended attributes (where the
// target takes them), access and write times. Windows: the attributes (hidden, system,
// read-only, ...) and the write time.
bool CopyFolderMetadata(const std::wstring& source, const std::wstring& target);

// What CopyFolderMetadata copies of a folder (links followed), as a copy check compares it.
struct FolderMetadata {
    uint64_t writeTime = 0;  // as FindData::writeTime
    uint32_t mode = 0;       // POSIX: mode bits (07777). Windows: the attributes it copies
    uint32_t owner = 0;      // POSIX only: owner and group
    uint32_t group = 0;
    // POSIX: name and value of each extended attribute, by name, leaving out "security.": the
    // target system labels its files by its own policy.
    std::vector<std::pair<std::string, std::string>> xattrs;
};
bool GetFolderMetadata(const std::wstring& path, FolderMetadata& data);

// Size and last write of the file that path leads to (links followed), as a FindData carries them.
bool GetFileInfoFollowed(const std::wstring& path, FindData& data);

// Which file or folder a path leads to (links followed): equal identities are the same object,
// whatever the spelling, link or bind mount that reached it.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};
bool GetFileIdentity(const std::wstring& path, FileIdentity& id);

// Sets found when folder itself, or a folder anywhere below it, is one of asked: so a check
// finds a path inside folder however it was reached, even through a bind mount of a folder deep
// inside. Links below folder are not followed; mount points are. False when folder itself
// cannot be identified; a folder below that cannot be listed is passed.
bool FolderHoldsAnyOf(const std::wstring& folder, const std::vector<FileIdentity>& asked,
                      bool& found);

// True when the volume that holds folder (an existing folder) treats names that differ only in
// letter case as one: always on Windows; on POSIX probed (exFAT, FAT, case-folding folders).
bool NamesIgnoreCase(const std::wstring& folder);

// Every mount point at or below folder (links inside not followed), for the log. POSIX: the
// mount table, bind mounts included. Windows: volume mount points (not junctions).
bool FindMountPointsBelow(const std::wstring& folder, std::vector<std::wstring>& mounts);

// GetFullPathNameW: absolute (against the working folder) and lexically tidy: ".", "..",
// doubled and trailing separators go; links are not resolved. POSIX does the same by text.
bool GetFullPathNameW(const std::wstring& path, std::wstring& full);

// The length of a path as the system counts it (UTF-16 units on Windows, UTF-8 bytes on POSIX),
// and the longest path the walks can use, for a file and for a folder (plain paths, no prefix).
size_t PathUnits(std::wstring_view path);
#ifdef _WIN32
inline constexpr size_t kMaxFilePathUnits = 259;  // MAX_PATH less its terminator
inline constexpr size_t kMaxFolderPathUnits =
    247;  // room for an 8.3 name below, as CreateDirectoryW asks
inline constexpr size_t kFinalPathPrefixUnits = 4;  // "\\?\" before the drive letter
#else
inline constexpr size_t kMaxFilePathUnits = 4095;  // PATH_MAX less its terminator
inline constexpr size_t kMaxFolderPathUnits = 4095;
inline constexpr size_t kFinalPathPrefixUnits = 0;
#endif

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

// Points the directory link at link (or nothing there) at target instead, and never replaces a
// folder. POSIX never leaves the name without a link: the new one is made beside it under
// link + ".halvex-link" and renamed over it. Windows cannot rename over a directory link: it
// removes the old link, then makes the new one, so a cut between leaves none.
bool ReplaceDirectoryLinkW(const std::wstring& link, const std::wstring& target);

struct OpenFile;
using FileHandle = OpenFile*;  // null: invalid
// CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS).
FileHandle OpenForQuery(const std::wstring& path);
void CloseFile(FileHandle file);
// Windows: \\?\D:\... as GetFinalPathNameByHandleW gives it. POSIX: the resolved absolute path.
// Returns the length written, or the size needed (>= size) when it does not fit, 0 on failure.
uint32_t GetFinalPathNameByHandleW(FileHandle file, wchar_t* buffer, uint32_t size);

// Makes everything written to the file system that holds path durable on its drive's media, not
// only in a cache. POSIX: syncfs of its file system, then an fsync of path. Windows:
// FlushFileBuffers of the volume that holds path (found from the path, mount folders included),
// or where that is refused, of every file and folder below path.
bool FlushToDisk(const std::wstring& path);

// Opens name for appending in text mode, shared for reading and writing with other processes
// (deny-none on Windows). Null when it cannot be opened.
std::FILE* OpenSharedAppend(const std::wstring& name);

// ---- The program's own state between runs (the move journal) ------------------------------------

// The folder that keeps it, made when missing. Windows: %ProgramData%\Halvex. POSIX: the host
// folder's state/ (see host.h).
bool GetStateFolder(std::wstring& folder);

// Replaces the file at path with bytes so that a reader finds either the old content or the new,
// whole, whatever stops the writer: written to path + ".tmp", flushed to the disk, then renamed
// over path, and the rename made durable before this returns (POSIX flushes the folder; Windows
// renames the open file by its handle and flushes it). Where a rename over a name is a delete
// and a write (FAT, exFAT), a cut inside it may leave only path + ".tmp", whole.
bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes);

// Deletes a file and makes its deletion durable: its folder is flushed too, so that a power cut
// cannot bring the file back once this has returned.
bool RemoveFileDurably(const std::wstring& path);

// Reads a whole file of at most maxBytes bytes (kErrInvalidData when it holds more).
bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes);

// A file's bytes read in order, for comparing a copy with its original byte by byte.
struct ReadingFile;
using ReadHandle = ReadingFile*;  // null: invalid
ReadHandle OpenForReading(const std::wstring& path);
// Up to size bytes into buffer; got is 0 at the end of the file.
bool ReadNext(ReadHandle file, char* buffer, size_t size, size_t& got);
void CloseReading(ReadHandle file);

}  // namespace sys
