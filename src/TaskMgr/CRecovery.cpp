#include "TaskMgr/CRecovery.h"

#include <algorithm>

#include "TaskMgr/InstallState.h"
#include "fileOp/LibraryCheck.h"
#include "fileOp/MoveChecks.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

using Place = FolderFinding::Place;
using Copy = FolderFinding::Copy;

const wchar_t* const kFolderNames[] = {L"Downloads", L"Software"};  // the move's order

std::wstring Trimmed(const std::wstring& path) {
    return sys::WithoutTrailingSeparators(path, 1);
}

std::wstring ParentOf(const std::wstring& path) {
    const auto cut = sys::LastSeparator(path);
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::wstring NameOf(const std::wstring& path) {
    const auto cut = sys::LastSeparator(path);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// stem, stem(1), stem(1)(1), ...: the names a move gives when one is taken.
bool IsStemWithSuffixes(const std::wstring& name, const std::wstring& stem) {
    if (name.compare(0, stem.size(), stem) != 0) return false;
    for (size_t i = stem.size(); i < name.size(); i += 3) {
        if (name.compare(i, 3, L"(1)") != 0) return false;
    }
    return (name.size() - stem.size()) % 3 == 0;
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

// What a journal names must be what a move makes, or the recovery would delete or rename
// whatever a damaged journal says. Empty when it is; else what is not.
std::wstring OddJournal(const JournalRecord& record) {
    const std::wstring base = Trimmed(record.base);
    if (!sys::IsAbsolutePath(record.base)) return L"its base folder is not a full path";
    if (record.folders.size() != 2) return L"it does not name two folders";
    std::wstring copies;
    for (size_t i = 0; i < record.folders.size(); ++i) {
        const JournalFolder& folder = record.folders[i];
        const std::wstring name = NameOf(folder.source);
        const bool known = name == kFolderNames[0] || name == kFolderNames[1];
        if (!known || ParentOf(folder.source) != base ||
            (i == 1 && NameOf(record.folders[0].source) == name)) {
            return L"it names " + Quoted(folder.source) + L" as a folder of the installation";
        }
        const wchar_t* parkedSuffix = record.work == JournalWork::kBack ? L"Back" : L"Varko";
        if (!folder.parked.empty() &&
            (ParentOf(folder.parked) != base ||
             !IsStemWithSuffixes(NameOf(folder.parked), name + parkedSuffix))) {
            return L"it names " + Quoted(folder.parked) + L" as a parked folder";
        }
        const std::wstring container = ParentOf(folder.target);
        if (!sys::IsAbsolutePath(folder.target) ||
            !IsStemWithSuffixes(NameOf(folder.target), name) ||
            !IsStemWithSuffixes(NameOf(container), L"Oculus game") ||
            (!copies.empty() && container != copies)) {
            return L"it names " + Quoted(folder.target) + L" as a copy";
        }
        copies = container;
    }
    return {};
}

// Where one folder's data is, for a refusal.
std::wstring WhereDataIs(const FolderFinding& f) {
    const std::wstring name = NameOf(f.source);
    std::wstring text = L"\"" + name + L"\": ";
    switch (f.place) {
        case Place::kHome:
            text += L"in " + Quoted(f.source);
            break;
        case Place::kParked:
            text += L"in " + Quoted(f.parked);
            break;
        case Place::kLinked:
            text += L"in " + Quoted(f.parked) + L" and in " + Quoted(f.target);
            break;
        case Place::kDone:
            text += L"in " + Quoted(f.target);
            break;
        case Place::kUnclear: {
            text += f.odd;
            std::vector<std::wstring> there;
            if (f.sourceExists) there.push_back(Quoted(f.source));
            if (f.parkedExists) there.push_back(Quoted(f.parked));
            if (f.targetExists) there.push_back(Quoted(f.target));
            if (f.driveMissing) there.push_back(Quoted(f.target) + L" on the drive not connected");
            if (!there.empty()) {
                text += L"; its data may be in ";
                for (size_t i = 0; i < there.size(); ++i)
                    text += (i == 0 ? L"" : i + 1 == there.size() ? L" or " : L", ") + there[i];
            }
            return text;
        }
    }
    if (f.driveMissing) {
        text += L", and in " + Quoted(f.target) + L" on the drive not connected";
    } else if (!f.own.empty()) {
        text += L", and in " + Quoted(f.target) + L", which holds what the other lacks (" +
                Quoted(f.own) + L")";
    } else if (f.copy == Copy::kPartial && f.place != Place::kHome) {
        text += L", and a partial copy in " + Quoted(f.target);
    } else if (f.copy == Copy::kMore && (f.place == Place::kHome || f.place == Place::kParked)) {
        text += L", and in " + Quoted(f.target) + L", which holds more";
    } else if (f.copy == Copy::kSame && f.place == Place::kParked) {
        text += L", and in " + Quoted(f.target);
    }
    return text;
}

// Sizes and times prove a copy whole only after the journal recorded it flushed and checked:
// before that a power cut may have left its files full of zeros. Otherwise only its bytes do.
bool CopyHoldsAll(const FolderFinding& f, bool checked) {
    if (f.contentKnown) return f.lacking.empty();
    return checked && (f.copy == Copy::kSame || f.copy == Copy::kMore);
}

bool Finishable(const FolderFinding& f, bool checked) {
    if (f.place == Place::kDone) return true;
    return (f.place == Place::kParked || f.place == Place::kLinked) && CopyHoldsAll(f, checked);
}

// Putting back deletes the copy: only one proved, byte by byte, to hold nothing of its own.
bool PuttableBack(const FolderFinding& f) {
    if (f.place != Place::kHome && f.place != Place::kParked && f.place != Place::kLinked) {
        return false;
    }
    return !f.targetExists || (f.contentKnown && f.own.empty());
}

RecoveryAction Decide(const std::vector<FolderFinding>& folders, bool checked) {
    const auto all = [&folders](auto test) {
        return std::all_of(folders.begin(), folders.end(), test);
    };
    // Without the copy, neither way can be proved to keep everything.
    if (!all([](const FolderFinding& f) { return !f.driveMissing; })) {
        return RecoveryAction::kRefuse;
    }
    if (!all([](const FolderFinding& f) { return f.place != Place::kUnclear; })) {
        return RecoveryAction::kRefuse;
    }
    if (all([checked](const FolderFinding& f) { return Finishable(f, checked); })) {
        return RecoveryAction::kFinish;
    }
    if (all(PuttableBack)) return RecoveryAction::kPutBack;
    return RecoveryAction::kRefuse;
}

std::wstring WhyRefused(const RecoveryPlan& plan) {
    std::wstring why;
    for (const FolderFinding& f : plan.folders) {
        if (f.driveMissing) {
            why = L"the drive that holds " + Quoted(ParentOf(f.target)) +
                  L" is not connected: connect it and start Halvex again. Until then the data "
                  L"is here: ";
            break;
        }
    }
    for (size_t i = 0; i < plan.folders.size(); ++i) {
        if (i > 0) why += L"; ";
        why += WhereDataIs(plan.folders[i]);
    }
    return why;
}

// Whether the drive a missing copy was on is gone: the nearest folder above the copy that exists
// lies on another volume than the journal names. A query that fails tells nothing.
bool DriveMissing(const std::wstring& target, const std::wstring& volume) {
    if (volume.empty() || target.empty()) return false;
    std::wstring folder = target;
    while (!folder.empty() && sys::GetFileAttributesW(folder) == sys::kInvalidFileAttributes) {
        const std::wstring parent = ParentOf(folder);
        if (parent == folder) break;
        folder = parent;
    }
    if (folder.empty()) folder = std::wstring(1, sys::kSep);
    std::wstring there;
    return sys::GetVolumeIdentity(folder, there) && there != volume;
}

// A copy a damaged journal names, when it is named as a move names its copies.
bool LooksLikeCopyOf(const std::wstring& target, const std::wstring& name) {
    return sys::IsAbsolutePath(target) && IsStemWithSuffixes(NameOf(target), name) &&
           IsStemWithSuffixes(NameOf(ParentOf(target)), L"Oculus game");
}

bool IsRealFolder(const std::wstring& path) {
    const uint32_t a = sys::GetFileAttributesW(path);
    return a != sys::kInvalidFileAttributes && (a & sys::kAttrDirectory) &&
           !(a & sys::kAttrReparsePoint);
}

std::vector<std::wstring> WithAll(std::vector<std::wstring> names,
                                  const std::vector<std::wstring>& more) {
    for (const std::wstring& name : more) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

// Where the volume the links led to is attached now (moved.record names it), the folder that
// held the copy of target there; empty when it is not attached or holds no such folder.
std::wstring FindByVolume(const std::wstring& target) {
    MoveRecord moved;
    if (!ReadMoveRecord(moved)) return {};
    const std::wstring wanted = moved.folder + sys::kSep + NameOf(target);
    for (const std::wstring& root : sys::FindVolumeRoots(moved.volume)) {
        const std::wstring there = Rebased(wanted, moved.root, root);
        if (!there.empty() && IsRealFolder(there)) return there;
    }
    return {};
}

// What a recovery's journal step shows in the status line.
MoveStep StepOf(JournalWork work, int32_t phase) {
    if (phase == kStarting) {
        return work == JournalWork::kPutBack ? MoveStep::kRestartingServices
                                             : MoveStep::kStartingServices;
    }
    if (work == JournalWork::kPutBack) return MoveStep::kUndoingCopies;
    return phase == kEmptying ? MoveStep::kRemovingOld : MoveStep::kCreatingLinks;
}

uint64_t SizeOfFile(const sys::FindData& data) {
    return (static_cast<uint64_t>(data.sizeHigh) << 32) | data.sizeLow;
}

bool IsMissing(uint32_t error) {
    return error == sys::kErrFileNotFound || error == sys::kErrPathNotFound;
}

}  // namespace

std::wstring RecoveryPlan::CopiesFolder() const {
    for (const FolderFinding& f : folders) {
        if (!f.target.empty()) return ParentOf(f.target);
    }
    return {};
}

std::vector<std::wstring> RecoveryPlan::ParkedFolders() const {
    std::vector<std::wstring> parked;
    for (const FolderFinding& f : folders) {
        if (f.parkedExists) parked.push_back(f.parked);
    }
    return parked;
}

// ---- Looking -----------------------------------------------------------------------------------

int32_t CRecovery::CheckNothingPending(const std::wstring& detectedBase) {
    std::wstring path;
    if (const int32_t r = GetJournalPath(path); r != 0) return r;
    if (sys::GetFileAttributesW(path) != sys::kInvalidFileAttributes) return kCodeRecoveryPending;
    if (!IsMissing(sys::GetLastError())) return HX_LOG.FailedCall();
    if (sys::GetFileAttributesW(path + L".tmp") != sys::kInvalidFileAttributes) {
        JournalRecord record;
        bool found = false;
        const int32_t r = ReadJournal(record, found);
        if (r != 0 || found) return kCodeRecoveryPending;  // only a whole one counts as found
    }
    if (detectedBase.empty()) return 0;
    std::vector<std::wstring> names;
    if (const int32_t r = fileOp.ListNames(Trimmed(detectedBase), names); r != 0) return r;
    for (const std::wstring& name : names) {
        for (const wchar_t* folder : kFolderNames) {
            if (IsStemWithSuffixes(name, std::wstring(folder) + L"Varko"))
                return kCodeRecoveryPending;
        }
    }
    return 0;
}

int32_t CRecovery::Assess(const std::wstring& detectedBase, RecoveryPlan& plan) {
    plan = RecoveryPlan{};
    if (const int32_t r = GetJournalPath(plan.journalPath); r != 0) return r;
    const int32_t read = ReadJournal(plan.record, plan.journalFound);
    if (read != 0 && read != kCodeJournalUnreadable) return read;
    // A journal that cannot be trusted (empty, cut, damaged) is set aside: the disk decides, as
    // for a move that kept none. Where it cannot, the refusal says what to do.
    std::wstring distrusted;
    if (read == kCodeJournalUnreadable) {
        distrusted = L"the journal " + Quoted(plan.journalPath) + L" cannot be read";
    } else if (plan.journalFound) {
        if (const std::wstring odd = OddJournal(plan.record); !odd.empty())
            distrusted = L"the journal " + Quoted(plan.journalPath) + L" is damaged: " + odd;
    }
    if (read == kCodeJournalUnreadable) plan.journalFound = true;
    if (!distrusted.empty()) {
        const JournalRecord hint = plan.record;  // what its readable lines still name
        plan.record = JournalRecord{};
        if (detectedBase.empty()) {
            plan.action = RecoveryAction::kRefuse;
            plan.why = distrusted +
                       L", and the installation was not found. Look for the folders "
                       L"\"Software\" and \"Downloads\" (or \"SoftwareVarko\", "
                       L"\"DownloadsVarko\") and give them their old names, then "
                       L"delete the journal.";
            return 0;
        }
        bool anyParked = false;
        if (const int32_t r = FromDisk(detectedBase, plan, anyParked, &hint); r != 0) return r;
        plan.action = Decide(plan.folders, false);
        if (plan.action == RecoveryAction::kRefuse) {
            plan.why = distrusted + L"; " + WhyRefused(plan) +
                       L". Give each folder its old name with its data, then delete the journal.";
        }
        return 0;
    }
    if (plan.journalFound) {
        if (plan.record.work == JournalWork::kRepoint) return AssessRepoint(plan);
        if (plan.record.work == JournalWork::kBack) return AssessBack(plan);
        if (const int32_t r = FromJournal(plan); r != 0) return r;
    } else {
        bool anyParked = false;
        if (detectedBase.empty()) return 0;
        if (const int32_t r = FromDisk(detectedBase, plan, anyParked, nullptr); r != 0) return r;
        if (!anyParked) {
            plan.folders.clear();
            return 0;  // nothing was parked: nothing to recover
        }
    }
    plan.action = Decide(plan.folders, plan.record.copiesChecked);
    if (plan.journalFound && plan.action != RecoveryAction::kFinish) {
        if (const int32_t r = WeighContinue(plan); r != 0) return r;
    }
    if (plan.action == RecoveryAction::kRefuse && plan.canContinue)
        plan.action = RecoveryAction::kContinue;
    if (plan.action == RecoveryAction::kRefuse) plan.why = WhyRefused(plan);
    return 0;
}

// A move stopped while it copied may go on where its copies are whole: every folder parked,
// the copies unchecked, and no copy holding an entry its data lacks (which going on would
// delete with the copy if it failed). A file with other bytes is copied again.
int32_t CRecovery::WeighContinue(RecoveryPlan& plan) {
    if (plan.record.work != JournalWork::kMove || plan.record.copiesChecked) return 0;
    for (const FolderFinding& f : plan.folders) {
        if (f.place != Place::kParked || f.driveMissing || !f.extra.empty() ||
            (f.targetExists && !f.contentKnown && !namesOnly_)) {
            return 0;
        }
    }
    bool found = false;
    if (ReadCopyLog(plan.copyLog, found) != 0 || !found) plan.copyLog = Manifest{};
    for (const FolderFinding& f : plan.folders) {
        int32_t count = 0;
        if (const int32_t r = fileOp.CountFiles(f.parked, count, true); r != 0) return r;
        plan.bytesInAll += fileOp.CountedBytes();
        const ManifestTree* tree = plan.copyLog.Tree(NameOf(f.source));
        if (!tree || !f.targetExists) continue;
        // By sizes and times only: the continue reads each one back before it keeps it.
        for (const ManifestFile& file : tree->files) {
            sys::FindData original, copy;
            if (sys::GetFileInfoFollowed(f.parked + sys::kSep + file.path, original) &&
                sys::GetFileInfoFollowed(f.target + sys::kSep + file.path, copy) &&
                SizeOfFile(original) == file.size && original.writeTime == file.writeTime &&
                SizeOfFile(copy) == file.size) {
                plan.bytesCopied += file.size;
            }
        }
    }
    plan.bytesCopied = std::min(plan.bytesCopied, plan.bytesInAll);
    plan.canContinue = true;
    return 0;
}

int32_t CRecovery::AssessForContinue(const std::wstring& detectedBase, RecoveryPlan& plan) {
    namesOnly_ = true;
    const int32_t r = Assess(detectedBase, plan);
    namesOnly_ = false;
    return r;
}

int32_t CRecovery::FromJournal(RecoveryPlan& plan) {
    if (plan.record.copiesChecked) {
        const int32_t r =
            ReadManifest(ManifestFileName::kMoving, plan.manifest, plan.manifestFound);
        if (r != 0 && r != kCodeManifestUnreadable) return r;
        plan.manifestFound = plan.manifestFound && r == 0;
    }
    for (const JournalFolder& entry : plan.record.folders) {
        FolderFinding folder;
        folder.source = entry.source;
        folder.parked = entry.parked;
        folder.target = entry.target;
        if (const int32_t r =
                LookAt(folder, true, plan.record.copiesChecked, plan.record.targetVolume);
            r != 0) {
            return r;
        }
        if (const int32_t r = OriginalAsChecked(plan, folder); r != 0) return r;
        plan.folders.push_back(std::move(folder));
    }
    return 0;
}

// A parked original is deleted only as the copies were checked against it: a file changed or
// added there since (a newer write time, another size, a name the manifest lacks) would be lost.
int32_t CRecovery::OriginalAsChecked(const RecoveryPlan& plan, FolderFinding& f) {
    const ManifestTree* tree = plan.manifestFound ? plan.manifest.Tree(NameOf(f.source)) : nullptr;
    if (!tree || !f.parkedExists || f.place == Place::kUnclear) return 0;
    LibraryReport report;
    const std::atomic<bool> never{false};
    if (const int32_t r = CheckAgainstManifest(f.parked, *tree, false, never, nullptr, report);
        r != 0) {
        return r;
    }
    for (const auto* list : {&report.updated, &report.changed, &report.added}) {
        if (list->empty()) continue;
        f.place = Place::kUnclear;
        f.odd = Quoted(list->front()) + L" changed after the copies were checked";
        return 0;
    }
    return 0;
}

// Without a journal: the "...Varko" folders next to the platform's folders, and the copies their
// links lead to. A copy no link names yet (its folder parked, the link not made) is the one a
// damaged journal names, or else the one of the same name beside a copy a link names. The record
// made here becomes the recovery's journal.
int32_t CRecovery::FromDisk(const std::wstring& base, RecoveryPlan& plan, bool& anyParked,
                            const JournalRecord* hint) {
    std::vector<std::wstring> names;
    const std::wstring trimmed = Trimmed(base);
    if (const int32_t r = fileOp.ListNames(trimmed, names); r != 0) return r;
    plan.record.base = base;
    if (hint) plan.record.targetVolume = hint->targetVolume;
    // The move stopped the services; which of them, only its journal knew.
    const auto& services = COculusMgr::ServiceNames();
    plan.record.services.assign(services.begin(), services.end());
    std::vector<FolderFinding> found;
    std::vector<int> candidates;
    for (const wchar_t* name : kFolderNames) {
        FolderFinding folder;
        folder.source = trimmed + sys::kSep + name;
        int count = 0;
        for (const std::wstring& entry : names) {
            if (!IsStemWithSuffixes(entry, std::wstring(name) + L"Varko")) continue;
            folder.parked = trimmed + sys::kSep + entry;
            ++count;
        }
        anyParked = anyParked || count > 0;
        if (sys::IsLinkOrReparsePoint(folder.source)) {
            fileOp.GetFinalPath(folder.source, folder.target);  // none: the link leads nowhere
        }
        for (const JournalFolder& named : hint ? hint->folders : std::vector<JournalFolder>{}) {
            if (folder.target.empty() && NameOf(named.source) == name &&
                LooksLikeCopyOf(named.target, name)) {
                folder.target = named.target;
            }
        }
        found.push_back(std::move(folder));
        candidates.push_back(count);
    }
    for (FolderFinding& folder : found) {
        const bool parkedOnly = !folder.parked.empty() && sys::GetFileAttributesW(folder.source) ==
                                                              sys::kInvalidFileAttributes;
        if (!folder.target.empty() || !parkedOnly) continue;
        for (const FolderFinding& other : found) {
            if (other.target.empty() || &other == &folder) continue;
            const std::wstring beside = ParentOf(other.target) + sys::kSep + NameOf(folder.source);
            if (IsRealFolder(beside)) folder.target = beside;
        }
    }
    for (size_t i = 0; i < found.size(); ++i) {
        FolderFinding& folder = found[i];
        if (candidates[i] > 1) {
            folder.odd = L"there are several \"" + NameOf(folder.source) + L"Varko\" folders";
            folder.parked.clear();
            folder.sourceExists =
                sys::GetFileAttributesW(folder.source) != sys::kInvalidFileAttributes;
        } else if (const int32_t r =
                       LookAt(folder, !folder.target.empty(), false, plan.record.targetVolume);
                   r != 0) {
            return r;
        }
        plan.record.folders.push_back({folder.source, folder.target, folder.parked, false});
        plan.folders.push_back(std::move(folder));
    }
    return 0;
}

int32_t CRecovery::LookAt(FolderFinding& f, bool journalKnown, bool checked,
                          const std::wstring& targetVolume) {
    // Each entry: absent, or its attributes; a query that fails otherwise decides nothing.
    const auto attributesOf = [](const std::wstring& path, uint32_t& attributes, bool& exists) {
        attributes = path.empty() ? sys::kInvalidFileAttributes : sys::GetFileAttributesW(path);
        exists = attributes != sys::kInvalidFileAttributes;
        return exists || path.empty() || IsMissing(sys::GetLastError());
    };
    uint32_t s = 0, p = 0, t = 0;
    if (!attributesOf(f.source, s, f.sourceExists) || !attributesOf(f.parked, p, f.parkedExists) ||
        !attributesOf(f.target, t, f.targetExists)) {
        return HX_LOG.FailedCall();
    }
    const auto isFolder = [](uint32_t a) { return (a & sys::kAttrDirectory) != 0; };
    const auto isLink = [](uint32_t a) { return (a & sys::kAttrReparsePoint) != 0; };
    f.driveMissing = !f.targetExists && DriveMissing(f.target, targetVolume);
    f.sourceIsLink = f.sourceExists && isLink(s);
    const bool sourceIsFolder = f.sourceExists && isFolder(s) && !isLink(s);
    const bool targetIsFolder = f.targetExists && isFolder(t) && !isLink(t);
    bool leadsToCopy = false;
    if (f.sourceIsLink && targetIsFolder) {
        sys::FileIdentity behindLink, copy;
        leadsToCopy = sys::GetFileIdentity(f.source, behindLink) &&
                      sys::GetFileIdentity(f.target, copy) && behindLink == copy;
    }

    if (f.parkedExists && !isFolder(p)) {
        f.odd = Quoted(f.parked) + L" is not a folder";
    } else if (f.targetExists && !targetIsFolder) {
        f.odd = Quoted(f.target) + L" is not a folder";
    } else if (sourceIsFolder && !f.parkedExists) {
        f.place = Place::kHome;
    } else if (!f.sourceExists && f.parkedExists) {
        f.place = Place::kParked;
    } else if (leadsToCopy && f.parkedExists) {
        f.place = Place::kLinked;
    } else if (leadsToCopy) {
        f.place = Place::kDone;
    } else if (journalKnown && f.sourceIsLink && !f.parkedExists &&
               !sys::LinkLeadsNowhere(f.source)) {
        // A moved library moving on, stopped before its link was parked: its data is where the
        // link leads, as at home.
        f.place = Place::kHome;
    } else if (sourceIsFolder) {
        f.odd = Quoted(f.source) + L" and " + Quoted(f.parked) + L" both exist";
    } else if (!f.sourceExists) {
        f.odd = Quoted(f.source) + L" is missing";
    } else if (f.sourceIsLink) {
        f.odd = Quoted(f.source) + L" is a link that does not lead to its copy";
    } else {
        f.odd = Quoted(f.source) + L" is not a folder";
    }
    if (f.place == Place::kUnclear || f.place == Place::kDone || !f.targetExists) return 0;
    // A copy is only judged against the data it was made from; without a journal only a
    // link names it.
    if (!journalKnown && f.place != Place::kLinked) return 0;
    return CompareCopy(f.parkedExists ? f.parked : f.source, f, checked);
}

int32_t CRecovery::CompareCopy(const std::wstring& original, FolderFinding& f, bool checked) {
    // A copy inside its data, or data inside its copy, would be deleted with the other.
    for (const auto& [path, folder] :
         {std::pair(f.target, original), std::pair(original, f.target)}) {
        bool inside = false;
        if (const int32_t r = fileOp.LiesInside(path, folder, inside); r != 0) return r;
        if (inside) {
            f.place = Place::kUnclear;
            f.odd = Quoted(f.target) + L" and " + Quoted(original) + L" overlap";
            return 0;
        }
    }
    std::wstring difference;
    int32_t r = fileOp.Compare().VerifyCopy(original, f.target, difference);
    if (r == 0) {
        f.copy = Copy::kSame;
    } else if (r == kCodeCopyDiffers) {
        r = fileOp.Compare().VerifyHeldIn(original, f.target, difference);
        if (r == 0) {
            f.copy = Copy::kMore;
        } else if (r == kCodeCopyDiffers) {
            f.copy = Copy::kPartial;
        } else {
            return r;
        }
    } else {
        return r;
    }
    // A copy recorded as flushed and checked, whole by its sizes and times, is finished without
    // reading it. Every other decision reads the bytes.
    const bool whole = f.copy == Copy::kSame || f.copy == Copy::kMore;
    if (checked && whole && f.place != Place::kHome) return 0;
    if (namesOnly_) return fileOp.Compare().FindEntryOfItsOwn(original, f.target, f.extra);
    CTreeCompare::ContentDifference content;
    if ((r = fileOp.Compare().CompareContent(original, f.target, content)) != 0) return r;
    f.contentKnown = true;
    f.lacking = content.lacking;
    f.own = content.own;
    f.extra = content.extra;
    return 0;
}

// ---- Acting ------------------------------------------------------------------------------------

int32_t CRecovery::Run(const std::wstring& detectedBase, RecoveryAction expected) {
    totalUnits.store(0);
    doneUnits.store(0);
    fileOp.ResetCancel();
    held_.clear();
    holder_.clear();
    RecoveryPlan plan;
    if (const int32_t r = Assess(detectedBase, plan); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    const bool acts = expected == RecoveryAction::kFinish || expected == RecoveryAction::kPutBack;
    if (!acts || plan.action != expected) {
        HX_LOG.Detail("recovery: the disk no longer calls for what was asked");
        HX_LOG.Err(kCodeRecoveryRefused);
        return kCodeRecoveryRefused;
    }
    if (const int32_t r = CountUnits(plan, expected); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    const bool back = plan.record.work == JournalWork::kBack;
    const bool finish = expected == RecoveryAction::kFinish;
    const int32_t r = plan.record.work == JournalWork::kRepoint ? Repoint(plan.record)
                      : back   ? (finish ? FinishBack(plan) : PutBackBack(plan))
                      : finish ? Finish(plan)
                               : PutBack(plan);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

// One unit per file to delete, and ten for the other steps, as a move counts its own.
int32_t CRecovery::CountUnits(const RecoveryPlan& plan, RecoveryAction action) {
    int32_t total = 10;
    // What each deletes: a move's finish the parked originals, its put back the copies; a move
    // back's finish the moved folders, its put back the home copies.
    const bool deletesParked =
        (action == RecoveryAction::kFinish) != (plan.record.work == JournalWork::kBack);
    for (const FolderFinding& f : plan.folders) {
        const std::wstring& tree = deletesParked ? f.parked : f.target;
        if (!(deletesParked ? f.parkedExists : f.targetExists)) continue;
        int32_t count = 0;
        if (const int32_t r = fileOp.CountFiles(tree, count); r != 0) return r;
        total += count;
    }
    fileOp.TakeDoneCount();
    totalUnits.store(total);
    return 0;
}

// Journals the step before it is taken. Only the first write must succeed: after it, the disk
// decides and the journal names the folders.
void CRecovery::Step(JournalRecord& record, int32_t phase, bool mustWrite, int32_t& code) {
    record.phase = phase;
    step_.store(static_cast<int32_t>(StepOf(record.work, phase)));
    const int32_t r = WriteJournal(record);
    if (mustWrite) code = r;
    if (observer_) observer_->OnPhase(phase);
}

int32_t CRecovery::BeginAndStopServices(JournalRecord& record, JournalWork work, int32_t phase,
                                        const JournalRecord& original) {
    const std::vector<std::wstring> before = record.services;
    record.work = work;
    // Named before the stop, so that whatever stops the recovery, the next start starts them.
    record.services = WithAll(before, COculusMgr::ServiceNames());
    int32_t r = 0;
    Step(record, phase, true, r);
    if (r != 0) return r;
    if ((r = oculus.StopServices()) != 0) {
        HX_LOG.Detail("recovery: the services did not stop: ", r);
        RestartAndRestore(original);
        return r;
    }
    record.services = WithAll(before, oculus.StoppedServices());
    return 0;
}

void CRecovery::RestartAndRestore(const JournalRecord& original) {
    if (const int32_t r = oculus.RestartStoppedServices(); r != 0) HX_LOG.Err(r);
    WriteJournal(original);  // logged there; the disk decides, the journal only names
}

int32_t CRecovery::NotHeld(const std::vector<std::wstring>& folders) {
    if (folders.empty()) return 0;
    std::wstring held, holder;
    const int32_t r = movecheck::NotHeldBeforeDeleting(folders, held, &holder);
    if (r == kCodeInUse) {
        held_ = held.empty() ? folders.front() : held;
        holder_ = holder;
    }
    return r;
}

int32_t CRecovery::TargetsNotHeld(const RecoveryPlan& plan) {
    std::vector<std::wstring> targets;
    for (const FolderFinding& f : plan.folders) {
        if (f.targetExists) targets.push_back(f.target);
    }
    const int32_t r = NotHeld(targets);
    if (r != 0) RestartAndRestore(plan.record);
    return r;
}

int32_t CRecovery::Finish(const RecoveryPlan& plan) {
    JournalRecord record = plan.record;
    for (size_t i = 0; i < plan.folders.size(); ++i) {
        if (plan.folders[i].place == Place::kParked) record.folders[i].linked = true;
    }
    int32_t r = BeginAndStopServices(record, JournalWork::kFinish, kLinking, plan.record);
    if (r != 0) return r;
    // Before an original goes, its copy is read back against the manifest: the drive may have
    // lost or changed what it held since the move checked it.
    for (const FolderFinding& f : plan.folders) {
        const ManifestTree* tree =
            plan.manifestFound ? plan.manifest.Tree(NameOf(f.source)) : nullptr;
        if (!tree || !f.parkedExists) continue;
        std::wstring difference;
        if ((r = fileOp.Copier().VerifyFromMedia(f.target, *tree, difference)) != 0) {
            if (r == kCodeCopyCorrupt) held_ = difference;
            RestartAndRestore(plan.record);
            return r;
        }
    }
    for (const FolderFinding& f : plan.folders) {
        if (f.place != Place::kParked) continue;
        if ((r = fileOp.MakeDirLink(f.source, f.target)) != 0) return r;
    }
    doneUnits.fetch_add(9);
    // The parked data goes next: the copies must be on the disk, not only in a cache, and the
    // journal must say so before the first original goes.
    for (const FolderFinding& f : plan.folders) {
        if (f.parkedExists && !sys::FlushToDisk(f.target)) return HX_LOG.FailedCall();
    }
    record.copiesChecked = true;
    Step(record, kEmptying, true, r);
    if (r != 0) return r;
    // A program writing into a parked file would go on writing into a deleted one. The links
    // lead to the whole copies, so the platform may run meanwhile; the next start finishes.
    if ((r = NotHeld(plan.ParkedFolders())) != 0) {
        oculus.StartServicesIfStopped(record.services);
        return r;
    }
    for (const FolderFinding& f : plan.folders) {
        if (f.parkedExists && (r = fileOp.DeleteTree(f.parked, true)) != 0) return r;
    }
    bool seenLinked = false;
    std::wstring oldParentDir;
    for (const FolderFinding& f : plan.folders) {
        if (!f.parkedExists) continue;
        if ((r = RemoveEmptiedParkedFolder(fileOp, f.parked, seenLinked, oldParentDir)) != 0) {
            return r;
        }
    }
    return StartServicesAndClose(record);
}

int32_t CRecovery::PutBack(const RecoveryPlan& plan) {
    JournalRecord record = plan.record;
    int32_t r = BeginAndStopServices(record, JournalWork::kPutBack, kFailed, plan.record);
    if (r != 0) return r;
    // Nothing has changed yet: a held copy stops the put back here, as it was.
    if ((r = TargetsNotHeld(plan)) != 0) return r;
    for (const FolderFinding& f : plan.folders) {
        if (f.place == Place::kLinked && (r = fileOp.RemoveOneDir(f.source)) != 0) return r;
    }
    for (const FolderFinding& f : plan.folders) {
        if (f.targetExists && (r = fileOp.DeleteTree(f.target, false)) != 0) return r;
    }
    for (const FolderFinding& f : plan.folders) {
        if (f.parkedExists && (r = fileOp.MoveOne(f.parked, f.source)) != 0) return r;
    }
    // The folder the move made for the copies goes too, but only when nothing is left in it.
    const std::wstring container = plan.CopiesFolder();
    std::vector<std::wstring> left;
    if (!container.empty() && sys::GetFileAttributesW(container) != sys::kInvalidFileAttributes &&
        fileOp.ListNames(container, left) == 0 && left.empty() && plan.journalFound) {
        fileOp.RemoveOneDir(container);
    }
    if ((r = StartServicesAndClose(record)) != 0) return r;
    // The data is home, whole; what is left in the copies' folder is no part of it, but it is
    // not gone either: say so rather than "nothing of the move is left". So too for the folder
    // itself where it could not be listed or removed.
    if (!left.empty() || (!container.empty() && plan.journalFound &&
                          sys::GetFileAttributesW(container) != sys::kInvalidFileAttributes)) {
        held_ = container;
        HX_LOG.Detail("recovery: left in the copies' folder: ", container);
        return kCodeCopyLeft;
    }
    return 0;
}

int32_t CRecovery::StartServicesAndClose(JournalRecord& record) {
    int32_t r = 0;
    Step(record, kStarting, false, r);
    doneUnits.fetch_add(1);
    if (const int32_t started = oculus.StartServicesIfStopped(record.services); started != 0) {
        HX_LOG.Detail("recovery: the services did not start: ", started);
        HX_LOG.Err(kCodeServicesNotStarted);
        return kCodeServicesNotStarted;  // the journal stays: the next start tries again
    }
    if ((r = FlushRecordedFolders(record)) != 0) return r;
    if ((r = RemoveJournal()) != 0) return r;
    doneUnits.store(totalUnits.load());
    return 0;
}

int32_t CRecovery::GetProgress(float& fraction) {
    doneUnits.fetch_add(fileOp.TakeDoneCount());
    const int32_t total = totalUnits.load();
    if (total == 0) return kCodeNoTotal;
    fraction = static_cast<float>(static_cast<double>(doneUnits.load()) / total);
    return 0;
}

// ---- A stopped move back ----------------------------------------------------------------------
//
// Each folder: its link S, its home copy H (parked), the moved folder T (target). Away: S is
// still the link, and H partial or the same (all that T holds is in H: T may be half deleted);
// Placing: S is gone, H waits to take its name; Home: S is a folder (H placed), H is gone.
// The decision:
//   Finish    the copies were recorded checked, every Away folder's H holds what T holds (the
//             same, by sizes and times) and every other folder is Placing or Home: place each
//             H, delete every T, start the services.
//   Put back  every folder is Away with T there, and none was placed: delete every H, start
//             the services; the games stay where the links lead.
//   Refuse    anything else, naming what was found.
// Finish only places checked copies and deletes moved data once its copy is placed; Put back only
// deletes home copies, after taking the "checked" record back: so either may be stopped and run
// again.

int32_t CRecovery::AssessBack(RecoveryPlan& plan) {
    const bool checked = plan.record.copiesChecked;
    bool placed = false;
    bool copiesWhole = checked;
    std::wstring why;
    for (const JournalFolder& entry : plan.record.folders) {
        FolderFinding f;
        f.source = entry.source;
        f.parked = entry.parked;
        f.target = entry.target;
        f.sourceIsLink = sys::IsLinkOrReparsePoint(f.source);
        f.sourceExists =
            f.sourceIsLink || sys::GetFileAttributesW(f.source) != sys::kInvalidFileAttributes;
        f.parkedExists = !f.parked.empty() && IsRealFolder(f.parked);
        f.targetExists = IsRealFolder(f.target);
        if (f.sourceIsLink) {
            f.place = Place::kLinked;
            if (!f.targetExists) {
                f.driveMissing = DriveMissing(f.target, plan.record.targetVolume);
                f.odd = Quoted(f.source) + L" leads to " + Quoted(f.target) +
                        (f.driveMissing ? L", whose drive is not connected" : L", which is gone");
            } else if (!f.parkedExists) {
                copiesWhole = false;
            } else if (checked) {
                // Everything the moved folder holds must be in the copy: it may have been half
                // deleted once the other was placed.
                std::wstring difference;
                const int32_t r = fileOp.Compare().VerifyHeldIn(f.target, f.parked, difference);
                if (r != 0 && r != kCodeCopyDiffers) return r;
                f.copy = r == 0 ? FolderFinding::Copy::kSame : FolderFinding::Copy::kPartial;
                if (r != 0) copiesWhole = false;
            }
        } else if (!f.sourceExists) {
            f.place = Place::kParked;
            placed = true;
            if (!f.parkedExists) {
                f.odd = L"neither " + Quoted(f.source) + L" nor its copy " + Quoted(f.parked) +
                        L" is there";
            }
        } else {
            f.place = Place::kHome;
            placed = true;
            if (f.parkedExists) {
                f.odd = L"both " + Quoted(f.source) + L" and " + Quoted(f.parked) + L" are folders";
            }
        }
        if (!f.odd.empty()) why += (why.empty() ? L"" : L"; ") + f.odd;
        plan.folders.push_back(std::move(f));
    }
    if (why.empty() && placed && !copiesWhole) {
        why = L"a folder was put in place of its link, but the other's copy at home is not whole";
    }
    if (!why.empty()) {
        plan.action = RecoveryAction::kRefuse;
        plan.why = why;
    } else {
        plan.action = placed || copiesWhole ? RecoveryAction::kFinish : RecoveryAction::kPutBack;
    }
    return 0;
}

int32_t CRecovery::FinishBack(const RecoveryPlan& plan) {
    JournalRecord record = plan.record;
    for (size_t i = 0; i < plan.folders.size(); ++i) {
        if (plan.folders[i].place != Place::kHome) record.folders[i].linked = true;
    }
    int32_t r = BeginAndStopServices(record, JournalWork::kBack, kLinking, plan.record);
    if (r != 0) return r;
    // Nothing has changed yet: a program holding moved data stops the finish here, as it was.
    if ((r = TargetsNotHeld(plan)) != 0) return r;
    for (const FolderFinding& f : plan.folders) {
        if (f.place == Place::kLinked && (r = fileOp.RemoveOneDir(f.source)) != 0) return r;
        if (f.place != Place::kHome && (r = fileOp.MoveOne(f.parked, f.source)) != 0) return r;
    }
    // On the disk before a moved file goes, which lies on another drive (see MoveBack.cpp).
    for (const FolderFinding& f : plan.folders) {
        if (!sys::FlushToDisk(f.source)) return HX_LOG.FailedCall();
    }
    doneUnits.fetch_add(9);
    Step(record, kEmptying, false, r);
    for (const FolderFinding& f : plan.folders) {
        if (f.targetExists && (r = fileOp.DeleteTree(f.target, false)) != 0) return r;
    }
    const std::wstring container = plan.CopiesFolder();
    std::vector<std::wstring> left;
    if (!container.empty() && IsRealFolder(container) && fileOp.ListNames(container, left) == 0 &&
        left.empty()) {
        fileOp.RemoveOneDir(container);
    }
    ForgetMove();
    RemoveManifest(ManifestFileName::kMoved);
    return StartServicesAndClose(record);
}

int32_t CRecovery::PutBackBack(const RecoveryPlan& plan) {
    JournalRecord record = plan.record;
    record.copiesChecked = false;  // durably, before the first home copy goes
    int32_t r = BeginAndStopServices(record, JournalWork::kBack, kFailed, plan.record);
    if (r != 0) return r;
    for (const FolderFinding& f : plan.folders) {
        if (f.parkedExists && (r = fileOp.DeleteTree(f.parked, false)) != 0) return r;
    }
    return StartServicesAndClose(record);
}

// ---- Re-pointing links -------------------------------------------------------------------------

int32_t CRecovery::AssessRepoint(RecoveryPlan& plan) {
    std::wstring why;
    for (JournalFolder& entry : plan.record.folders) {
        FolderFinding f;
        f.source = entry.source;
        // The drive may be back at its first place, or at a third: found by its identity.
        if (!IsRealFolder(entry.target)) {
            if (const std::wstring there = FindByVolume(entry.target); !there.empty()) {
                HX_LOG.Detail("repoint: the links' volume is now at ", there);
                entry.target = there;
            }
        }
        f.target = entry.target;
        f.targetExists = IsRealFolder(f.target);
        f.sourceIsLink = sys::IsLinkOrReparsePoint(f.source);
        f.sourceExists =
            f.sourceIsLink || sys::GetFileAttributesW(f.source) != sys::kInvalidFileAttributes;
        if (!f.targetExists) {
            f.odd = Quoted(f.target) + L" is not there, and its drive was not found elsewhere";
        } else if (f.sourceExists && !f.sourceIsLink) {
            f.odd = Quoted(f.source) + L" is a folder, not a link";
        } else {
            f.place = Place::kDone;
        }
        if (!f.odd.empty()) why += (why.empty() ? L"" : L"; ") + f.odd;
        plan.folders.push_back(std::move(f));
    }
    plan.action = why.empty() ? RecoveryAction::kFinish : RecoveryAction::kRefuse;
    plan.why = why;
    return 0;
}

int32_t CRecovery::Repoint(JournalRecord record) {
    record.work = JournalWork::kRepoint;
    record.services = {L"OVRLibraryService", L"OVRService"};
    totalUnits.store(10);
    doneUnits.store(0);
    // Only links are replaced: data at an old path is never removed here.
    for (const JournalFolder& f : record.folders) {
        if (!sys::IsLinkOrReparsePoint(f.source) &&
            sys::GetFileAttributesW(f.source) != sys::kInvalidFileAttributes) {
            HX_LOG.Detail("repoint: a folder, not a link: ", f.source);
            HX_LOG.Err(kCodeRecoveryRefused);
            return kCodeRecoveryRefused;
        }
    }
    int32_t r = 0;
    Step(record, kLinking, true, r);
    if (r != 0) return r;
    if ((r = oculus.StopServices()) != 0) {
        oculus.RestartStoppedServices();
        RemoveJournal();  // nothing was changed
        return r;
    }
    for (const JournalFolder& f : record.folders) {
        sys::FileIdentity behindLink, target;
        if (sys::GetFileIdentity(f.source, behindLink) && sys::GetFileIdentity(f.target, target) &&
            behindLink == target) {
            continue;  // done before a stop
        }
        // Each link journaled before it is replaced: where the system must remove the old link
        // before it makes the new one, a cut between is finished from here.
        Step(record, kLinking, false, r);
        if ((r = fileOp.RepointDirLink(f.source, f.target)) != 0) return r;
    }
    return StartServicesAndClose(record);
}
