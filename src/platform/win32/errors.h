// Windows backend: what the backend keeps beside the system's own last error.
#pragma once

#include <string>

namespace sys {

// Remembers path as the one the current last error concerns, for LastErrorPath().
void NoteErrorPath(const std::wstring& path);

}  // namespace sys
