// The power-cut sweep: a whole move is recorded, every change it makes on the disk and every
// flush; then, for each moment between two changes, the states a power cut may leave there are
// built on the disk, the services are set running (they start with the system), the recovery
// runs on each, and every original file must be whole in exactly one reachable place, or the
// recovery must have refused and named where the data is. A refusal is counted by its kind, and
// one where the disk alone shows a safe way (OpenWay) fails the sweep.
//
// What survives a power cut, as this sweep builds it. Two drives: the system drive holds the
// installation and the state folder, the target drive the copies.
//   - A flush (FlushToDisk) makes durable every change before it on the file system of the path
//     it names, and nothing on the other drive.
//   - The journal is replaced by writing a new file, flushing it, renaming it over the old one
//     and making the rename durable (POSIX: flushing the folder; Windows: renaming the open file
//     and flushing it): once that call returns it is durable, and a cut during the call leaves
//     the old journal or the new one, whole. Where a rename over a name is a delete and a write
//     (FAT, exFAT), a cut inside it leaves no journal and the new text in move.journal.tmp.
//     Its removal is durable once the call returns, and it makes nothing else durable.
//   - On the system drive (journaled: NTFS, ext4) names made, renamed or deleted since its last
//     flush may be lost from the newest backwards: the disk shows the changes up to some point
//     after the last flush, never a later one without the earlier. On the target (FAT, exFAT, a
//     drive's cache) they may be lost in any order; an entry whose folder is lost goes with it.
//   - File data written since its last flush may read as zeros, be cut short (zeros from some
//     point on), read as stale bytes (what the blocks held before), or the file be empty, while
//     its name remains.
// The states built at each moment: every change kept; on each drive, the newest one, two and
// three, each eighth, all but one and all of the changes since its flush lost, with the other
// drive's kept or half kept; on the target, changes since its flush kept in several orders
// that no prefix gives; with every change kept, or half of them, the unflushed data zeros, cut
// short at half, stale or empty, and the file written last alone so; and at a journal replace,
// the FAT cut inside it. States that come out the same are tried once.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/posix/service_standin.h"
#include "platform/sys.h"
#include "wholeness.h"

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

// What a drive gives back for data it was never told to flush.
enum class Loss { kZeros, kHalf, kStale, kEmpty };

// The unflushed data of the trees lost as how says; with only, of the file at that path alone.
// A file's flushed state is its drive's: durableSystem for the installation, durableTarget for
// the copies.
State LoseUnflushed(State state, const State& durableSystem, const State& durableTarget, Loss how,
                    const std::string& only = {}) {
    for (auto& [path, entry] : state) {
        const bool target = Under(path, kTreeRoots[1]);
        if (!target && !Under(path, kTreeRoots[0])) continue;
        const State& durable = target ? durableTarget : durableSystem;
        if (!Unflushed(entry, durable) || entry.data.empty()) continue;
        if (!only.empty() && path != only) continue;
        std::string& data = entry.data;
        switch (how) {
            case Loss::kZeros:
            case Loss::kHalf: {
                const size_t from = how == Loss::kZeros ? 0 : data.size() / 2;
                std::fill(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(), '\0');
                break;
            }
            case Loss::kStale: {  // what the blocks held: the name's old bytes, or another's
                const auto old = durable.find(path);
                std::string stale = old != durable.end() && old->second.data != data
                                        ? old->second.data
                                        : std::string();
                stale.resize(data.size(), '\x5a');
                data = stale;
                break;
            }
            case Loss::kEmpty:
                data.clear();
                break;
        }
    }
    return state;
}

bool SameEntry(const Entry& a, const Entry& b) {
    return a.kind == b.kind && a.mode == b.mode && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.inode == b.inode && a.data == b.data;
}

// The target as the durable state from, with the changes of the moments keep picks between from
// and to applied in order: what a drive that loses names in any order may show. An entry whose
// folder is not there goes with it.
State TargetInAnyOrder(State state, const std::vector<State>& states, size_t from, size_t to,
                       const std::function<bool(size_t)>& keep) {
    const char* const target = kTreeRoots[1];
    TakeFolder(state, states[from], target);
    for (size_t m = from; m < to; ++m) {
        if (!keep(m)) continue;
        const State& before = states[m];
        const State& after = states[m + 1];
        for (const auto& [path, entry] : before) {
            if (Under(path, target) && after.count(path) == 0) state.erase(path);
        }
        for (const auto& [path, entry] : after) {
            const auto was = before.find(path);
            if (Under(path, target) && (was == before.end() || !SameEntry(was->second, entry)))
                state[path] = entry;
        }
    }
    for (auto it = state.begin(); it != state.end();) {
        const auto cut = it->first.rfind('/');
        const bool orphan = Under(it->first, target) && cut != std::string::npos &&
                            it->first != target && state.count(it->first.substr(0, cut)) == 0;
        it = orphan ? state.erase(it) : std::next(it);
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
    // For each state: the last one a flush of the system drive, and of the target, made durable.
    std::vector<size_t> durableSystem;
    std::vector<size_t> durableTarget;
    std::vector<bool> journalNext;  // the call right after the state replaces the journal
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

// What the sweep records: a move of a library at home, or the move back of a moved one.
enum class Work { kMove, kBack };

int32_t Run(SimulatedInstall& install, Work work) {
    CVr engine;
    if (work == Work::kMove) return Move(engine, install.target());
    const int32_t result = engine.MoveBack();
    engine.ResetTask();
    return result;
}

// A scene for the work: for a move back, the library moved first (unrecorded).
std::unique_ptr<SimulatedInstall> Scene(const InstallShape& shape, Work work) {
    auto install = std::make_unique<SimulatedInstall>(shape);
    if (work == Work::kBack) {
        EXPECT_EQ(Run(*install, Work::kMove), 0);
    }
    return install;
}

// Records into install, where the states are built again later: the journal and the links name
// its folders by their full paths.
Recording Record(const InstallShape& shape, Work work, std::unique_ptr<SimulatedInstall>& install) {
    std::vector<sys::Call> kinds;
    {
        const auto traced = Scene(shape, work);
        sys::fault::Reset();
        sys::fault::Trace(&kinds);
        EXPECT_EQ(Run(*traced, work), 0);
        sys::fault::Reset();
    }
    Recording recording;
    install = Scene(shape, work);
    size_t durableSystem = 0, durableTarget = 0;
    enum class Flushing { kNo, kSystem, kTarget } flushing = Flushing::kNo;
    const std::wstring target = install->target().wstring();
    // Before each change: the state, and what the call just before made durable.
    const auto take = [&](sys::Call next, const std::wstring& path) {
        if (flushing == Flushing::kSystem) durableSystem = recording.states.size();
        if (flushing == Flushing::kTarget) durableTarget = recording.states.size();
        recording.states.push_back(Snapshot(install->root()));
        recording.durableSystem.push_back(durableSystem);
        recording.durableTarget.push_back(durableTarget);
        const std::wstring journal = L"move.journal";
        recording.journalNext.push_back(
            next == sys::Call::kWriteFile && path.size() >= journal.size() &&
            path.compare(path.size() - journal.size(), journal.size(), journal) == 0);
        flushing = next != sys::Call::kFlushToDisk ? Flushing::kNo
                   : path.rfind(target, 0) == 0    ? Flushing::kTarget
                                                   : Flushing::kSystem;
    };
    sys::fault::Reset();
    for (size_t k = 0; k < kinds.size(); ++k) {
        if (!Changes(kinds[k])) continue;
        sys::fault::Arm({sys::Call::kAny, k + 1, 0, false,
                         [&take] { take(sys::fault::CurrentCall(), sys::fault::CurrentPath()); }});
    }
    EXPECT_EQ(Run(*install, work), 0);
    sys::fault::Reset();
    take(sys::Call::kAny, {});
    return recording;
}

// Every original whole in exactly one reachable place, or a refusal that names where it is.
std::string Judge(const SimulatedInstall& install, const RecoveryPlan& plan, int32_t result) {
    const fs::path software = install.base() / "Software";
    const fs::path downloads = install.base() / "Downloads";
    if (plan.action == RecoveryAction::kRefuse) {
        const std::string why = sys::ToUtf8(plan.why);
        std::vector<fs::path> softwarePlaces, downloadsPlaces;
        const fs::path copies = install.target() / "Oculus game";
        for (const fs::path& place : {software, install.base() / "SoftwareVarko",
                                      install.base() / "SoftwareBack", copies / "Software"}) {
            if (why.find(place.string()) != std::string::npos) softwarePlaces.push_back(place);
        }
        for (const fs::path& place : {downloads, install.base() / "DownloadsVarko",
                                      install.base() / "DownloadsBack", copies / "Downloads"}) {
            if (why.find(place.string()) != std::string::npos) downloadsPlaces.push_back(place);
        }
        const auto missing = install.Missing(softwarePlaces, downloadsPlaces);
        return missing.empty() ? "" : "refused without naming " + missing.front() + ": " + why;
    }
    if (result != 0 && result != kCodeServicesNotStarted)
        return "the recovery failed with " + std::to_string(result);
    return NotWhole(
        install, {Whole::Data::kEither, false, result == 0 ? uint32_t{sys::kServiceRunning} : 0});
}

// One place that may hold a top folder's data, as the disk shows it before the recovery: a real
// folder there (not a link), every original of that folder in it with its bytes, and anything
// else in it (a file that is no original, or one with other bytes: the disk alone cannot tell
// it from data written after the move).
struct Place {
    bool exists = false;
    bool whole = false;
    bool ownData = false;
};

Place Look(const SimulatedInstall& install, const std::string& top, const fs::path& folder) {
    Place place;
    std::error_code ec;
    place.exists = fs::is_directory(fs::symlink_status(folder, ec));
    if (!place.exists) return place;
    place.whole = true;
    for (const auto& [rel, content] : install.files()) {
        if (rel.rfind(top + "/", 0) != 0) continue;
        const fs::path file = folder / fs::u8path(rel.substr(top.size() + 1));
        if (!fs::is_regular_file(file, ec) || ReadFile(file) != content) {
            place.whole = false;
            break;
        }
    }
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!fs::is_regular_file(it->symlink_status(ec))) continue;
        const auto known =
            install.files().find(top + "/" + fs::relative(it->path(), folder).generic_string());
        if (known == install.files().end() || ReadFile(it->path()) != known->second) {
            place.ownData = true;
            break;
        }
    }
    return place;
}

// A way out the disk alone shows to be safe, for a refusal to be wrong: Finish when each copy
// holds every original and nothing else, the journal names the copies and no folder is at home;
// Put back when each folder's data is whole in exactly one place at home (its old name or its
// parked one) and each copy holds nothing of its own. Empty when neither is.
// For a move back: Finish when each folder is whole at home (under its name, its link gone, or
// as its home copy, its link there or gone) with nothing of its own and the journal names the
// copies; Put back when each name is still a link and each moved folder whole with nothing of
// its own.
std::string OpenWay(const SimulatedInstall& install, Work work) {
    std::error_code ec;
    bool finish = fs::exists(install.root() / "host" / "state" / "move.journal", ec);
    bool putBack = true;
    if (work == Work::kBack) {
        for (const std::string top : {"Software", "Downloads"}) {
            const bool linked = fs::is_symlink(install.base() / top, ec);
            const Place home = Look(install, top, install.base() / top);
            const Place copy = Look(install, top, install.base() / (top + "Back"));
            const Place moved = Look(install, top, install.target() / "Oculus game" / top);
            finish = finish && ((home.exists && home.whole && !home.ownData && !copy.exists) ||
                                (!home.exists && copy.whole && !copy.ownData));
            putBack = putBack && linked && moved.whole && !moved.ownData;
        }
        return finish ? "Finish" : putBack ? "Put back" : "";
    }
    for (const std::string top : {"Software", "Downloads"}) {
        const Place home = Look(install, top, install.base() / top);
        const Place parked = Look(install, top, install.base() / (top + "Varko"));
        const Place copy = Look(install, top, install.target() / "Oculus game" / top);
        finish = finish && copy.whole && !copy.ownData && !home.exists &&
                 !(parked.exists && parked.ownData);
        const Place& atHome = home.exists ? home : parked;
        putBack = putBack && home.exists != parked.exists && atHome.whole && !atHome.ownData &&
                  !(copy.exists && copy.ownData);
    }
    return finish ? "Finish" : putBack ? "Put back" : "";
}

// What a refusal found, folder by folder, without the paths: its kind.
std::string RefusalKind(const RecoveryPlan& plan) {
    static const char* const kPlaces[] = {"at home", "parked", "linked", "done", "unclear"};
    static const char* const kCopies[] = {"no copy", "a partial copy", "a whole copy",
                                          "a copy with more"};
    std::string kind = plan.journalFound ? "journal" : "no journal";
    if (plan.record.copiesChecked) kind += ", checked";
    for (const FolderFinding& f : plan.folders) {
        kind += "; " + fs::path(f.source).filename().string() + " " +
                kPlaces[static_cast<int>(f.place)] + ", " + kCopies[static_cast<int>(f.copy)];
        if (f.driveMissing) kind += ", its drive missing";
        if (!f.own.empty()) kind += ", the copy holding its own";
        if (!f.contentKnown && f.targetExists) kind += ", bytes not compared";
    }
    return kind;
}

void Sweep(Work work, const char* name) {
    ScopedMemoryTemp memory;
    ScopedVirtualClock clock;
    ScopedCopyThreads walkerOnly(1);  // the same calls in the same order on every run
    const InstallShape shape{10, true, true, true};
    {
        // Opens the log, so every run makes the same calls.
        const auto warmUp = Scene(shape, work);
        ASSERT_EQ(Run(*warmUp, work), 0);
    }
    std::unique_ptr<SimulatedInstall> recorded;
    const Recording recording = Record(shape, work, recorded);
    ASSERT_GT(recording.states.size(), 50u);
    SimulatedInstall& install = *recorded;
    std::set<std::string> tried;
    int cuts = 0, lost = 0, refused = 0, wayOpen = 0, refusedWithAWayOpen = 0, continued = 0;
    std::map<std::string, int> refusals;  // by kind
    const auto tryState = [&](const State& state, const std::string& what) {
        if (!tried.insert(Key(state)).second) return;
        ++cuts;
        Build(install.root(), state);
        install.SetServicesRunning();  // they start with the system
        const std::string open = OpenWay(install, work);
        if (!open.empty()) ++wayOpen;
        CVr engine;
        RecoveryPlan plan;
        int32_t result = engine.AssessRecovery(plan);
        if (result == 0 && plan.action == RecoveryAction::kRefuse) {
            ++refused;
            ++refusals[RefusalKind(plan)];
            if (!open.empty()) {
                ++refusedWithAWayOpen;
                ADD_FAILURE() << what << ": refused where " << open
                              << " was safe: " << RefusalKind(plan) << ": "
                              << sys::ToUtf8(plan.why);
            }
        }
        if (result == 0 &&
            (plan.action == RecoveryAction::kFinish || plan.action == RecoveryAction::kPutBack)) {
            result = engine.Recover(plan.action);
        } else if (result == 0 && plan.action == RecoveryAction::kContinue) {
            ++continued;
            result = engine.ContinueMove();
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
    const char* const target = kTreeRoots[1];
    for (size_t k = 0; k < states.size(); ++k) {
        if (!sample.Takes(k)) continue;
        const size_t fs = recording.durableSystem[k];
        const size_t ft = recording.durableTarget[k];
        const State& now = states[k];
        const std::string at = "moment " + std::to_string(k) + " (system flushed at " +
                               std::to_string(fs) + ", target at " + std::to_string(ft) + ")";
        // The system drive's changes kept up to ms, the target's up to mt; the journal as it
        // stands now.
        const auto compose = [&](size_t ms, size_t mt) {
            State state = states[ms];
            TakeFolder(state, states[mt], target);
            for (const char* name : kHostRoots)
                TakeFolder(state, now, name);
            return state;
        };
        const auto keptPoints = [k](size_t f) {
            const size_t span = k - f;
            std::set<size_t> kept{k, f};
            for (size_t part = 1; part < 8; ++part)
                kept.insert(f + span * part / 8);
            for (size_t back = 1; back <= 3 && back <= span; ++back)
                kept.insert(k - back);
            if (span >= 1) kept.insert(f + 1);
            return kept;
        };
        const auto named = [&](size_t ms, size_t mt) {
            return at + ", changes kept up to " + std::to_string(ms) + " on the system and " +
                   std::to_string(mt) + " on the target";
        };
        for (const size_t ms : keptPoints(fs)) {
            for (const size_t mt : {k, ft + (k - ft) / 2, ft})
                tryState(compose(ms, mt), named(ms, mt));
        }
        for (const size_t mt : keptPoints(ft)) {
            for (const size_t ms : {k, fs + (k - fs) / 2, fs})
                tryState(compose(ms, mt), named(ms, mt));
        }
        // Names on the target lost in orders no prefix gives: every other change, the newer
        // half alone, and a few choices that a seed drawn from the moment makes.
        if (k > ft + 1) {
            const auto anyOrder = [&](const std::function<bool(size_t)>& keep, const char* how) {
                tryState(TargetInAnyOrder(compose(k, k), states, ft, k, keep),
                         at + ", the target's changes since its flush kept " + how);
            };
            anyOrder([](size_t m) { return m % 2 == 0; }, "at even moments");
            anyOrder([](size_t m) { return m % 2 == 1; }, "at odd moments");
            anyOrder([&](size_t m) { return m >= ft + (k - ft) / 2; }, "in their newer half");
            for (uint32_t seed = 1; seed <= 3; ++seed) {
                anyOrder(
                    [&](size_t m) { return ((m * 2654435761u) ^ (seed * 40503u * k)) % 3 != 0; },
                    "as a seed picks them");
            }
        }
        // The unflushed data lost: of the file written last alone, the one a cut most often
        // catches, and of every file.
        const std::pair<Loss, const char*> losses[] = {{Loss::kZeros, "zeros"},
                                                       {Loss::kHalf, "cut at half"},
                                                       {Loss::kStale, "stale"},
                                                       {Loss::kEmpty, "empty"}};
        if (k > 0) {
            for (const auto& [path, entry] : now) {
                const auto before = states[k - 1].find(path);
                const State& durable = Under(path, target) ? states[ft] : states[fs];
                if (!Unflushed(entry, durable) ||
                    (before != states[k - 1].end() && before->second.data == entry.data)) {
                    continue;
                }
                for (const auto& [loss, name] : losses) {
                    tryState(LoseUnflushed(now, states[fs], states[ft], loss, path),
                             at + ", the newest file's data " + name);
                }
            }
        }
        for (const auto& [loss, name] : losses) {
            for (const auto& [ms, mt] : {std::pair(k, k), std::pair(fs + (k - fs) / 2, k),
                                         std::pair(k, ft + (k - ft) / 2)}) {
                tryState(LoseUnflushed(compose(ms, mt), states[fs], states[ft], loss),
                         named(ms, mt) + ", unflushed data " + name);
            }
        }
        // A cut inside a journal replace that deletes before it renames (FAT, exFAT).
        if (recording.journalNext[k] && k + 1 < states.size()) {
            State state = now;
            const auto written = states[k + 1].find("host/state/move.journal");
            state.erase("host/state/move.journal");
            if (written != states[k + 1].end()) {
                state["host/state/move.journal.tmp"] = written->second;
                tryState(state, at + ", the journal replaced as FAT does, cut inside");
            }
        }
    }
    std::printf("%s: %d cuts, %d refused, %d lost%s\n", name, cuts, refused, lost,
                sample.Described().c_str());
    std::printf("  continued from its copies at %d cuts\n", continued);
    for (const auto& [kind, count] : refusals)
        std::printf("  refused %d: %s\n", count, kind.c_str());
    std::printf("  a safe way open at %d cuts, refused at %d of them\n", wayOpen,
                refusedWithAWayOpen);
    EXPECT_GE(cuts, 500 / static_cast<int>(sample.every));
    EXPECT_GT(wayOpen, cuts / 4);  // the judge of refusals sees a way where there is one
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(refusedWithAWayOpen, 0);
}

TEST(PowerCutSweep, EveryCutIsRecoveredWholeOrRefusedNamingTheData) {
    Sweep(Work::kMove, "power-cut sweep");
}

TEST(PowerCutSweep, EveryCutOfAMoveBackIsRecoveredWholeOrRefusedNamingTheData) {
    Sweep(Work::kBack, "move-back power-cut sweep");
}

}  // namespace

#endif  // !_WIN32
