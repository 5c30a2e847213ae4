// Windows backend of the in-use check: Windows itself refuses to rename a folder with an open
// file; the Restart Manager names who holds the files. rstrtmgr.dll is looked up at run time,
// so that a system without it (or with a partial one) still runs the move.
#include <windows.h>
// After windows.h, whose types it uses.
#include <restartmanager.h>

#include <vector>

#include "platform/process.h"
#include "platform/sys.h"

namespace sys {

namespace {

constexpr size_t kMostFilesAsked = 4096;  // the Restart Manager is asked about this many at most

using StartFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RegisterFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using ListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
using EndFn = DWORD(WINAPI*)(DWORD);

template <class Fn>
Fn Lookup(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

void CollectFiles(const std::wstring& folder, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CollectFiles(path, files);
        } else {
            files.push_back(path);
        }
    } while (files.size() < kMostFilesAsked && ::FindNextFileW(find, &data));
    ::FindClose(find);
}

}  // namespace

bool FindUncheckableProcesses(std::vector<ProcessUse>&) {
    // Windows itself refuses to rename a folder that holds an open file, whoever holds it.
    return true;
}

bool FindProcessesUsing(const std::vector<std::wstring>& folders, std::vector<ProcessUse>& users,
                        std::vector<ProcessUse>*) {
    if (fault::Hit(Call::kProcessQuery)) return false;
    const HMODULE library = ::LoadLibraryW(L"rstrtmgr.dll");
    if (library == nullptr) return false;
    const auto start = Lookup<StartFn>(library, "RmStartSession");
    const auto enroll = Lookup<RegisterFn>(library, "RmRegisterResources");
    const auto list = Lookup<ListFn>(library, "RmGetList");
    const auto end = Lookup<EndFn>(library, "RmEndSession");
    if (!start || !enroll || !list || !end) {
        ::FreeLibrary(library);
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    std::vector<std::wstring> files;
    for (const std::wstring& folder : folders)
        CollectFiles(folder, files);
    std::vector<LPCWSTR> names;
    for (const std::wstring& file : files)
        names.push_back(file.c_str());

    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    DWORD status = start(&session, 0, key);
    if (status == ERROR_SUCCESS) {
        status =
            enroll(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr);
        std::vector<RM_PROCESS_INFO> found(16);
        UINT needed = 0;
        UINT count = static_cast<UINT>(found.size());
        DWORD reasons = 0;
        if (status == ERROR_SUCCESS)
            status = list(session, &needed, &count, found.data(), &reasons);
        if (status == ERROR_MORE_DATA) {
            found.resize(needed);
            count = needed;
            status = list(session, &needed, &count, found.data(), &reasons);
        }
        if (status == ERROR_SUCCESS) {
            const DWORD self = ::GetCurrentProcessId();
            for (UINT i = 0; i < count; ++i) {
                if (found[i].Process.dwProcessId == self) continue;
                users.push_back({found[i].Process.dwProcessId, found[i].strAppName, {}});
            }
        }
        end(session);
    }
    ::FreeLibrary(library);
    if (status != ERROR_SUCCESS) ::SetLastError(status);
    return status == ERROR_SUCCESS;
}

}  // namespace sys
