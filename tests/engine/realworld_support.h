// Real things the user's world holds, for the tests of a move in it: volumes on loop devices,
// bind mounts, and other processes that keep files open. Linux only; each needs root, and says
// why it is missing when it cannot be had.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <string>

#include "support.h"

namespace testsupport {

bool RunQuietly(const std::string& command);
bool IsRoot();

// A file system image on a loop device, mounted at a folder for the life of the object.
// kind: "exfat" (exfat-fuse), "ntfs" (ntfs-3g), "ext4" or "vfat".
class LoopVolume {
  public:
    LoopVolume(const std::string& kind, const fs::path& at, int mib = 64);
    ~LoopVolume();
    LoopVolume(const LoopVolume&) = delete;
    LoopVolume& operator=(const LoopVolume&) = delete;
    bool mounted() const { return why_.empty(); }
    // Unmounts and mounts the volume again: what a driver only kept in its cache is gone.
    bool Remount();
    const std::string& why() const { return why_; }  // why not mounted
    const fs::path& path() const { return at_; }
    // The cache flushes the loop device has been sent so far (/sys/block/loopN/stat).
    uint64_t FlushesReceived() const;

  private:
    fs::path at_, image_;
    std::string device_, why_, mount_;
};

// A bind mount of one folder at another, for the life of the object.
class BindMount {
  public:
    BindMount(const fs::path& from, const fs::path& at);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool mounted() const { return mounted_; }

  private:
    fs::path at_;
    bool mounted_ = false;
};

// A child process running a shell script (in its own working folder) until the object ends.
class Writer {
  public:
    Writer(const std::string& script, const fs::path& workingDir);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    pid_t pid() const { return pid_; }
    // Waits until the file exists (the script has started), at most 20 s.
    bool WaitFor(const fs::path& file) const;

  private:
    pid_t pid_ = -1;
};

}  // namespace testsupport

#endif
