// POSIX backend: the one translation of errno into Windows error numbers.
#pragma once

#include <cstdint>
#include <string>

namespace sys {

// parentExists decides ENOENT: 2 (the last part is missing) or 3 (the path above it is).
uint32_t WinErrorFromErrno(int err, bool parentExists);

// Sets the last error from err; ENOENT looks at whether path's parent folder exists. path is
// also what LastErrorPath() gives.
void SetLastErrorFromErrno(int err, const std::string& path = {});
// realpath(3) of native into resolved, or false with the last error set from errno.
bool ResolvedPath(const std::string& native, std::string& resolved);
// Names the path that the last error concerns, where it differs from the one that decided it.
void SetLastErrorPath(const std::string& path);

}  // namespace sys
