// Windows backend: FlushFileBuffers of one file or folder, shared by the copy's and the state
// folder's durable steps.
#pragma once

#include <string>

namespace sys {

// Opens path for writing with flags (FILE_FLAG_BACKUP_SEMANTICS for a folder, 0 for a file or a
// volume device), flushes it and closes it. False with the system's last error kept on failure.
bool FlushHandleOf(const std::wstring& path, unsigned long flags);

}  // namespace sys
