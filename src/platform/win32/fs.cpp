// Windows backend of the file-system calls: the real Win32 calls.
#include <share.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/fs.h"
#include "platform/sys.h"
#include "platform/win32/errors.h"
#include "platform/win32/flush.h"
#include "platform/win32/reparse.h"

namespace sys {

// ---- Enumeration -------------------------------------------------------------------------------

struct FindState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring prefix;  // the pattern up to its last separator
};

namespace {

// Hard links are not told apart here (links stays 1): the listing does not carry them.
void Convert(const std::wstring& prefix, const WIN32_FIND_DATAW& raw, FindData& data) {
    data = FindData{};
    data.attributes = raw.dwFileAttributes;
    data.sizeHigh = raw.nFileSizeHigh;
    data.sizeLow = raw.nFileSizeLow;
    data.name = raw.cFileName;
    data.writeTime =
        (uint64_t{raw.ftLastWriteTime.dwHighDateTime} << 32) | raw.ftLastWriteTime.dwLowDateTime;
    data.mountPoint = IsVolumeMountPoint(prefix + data.name, raw);
}

}  // namespace

FindHandle FindFirstFileW(const std::wstring& pattern, FindData& data, FindLevel) {
    if (fault::Hit(Call::kFindFirstFile)) return nullptr;
    WIN32_FIND_DATAW raw{};
    const HANDLE handle = ::FindFirstFileW(pattern.c_str(), &raw);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const auto cut = pattern.find_last_of(L"\\/");
    auto* state = new FindState{
        handle, cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1)};
    Convert(state->prefix, raw, data);
    return state;
}

bool FindNextFileW(FindHandle find, FindData& data) {
    if (fault::Hit(Call::kFindNextFile)) return false;
    if (find == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    WIN32_FIND_DATAW raw{};
    if (!::FindNextFileW(find->handle, &raw)) return false;
    Convert(find->prefix, raw, data);
    return true;
}

void FindClose(FindHandle find) {
    if (find == nullptr) return;
    ::FindClose(find->handle);
    delete find;
}

// ---- Folders and entries -----------------------------------------------------------------------

bool CreateDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::kCreateDirectory)) return false;
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool RemoveDirectoryW(const std::wstring& path) {
    if (fault::Hit(Call::kRemoveDirectory)) return false;
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool DeleteFileW(const std::wstring& path) {
    if (fault::Hit(Call::kDeleteFile)) return false;
    return ::DeleteFileW(path.c_str()) != FALSE;
}

namespace {

struct CopyContext {
    const CopyProgress* progress;
    uint64_t reported = 0;
};

DWORD CALLBACK OnCopyChunk(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER,
                           DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
    auto* context = static_cast<CopyContext*>(data);
    const auto now = static_cast<uint64_t>(transferred.QuadPart);
    const uint64_t newBytes = now > context->reported ? now - context->reported : 0;
    context->reported = std::max(now, context->reported);
    return (*context->progress)(newBytes, false) ? PROGRESS_CONTINUE : PROGRESS_CANCEL;
}

// A failed copy names the file that the error most likely concerns: the source when it cannot
// be found or read, else the target.
const std::wstring& PathOfCopyError(const std::wstring& source, const std::wstring& target) {
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return source;
        default:
            return target;
    }
}

// A source that cannot be looked at is copied as a small one: the copy itself reports why.
bool IsLargeFile(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return size >= kUncachedCopyFrom;
}

}  // namespace

namespace {

constexpr DWORD kChunk = DWORD{4} << 20;

// Closes a handle on every way out.
struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() { Close(); }
    void Close() {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// A buffer that unbuffered reads and writes accept: page-aligned.
struct AlignedBuffer {
    void* bytes = ::VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ~AlignedBuffer() {
        if (bytes) ::VirtualFree(bytes, 0, MEM_RELEASE);
    }
    AlignedBuffer() = default;
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
};

// The copy of CopyFileW with a hash: ReadFile, hash, WriteFile; then the source's attributes and
// times. A failure leaves no target, as CopyFileExW does.
bool CopyHashing(const std::wstring& source, const std::wstring& target, bool failIfExists,
                 const CopyProgress& progress, CopiedContent& copied) {
    Handle in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (in.h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(in.h, &info)) {
        NoteErrorPath(source);
        return false;
    }
    Handle out(::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                             failIfExists ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (out.h == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_EXISTS) ::SetLastError(kErrFileExists);
        NoteErrorPath(target);
        return false;
    }
    AlignedBuffer buffer;
    ContentHasher hasher;
    bool ok = buffer.bytes != nullptr;
    if (!ok) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    for (DWORD got = 0; ok;) {
        if (!::ReadFile(in.h, buffer.bytes, kChunk, &got, nullptr)) {
            NoteErrorPath(source);
            ok = false;
            break;
        }
        if (got == 0) break;
        hasher.Update(buffer.bytes, got);
        DWORD put = 0;
        ok = ::WriteFile(out.h, buffer.bytes, got, &put, nullptr) && put == got;
        if (!ok) NoteErrorPath(target);
        if (ok && progress && !progress(got, false)) {
            ::SetLastError(ERROR_REQUEST_ABORTED);
            ok = false;
        }
    }
    ok = ok &&
         ::SetFileTime(out.h, &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime);
    const DWORD error = ::GetLastError();
    if (!ok) {
        FILE_DISPOSITION_INFO gone{TRUE};
        ::SetFileInformationByHandle(out.h, FileDispositionInfo, &gone, sizeof gone);
        ::SetLastError(error);
        return false;
    }
    out.Close();
    const DWORD kept = info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (kept != 0 && !::SetFileAttributesW(target.c_str(), kept)) {
        NoteErrorPath(target);
        return false;
    }
    copied.hash = hasher.Digest();
    copied.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    copied.writeTime =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

}  // namespace

bool CopyFileW(const std::wstring& source, const std::wstring& target, bool failIfExists,
               const CopyProgress& progress, CopiedContent* copied) {
    if (fault::Hit(Call::kCopyFile)) return false;
    if (copied) return CopyHashing(source, target, failIfExists, progress, *copied);
    CopyContext context{&progress};
    DWORD flags = failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0;
    if (IsLargeFile(source)) flags |= COPY_FILE_NO_BUFFERING;
    // PROGRESS_CANCEL deletes the partly written target, and the call fails with
    // ERROR_REQUEST_ABORTED.
    const bool done =
        ::CopyFileExW(source.c_str(), target.c_str(), progress ? OnCopyChunk : nullptr,
                      progress ? &context : nullptr, nullptr, flags) != FALSE;
    if (!done) NoteErrorPath(PathOfCopyError(source, target));
    return done;
}

bool HashFromMedia(const std::wstring& path, ContentHash& hash, const ReadProgress& progress) {
    if (fault::Hit(Call::kReadBack, path)) return false;
    Handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        NoteErrorPath(path);
        return false;
    }
    AlignedBuffer buffer;
    if (!buffer.bytes) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    ContentHasher hasher;
    for (DWORD got = 0;;) {
        // Unbuffered reads take whole sectors; the last one returns what the file holds.
        if (!::ReadFile(file.h, buffer.bytes, kChunk, &got, nullptr)) {
            NoteErrorPath(path);
            return false;
        }
        if (got == 0) break;
        hasher.Update(buffer.bytes, got);
        if (progress && !progress(got)) {
            ::SetLastError(ERROR_REQUEST_ABORTED);
            return false;
        }
    }
    hash = hasher.Digest();
    return true;
}

bool MoveFileW(const std::wstring& from, const std::wstring& to) {
    if (fault::Hit(Call::kMoveFile)) return false;
    if (::MoveFileW(from.c_str(), to.c_str())) return true;
    NoteErrorPath(::GetLastError() == ERROR_FILE_NOT_FOUND ? from : to);
    return false;
}

uint32_t GetFileAttributesW(const std::wstring& path) {
    if (fault::Hit(Call::kGetFileAttributes)) return kInvalidFileAttributes;
    return ::GetFileAttributesW(path.c_str());
}

bool GetDiskFreeSpaceExW(const std::wstring& path, uint64_t& freeBytes) {
    if (fault::Hit(Call::kGetDiskFreeSpace)) return false;
    ULARGE_INTEGER totalFree{};
    if (!::GetDiskFreeSpaceExW(path.c_str(), nullptr, nullptr, &totalFree)) return false;
    freeBytes = totalFree.QuadPart;
    return true;
}

bool IsLinkOrReparsePoint(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// ---- Links and final paths ---------------------------------------------------------------------

namespace {

using CreateLinkFn = BOOLEAN(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
using FinalPathFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// Filled once before main by the link facility's set-up, read-only afterwards.
CreateLinkFn g_createLink = nullptr;
FinalPathFn g_finalPath = nullptr;

template <class Fn>
Fn Lookup(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

}  // namespace

LinkFacility LoadLinkFacility() {
    LinkFacility facility;
    const HMODULE library = ::LoadLibraryW(L"kernel32.dll");  // stays loaded for the process
    if (library == nullptr) return facility;
    facility.libraryLoaded = true;
    g_createLink = Lookup<CreateLinkFn>(library, "CreateSymbolicLinkW");
    g_finalPath = Lookup<FinalPathFn>(library, "GetFinalPathNameByHandleW");
    facility.createLinkFound = g_createLink != nullptr;
    facility.finalPathFound = g_finalPath != nullptr;
    return facility;
}

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool CreateSymbolicLinkW(const std::wstring& link, const std::wstring& target, uint32_t flags) {
    if (fault::Hit(Call::kCreateSymbolicLink)) return false;
    if (g_createLink == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    // The result is a one-byte BOOLEAN: only its low byte means anything.
    return (g_createLink(link.c_str(), target.c_str(), flags) & 0xFF) != 0;
}

struct OpenFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

FileHandle OpenForQuery(const std::wstring& path) {
    if (fault::Hit(Call::kCreateFile)) return nullptr;
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return new OpenFile{handle};
}

void CloseFile(FileHandle file) {
    if (file == nullptr) return;
    ::CloseHandle(file->handle);
    delete file;
}

uint32_t GetFinalPathNameByHandleW(FileHandle file, wchar_t* buffer, uint32_t size) {
    if (fault::Hit(Call::kGetFinalPathName)) return 0;
    if (file == nullptr || g_finalPath == nullptr) {
        ::SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return 0;
    }
    return g_finalPath(file->handle, buffer, size, 0);
}

bool ReplaceDirectoryLinkW(const std::wstring& link, const std::wstring& target) {
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            ::SetLastError(ERROR_ALREADY_EXISTS);  // a folder or file: never replaced
            return false;
        }
        if (!RemoveDirectoryW(link)) return false;
    }
    return CreateSymbolicLinkW(link, target, kSymlinkFlagDirectory);
}

// ---- Durability and the log file --------------------------------------------------------------

bool FlushHandleOf(const std::wstring& path, unsigned long flags) {
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool flushed = ::FlushFileBuffers(handle) != FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    if (!flushed) ::SetLastError(error);
    return flushed;
}

namespace {

// Flushing needs a handle open for writing, which a read-only file refuses: its attribute is
// lifted for the moment.
bool FlushFile(const std::wstring& path, DWORD attributes) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly &&
        !::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        return false;
    }
    const bool flushed = FlushHandleOf(path, 0);
    const DWORD error = ::GetLastError();
    if (readOnly) ::SetFileAttributesW(path.c_str(), attributes);
    if (!flushed) ::SetLastError(error);
    return flushed;
}

// Flushes every file and folder below folder, and folder itself, one by one; links are not
// followed. The folders carry the names made and renamed, which FAT and exFAT keep in them.
bool FlushEachBelow(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        ok = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                 ? FlushEachBelow(path)
                 : FlushFile(path, data.dwFileAttributes);
    } while (ok && ::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (ok && error != ERROR_NO_MORE_FILES) return false;
    return ok && FlushHandleOf(folder, FILE_FLAG_BACKUP_SEMANTICS);
}

// The volume that holds path, as the device \\?\Volume{...} (no closing separator, which would
// open its root folder instead). From the path, never from its drive letter: a volume mounted
// in a folder of C: is not C:.
bool VolumeDeviceOf(const std::wstring& path, std::wstring& device) {
    std::wstring mount(std::max<size_t>(path.size(), MAX_PATH) + 2, L'\0');
    if (!::GetVolumePathNameW(path.c_str(), mount.data(), static_cast<DWORD>(mount.size()))) {
        return false;
    }
    wchar_t name[64] = {};
    if (!::GetVolumeNameForVolumeMountPointW(mount.c_str(), name, 64)) return false;
    device = name;
    while (!device.empty() && device.back() == L'\\')
        device.pop_back();
    return !device.empty();
}

}  // namespace

// The whole volume in one call where the system allows it (it needs administrator rights,
// which the program has); else every file and folder below path, one by one.
bool FlushToDisk(const std::wstring& path) {
    if (fault::Hit(Call::kFlushToDisk, path)) return false;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    std::wstring device;
    if (VolumeDeviceOf(path, device) && FlushHandleOf(device, 0)) return true;
    if (!FlushEachBelow(path)) return false;
    ::SetLastError(0);
    return true;
}

bool SamePathSpelling(const std::wstring& a, const std::wstring& b) {
    // "/" is a separator as "\\" is.
    std::wstring x = a, y = b;
    std::replace(x.begin(), x.end(), L'/', L'\\');
    std::replace(y.begin(), y.end(), L'/', L'\\');
    return ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                  static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

std::FILE* OpenSharedAppend(const std::wstring& name) {
    return ::_wfsopen(name.c_str(), L"at", _SH_DENYNO);
}

}  // namespace sys
