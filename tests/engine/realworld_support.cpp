#include "realworld_support.h"

#ifndef _WIN32

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {

bool RunQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool IsRoot() {
    return ::geteuid() == 0;
}

namespace {

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace

LoopVolume::LoopVolume(const std::string& kind, const fs::path& at, int mib) : at_(at) {
    if (!IsRoot()) {
        why_ = "loop devices and mounts need root";
        return;
    }
    fs::create_directories(at);
    image_ = at.parent_path() / (at.filename().string() + ".img");
    const std::string mkfs = kind == "exfat"  ? "mkfs.exfat"
                             : kind == "ntfs" ? "mkfs.ntfs -Q -F"
                             : kind == "ext4" ? "mkfs.ext4 -q -F"
                                              : "mkfs.vfat";
    const std::string mount = kind == "exfat"  ? "mount -t exfat-fuse"
                              : kind == "ntfs" ? "mount -t ntfs-3g"
                              : kind == "ext4" ? "mount -t ext4"
                                               : "mount -t vfat";
    if (!RunQuietly("truncate -s " + std::to_string(mib) + "M " + Quoted(image_)) ||
        !RunQuietly(mkfs + " " + Quoted(image_))) {
        why_ = "cannot make a " + kind + " image (" + mkfs + " missing?)";
        return;
    }
    FILE* pipe = ::popen(("losetup -f --show " + Quoted(image_) + " 2>/dev/null").c_str(), "r");
    char line[128] = {};
    if (pipe && std::fgets(line, sizeof line, pipe)) device_ = line;
    if (pipe) ::pclose(pipe);
    while (!device_.empty() && (device_.back() == '\n' || device_.back() == ' '))
        device_.pop_back();
    if (device_.empty()) {
        why_ = "no loop device is free (or the kernel has none)";
        return;
    }
    mount_ = mount;
    if (!RunQuietly(mount + " " + device_ + " " + Quoted(at))) {
        why_ = "cannot mount " + kind + " on " + device_;
        RunQuietly("losetup -d " + device_);
        device_.clear();
    }
}

LoopVolume::~LoopVolume() {
    if (mounted()) {
        for (int i = 0; i < 50 && !RunQuietly("umount " + Quoted(at_)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!device_.empty()) RunQuietly("losetup -d " + device_);
    if (!image_.empty()) {
        std::error_code ec;
        fs::remove(image_, ec);
    }
}

uint64_t LoopVolume::FlushesReceived() const {
    const std::string name = fs::path(device_).filename().string();
    std::ifstream stat("/sys/block/" + name + "/stat");
    uint64_t field = 0;
    for (int i = 0; i < 16 && stat >> field; ++i) {
    }
    return field;  // the 16th: flush requests completed
}

bool LoopVolume::Remount() {
    if (!mounted()) return false;
    bool unmounted = false;
    for (int i = 0; i < 50 && !(unmounted = RunQuietly("umount " + Quoted(at_))); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (unmounted && RunQuietly(mount_ + " " + device_ + " " + Quoted(at_))) return true;
    why_ = "could not mount " + device_ + " again";
    return false;
}

BindMount::BindMount(const fs::path& from, const fs::path& at) : at_(at) {
    fs::create_directories(at);
    mounted_ = IsRoot() && RunQuietly("mount --bind " + Quoted(from) + " " + Quoted(at));
}

BindMount::~BindMount() {
    if (mounted_) RunQuietly("umount " + Quoted(at_));
}

Writer::Writer(const std::string& script, const fs::path& workingDir) {
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workingDir.c_str()) != 0) ::_exit(127);
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

Writer::~Writer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Writer::WaitFor(const fs::path& file) const {
    for (int i = 0; i < 400; ++i) {
        std::error_code ec;
        if (fs::exists(file, ec)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace testsupport

#endif
