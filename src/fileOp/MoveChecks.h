// The checks a move makes before it changes anything (phase 0, before parking), apart from the
// task so that a later recovery can ask the same questions. Each logs what it refuses, with the
// path or process concerned, and returns 0 or the code of the refusal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ground/ResultCodes.h"

class CFileOp;

namespace movecheck {

// 0, or 15 when a mount point (another volume, a bind mount) lies at or below folder: deleting
// the parked tree would reach into it. Each mount point is logged.
int32_t NoMountPointsBelow(const std::wstring& folder);

// 0, or 10032 when another process holds a file open below folder, or has its working folder,
// root or a mapped file there: a rename would cut it off from what it writes. Each process is
// logged with its name and PID. Only where the system renames such a folder regardless (POSIX);
// elsewhere 0 at once, and the rename's own refusal is explained by LogHolders.
int32_t NotInUse(const std::wstring& folder);

// Logs the processes that hold files below folder, as far as the system can name them.
void LogHolders(const std::wstring& folder);

// The last look before the parked folders are emptied, on every system: 0, or 10032 when a
// process holds something below one (it would go on writing into deleted files). Where the
// system refuses the rename itself (Windows) a query that fails is logged and passed, as the
// first check passes it; elsewhere it is that query's code. held: the first held path, as its
// holder names it; holder, when given: that program's name.
int32_t NotHeldBeforeDeleting(const std::vector<std::wstring>& folders, std::wstring& held,
                              std::wstring* holder = nullptr);

// The processes the in-use check cannot look into (another user's, while this one is not
// privileged), each logged by PID and name; the count leaves out those of system accounts.
// 0 when there are none or the system cannot tell.
size_t CountUncheckedProcesses();

// The name that CFileOp::RenameUnique would give folder parked next to itself now.
std::wstring ParkedNameFor(const std::wstring& source);

// 0, or 10206 when a path the move would make does not fit: the parked folder and its final
// path, the target's final path, and the longest path below either (longestFile and
// longestFolder: PathUnits below the source, as CFileOp::CountFiles measured them).
int32_t PathsFit(CFileOp& fileOp, const std::wstring& source, const std::wstring& target,
                 size_t longestFile, size_t longestFolder);

}  // namespace movecheck
