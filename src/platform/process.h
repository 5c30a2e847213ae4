// Process-wide calls of start-up: named mutexes and token privileges (see sys.h for the error
// contract). POSIX: a named mutex is a lock file in the host folder's locks/ held with flock;
// privileges have no counterpart there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sys {

struct MutexState;
using MutexHandle = MutexState*;  // null: invalid

// CreateMutexW without security attributes, not initially owned. When the name was taken
// already, the handle is still valid and GetLastError() gives kErrAlreadyExists (183);
// otherwise it gives 0. POSIX: the lock stays held until CloseHandle or process exit, and a
// name that another holder keeps counts as taken.
MutexHandle CreateMutexW(const std::wstring& name);
void CloseHandle(MutexHandle handle);

// OpenProcessToken + LookupPrivilegeValueW + AdjustTokenPrivileges (SE_PRIVILEGE_ENABLED) for
// one privilege. True when the adjustment was made; nothing else is reported. POSIX: true.
bool EnableTokenPrivilege(const std::wstring& name);

// A process that uses something below a folder: an open file, its working folder, its root or a
// mapped file (POSIX), or a file the Restart Manager names (Windows).
struct ProcessUse {
    uint32_t pid = 0;
    std::wstring name;
    std::wstring what;  // the path it holds, where the system tells
    // Run by a system account (a service, a daemon) rather than by a person signed in: a person
    // at the computer cannot judge such a program, so it is named in the log, never asked about.
    bool systemAccount = false;
};

// Windows refuses to rename a folder that holds an open file; POSIX renames it regardless.
#ifdef _WIN32
inline constexpr bool kRenameRefusesFolderInUse = true;
#else
inline constexpr bool kRenameRefusesFolderInUse = false;
#endif

// Finds the processes (other than this one) that use anything at or below the folders, in one
// look at every process. POSIX: by
// identity (device and inode) of each entry below folder against what every process's /proc
// entries lead to, so that another path to the same file (a bind mount, another mount
// namespace) is seen too. Windows: the Restart Manager, asked about the files below folder (the
// first few thousand). False when the system could not be asked. unchecked, when given, gets the
// processes whose use could not be looked at (see FindUncheckableProcesses).
bool FindProcessesUsing(const std::vector<std::wstring>& folders, std::vector<ProcessUse>& users,
                        std::vector<ProcessUse>* unchecked = nullptr);
inline bool FindProcessesUsing(const std::wstring& folder, std::vector<ProcessUse>& users,
                               std::vector<ProcessUse>* unchecked = nullptr) {
    return FindProcessesUsing(std::vector<std::wstring>{folder}, users, unchecked);
}

// The processes (other than this one and the kernel's own threads) whose open files this one may
// not look at: POSIX, another user's while this one is not privileged (root). Windows: none the
// Restart Manager would not see. False when the system could not be asked.
bool FindUncheckableProcesses(std::vector<ProcessUse>& unchecked);

}  // namespace sys
