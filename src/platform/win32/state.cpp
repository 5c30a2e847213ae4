// Windows backend of the program's own state between runs: %ProgramData%\Halvex and files
// replaced atomically in it.
#include <windows.h>

#include "platform/fs.h"
#include "platform/sys.h"

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

bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes) {
    if (fault::Hit(Call::kWriteFile)) return false;
    const std::wstring temp = path + L".tmp";
    const HANDLE file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok =
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && ::FlushFileBuffers(file);
    DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(file);
    if (ok && !::MoveFileExW(temp.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = ::GetLastError();
    }
    if (!ok) {
        ::DeleteFileW(temp.c_str());
        ::SetLastError(error);
    }
    return ok;
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
