// Process-wide calls of start-up: named mutexes and token privileges (see sys.h for the error
// contract). POSIX: a named mutex is a lock file in the host folder's locks/ held with flock;
// privileges have no counterpart there.
#pragma once

#include <string>

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

}  // namespace sys
