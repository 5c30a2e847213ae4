// Helpers shared by the engine tests: real temporary folders and small file utilities.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sys.h"

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    // The folder as the engine spells paths: a wide string with the platform separator.
    std::wstring wide() const { return path_.wstring(); }
    std::wstring wide(const std::wstring& relative) const {
        return (path_ / fs::path(relative)).wstring();
    }

  private:
    fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content);
std::string ReadFile(const fs::path& path);

// Runs the body with the working folder set to dir, then restores it.
class ScopedWorkingDir {
  public:
    explicit ScopedWorkingDir(const fs::path& dir);
    ~ScopedWorkingDir();

  private:
    fs::path previous_;
};

// Installs a virtual clock for the life of the object.
class ScopedVirtualClock {
  public:
    explicit ScopedVirtualClock(int64_t time64 = 1772845502) : clock_(time64) {
        sys::UseClock(&clock_);
    }
    ~ScopedVirtualClock() { sys::UseClock(nullptr); }
    sys::VirtualClock& operator*() { return clock_; }
    sys::VirtualClock* operator->() { return &clock_; }

  private:
    sys::VirtualClock clock_;
};

// Resets the fault seam when the test ends, whatever happened.
struct ScopedFaults {
    ScopedFaults() { sys::fault::Reset(); }
    ~ScopedFaults() { sys::fault::Reset(); }
};

}  // namespace testsupport
