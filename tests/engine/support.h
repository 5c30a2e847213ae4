// Helpers shared by the engine tests: real temporary folders and small file utilities.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "fileOp/CFileOp.h"
#include "platform/sys.h"
#include "testclock.h"
#include "widepath.h"

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
    std::wstring wide() const { return W(path_); }
    std::wstring wide(const std::wstring& relative) const { return W(path_ / fs::path(relative)); }

  private:
    fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content);
std::string ReadFile(const fs::path& path);
// Everything the program has logged so far into dir/log (its working folder's log folder).
std::string LogTextIn(const fs::path& dir);

// Runs the body with the working folder set to dir, then restores it.
class ScopedWorkingDir {
  public:
    explicit ScopedWorkingDir(const fs::path& dir);
    ~ScopedWorkingDir();

  private:
    fs::path previous_;
};

// The number of copy threads for one test; the measured default again afterwards.
struct ScopedCopyThreads {
    explicit ScopedCopyThreads(unsigned threads) { CCopyEngine::UseThreads(threads); }
    ~ScopedCopyThreads() { CCopyEngine::UseThreads(0); }
    ScopedCopyThreads(const ScopedCopyThreads&) = delete;
    ScopedCopyThreads& operator=(const ScopedCopyThreads&) = delete;
};

// Resets the fault seam when the test ends, whatever happened.
struct ScopedFaults {
    ScopedFaults() { sys::fault::Reset(); }
    ~ScopedFaults() { sys::fault::Reset(); }
};

// The temporary folders on a memory file system where one is at hand (/dev/shm): a sweep's many
// moves then cost no waits for the disk's flushes.
struct ScopedMemoryTemp {
    ScopedMemoryTemp();
    ~ScopedMemoryTemp();
    std::string saved;
};

// Which points a sweep tries: all of them, or, where HALVEX_SWEEP_EVERY=N is set (the slow
// sanitizer builds), every Nth from HALVEX_SWEEP_FROM, which the test script moves on from run
// to run so that the runs together still try every point.
struct SweepSample {
    size_t every = 1, from = 0;
    static SweepSample FromEnvironment();
    bool Takes(size_t point) const { return point % every == from % every; }
    // " (one point in N, starting at F)" when sampled, for the sweep's closing line.
    std::string Described() const;
};

}  // namespace testsupport
