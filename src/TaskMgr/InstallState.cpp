#include "TaskMgr/InstallState.h"

#include <algorithm>
#include <set>

#include "TaskMgr/CRecovery.h"
#include "fileOp/CFileOp.h"
#include "fileOp/Manifest.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

constexpr size_t kMaxRecordBytes = 16 * 1024;
const wchar_t* const kFolderNames[] = {L"Software", L"Downloads"};

std::wstring ParentOf(const std::wstring& path) {
    const auto cut = path.rfind(sys::kSep);
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring NameOf(const std::wstring& path) {
    const auto cut = path.rfind(sys::kSep);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// A root without its closing separator: "E:", "/mnt/games", and "" for "/".
std::wstring RootStem(const std::wstring& root) {
    return sys::WithoutTrailingSeparators(root);
}

std::wstring RecordPath() {
    std::wstring folder;
    if (!sys::GetStateFolder(folder)) return {};
    return folder + sys::kSep + L"moved.record";
}

bool HasControl(const std::wstring& value) {
    for (wchar_t c : value) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

FolderState LookAtFolder(const std::wstring& base, const wchar_t* name) {
    FolderState folder;
    folder.name = name;
    folder.path = base + sys::kSep + name;
    if (sys::IsLinkOrReparsePoint(folder.path)) {
        if (sys::LinkLeadsNowhere(folder.path)) {
            folder.where = FolderState::Where::kBroken;
            sys::ReadLinkText(folder.path, folder.leadsTo);
        } else {
            folder.where = FolderState::Where::kLinked;
            CFileOp fileOp;
            if (fileOp.GetFinalPath(folder.path, folder.leadsTo) != 0) {
                sys::ReadLinkText(folder.path, folder.leadsTo);
            }
        }
        return folder;
    }
    const uint32_t attributes = sys::GetFileAttributesW(folder.path);
    if (attributes == sys::kInvalidFileAttributes) {
        folder.where = FolderState::Where::kMissing;
    } else {
        folder.where = (attributes & sys::kAttrDirectory) ? FolderState::Where::kHome
                                                          : FolderState::Where::kOther;
    }
    return folder;
}

bool All(const InstallState& state, FolderState::Where where) {
    for (const FolderState& f : state.folders) {
        if (f.where != where) return false;
    }
    return true;
}

std::wstring VolumeRoot(const std::wstring& path) {
    std::wstring root;
    if (!sys::GetVolumePathNameW(path, root)) return {};
    return sys::WithoutTrailingSeparators(root, 1);
}

void ReadFreeSpace(InstallState& state) {
    state.baseRoot = VolumeRoot(state.base);
    state.baseFreeKnown = sys::GetDiskFreeSpaceExW(state.base, state.baseFree);
    if (state.movedTo.empty()) return;
    state.movedRoot = VolumeRoot(state.movedTo);
    state.movedFreeKnown = sys::GetDiskFreeSpaceExW(state.movedTo, state.movedFree);
}

// A drive's top two levels seldom hold more entries than this; past it the search gives up
// rather than keep the window waiting on a drive full of folders.
constexpr size_t kMaxEntriesListed = 4000;
// Of each folder the manifest lists, this many files are looked for in a candidate.
constexpr size_t kManifestSample = 16;

bool IsRealFolder(const std::wstring& path) {
    if (sys::IsLinkOrReparsePoint(path)) return false;
    const uint32_t attributes = sys::GetFileAttributesW(path);
    return attributes != sys::kInvalidFileAttributes && (attributes & sys::kAttrDirectory);
}

// The sub-folders of folder (a root as its stem: "E:", "" for "/") that belong to its volume:
// links and mount points lead elsewhere. budget counts the entries listed down.
void ListSubFolders(const std::wstring& folder, size_t& budget, std::vector<std::wstring>& out) {
    sys::FindData data;
    const sys::FindHandle find =
        sys::FindFirstFileW(folder + sys::kSep + L"*", data, sys::FindLevel::kKinds);
    if (find == nullptr) return;  // a folder this account may not list holds nothing for us
    do {
        if (budget == 0) break;
        --budget;
        if (data.name == L"." || data.name == L".." || !(data.attributes & sys::kAttrDirectory) ||
            (data.attributes & sys::kAttrReparsePoint) || data.mountPoint) {
            continue;
        }
        out.push_back(folder + sys::kSep + data.name);
    } while (sys::FindNextFileW(find, data));
    sys::FindClose(find);
}

// How many of an even sample of the manifest's files folder holds with their recorded size.
size_t ManifestFilesHeld(const std::wstring& folder, const std::vector<std::wstring>& names,
                         const Manifest& manifest, size_t& sampled) {
    size_t held = 0;
    for (const std::wstring& name : names) {
        const ManifestTree* tree = manifest.Tree(name);
        if (!tree || tree->files.empty()) continue;
        const size_t step = std::max<size_t>(1, tree->files.size() / kManifestSample);
        for (size_t i = 0; i < tree->files.size(); i += step) {
            const ManifestFile& file = tree->files[i];
            ++sampled;
            sys::FindData data;
            if (sys::GetFileInfoFollowed(folder + sys::kSep + name + sys::kSep + file.path, data) &&
                ((uint64_t{data.sizeHigh} << 32) | data.sizeLow) == file.size) {
                ++held;
            }
        }
    }
    return held;
}

struct Candidate {
    std::wstring folder;
    size_t held = 0;  // manifest files found with their size
};

// The broken links' folder under another name on their drive, now at root: named in the state,
// with the links pointed at it as the re-pointing to offer.
void LookForRenamedFolder(InstallState& state, const std::vector<const FolderState*>& broken,
                          const MoveRecord& record, const std::wstring& root) {
    const std::wstring expected = ParentOf(broken.front()->leadsTo);
    std::vector<std::wstring> names;
    for (const FolderState* f : broken) {
        if (!sys::SamePathSpelling(ParentOf(f->leadsTo), expected)) return;  // not one folder
        names.push_back(NameOf(f->leadsTo));
    }
    Manifest manifest;
    bool found = false;
    const bool known = ReadManifest(ManifestFileName::kMoved, manifest, found) == 0 && found;
    state.renamedTo =
        FindRenamedFolder(expected, names, record.root, root, known ? &manifest : nullptr);
    if (state.renamedTo.empty()) return;
    state.repoint = JournalRecord{};
    state.repoint.base = state.base + sys::kSep;
    for (size_t i = 0; i < broken.size(); ++i) {
        state.repoint.folders.push_back(
            {broken[i]->path, state.renamedTo + sys::kSep + names[i], {}, true});
    }
}

// Where the volume the broken links led to is now, and whether the same folders are there.
void JudgeBrokenLinks(InstallState& state) {
    MoveRecord record;
    std::vector<const FolderState*> broken;
    for (const FolderState& f : state.folders) {
        if (f.where == FolderState::Where::kBroken) broken.push_back(&f);
    }
    if (!ReadMoveRecord(record) || Rebased(broken.front()->leadsTo, record.folder, L"x").empty()) {
        return;  // the record speaks of another move: the volume is unknown
    }
    state.expectedRoot = record.root;
    const std::vector<std::wstring> roots = sys::FindVolumeRoots(record.volume);
    if (roots.empty()) {
        state.volume = InstallState::Volume::kAbsent;
        return;
    }
    for (const std::wstring& root : roots) {
        if (sys::SamePathSpelling(RootStem(root), RootStem(record.root))) {
            state.volume = InstallState::Volume::kSamePlace;
            LookForRenamedFolder(state, broken, record, root);
            return;
        }
    }
    state.volume = InstallState::Volume::kElsewhere;
    state.volumeNowAt = roots.front();
    for (const std::wstring& root : roots) {
        JournalRecord repoint;
        repoint.base = state.base + sys::kSep;
        for (const FolderState* f : broken) {
            const std::wstring there = Rebased(f->leadsTo, record.root, root);
            const uint32_t attributes =
                there.empty() ? sys::kInvalidFileAttributes : sys::GetFileAttributesW(there);
            if (attributes == sys::kInvalidFileAttributes || !(attributes & sys::kAttrDirectory)) {
                break;
            }
            repoint.folders.push_back({f->path, there, {}, true});
        }
        if (repoint.folders.size() == broken.size()) {
            state.volumeNowAt = root;
            state.repoint = std::move(repoint);
            return;
        }
    }
    LookForRenamedFolder(state, broken, record, state.volumeNowAt);
}

// Whether the drive the links lead to is the one the move recorded: a different volume mounted
// at the same place holds other data, whatever its folders are called.
void JudgeMovedVolume(InstallState& state) {
    MoveRecord record;
    if (!ReadMoveRecord(record) || !sys::SamePathSpelling(record.folder, state.movedTo)) return;
    std::wstring identity;
    if (!sys::GetVolumeIdentity(state.movedTo, identity) || identity == record.volume) return;
    HX_LOG.Detail("the links lead to another drive than the one recorded: ", identity, " not ",
                  record.volume);
    state.strangeVolume = true;
    state.expectedRoot = record.root;
}

}  // namespace

std::wstring FindRenamedFolder(const std::wstring& expected, const std::vector<std::wstring>& names,
                               const std::wstring& recordedRoot, const std::wstring& root,
                               const Manifest* manifest) {
    const std::wstring there = Rebased(expected, recordedRoot, root);
    if (there.empty() || names.empty()) return {};
    std::set<std::wstring> judged;
    std::vector<Candidate> fits;
    const auto judge = [&](const std::vector<std::wstring>& folders) {
        for (const std::wstring& folder : folders) {
            if (!judged.insert(folder).second || sys::SamePathSpelling(folder, there)) continue;
            if (!std::all_of(names.begin(), names.end(), [&](const std::wstring& name) {
                    return IsRealFolder(folder + sys::kSep + name);
                })) {
                continue;
            }
            size_t sampled = 0;
            const size_t held = manifest ? ManifestFilesHeld(folder, names, *manifest, sampled) : 0;
            if (held * 2 < sampled) {
                HX_LOG.Detail("not the moved games, though it holds their folders: ", folder);
                continue;
            }
            fits.push_back({folder, held});
        }
    };
    const auto best = [&]() -> std::wstring {
        std::sort(fits.begin(), fits.end(),
                  [](const Candidate& a, const Candidate& b) { return a.held > b.held; });
        if (fits.size() > 1 && fits[0].held == fits[1].held) {
            HX_LOG.Detail("the links' folder may be ", fits[0].folder, " or ", fits[1].folder,
                          ": neither is named");
            return {};
        }
        HX_LOG.Detail("the links' folder is now ", fits[0].folder);
        return fits[0].folder;
    };
    size_t budget = kMaxEntriesListed;
    // Renamed where it was: its old neighbours.
    std::vector<std::wstring> level;
    ListSubFolders(ParentOf(there), budget, level);
    judge(level);
    if (!fits.empty()) return best();
    // Moved, or renamed with its parent: the drive's top two levels.
    std::vector<std::wstring> top;
    ListSubFolders(RootStem(root), budget, top);
    judge(top);
    for (const std::wstring& folder : top) {
        level.clear();
        ListSubFolders(folder, budget, level);
        judge(level);
    }
    return fits.empty() ? std::wstring() : best();
}

std::wstring Rebased(const std::wstring& path, const std::wstring& oldRoot,
                     const std::wstring& newRoot) {
    const std::wstring from = RootStem(oldRoot);
    if (path.size() <= from.size() || path[from.size()] != sys::kSep ||
        !sys::SamePathSpelling(path.substr(0, from.size()), from)) {
        return {};
    }
    return RootStem(newRoot) + path.substr(from.size());
}

std::string SerializeMoveRecord(const MoveRecord& record) {
    return "version=1\nfolder=" + sys::ToUtf8(record.folder) +
           "\nroot=" + sys::ToUtf8(record.root) + "\nvolume=" + sys::ToUtf8(record.volume) + "\n";
}

bool ParseMoveRecord(std::string_view text, MoveRecord& record) {
    const char* const keys[] = {"version", "folder", "root", "volume"};
    MoveRecord parsed;
    std::wstring* const values[] = {nullptr, &parsed.folder, &parsed.root, &parsed.volume};
    record = MoveRecord{};
    for (int i = 0; i < 4; ++i) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::string key = std::string(keys[i]) + "=";
        if (line.substr(0, key.size()) != key) return false;
        const std::string_view value = line.substr(key.size());
        for (unsigned char c : value) {
            if (c < 0x20 || c == 0x7F) return false;
        }
        if (i == 0) {
            if (value != "1") return false;
            continue;
        }
        if (value.empty()) return false;
        *values[i] = sys::FromUtf8(value);
    }
    if (!text.empty()) return false;
    record = parsed;
    return true;
}

int32_t ForgetMove() {
    const std::wstring path = RecordPath();
    if (path.empty()) return kCodeEmptyPath;
    if (sys::RemoveFileDurably(path)) return 0;
    const uint32_t error = sys::GetLastError();
    if (error == sys::kErrFileNotFound || error == sys::kErrPathNotFound) return 0;
    const int32_t r = SystemCode(error);
    HX_LOG.Detail("move record: not removed: ", r);
    return r;
}

int32_t RecordMove(const std::wstring& base) {
    const std::wstring trimmed = sys::WithoutTrailingSeparators(base, 1);
    MoveRecord record;
    std::wstring link;
    if (!sys::ReadLinkText(trimmed + sys::kSep + L"Software", link)) {
        const int32_t r = SystemCode(sys::GetLastError());
        HX_LOG.Detail("move record: no link to record");
        return r;
    }
    record.folder = ParentOf(link);
    if (!sys::GetVolumePathNameW(record.folder, record.root) ||
        !sys::GetVolumeIdentity(record.folder, record.volume)) {
        const int32_t r = SystemCode(sys::GetLastError());
        HX_LOG.Detail("move record: the volume cannot be named: ", r);
        return r;
    }
    const std::wstring path = RecordPath();
    if (path.empty() || HasControl(record.folder) || HasControl(record.root) ||
        HasControl(record.volume)) {
        return kCodeEmptyPath;
    }
    if (!sys::ReplaceFileAtomically(path, SerializeMoveRecord(record))) {
        const int32_t r = SystemCode(sys::GetLastError());
        HX_LOG.Detail("move record: not written: ", r);
        return r;
    }
    return 0;
}

bool ReadMoveRecord(MoveRecord& record) {
    const std::wstring path = RecordPath();
    std::string bytes;
    return !path.empty() && sys::ReadWholeFile(path, kMaxRecordBytes, bytes) &&
           ParseMoveRecord(bytes, record);
}

int32_t ReadInstallState(const std::wstring& detectedBase, CRecovery& recovery,
                         InstallState& state) {
    state = InstallState{};
    if (detectedBase.empty()) return 0;
    state.base = sys::WithoutTrailingSeparators(detectedBase, 1);
    for (const wchar_t* name : kFolderNames)
        state.folders.push_back(LookAtFolder(state.base, name));

    const int32_t pending = recovery.CheckNothingPending(detectedBase);
    if (pending == kCodeRecoveryPending) {
        state.kind = InstallState::Kind::kWaiting;
        if (const int32_t r = recovery.Assess(detectedBase, state.plan); r != 0) return r;
        ReadFreeSpace(state);
        return 0;
    }
    if (pending != 0) return pending;

    if (All(state, FolderState::Where::kHome)) {
        state.kind = InstallState::Kind::kHome;
    } else if (All(state, FolderState::Where::kLinked) &&
               sys::SamePathSpelling(ParentOf(state.folders[0].leadsTo),
                                     ParentOf(state.folders[1].leadsTo))) {
        state.kind = InstallState::Kind::kMoved;
        state.movedTo = ParentOf(state.folders[0].leadsTo);
        JudgeMovedVolume(state);
    } else {
        state.kind = InstallState::Kind::kMixed;
        for (const FolderState& f : state.folders) {
            if (f.where == FolderState::Where::kBroken) state.kind = InstallState::Kind::kBroken;
        }
        if (state.kind == InstallState::Kind::kBroken) JudgeBrokenLinks(state);
    }
    ReadFreeSpace(state);
    return 0;
}
