// Windows backend of the program's own state between runs: %ProgramData%\Halvex and files
// replaced atomically in it.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/fs.h"
#include "platform/sys.h"
#include "platform/win32/flush.h"

namespace sys {

bool GetStateFolder(std::wstring& folder) {
    wchar_t data[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    // The variable is part of every Windows since Vista; its usual value stands in without it.
    std::wstring path = length > 0 && length < MAX_PATH ? std::wstring(data, length)
                                                        : std::wstring(L"C:\\ProgramData");
    path += L"\\Halvex";
    if (!CreateDirectoryW(path) && GetLastError() != kErrAlreadyExists) return false;
    folder = path;
    return true;
}

namespace {

// Renames the open file by its handle, replacing what is at to. FileRenameInfo takes the new name
// whole, after the fixed part of the structure.
bool RenameOpenFile(HANDLE file, const std::wstring& to) {
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, to.c_str(), nameBytes);
    return ::SetFileInformationByHandle(file, FileRenameInfo, info,
                                        static_cast<DWORD>(buffer.size())) != FALSE;
}

bool FlushFolder(const std::wstring& folder) {
    return FlushHandleOf(folder, FILE_FLAG_BACKUP_SEMANTICS);
}

std::wstring FolderOf(const std::wstring& path) {
    const auto cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut);
}

}  // namespace

// MOVEFILE_WRITE_THROUGH promises durability only for a move done as a copy and a delete, so
// the rename is made on the open file's handle and the file flushed after it: NTFS then commits
// the rename with the file. Where the rename by handle is refused, the renamed file is opened
// and flushed instead, with its folder.
bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes) {
    if (fault::Hit(Call::kWriteFile, path)) return false;
    const std::wstring temp = path + L".tmp";
    const HANDLE file = ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok =
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && ::FlushFileBuffers(file);
    bool renamed = ok && RenameOpenFile(file, path);
    if (renamed) ok = ::FlushFileBuffers(file) != FALSE;
    DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(file);
    if (ok && !renamed) {
        ok = ::MoveFileExW(temp.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        renamed = ok;
        if (ok) {
            const HANDLE moved =
                ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
            ok = moved != INVALID_HANDLE_VALUE && ::FlushFileBuffers(moved);
            if (moved != INVALID_HANDLE_VALUE) ::CloseHandle(moved);
            ok = ok && FlushFolder(FolderOf(path));
        }
        error = ok ? 0 : ::GetLastError();
    }
    if (!renamed) ::DeleteFileW(temp.c_str());
    // Renamed but perhaps not durably: the caller treats it as not written.
    if (!ok) ::SetLastError(error);
    return ok;
}

bool RemoveFileDurably(const std::wstring& path) {
    if (fault::Hit(Call::kDeleteFile, path)) return false;
    if (!::DeleteFileW(path.c_str())) return false;
    const std::wstring folder = FolderOf(path);
    return FlushFolder(folder) || FlushToDisk(folder);
}

bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes) {
    if (fault::Hit(Call::kReadFile)) return false;
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ::ReadFile(file, buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0) {
        text.append(buffer, got);
        if (text.size() > maxBytes) break;
    }
    const DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(file);
    if (!ok) {
        ::SetLastError(error);
        return false;
    }
    if (text.size() > maxBytes) {
        ::SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    bytes = std::move(text);
    return true;
}

struct ReadingFile {
    HANDLE handle;
};

ReadHandle OpenForReading(const std::wstring& path) {
    if (fault::Hit(Call::kReadFile)) return nullptr;
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return new ReadingFile{file};
}

bool ReadNext(ReadHandle file, char* buffer, size_t size, size_t& got) {
    DWORD n = 0;
    const DWORD wanted = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
    if (!::ReadFile(file->handle, buffer, wanted, &n, nullptr)) return false;
    got = n;
    return true;
}

void CloseReading(ReadHandle file) {
    if (file == nullptr) return;
    ::CloseHandle(file->handle);
    delete file;
}

}  // namespace sys
