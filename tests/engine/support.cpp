#include "support.h"

#include "logging/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace testsupport {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    // Short: a test of words that name a path inside must not see it shortened (64 characters),
    // however many folders the sweeps made before it.
    char name[40];
    std::snprintf(name, sizeof name, "halvex-%08x-%u", random(), counter++);
    path_ = fs::temp_directory_path() / name;
    fs::create_directories(path_);
    path_ = fs::canonical(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ReadFile(const fs::path& path) {
    // One read of the whole size: a character at a time takes minutes under ThreadSanitizer
    // for the tests' files of 80 MiB.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::string bytes(static_cast<size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

std::string LogTextIn(const fs::path& dir) {
    LogFlushForTests();
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / "log", ec))
        text += ReadFile(entry.path());
    return text;
}

ScopedWorkingDir::ScopedWorkingDir(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
}

ScopedWorkingDir::~ScopedWorkingDir() {
    fs::current_path(previous_);
}

ScopedMemoryTemp::ScopedMemoryTemp() {
#ifndef _WIN32
    if (const char* old = std::getenv("TMPDIR")) saved = old;
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
#endif
}

ScopedMemoryTemp::~ScopedMemoryTemp() {
#ifndef _WIN32
    if (saved.empty()) {
        ::unsetenv("TMPDIR");
    } else {
        ::setenv("TMPDIR", saved.c_str(), 1);
    }
#endif
}

SweepSample SweepSample::FromEnvironment() {
    SweepSample sample;
    if (const char* every = std::getenv("HALVEX_SWEEP_EVERY")) {
        sample.every = std::max<size_t>(1, std::strtoul(every, nullptr, 10));
    }
    if (const char* from = std::getenv("HALVEX_SWEEP_FROM")) {
        sample.from = std::strtoul(from, nullptr, 10);
    }
    return sample;
}

std::string SweepSample::Described() const {
    if (every == 1) return {};
    return " (one point in " + std::to_string(every) + ", starting at " +
           std::to_string(from % every) + ")";
}

}  // namespace testsupport
