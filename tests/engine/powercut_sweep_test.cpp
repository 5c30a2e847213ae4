// The power-cut sweep: a whole move is recorded, every change it makes on the disk and every
// flush; then, for each moment between two changes, the states a power cut may leave there are
// built on the disk, the recovery runs on each, and every original file must be whole in exactly
// one reachable place, or the recovery must have refused and named where the data is.
//
// What survives a power cut, as this sweep builds it:
//   - A flush (FlushToDisk: the whole file system's) makes every change before it durable.
//   - The journal is replaced by writing a new file, flushing it, renaming it over the old one
//     and flushing its folder: once that call returns it is durable, and a cut during the call
//     leaves the old journal or the new one, whole (the moments before and after the call).
//   - Names made, renamed or deleted since their folder's last flush may be lost, from the
//     newest backwards: the disk shows the changes up to some point after the last flush, never
//     a later one without the earlier. The installation and the target are separate folders,
//     so either may keep all its changes while the other loses all since the flush.
//   - File data written since its last flush may read as zeros, or be cut short (zeros from some
//     point on), while the file's size and times remain.
// The states built at each moment: every change kept; the newest one, two and three, each
// eighth, all but one and all of the changes since the flush lost; the
// installation's or the target's changes since the flush lost, with every change of the other
// kept or half of them; and with every change kept, or half of them, the data written since the
// flush all zeros or cut short at half; and the file written last alone, so.
// States that come out the same are tried once.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/sys.h"

using namespace testsupport;

namespace {

struct Entry {
    enum class Kind { kFolder, kFile, kLink } kind = Kind::kFile;
    mode_t mode = 0;
    timespec mtime{};
    ino_t inode = 0;
    std::string data;  // a file's bytes, a link's target
};

// One state of the folders a move touches, by path relative to the test's root; ordered so that
// a folder comes before what it holds.
using State = std::map<std::string, Entry>;

const char* const kTreeRoots[] = {"Oculus", "target"};
const char* const kHostRoots[] = {"host/state", "host/services"};

void Scan(const fs::path& root, const std::string& relative, State& state) {
    const fs::path path = root / relative;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    Entry entry;
    entry.mode = st.st_mode & 07777;
    entry.mtime = st.st_mtim;
    entry.inode = st.st_ino;
    if (S_ISLNK(st.st_mode)) {
        entry.kind = Entry::Kind::kLink;
        entry.data = fs::read_symlink(path).string();
    } else if (S_ISDIR(st.st_mode)) {
        entry.kind = Entry::Kind::kFolder;
        state[relative] = entry;
        for (const auto& child : fs::directory_iterator(path))
            Scan(root, relative + "/" + child.path().filename().string(), state);
        return;
    } else {
        entry.data = ReadFile(path);
    }
    state[relative] = entry;
}

State Snapshot(const fs::path& root) {
    State state;
    for (const char* name : kTreeRoots)
        Scan(root, name, state);
    for (const char* name : kHostRoots)
        Scan(root, name, state);
    return state;
}

bool Under(const std::string& path, const char* root) {
    const size_t n = std::strlen(root);
    return path.compare(0, n, root) == 0 && (path.size() == n || path[n] == '/');
}

// The entries of from under root, in place of those of into.
void TakeFolder(State& into, const State& from, const char* root) {
    for (auto it = into.begin(); it != into.end();)
        it = Under(it->first, root) ? into.erase(it) : std::next(it);
    for (const auto& [path, entry] : from) {
        if (Under(path, root)) into[path] = entry;
    }
}

void RemoveAll(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

// Lays state on the disk under root, hard links as hard links, with modes and write times.
void Build(const fs::path& root, const State& state) {
    for (const char* name : kTreeRoots)
        RemoveAll(root / name);
    for (const char* name : kHostRoots)
        RemoveAll(root / name);
    std::map<ino_t, std::string> made;  // a file's inode in the recording -> its first path
    for (const auto& [relative, entry] : state) {
        const fs::path path = root / relative;
        if (entry.kind == Entry::Kind::kFolder) {
            fs::create_directories(path);
        } else if (entry.kind == Entry::Kind::kLink) {
            fs::create_symlink(entry.data, path);
        } else if (const auto it = made.find(entry.inode); it != made.end()) {
            fs::create_hard_link(root / it->second, path);
        } else {
            WriteFile(path, entry.data);
            made.emplace(entry.inode, relative);
        }
    }
    for (auto it = state.rbegin(); it != state.rend(); ++it) {
        const fs::path path = root / it->first;
        if (it->second.kind == Entry::Kind::kLink) continue;
        ::chmod(path.c_str(), it->second.mode);
        const timespec times[2] = {it->second.mtime, it->second.mtime};
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

// A file whose bytes the last flush did not see: made since, or written since.
bool Unflushed(const Entry& entry, const State& durable) {
    if (entry.kind != Entry::Kind::kFile) return false;
    for (const auto& [path, old] : durable) {
        if (old.kind == Entry::Kind::kFile && old.inode == entry.inode && old.data == entry.data)
            return false;
    }
    return true;
}

// The unflushed data of the tree read as zeros from keep (0 to 1) of each file on; with only, of
// the file at that path alone.
State ZeroUnflushed(State state, const State& durable, double keep, const std::string& only = {}) {
    for (auto& [path, entry] : state) {
        if (!Under(path, kTreeRoots[0]) && !Under(path, kTreeRoots[1])) continue;
        if (!Unflushed(entry, durable) || entry.data.empty()) continue;
        if (!only.empty() && path != only) continue;
        const auto from = static_cast<size_t>(static_cast<double>(entry.data.size()) * keep);
        std::fill(entry.data.begin() + static_cast<std::ptrdiff_t>(from), entry.data.end(), '\0');
    }
    return state;
}

std::string Key(const State& state) {
    std::string key;
    for (const auto& [path, entry] : state) {
        key += path + '\1' + std::to_string(static_cast<int>(entry.kind)) + '\1' +
               std::to_string(entry.mode) + '\1' + std::to_string(entry.mtime.tv_sec) + '.' +
               std::to_string(entry.mtime.tv_nsec) + '\1' + entry.data + '\2';
    }
    return key;
}

// The moments of one move: the state before each call that changes the disk, and after the last.
struct Recording {
    std::vector<State> states;
    std::vector<size_t> durable;  // for each state: the last one a flush made durable
};

bool Changes(sys::Call kind) {
    switch (kind) {
        case sys::Call::kCreateDirectory:
        case sys::Call::kCopyFile:
        case sys::Call::kDeleteFile:
        case sys::Call::kRemoveDirectory:
        case sys::Call::kMoveFile:
        case sys::Call::kCreateSymbolicLink:
        case sys::Call::kSetFileAttributes:
        case sys::Call::kCreateHardLink:
        case sys::Call::kCopySymbolicLink:
        case sys::Call::kWriteFile:
        case sys::Call::kFlushToDisk:
            return true;
        default:
            return false;
    }
}

int32_t RunMove(SimulatedInstall& install) {
    CVr engine;
    std::wstring source;
    EXPECT_EQ(engine.ResolveSourceDir(source), 0);
    EXPECT_EQ(engine.CheckTargetDir(install.target().wstring()), 0);
    const int32_t result = engine.MoveInstallation();
    engine.ResetTask();
    return result;
}

// Records into install, where the states are built again later: the journal and the links name
// its folders by their full paths.
Recording Record(const InstallShape& shape, std::unique_ptr<SimulatedInstall>& install) {
    std::vector<sys::Call> kinds;
    {
        SimulatedInstall traced(shape);
        sys::fault::Reset();
        sys::fault::Trace(&kinds);
        EXPECT_EQ(RunMove(traced), 0);
        sys::fault::Reset();
    }
    Recording recording;
    install = std::make_unique<SimulatedInstall>(shape);
    size_t durable = 0;
    bool flushing = false;
    // Before each change: the state, and whether the call just before was a flush.
    const auto take = [&](bool flushNext) {
        if (flushing) durable = recording.states.size();
        recording.states.push_back(Snapshot(install->root()));
        recording.durable.push_back(durable);
        flushing = flushNext;
    };
    sys::fault::Reset();
    for (size_t k = 0; k < kinds.size(); ++k) {
        if (!Changes(kinds[k])) continue;
        const bool flush = kinds[k] == sys::Call::kFlushToDisk;
        sys::fault::Arm({sys::Call::kAny, k + 1, 0, false, [&take, flush] { take(flush); }});
    }
    EXPECT_EQ(RunMove(*install), 0);
    sys::fault::Reset();
    take(false);
    return recording;
}

// Every original whole in exactly one reachable place, or a refusal that names where it is.
std::string Judge(const SimulatedInstall& install, const RecoveryPlan& plan, int32_t result) {
    const fs::path software = install.base() / "Software";
    const fs::path downloads = install.base() / "Downloads";
    std::error_code ec;
    if (plan.action == RecoveryAction::kRefuse) {
        const std::string why = sys::ToUtf8(plan.why);
        std::vector<fs::path> softwarePlaces, downloadsPlaces;
        const fs::path copies = install.target() / "Oculus game";
        for (const fs::path& place :
             {software, install.base() / "SoftwareVarko", copies / "Software"}) {
            if (why.find(place.string()) != std::string::npos) softwarePlaces.push_back(place);
        }
        for (const fs::path& place :
             {downloads, install.base() / "DownloadsVarko", copies / "Downloads"}) {
            if (why.find(place.string()) != std::string::npos) downloadsPlaces.push_back(place);
        }
        const auto missing = install.Missing(softwarePlaces, downloadsPlaces);
        return missing.empty() ? "" : "refused without naming " + missing.front() + ": " + why;
    }
    if (result != 0 && result != kCodeServicesNotStarted)
        return "the recovery failed with " + std::to_string(result);
    const auto missing = install.Missing({software}, {downloads});
    if (!missing.empty()) return "lost " + missing.front();
    for (const auto& entry : fs::directory_iterator(install.base())) {
        const std::string name = entry.path().filename().string();
        if (name != "Software" && name != "Downloads") return "left in the base folder: " + name;
    }
    const bool home = !fs::is_symlink(software, ec) && !fs::is_symlink(downloads, ec);
    if (home) {
        for (const auto& entry : fs::recursive_directory_iterator(install.target(), ec)) {
            if (!entry.is_directory(ec)) return "a copy left beside the data at home";
        }
    } else if (!fs::is_symlink(software, ec) || !fs::is_symlink(downloads, ec)) {
        return "one folder at home and one linked";
    }
    if (!install.OutsideUntouched()) return "outside data touched";
    return {};
}

// Where a memory file system is at hand, the sweep's many flushes cost nothing.
struct ScopedMemoryTemp {
    ScopedMemoryTemp() {
        if (const char* old = std::getenv("TMPDIR")) saved = old;
        if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    }
    ~ScopedMemoryTemp() {
        if (saved.empty()) {
            ::unsetenv("TMPDIR");
        } else {
            ::setenv("TMPDIR", saved.c_str(), 1);
        }
    }
    std::string saved;
};

TEST(PowerCutSweep, EveryCutIsRecoveredWholeOrRefusedNamingTheData) {
    ScopedMemoryTemp memory;
    ScopedVirtualClock clock;
    ScopedCopyThreads walkerOnly(1);  // the same calls in the same order on every run
    const InstallShape shape{10, true, true, true};
    {
        SimulatedInstall warmUp(shape);  // opens the log, so every run makes the same calls
        ASSERT_EQ(RunMove(warmUp), 0);
    }
    std::unique_ptr<SimulatedInstall> recorded;
    const Recording recording = Record(shape, recorded);
    ASSERT_GT(recording.states.size(), 50u);
    SimulatedInstall& install = *recorded;
    std::set<std::string> tried;
    int cuts = 0, lost = 0;
    const auto tryState = [&](const State& state, const std::string& what) {
        if (!tried.insert(Key(state)).second) return;
        ++cuts;
        Build(install.root(), state);
        CVr engine;
        RecoveryPlan plan;
        int32_t result = engine.AssessRecovery(plan);
        if (result == 0 &&
            (plan.action == RecoveryAction::kFinish || plan.action == RecoveryAction::kPutBack)) {
            result = engine.Recover(plan.action);
        }
        const std::string problem = Judge(install, plan, result);
        if (!problem.empty()) {
            ++lost;
            ADD_FAILURE() << what << ": " << problem << " (action " << static_cast<int>(plan.action)
                          << ", result " << result << ")";
            for (const FolderFinding& f : plan.folders) {
                ADD_FAILURE() << sys::ToUtf8(f.source) << " place " << static_cast<int>(f.place)
                              << " copy " << static_cast<int>(f.copy) << " lacking "
                              << sys::ToUtf8(f.lacking) << " own " << sys::ToUtf8(f.own);
            }
        }
    };

    const SweepSample sample = SweepSample::FromEnvironment();
    const auto& states = recording.states;
    for (size_t k = 0; k < states.size(); ++k) {
        if (!sample.Takes(k)) continue;
        const size_t f = recording.durable[k];
        const State& now = states[k];
        const std::string at =
            "moment " + std::to_string(k) + " (flushed at " + std::to_string(f) + ")";
        // A prefix of the changes since the flush; the journal as it stands now.
        const auto prefix = [&](size_t m) {
            State state = states[m];
            for (const char* name : kHostRoots)
                TakeFolder(state, now, name);
            return state;
        };
        const size_t span = k - f;
        std::set<size_t> kept{k, f};
        for (size_t part = 1; part < 8; ++part)
            kept.insert(f + span * part / 8);
        for (size_t back = 1; back <= 3 && back <= span; ++back)
            kept.insert(k - back);
        if (span >= 1) kept.insert(f + 1);
        for (const size_t m : kept)
            tryState(prefix(m), at + ", changes kept up to " + std::to_string(m));
        for (const size_t m : {k, f + span / 2}) {
            const std::string kept = ", changes kept up to " + std::to_string(m);
            State baseLost = prefix(m), targetLost = prefix(m);
            TakeFolder(baseLost, states[f], kTreeRoots[0]);
            TakeFolder(targetLost, states[f], kTreeRoots[1]);
            tryState(baseLost, at + kept + ", the installation's since the flush lost");
            tryState(targetLost, at + kept + ", the target's since the flush lost");
        }
        // The file written last, alone: the one a cut most often catches.
        if (k > 0) {
            for (const auto& [path, entry] : now) {
                const auto before = states[k - 1].find(path);
                if (Unflushed(entry, states[f]) &&
                    (before == states[k - 1].end() || before->second.data != entry.data)) {
                    tryState(ZeroUnflushed(now, states[f], 0.0, path),
                             at + ", the newest file's data zeros");
                    tryState(ZeroUnflushed(now, states[f], 0.5, path),
                             at + ", the newest file's data cut at half");
                }
            }
        }
        for (const size_t m : {k, f + span / 2}) {
            const std::string kept = ", changes kept up to " + std::to_string(m);
            tryState(ZeroUnflushed(prefix(m), states[f], 0.0),
                     at + kept + ", unflushed data zeros");
            tryState(ZeroUnflushed(prefix(m), states[f], 0.5),
                     at + kept + ", unflushed data cut at half");
        }
    }
    std::printf("power-cut sweep: %d cuts, %d lost%s\n", cuts, lost, sample.Described().c_str());
    EXPECT_GE(cuts, 500 / static_cast<int>(sample.every));
    EXPECT_EQ(lost, 0);
}

}  // namespace

#endif  // !_WIN32
