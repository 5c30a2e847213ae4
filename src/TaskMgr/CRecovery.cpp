#include "TaskMgr/CRecovery.h"

#include <algorithm>

#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"

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
        if (!folder.parked.empty() &&
            (ParentOf(folder.parked) != base ||
             !IsStemWithSuffixes(NameOf(folder.parked), name + L"Varko"))) {
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
            if (!there.empty()) {
                text += L"; its data may be in ";
                for (size_t i = 0; i < there.size(); ++i)
                    text += (i == 0 ? L"" : i + 1 == there.size() ? L" or " : L", ") + there[i];
            }
            return text;
        }
    }
    if (!f.own.empty()) {
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
        if (!why.empty()) why += L"; ";
        why += WhereDataIs(f);
    }
    return why;
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

bool IsMissing(uint32_t error) {
    return error == sys::kErrFileNotFound || error == sys::kErrPathNotFound;
}

int32_t Failed(const CLogSite& site) {
    const int32_t code = SystemCode(sys::GetLastError());
    site.Err(code);
    return code;
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
    if (!IsMissing(sys::GetLastError())) return Failed(HX_LOG);
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
        if (const int32_t r = FromDisk(detectedBase, plan, anyParked); r != 0) return r;
        plan.action = Decide(plan.folders, false);
        if (plan.action == RecoveryAction::kRefuse) {
            plan.why = distrusted + L"; " + WhyRefused(plan) +
                       L". Give each folder its old name with its data, then delete the journal.";
        }
        return 0;
    }
    if (plan.journalFound) {
        if (plan.record.work == JournalWork::kRepoint) return AssessRepoint(plan);
        if (const int32_t r = FromJournal(plan); r != 0) return r;
    } else {
        bool anyParked = false;
        if (detectedBase.empty()) return 0;
        if (const int32_t r = FromDisk(detectedBase, plan, anyParked); r != 0) return r;
        if (!anyParked) {
            plan.folders.clear();
            return 0;  // nothing was parked: nothing to recover
        }
    }
    plan.action = Decide(plan.folders, plan.record.copiesChecked);
    if (plan.action == RecoveryAction::kRefuse) plan.why = WhyRefused(plan);
    return 0;
}

int32_t CRecovery::FromJournal(RecoveryPlan& plan) {
    for (const JournalFolder& entry : plan.record.folders) {
        FolderFinding folder;
        folder.source = entry.source;
        folder.parked = entry.parked;
        folder.target = entry.target;
        if (const int32_t r = LookAt(folder, true, plan.record.copiesChecked); r != 0) return r;
        plan.folders.push_back(std::move(folder));
    }
    return 0;
}

// Without a journal: the "...Varko" folders next to the platform's folders, and the copies their
// links lead to. The record made here becomes the recovery's journal.
int32_t CRecovery::FromDisk(const std::wstring& base, RecoveryPlan& plan, bool& anyParked) {
    std::vector<std::wstring> names;
    const std::wstring trimmed = Trimmed(base);
    if (const int32_t r = fileOp.ListNames(trimmed, names); r != 0) return r;
    plan.record.base = base;
    // The move stopped the services; which of them, only its journal knew.
    const auto& services = COculusMgr::ServiceNames();
    plan.record.services.assign(services.begin(), services.end());
    for (const wchar_t* name : kFolderNames) {
        FolderFinding folder;
        folder.source = trimmed + sys::kSep + name;
        int candidates = 0;
        for (const std::wstring& entry : names) {
            if (!IsStemWithSuffixes(entry, std::wstring(name) + L"Varko")) continue;
            folder.parked = trimmed + sys::kSep + entry;
            ++candidates;
        }
        anyParked = anyParked || candidates > 0;
        if (sys::IsLinkOrReparsePoint(folder.source)) {
            fileOp.GetFinalPath(folder.source, folder.target);  // none: the link leads nowhere
        }
        if (candidates > 1) {
            folder.odd = L"there are several \"" + std::wstring(name) + L"Varko\" folders";
            folder.parked.clear();
            folder.sourceExists =
                sys::GetFileAttributesW(folder.source) != sys::kInvalidFileAttributes;
        } else if (const int32_t r = LookAt(folder, false, false); r != 0) {
            return r;
        }
        plan.record.folders.push_back({folder.source, folder.target, folder.parked, false});
        plan.folders.push_back(std::move(folder));
    }
    return 0;
}

int32_t CRecovery::LookAt(FolderFinding& f, bool journalKnown, bool checked) {
    // Each entry: absent, or its attributes; a query that fails otherwise decides nothing.
    const auto attributesOf = [](const std::wstring& path, uint32_t& attributes, bool& exists) {
        attributes = path.empty() ? sys::kInvalidFileAttributes : sys::GetFileAttributesW(path);
        exists = attributes != sys::kInvalidFileAttributes;
        return exists || path.empty() || IsMissing(sys::GetLastError());
    };
    uint32_t s = 0, p = 0, t = 0;
    if (!attributesOf(f.source, s, f.sourceExists) || !attributesOf(f.parked, p, f.parkedExists) ||
        !attributesOf(f.target, t, f.targetExists)) {
        return Failed(HX_LOG);
    }
    const auto isFolder = [](uint32_t a) { return (a & sys::kAttrDirectory) != 0; };
    const auto isLink = [](uint32_t a) { return (a & sys::kAttrReparsePoint) != 0; };
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
    int32_t r = fileOp.VerifyCopy(original, f.target, difference);
    if (r == 0) {
        f.copy = Copy::kSame;
    } else if (r == kCodeCopyDiffers) {
        r = fileOp.VerifyHeldIn(original, f.target, difference);
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
    CFileOp::ContentDifference content;
    if ((r = fileOp.CompareContent(original, f.target, content)) != 0) return r;
    f.contentKnown = true;
    f.lacking = content.lacking;
    f.own = content.own;
    return 0;
}

// ---- Acting ------------------------------------------------------------------------------------

int32_t CRecovery::Run(const std::wstring& detectedBase, RecoveryAction expected) {
    totalUnits.store(0);
    doneUnits.store(0);
    fileOp.ResetCancel();
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
    const int32_t r = plan.record.work == JournalWork::kRepoint ? Repoint(plan.record)
                      : expected == RecoveryAction::kFinish     ? Finish(plan)
                                                                : PutBack(plan);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

// One unit per file to delete, and ten for the other steps, as a move counts its own.
int32_t CRecovery::CountUnits(const RecoveryPlan& plan, RecoveryAction action) {
    int32_t total = 10;
    for (const FolderFinding& f : plan.folders) {
        const bool finish = action == RecoveryAction::kFinish;
        const std::wstring& tree = finish ? f.parked : f.target;
        if (!(finish ? f.parkedExists : f.targetExists)) continue;
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

int32_t CRecovery::Finish(const RecoveryPlan& plan) {
    JournalRecord record = plan.record;
    record.work = JournalWork::kFinish;
    for (size_t i = 0; i < plan.folders.size(); ++i) {
        if (plan.folders[i].place == Place::kParked) record.folders[i].linked = true;
    }
    int32_t r = 0;
    Step(record, kLinking, true, r);
    if (r != 0) return r;
    for (const FolderFinding& f : plan.folders) {
        if (f.place != Place::kParked) continue;
        if ((r = fileOp.MakeDirLink(f.source, f.target)) != 0) return r;
    }
    doneUnits.fetch_add(9);
    // The parked data goes next: the copies must be on the disk, not only in a cache, and the
    // journal must say so before the first original goes.
    for (const FolderFinding& f : plan.folders) {
        if (f.parkedExists && !sys::FlushToDisk(f.target)) return Failed(HX_LOG);
    }
    record.copiesChecked = true;
    Step(record, kEmptying, true, r);
    if (r != 0) return r;
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
    record.work = JournalWork::kPutBack;
    int32_t r = 0;
    Step(record, kFailed, true, r);
    if (r != 0) return r;
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
    const std::wstring copies = plan.journalFound ? plan.CopiesFolder() : std::wstring();
    if (!copies.empty() && sys::GetFileAttributesW(copies) != sys::kInvalidFileAttributes) {
        std::vector<std::wstring> left;
        if (fileOp.ListNames(copies, left) == 0 && left.empty()) fileOp.RemoveOneDir(copies);
    }
    return StartServicesAndClose(record);
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

// ---- Re-pointing links -------------------------------------------------------------------------

int32_t CRecovery::AssessRepoint(RecoveryPlan& plan) {
    std::wstring why;
    for (const JournalFolder& entry : plan.record.folders) {
        FolderFinding f;
        f.source = entry.source;
        f.target = entry.target;
        const uint32_t t = sys::GetFileAttributesW(f.target);
        f.targetExists = t != sys::kInvalidFileAttributes;
        f.sourceExists = sys::GetFileAttributesW(f.source) != sys::kInvalidFileAttributes ||
                         sys::IsLinkOrReparsePoint(f.source);
        f.sourceIsLink = sys::IsLinkOrReparsePoint(f.source);
        if (!f.targetExists || !(t & sys::kAttrDirectory) || (t & sys::kAttrReparsePoint)) {
            f.odd = Quoted(f.target) + L" is not there";
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
        if (sys::IsLinkOrReparsePoint(f.source) && (r = fileOp.RemoveOneDir(f.source)) != 0) {
            return r;
        }
        if ((r = fileOp.MakeDirLink(f.source, f.target)) != 0) return r;
    }
    return StartServicesAndClose(record);
}
