// Moving a moved library back home: the reverse of a move, journaled as work=back.
//
// Forward it runs the same phases as a move, with other work in some:
//   kStopping    (after the data is counted and the installation's drive found roomy enough)
//                stop the services;
//   kParking     check the moved folders (no mount point inside, no program using them) and
//                journal the name of each home copy, "SoftwareBack" beside the link;
//   kCopyFirst,  copy each moved folder to its home copy, flush, compare, read back, and record
//   kCopied      the copies checked; a cancel is taken here, as in a move;
//   kLinking     put each home copy in its link's place: the link goes, the copy takes its name;
//   kEmptying,   delete the moved folders, and the "Oculus game" folder when that leaves it
//   kEmptied     empty;
//   kStarting    start the services.
//
// At every moment one whole copy is reachable from the journal: until the first link goes the
// moved data, through the links; from then on the checked home copies as well. The rollback
// by phase: up to the copies' check, delete the home copies; while placing, give each link back
// (a placed copy takes its home-copy name again, then the link is made anew), withdraw the
// "checked" record and delete the home copies; once a moved folder is being deleted the games
// are home, and what is left is the recovery's (kCodeOldDataLeft), as for a move.
#include <algorithm>

#include "TaskMgr/CTaskMgr.h"
#include "fileOp/MoveChecks.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"

namespace {

std::wstring LeafOf(const std::wstring& path) {
    const auto cut = path.find_last_of(sys::kSep);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring ParentOf(const std::wstring& path) {
    const auto cut = path.find_last_of(sys::kSep);
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

bool Exists(const std::wstring& path) {
    return sys::IsLinkOrReparsePoint(path) ||
           sys::GetFileAttributesW(path) != sys::kInvalidFileAttributes;
}

}  // namespace

std::wstring HomeCopyNameFor(const std::wstring& link) {
    std::wstring name = link + L"Back";
    while (Exists(name))
        name += L"(1)";
    return name;
}

int32_t CTaskMgr::MoveBackward() {
    madeFolders_.clear();  // the home copies, as they are made
    // Nothing stops before the installation's drive is known to take the games.
    SetPhase(kStopping);
    SetStep(MoveStep::kPreparing);
    if (const int32_t r = CountBackAndCheckRoom(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    SetStep(MoveStep::kStoppingServices);
    if (const int32_t r = BeginJournal(JournalWork::kBack); r != 0) return r;
    if (const int32_t r = StopServices(); r != 0) return r;

    SetStep(MoveStep::kPreparing);
    SetPhase(kParking);
    for (const auto& [link, data] : pairs) {
        int32_t r = movecheck::NoMountPointsBelow(data);
        if (r == 0) r = movecheck::NotInUse(data);
        if (r != 0) {
            sys::SetLastError(0);  // a refusal of the checks, not of the last call they made
            NoteFailure(r, data);
            HX_LOG.Err(r);
            return r;
        }
    }
    // The journal names the home copies before they exist, so that no kill can hide them.
    for (const auto& [link, data] : pairs)
        homeCopies_[link] = HomeCopyNameFor(link);
    if (const int32_t r = journal_.PlanParking(homeCopies_); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    SetPhase(kCopyFirst);
    SetStep(MoveStep::kCopying);
    if (const int32_t r = MakeHomeCopies(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (!AdvanceUnlessCancelled(kLinking)) {
        HX_LOG.Err(kCodeCancelled);
        return kCodeCancelled;
    }

    // A program that opened a moved file since the first check would write on into deleted
    // files: the move back is given up before a link goes.
    std::vector<std::wstring> moved;
    for (const auto& entry : pairs)
        moved.push_back(entry.second);
    if (const int32_t r = NotHeldBeforeDeleting(moved); r != 0) return r;
    SetStep(MoveStep::kPlacingFolders);
    if (const int32_t r = PlaceHomeCopies(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    doneUnits.fetch_add(9);

    SetStep(MoveStep::kRemovingOld);
    SetPhase(kEmptying);
    if (const int32_t r = RemoveMovedData(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    return StartServicesAtTheEnd();
}

int32_t CTaskMgr::CountBackAndCheckRoom() {
    size_t k = 0;
    uint64_t needed = 0;
    int32_t files = 0;
    for (const auto& [link, data] : pairs) {
        int32_t count = 0;
        if (const int32_t r = fileOp.CountFiles(data, count, true); r != 0) {
            NoteFailure(r, data);
            HX_LOG.Err(r);
            return r;
        }
        files += count;
        Tree& tree = trees_[std::min(k++, kTrees - 1)];
        tree.name = LeafOf(link);
        tree.files.fetch_add(count);
        tree.bytes.fetch_add(fileOp.CountedBytes());
        tree.holeBytes.fetch_add(fileOp.CountedHoleBytes());
        needed += fileOp.CountedBytes() - fileOp.CountedHoleBytes();
    }
    totalUnits.store(2 * files + 10);
    const std::wstring home = ParentOf(pairs.begin()->first);
    uint64_t free = 0;
    if (const int32_t r = fileOp.GetDiskFree(home, free); r != 0) {
        NoteFailure(r, home);
        return r;
    }
    // Everything is copied before anything is deleted: the whole of it must fit at home.
    if (free <= needed) {
        HX_LOG.Detail("moving back needs ", needed, " bytes; free at home: ", free);
        sys::SetLastError(0);
        NoteFailure(kCodeNoRoomAtHome, home);
        return kCodeNoRoomAtHome;
    }
    return 0;
}

int32_t CTaskMgr::MakeHomeCopies() {
    std::vector<CopyJob> jobs;
    for (const auto& [link, data] : pairs) {
        const std::wstring& copy = homeCopies_[link];
        // A name taken since it was chosen is someone else's folder: it fails here, and the
        // rollback leaves it alone.
        if (!sys::CreateDirectoryW(copy)) {
            const int32_t r = SystemCode(sys::GetLastError());
            NoteFailure(r, copy);
            return r;
        }
        madeFolders_.push_back(copy);
        jobs.push_back({data, copy, LeafOf(link)});
    }
    return CopyAndCheck(jobs, false);
}

// Each link gives way to its checked home copy. Between the two steps the old path is free and
// the journal names both the copy and the moved data. The moved folders lie on another drive:
// their deletion may reach its disk before these renames reach the installation's, so the
// renames are flushed before the first moved file goes.
int32_t CTaskMgr::PlaceHomeCopies() {
    for (const auto& [link, data] : pairs) {
        journal_.Linking(link);
        if (sys::IsLinkOrReparsePoint(link)) {
            if (const int32_t r = fileOp.RemoveOneDir(link); r != 0) {
                NoteFailure(r, link);
                return r;
            }
        }
        if (const int32_t r = fileOp.MoveOne(homeCopies_[link], link); r != 0) {
            NoteFailure(r, link);
            return r;
        }
    }
    for (const auto& entry : pairs) {
        if (!sys::FlushToDisk(entry.first)) {
            const int32_t r = SystemCode(sys::GetLastError());
            NoteFailure(r, entry.first);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::RemoveMovedData() {
    for (const auto& [link, data] : pairs) {
        if (const int32_t r = fileOp.DeleteTree(data, false); r != 0) {
            NoteFailure(r, data);
            return r;
        }
        SetPhase(kEmptied);
    }
    // The folder the first move made for the copies, once nothing else is in it.
    const std::wstring container = ParentOf(pairs.begin()->second);
    std::vector<std::wstring> left;
    if (!container.empty() && fileOp.ListNames(container, left) == 0 && left.empty()) {
        fileOp.RemoveOneDir(container);
    }
    return 0;
}

// ---- Rollback ----------------------------------------------------------------------------------

int32_t CTaskMgr::RollBackMoveBack(int32_t p, bool cancelled, int32_t& result) {
    if (!cancelled) SetPhase(kFailed);
    int32_t rr = 0;
    switch (p) {
        case kEmptying:
        case kEmptied:
            result = kCodeOldDataLeft;  // the games are home; the recovery deletes the rest
            return 0;
        case kStarting:
            result = kCodeServicesNotStarted;
            return 0;
        case kStopping:
            RestartServicesAfterRollback();
            return 0;
        case kLinking:
            if ((rr = UnplaceHomeCopies()) != 0) return rr;
            [[fallthrough]];
        default:
            // The home copies are no longer to be counted on before the first of them goes.
            if ((rr = journal_.CopiesUnchecked()) != 0) return rr;
            RemoveHomeCopies();
            if (cancelled) doneUnits.store(0);
            RestartServicesAfterRollback();
            return 0;
    }
}

// Every link back where it was: a placed home copy takes its home-copy name again, and a link
// that went is made anew, to the moved folder, which nothing has touched.
int32_t CTaskMgr::UnplaceHomeCopies() {
    for (const auto& [link, data] : pairs) {
        const std::wstring& copy = homeCopies_[link];
        if (sys::IsLinkOrReparsePoint(link)) continue;
        SetStep(MoveStep::kRestoringLinks);
        if (Exists(link) && !Exists(copy)) {
            if (const int32_t r = fileOp.MoveOne(link, copy); r != 0) return r;
        }
        if (!Exists(link)) {
            if (const int32_t r = fileOp.MakeDirLink(link, data); r != 0) return r;
        }
    }
    return 0;
}

// A home copy that cannot be deleted stays, named in the log: the games are whole where the
// links lead. Only the copies this run made go.
void CTaskMgr::RemoveHomeCopies() {
    SetStep(MoveStep::kUndoingCopies);
    for (const auto& [link, copy] : homeCopies_) {
        const bool made =
            std::find(madeFolders_.begin(), madeFolders_.end(), copy) != madeFolders_.end();
        if (!made || !Exists(copy)) continue;
        if (const int32_t r = fileOp.DeleteTree(copy, false); r != 0) {
            HX_LOG.Detail("home copy left: ", copy);
            HX_LOG.Err(r);
        }
    }
}
