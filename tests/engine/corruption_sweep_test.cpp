// The corruption sweep: a drive that gives back other bytes than it took. At the read-back of
// one copied file, after every copy is flushed, one of its bytes is changed on the target, its
// size and write time kept, as a failing or fake drive does. Every such move must end in
// kCodeCopyCorrupt naming that file, with every original whole at home, no copy, link or journal
// left and the services running. The byte is the first, the last, one in the middle, one inside
// a large file's step and the ones around a step's end, of small files, a file of exactly one
// step and a large one; on a memory file system and on a real disk, where the read-back goes
// around the page cache with direct I/O.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/sys.h"
#include "wholeness.h"

using namespace testsupport;

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kStep = 8 * kMiB;  // the copy's first step

// Changes the byte at offset as a drive would: size and write time stay.
void ChangeByte(const std::string& path, uint64_t offset) {
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << path;
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    unsigned char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(offset)), 1);
    byte ^= 0x5A;
    ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(offset)), 1);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(fd, times);
    ::fsync(fd);
    ::close(fd);
}

struct Injection {
    std::string file;  // relative to the base folder
    uint64_t offset;
};

// The folder TempDir makes its folders in, for the life of the object.
struct ScopedTemp {
    explicit ScopedTemp(const char* folder) {
        if (const char* old = std::getenv("TMPDIR")) saved = old;
        usable = ::access(folder, W_OK) == 0;
        if (usable) ::setenv("TMPDIR", folder, 1);
    }
    ~ScopedTemp() {
        if (saved.empty()) {
            ::unsetenv("TMPDIR");
        } else {
            ::setenv("TMPDIR", saved.c_str(), 1);
        }
    }
    std::string saved;
    bool usable = false;
};

std::string Pattern(uint64_t size, char seed) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 131 + (i >> 9));
    return bytes;
}

// Runs one move with the injection; "" when it was caught and nothing was lost.
std::string MoveWith(const Injection& injection) {
    SimulatedInstall install({2, true, true, false});
    install.AddFile("Software/Big/large.bin", Pattern(2 * kStep + 5 * kMiB + 123, 'L'));
    install.AddFile("Software/Big/one step.bin", Pattern(kStep, 'S'));
    install.AddFile("Downloads/tiny.bin", "x");
    install.AddFile("Downloads/cache/small.dat", Pattern(3000, 'd'));
    const std::string rest = injection.file.substr(injection.file.find('/') + 1);
    const std::string top = injection.file.substr(0, injection.file.find('/'));
    const std::wstring changed =
        sys::FromUtf8((install.target() / "Oculus game").string() + "/" + top + "/" + rest);
    bool injected = false;
    sys::fault::Arm({sys::Call::kReadBack, 1, 0, false,
                     [&] {
                         if (sys::fault::CurrentPath() != changed || injected) return;
                         injected = true;
                         ChangeByte(sys::ToUtf8(changed), injection.offset);
                     },
                     true});
    CVr engine;
    const int32_t result = Move(engine, install.target());
    const MoveOutcome outcome = engine.GetMoveOutcome();
    sys::fault::Reset();
    if (!injected) return "never read back";
    if (result != kCodeCopyCorrupt) return "not caught: result " + std::to_string(result);
    if (outcome.failure.path != changed) {
        return "caught, but named " + sys::ToUtf8(outcome.failure.path);
    }
    return NotWhole(install, kAtHome);
}

std::vector<Injection> Injections(bool all) {
    const uint64_t large = 2 * kStep + 5 * kMiB + 123;
    std::vector<Injection> list;
    for (const uint64_t at :
         {uint64_t{0}, large - 1, large / 2, kStep - 1, kStep, kStep + 4097, 2 * kStep + 1}) {
        list.push_back({"Software/Big/large.bin", at});
    }
    for (const uint64_t at : {uint64_t{0}, kStep - 1, kStep / 2})
        list.push_back({"Software/Big/one step.bin", at});
    list.push_back({"Downloads/tiny.bin", 0});
    for (const uint64_t at : {uint64_t{0}, uint64_t{2999}, uint64_t{1500}})
        list.push_back({"Downloads/cache/small.dat", at});
    if (!all) return list;
    // Each file of the usual installation, at its first, middle and last byte.
    SimulatedInstall shape({2, true, true, false});
    for (const auto& [relative, content] : shape.files()) {
        if (content.empty() || relative.find("Game A/shared") != std::string::npos) continue;
        for (const uint64_t at : {uint64_t{0}, content.size() / 2, content.size() - 1})
            list.push_back({relative, at});
    }
    return list;
}

TEST(CorruptionSweep, EveryChangedByteIsCaughtAndTheOriginalKept) {
    ScopedVirtualClock clock;
    ScopedCopyThreads walkerOnly(1);
    int injected = 0, caught = 0, lost = 0;
    for (const auto& [folder, all] : {std::pair("/dev/shm", true), std::pair("/var/tmp", false)}) {
        ScopedTemp temp(folder);
        if (!temp.usable) continue;
        const SweepSample sample = SweepSample::FromEnvironment();
        const std::vector<Injection> list = Injections(all);
        for (size_t k = 0; k < list.size(); ++k) {
            if (!sample.Takes(k)) continue;
            ++injected;
            const std::string problem = MoveWith(list[k]);
            if (problem.empty()) {
                ++caught;
            } else {
                if (problem.rfind("lost", 0) == 0) ++lost;
                ADD_FAILURE() << folder << ": " << list[k].file << " at " << list[k].offset << ": "
                              << problem;
            }
        }
    }
    std::printf("corruption sweep: %d injected, %d caught, %d lost%s\n", injected, caught, lost,
                SweepSample::FromEnvironment().Described().c_str());
    EXPECT_GE(injected, 50 / static_cast<int>(SweepSample::FromEnvironment().every));
    EXPECT_EQ(caught, injected);
}

}  // namespace

#endif  // !_WIN32
