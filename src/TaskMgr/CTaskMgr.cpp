#include "TaskMgr/CTaskMgr.h"

#include <algorithm>
#include <thread>

#include "fileOp/MoveChecks.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"

namespace {

// Shares of the bar. The copy goes by its bytes, plus a little for each file so that a tree of
// small files moves the bar too; every other step has a small fixed share, moved as its parts
// (each service, each flush and comparison, each deleted file) are done. The last hundredth
// comes when the move has returned.
constexpr float kStopShare = 0.02f;
constexpr float kPrepareShare = 0.01f;
constexpr float kCopyShare = 0.58f;
constexpr float kCheckShare = 0.30f;  // mostly the read-back: every copied byte read once more
constexpr float kLinkShare = 0.01f;
constexpr float kRemoveShare = 0.04f;
constexpr float kStartShare = 0.03f;
constexpr float kCopyStart = kStopShare + kPrepareShare;
constexpr float kCheckStart = kCopyStart + kCopyShare;
constexpr float kLinkStart = kCheckStart + kCheckShare;
constexpr float kRemoveStart = kLinkStart + kLinkShare;
constexpr float kStartStart = kRemoveStart + kRemoveShare;
constexpr float kDone = kStartStart + kStartShare;  // 0.99
constexpr uint64_t kFileCostBytes = 64 * 1024;      // what one small file weighs in the copy
constexpr uint64_t kServices = 2;

float Part(uint64_t done, uint64_t total) {
    if (total == 0) return 1.0f;
    return static_cast<float>(std::min(done, total)) / static_cast<float>(total);
}

std::wstring LeafOf(const std::wstring& path) {
    const auto cut = path.find_last_of(sys::kSep);
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

}  // namespace

void CTaskMgr::SetPhase(int32_t value) {
    phase.store(value);
    journal_.Phase(value);
    if (observer_) observer_->OnPhase(value);
}

bool CTaskMgr::AdvanceUnlessCancelled(int32_t to) {
    int32_t current = phase.load();
    do {
        if (current == kCancelled) return false;
    } while (!phase.compare_exchange_weak(current, to));
    journal_.Phase(to);
    if (observer_) observer_->OnPhase(to);
    return true;
}

void CTaskMgr::SetStep(MoveStep step) {
    step_.store(static_cast<int32_t>(step));
    if (observer_) observer_->OnStep(step);
}

void CTaskMgr::NoteFailure(int32_t code, const std::wstring& path) {
    if (failure_.code != 0 || code == 0 || code == kCodeCancelled) return;
    failure_.code = code;
    failure_.step = static_cast<MoveStep>(step_.load());
    // The failing call's own path is the more exact one (a file deep in the tree it copied).
    const uint32_t error = sys::GetLastError();
    const bool lastCall = code == SystemCode(error);
    const std::wstring callPath = lastCall ? sys::LastErrorPath() : std::wstring();
    failure_.path = callPath.empty() ? path : callPath;
    // Named as the user knows it: a path inside a parked folder by its old name, which it has
    // again once the move is rolled back.
    for (const auto& [folder, target] : parked) {
        const std::wstring& source = SourceOf(target);
        if (failure_.path.rfind(folder, 0) == 0 &&
            (failure_.path.size() == folder.size() || failure_.path[folder.size()] == sys::kSep)) {
            failure_.path.replace(0, folder.size(), source);
            break;
        }
    }
    if (code > kCodeSystemBase) {
        failure_.systemText = lastCall
                                  ? sys::LastErrorText()
                                  : sys::ErrorText(static_cast<uint32_t>(code - kCodeSystemBase));
    }
}

const std::wstring& CTaskMgr::SourceOf(const std::wstring& target) const {
    static const std::wstring kNone;
    for (const auto& [source, pairTarget] : pairs) {
        if (pairTarget == target) return source;
    }
    return kNone;
}

int32_t CTaskMgr::SetPairs(PathMap newPairs) {
    for (const auto& [source, target] : newPairs) {
        if (source.empty() || target.empty()) {
            HX_LOG.Err(kCodeEmptyPath);
            return kCodeEmptyPath;
        }
        // A relative path would be resolved against the working folder of the moment.
        for (const std::wstring* path : {&source, &target}) {
            if (!sys::IsAbsolutePath(*path)) {
                HX_LOG.Detail("not a full path: ", *path);
                HX_LOG.Err(kCodeEmptyPath);
                return kCodeEmptyPath;
            }
        }
        pairs.emplace(source, target);
        HX_LOG.Pair(source, target);
    }
    return 0;
}

// ---- Forward move ------------------------------------------------------------------------------

int32_t CTaskMgr::MoveForward() {
    SetStep(MoveStep::kStoppingServices);
    SetPhase(kStopping);
    // Nothing is stopped or changed before the journal is on disk.
    if (const int32_t r = continuing_ ? ResumeJournal() : BeginJournal(JournalWork::kMove); r != 0)
        return r;
    if (const int32_t r = MakeTargetFolders(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (const int32_t r = StopServices(); r != 0) return r;

    SetStep(MoveStep::kPreparing);
    SetPhase(kParking);
    const int32_t parkResult = continuing_ ? AdoptParked() : ParkSources();
    totalUnits.store(2 * totalUnits.load() + 10);
    if (parkResult != 0) {
        HX_LOG.Err(parkResult);
        return parkResult;
    }

    SetPhase(kCopyFirst);  // the window opens first, so that the copy shows as one to cancel
    SetStep(MoveStep::kCopying);
    if (const int32_t r = CopyParked(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    // The last moment a cancel is taken: it may have come just as the verification ended.
    if (!AdvanceUnlessCancelled(kLinking)) {
        HX_LOG.Err(kCodeCancelled);
        return kCodeCancelled;
    }
    SetStep(MoveStep::kCreatingLinks);
    if (const int32_t r = LinkSources(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    doneUnits.fetch_add(9);

    // A program that opened a parked file since the first check would write on into deleted
    // files: the move goes back instead, as a failed link does.
    std::vector<std::wstring> parkedFolders;
    for (const auto& entry : parked)
        parkedFolders.push_back(entry.first);
    if (const int32_t r = NotHeldBeforeDeleting(parkedFolders); r != 0) return r;

    SetStep(MoveStep::kRemovingOld);
    SetPhase(kEmptying);
    if (const int32_t r = RemoveParked(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    return StartServicesAtTheEnd();
}

int32_t CTaskMgr::BeginJournal(JournalWork work) {
    return JournalWritten(journal_.Begin(pairs, kStopping, work));
}

int32_t CTaskMgr::JournalWritten(int32_t result) {
    if (result == 0) return 0;
    std::wstring journalPath;
    GetJournalPath(journalPath);
    NoteFailure(result, journalPath);
    HX_LOG.Err(result);
    return result;
}

int32_t CTaskMgr::StopServices() {
    const int32_t r = oculus.StopServices();
    std::vector<std::wstring> stopped = oculus.StoppedServices();
    // A stopped move's services may be stopped still: they are this move's to start too.
    for (const std::wstring& name : continuing_ ? continueRecord_.services : stopped) {
        if (std::find(stopped.begin(), stopped.end(), name) == stopped.end())
            stopped.push_back(name);
    }
    journal_.SetServices(stopped);
    if (r == 0) return 0;
    NoteFailure(r, oculus.serviceName);
    HX_LOG.Err(r);
    return r;
}

int32_t CTaskMgr::NotHeldBeforeDeleting(const std::vector<std::wstring>& folders) {
    std::wstring held;
    const int32_t r = movecheck::NotHeldBeforeDeleting(folders, held);
    if (r == 0) return 0;
    if (r == kCodeInUse) sys::SetLastError(0);  // a holder, not a failed call
    NoteFailure(r, held.empty() ? folders.front() : held);
    HX_LOG.Err(r);
    return r;
}

int32_t CTaskMgr::StartServicesAtTheEnd() {
    SetStep(MoveStep::kStartingServices);
    SetPhase(kStarting);
    const int32_t startResult = oculus.StartServices();
    doneUnits.fetch_add(1);
    if (startResult != 0) {
        NoteFailure(startResult, oculus.serviceName);
        HX_LOG.Err(startResult);
        return startResult;
    }
    doneUnits.store(totalUnits.load());
    return 0;
}

int32_t CTaskMgr::ParkSources() {
    // Everything is counted and checked before the first folder is parked.
    std::map<std::wstring, std::pair<size_t, size_t>> longest;  // source -> file, folder
    size_t k = 0;
    const std::map<std::wstring, SourceSize> known = std::move(knownBytes_);
    knownBytes_.clear();
    for (const auto& [source, target] : pairs) {
        int32_t count = 0;
        const auto sized = known.find(source);
        const bool withBytes = sized == known.end();
        if (const int32_t r = fileOp.CountFiles(source, count, withBytes); r != 0) {
            NoteFailure(r, source);
            HX_LOG.Err(r);
            return r;
        }
        totalUnits.fetch_add(count);
        longest[source] = {fileOp.LongestFileBelow(), fileOp.LongestFolderBelow()};
        Tree& tree = trees_[std::min(k++, kTrees - 1)];
        tree.name = LeafOf(source);
        tree.files.fetch_add(count);
        tree.bytes.fetch_add(withBytes ? fileOp.CountedBytes() : sized->second.bytes);
        tree.holeBytes.fetch_add(withBytes ? fileOp.CountedHoleBytes() : sized->second.holeBytes);
    }
    for (const auto& [source, target] : pairs) {
        const auto [file, folder] = longest[source];
        if (const int32_t r = CheckBeforeParking(source, target, file, folder); r != 0) {
            sys::SetLastError(0);  // a refusal of the checks, not of the last call they made
            NoteFailure(r, source);
            HX_LOG.Err(r);
            return r;
        }
    }
    // The journal names the parked folders before they exist, so that no kill can hide them.
    PathMap parkedNames;
    for (const auto& [source, target] : pairs)
        parkedNames.emplace(source, movecheck::ParkedNameFor(source));
    if (const int32_t r = journal_.PlanParking(parkedNames); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    for (const auto& [source, target] : pairs) {
        std::wstring parkedName;
        if (const int32_t r = fileOp.RenameUnique(source, source + L"Varko", parkedName); r != 0) {
            NoteFailure(r, source);
            if (r == kCodeInUse || r == SystemCode(sys::kErrAccessDenied)) {
                movecheck::LogHolders(source);
            }
            HX_LOG.Err(r);
            return r;
        }
        parked.emplace(parkedName, target);
        journal_.Parked(source, parkedName);
    }
    return 0;
}

// ---- Continuing a stopped move -----------------------------------------------------------------

void CTaskMgr::SetContinuing(const JournalRecord& record, Manifest log) {
    continuing_ = true;
    continueRecord_ = record;
    continueLog_ = std::move(log);
}

int32_t CTaskMgr::ResumeJournal() {
    return JournalWritten(journal_.Resume(continueRecord_, kStopping));
}

// The stopped move's parked folders, counted and checked as a move checks its sources.
int32_t CTaskMgr::AdoptParked() {
    size_t k = 0;
    for (const auto& [source, target] : pairs) {
        std::wstring parkedName;
        for (const JournalFolder& folder : continueRecord_.folders) {
            if (folder.source == source) parkedName = folder.parked;
        }
        int32_t count = 0;
        if (const int32_t r = parkedName.empty() ? kCodeNothingParked
                                                 : fileOp.CountFiles(parkedName, count, true);
            r != 0) {
            NoteFailure(r, parkedName.empty() ? source : parkedName);
            HX_LOG.Err(r);
            return r;
        }
        parked.emplace(parkedName, target);
        totalUnits.fetch_add(count);
        Tree& tree = trees_[std::min(k++, kTrees - 1)];
        tree.name = LeafOf(source);
        tree.files.fetch_add(count);
        tree.bytes.fetch_add(fileOp.CountedBytes());
        tree.holeBytes.fetch_add(fileOp.CountedHoleBytes());
        if (int32_t r = movecheck::NoMountPointsBelow(parkedName);
            r != 0 || (r = movecheck::NotInUse(parkedName)) != 0) {
            sys::SetLastError(0);
            NoteFailure(r, source);
            HX_LOG.Err(r);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::KeepWhatWasCopied(const std::vector<CopyJob>& jobs) {
    kept_.assign(jobs.size(), ManifestTree{});
    uint64_t logged = 0;
    for (const CopyJob& job : jobs) {
        if (const ManifestTree* tree = continueLog_.Tree(job.name)) {
            for (const ManifestFile& file : tree->files)
                logged += file.size;
        }
    }
    bytesLogged_.store(logged);
    SetStep(MoveStep::kCheckingCopied);
    for (size_t i = 0; i < jobs.size(); ++i) {
        kept_[i].name = jobs[i].name;
        const ManifestTree* tree = continueLog_.Tree(jobs[i].name);
        if (!tree) continue;
        if (const int32_t r = fileOp.Copier().KeptCopies(jobs[i].from, jobs[i].to, *tree, kept_[i]);
            r != 0) {
            NoteFailure(r, jobs[i].to);
            HX_LOG.Err(r);
            return r;
        }
    }
    fileOp.Copier().ForgetVerifiedBytes();
    uint64_t kept = 0;
    for (const ManifestTree& tree : kept_) {
        for (const ManifestFile& file : tree.files)
            kept += file.size;
    }
    bytesKept_.store(kept);
    HX_LOG.Detail("continuing: ", kept, " bytes of the stopped copy kept");
    return 0;
}

// The checks of a source and its target before anything is parked; see MoveChecks.h.
int32_t CTaskMgr::CheckBeforeParking(const std::wstring& source, const std::wstring& target,
                                     size_t longestFile, size_t longestFolder) {
    if (const int32_t r = movecheck::NoMountPointsBelow(source); r != 0) return r;
    if (const int32_t r = movecheck::NotInUse(source); r != 0) return r;
    return movecheck::PathsFit(fileOp, source, target, longestFile, longestFolder);
}

int32_t CTaskMgr::CopyParked() {
    std::vector<CopyJob> jobs;
    for (const auto& [folder, target] : parked)
        jobs.push_back({folder, target, LeafOf(SourceOf(target))});
    return CopyAndCheck(jobs, true);
}

int32_t CTaskMgr::CopyAndCheck(const std::vector<CopyJob>& jobs, bool writeManifest) {
    if (continuing_) {
        if (const int32_t r = KeepWhatWasCopied(jobs); r != 0) return r;
        SetStep(MoveStep::kCopying);
    }
    // A move lists each file copied as it goes, so that a stop halfway can be continued. Only a
    // hint: without it, a continue copies everything again.
    if (writeManifest && copyLog_.Open(!continuing_) != 0)
        HX_LOG.Detail("no copy log: a stopped move would copy everything again");
    if (writeManifest) fileOp.Copier().LogCopies(&copyLog_);
    int32_t k = 0;
    Manifest manifest;
    manifest.trees.reserve(jobs.size());  // the copy lists into each tree by its address
    for (size_t j = 0; j < jobs.size(); ++j) {
        const CopyJob& job = jobs[j];
        copyTree_.store(std::min(k++, static_cast<int32_t>(kTrees) - 1));
        // A tree's kept files count as copied from its start: they were counted when found.
        uint64_t keptHere = 0;
        if (continuing_) {
            for (const ManifestFile& file : kept_[j].files)
                keptHere += file.size;
        }
        const uint64_t copiedNow = fileOp.ReadCounters().copiedBytes;
        copyTreeStartBytes_.store(copiedNow > keptHere ? copiedNow - keptHere : 0);
        ManifestTree& tree = manifest.trees.emplace_back();
        tree.name = job.name;
        fileOp.Copier().CollectManifest(&tree);
        copyLog_.Tree(job.name);
        if (continuing_) fileOp.Copier().ContinueInto(&kept_[j]);
        const int32_t copied = fileOp.CopyTree(job.from, job.to);
        fileOp.Copier().CollectManifest(nullptr);
        if (const int32_t r = copied; r != 0) {
            NoteFailure(r, job.to);
            HX_LOG.Err(r);
            return r;
        }
        // A cancel accepted while this copy finished its last entry still counts.
        if (!AdvanceUnlessCancelled(kCopied)) {
            HX_LOG.Err(kCodeCancelled);
            return kCodeCancelled;
        }
    }
    fileOp.Copier().LogCopies(nullptr);
    copyLog_.Close();
    SetStep(MoveStep::kCheckingCopies);
    // The originals are deleted next: the copies must be on disk, not only in a cache.
    for (const CopyJob& job : jobs) {
        if (!sys::FlushToDisk(job.to)) {
            const int32_t r = SystemCode(sys::GetLastError());
            NoteFailure(r, job.to);
            HX_LOG.Err(r);
            return r;
        }
    }
    // And they must be the originals: a writer the in-use check missed shows up here.
    const uint32_t verifyStart = sys::GetTickCount();
    const auto noteTime = [&] { verifyMs_.store(sys::GetTickCount() - verifyStart); };
    for (const CopyJob& job : jobs) {
        std::wstring difference;
        if (const int32_t r = fileOp.Compare().VerifyCopy(job.from, job.to, difference); r != 0) {
            if (r == kCodeCopyDiffers)
                HX_LOG.Detail("copy differs from its original at: ", difference);
            if (r == kCodeCopyDiffers) sys::SetLastError(0);  // no call failed: a difference
            NoteFailure(r, r == kCodeCopyDiffers ? difference : job.from);
            HX_LOG.Err(r);
            noteTime();
            return r;
        }
    }
    // And every byte must be what was written, as the drive gives it back: read around the
    // caches once every copy is flushed, so that a drive that lost, or overwrote with later
    // data (a fake-capacity drive), what it took earlier in the move shows it here.
    size_t t = 0;
    for (const CopyJob& job : jobs) {
        std::wstring difference;
        if (const int32_t r =
                fileOp.Copier().VerifyFromMedia(job.to, manifest.trees[t++], difference);
            r != 0) {
            if (r == kCodeCopyCorrupt) sys::SetLastError(0);  // no call failed: other bytes
            NoteFailure(r, r == kCodeCopyCorrupt ? difference : job.to);
            HX_LOG.Err(r);
            noteTime();
            return r;
        }
    }
    noteTime();
    // The manifest goes to disk before the record: a recovery checks the copies against it.
    if (writeManifest) {
        if (const int32_t r = WriteManifest(ManifestFileName::kMoving, manifest); r != 0) {
            NoteFailure(r);
            HX_LOG.Err(r);
            return r;
        }
    }
    // Only this record, on disk, lets an original go: before it a power cut may leave copies
    // whose sizes and times are right and whose bytes are zeros.
    return JournalWritten(journal_.CopiesChecked());
}

// The folders the copies go to: the journal names them before they are made, so that whatever
// stops the move, the next start knows them; a rollback removes them again.
int32_t CTaskMgr::MakeTargetFolders() {
    madeFolders_.clear();
    std::vector<std::wstring> wanted;
    for (const auto& [source, target] : pairs) {
        const auto cut = target.rfind(sys::kSep);
        const std::wstring container = cut == std::wstring::npos ? target : target.substr(0, cut);
        if (std::find(wanted.begin(), wanted.end(), container) == wanted.end())
            wanted.push_back(container);
    }
    for (const auto& [source, target] : pairs)
        wanted.push_back(target);
    for (const std::wstring& folder : wanted) {
        // Continuing, the stopped move made them: they are this move's.
        if (continuing_ && !sys::IsLinkOrReparsePoint(folder) &&
            (sys::GetFileAttributesW(folder) & sys::kAttrDirectory) &&
            sys::GetFileAttributesW(folder) != sys::kInvalidFileAttributes) {
            madeFolders_.push_back(folder);
            continue;
        }
        if (!sys::CreateDirectoryW(folder)) {
            const int32_t r = SystemCode(sys::GetLastError());
            NoteFailure(r, folder);
            // Told as a target that takes no folder, not as a service that would not stop.
            if (failure_.code == r) failure_.step = MoveStep::kPreparing;
            return r;
        }
        madeFolders_.push_back(folder);
    }
    return 0;
}

// Only empty folders go: a copy that could not be deleted keeps its folder.
void CTaskMgr::RemoveMadeFolders() {
    for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) {
        if (sys::GetFileAttributesW(*it) == sys::kInvalidFileAttributes) continue;
        std::vector<std::wstring> left;
        if (fileOp.ListNames(*it, left) == 0 && left.empty()) fileOp.RemoveOneDir(*it);
    }
    madeFolders_.clear();
}

int32_t CTaskMgr::LinkSources() {
    for (const auto& [source, target] : pairs) {
        // Noted before the call: a link may exist even when the call reports a failure
        // (its check of the new link can fail after the link was made).
        linksTried_.emplace(source, target);
        journal_.Linking(source);
        if (const int32_t r = fileOp.MakeDirLink(source, target); r != 0) {
            NoteFailure(r, source);
            HX_LOG.Err(r);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::RemoveParked() {
    for (const auto& entry : parked) {
        if (const int32_t r = fileOp.DeleteTree(entry.first, true); r != 0) {
            NoteFailure(r, entry.first);
            HX_LOG.Err(r);
            return r;
        }
        SetPhase(kEmptied);
    }
    bool seenLinked = false;
    for (const auto& entry : parked) {
        if (const int32_t r = RemoveEmptiedFolder(entry.first, seenLinked); r != 0) {
            NoteFailure(r, entry.first);
            HX_LOG.Err(r);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::RemoveEmptiedFolder(const std::wstring& parkedFolder, bool& seenLinked) {
    return RemoveEmptiedParkedFolder(fileOp, parkedFolder, seenLinked, oldParentDir);
}

// Removes an emptied parked folder. When it was a link left by an earlier move, the earlier
// move's target folder behind it goes too, and after the second such link their common parent
// (that move's "Oculus game" folder) if it is empty by now.
int32_t RemoveEmptiedParkedFolder(CFileOp& fileOp, const std::wstring& parkedFolder,
                                  bool& seenLinked, std::wstring& oldParentDir) {
    std::wstring finalPath;
    if (const int32_t r = fileOp.GetFinalPath(parkedFolder, finalPath); r != 0) return r;
    // Ask the file system, not the spelling: a base folder spelled in another letter case is
    // no link. A reparse point that leads nowhere else (a mount or cloud placeholder) is none
    // either.
    const bool wasLink =
        sys::IsLinkOrReparsePoint(parkedFolder) && !sys::SamePathSpelling(finalPath, parkedFolder);
    if (const int32_t r = fileOp.DeleteTree(parkedFolder, false); r != 0) return r;
    if (!wasLink) return 0;

    if (const int32_t r = fileOp.DeleteTree(finalPath, false); r != 0) return r;
    if (seenLinked) {
        const auto cut = finalPath.rfind(sys::kSep);
        if (cut != std::wstring::npos) {
            oldParentDir = finalPath.substr(0, cut);
            // Only an empty folder goes, and nothing with it: the parent of a link made by
            // other means may hold other data, or the data just moved.
            fileOp.RemoveOneDir(oldParentDir);
        }
    }
    seenLinked = true;
    return 0;
}

// ---- The whole run -----------------------------------------------------------------------------

int32_t CTaskMgr::Execute() {
    doneUnits.store(0);
    fileOp.ResetCancel();
    fileOp.ResetCounters();
    copyTree_.store(0);
    copyTreeStartBytes_.store(0);
    heldFraction_.store(0.0f);
    cancelAccepted_.store(false);
    direction.store(0);
    linksTried_.clear();
    servicesRestarted_ = true;
    bytesKept_.store(0);
    bytesLogged_.store(0);
    continued_ = continuing_;
    leftWaiting_ = false;
    int32_t rr = 0;

    int32_t result = back_ ? MoveBackward() : MoveForward();
    if (result != 0) {
        HX_LOG.Err(result);
        direction.store(1);
        // A Cancel that took the copy's phase may still be about to raise the walker's flag.
        while (cancelsInFlight_.load() != 0)
            std::this_thread::yield();
        fileOp.ResetCancel();

        const int32_t p = phase.load();
        if (back_) {
            rr = RollBackMoveBack(p, result == kCodeCancelled && p == kCancelled, result);
        } else if (result == kCodeCancelled && p == kCancelled) {
            rr = RestoreParked(Clear::kCopies);
            if (rr != 0) {
                HX_LOG.Err(rr);
            } else {
                doneUnits.store(0);
                RestartServicesAfterRollback();
            }
        } else {
            SetPhase(kFailed);
            switch (p) {
                case kCopyFirst:
                case kCopied:
                case kCancelled:  // a copy failed after a cancel was accepted
                    // A continued move's second copy may hold what the stopped one made.
                    rr = RestoreParked(p == kCopyFirst && !continuing_ ? Clear::kFirstCopy
                                                                       : Clear::kCopies);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
                case kLinking:
                    rr = RestoreParked(Clear::kOwnLinksAndCopies);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
                case kStopping:
                    // Nothing moved; a service stopped before the refusal must not stay so.
                    RestartServicesAfterRollback();
                    leftWaiting_ = continuing_;
                    break;
                case kEmptying:
                case kEmptied:
                    result = kCodeOldDataLeft;
                    break;
                case kStarting:
                    result = kCodeServicesNotStarted;
                    break;
                default:  // counting, checking or parking failed
                    // A continue refused by its checks changed nothing: the stopped move waits
                    // as it did, with its copies, to be continued or put back.
                    if (continuing_) {
                        RestartServicesAfterRollback();
                        leftWaiting_ = true;
                        break;
                    }
                    rr = RestoreParked(Clear::kNothing);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
            }
            if (rr != 0) HX_LOG.Err(rr);
        }
        if (result != kCodeOldDataLeft && result != kCodeServicesNotStarted && !leftWaiting_)
            RemoveMadeFolders();
        // What is left for the next start, and the services this move stopped, stay named, with
        // the manifest its recovery checks the copies against. A move put back keeps neither.
        if (rr != 0 || result == kCodeOldDataLeft || leftWaiting_) {
            journal_.KeepForRecovery();
        } else if (result != kCodeServicesNotStarted) {
            RemoveManifest(ManifestFileName::kMoving);
        }
    }
    // The copy log serves only a move stopped while it copied.
    copyLog_.Close();
    if (!back_ && rr == 0 && !leftWaiting_) RemoveManifest(ManifestFileName::kCopied);
    continuing_ = false;

    SetStep(MoveStep::kFinishing);
    SetPhase(kFinished);
    if (rr != 0) rollbackClean = false;
    sys::Sleep(1000);  // lets the polling page see the finished state
    return result;
}

// ---- Rollback ----------------------------------------------------------------------------------

// Back under its own name exactly. Under a free variant ("Downloads(1)") the platform would
// find an empty name while the rollback counted as clean; a taken name instead leaves the
// folder parked, where the message for an unclean rollback sends the user.
int32_t CTaskMgr::RenameBack(const std::wstring& parkedFolder, const std::wstring& source) {
    SetStep(MoveStep::kRestoringNames);
    const int32_t r = fileOp.MoveOne(parkedFolder, source);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

// The data is back whole whatever this gives: a failure is logged and noted, and does not make
// the rollback unclean (the user's folders are where they were).
void CTaskMgr::RestartServicesAfterRollback() {
    SetStep(MoveStep::kRestartingServices);
    int32_t r = oculus.RestartStoppedServices();
    // A continued move's services may have been stopped by the move it continued.
    if (const int32_t earlier =
            continued_ ? oculus.StartServicesIfStopped(continueRecord_.services) : 0;
        r == 0 && earlier != 0) {
        r = earlier;
    }
    if (r != 0) {
        servicesRestarted_ = false;
        HX_LOG.Detail("services not started again after the rollback: ", r);
        HX_LOG.Err(r);
    }
}

// Gives every parked folder its old name back, after clearing away what the move put in its
// way. A copy that cannot be deleted stays behind: the original still gets its name, and the
// result follows the renames alone.
int32_t CTaskMgr::RestoreParked(Clear clear) {
    bool first = true;
    for (const auto& [folder, target] : parked) {
        const std::wstring& source = SourceOf(target);
        if (clear == Clear::kCopies || (clear == Clear::kFirstCopy && first)) {
            SetStep(MoveStep::kUndoingCopies);
            if (const int32_t r = fileOp.DeleteTree(target, false); r != 0) HX_LOG.Err(r);
        } else if (clear == Clear::kOwnLinksAndCopies) {
            if (linksTried_.count(source) != 0 && sys::IsLinkOrReparsePoint(source)) {
                // The old name was free (its folder was parked) when the link was tried, so a
                // link found there now is this run's, even if the link step reported a failure.
                SetStep(MoveStep::kUndoingLinks);
                if (const int32_t r = fileOp.RemoveOneDir(source); r != 0) {
                    HX_LOG.Err(r);
                    return r;
                }
            }
            DeleteCopyIfUnchanged(folder, target);
        }
        first = false;
        if (const int32_t r = RenameBack(folder, source); r != 0) return r;
    }
    return 0;
}

// A copy that was reachable through a link may hold what a program wrote there since it was
// checked: it goes only while it still matches its original, else it stays, named in the log.
void CTaskMgr::DeleteCopyIfUnchanged(const std::wstring& parkedFolder, const std::wstring& copy) {
    SetStep(MoveStep::kUndoingCopies);
    std::wstring difference;
    if (fileOp.Compare().VerifyCopy(parkedFolder, copy, difference) != 0) {
        HX_LOG.Detail("copy kept, it differs from its original ", parkedFolder,
                      " at: ", difference.empty() ? copy : difference);
        return;
    }
    if (const int32_t r = fileOp.DeleteTree(copy, false); r != 0) HX_LOG.Err(r);
}

// ---- Requests from the user-interface thread ---------------------------------------------------

int32_t CTaskMgr::Cancel() {
    cancelsInFlight_.fetch_add(1);
    int32_t current = phase.load();
    bool accepted = false;
    while (current == kCopyFirst || current == kCopied) {
        if (phase.compare_exchange_weak(current, kCancelled)) {
            accepted = true;
            break;
        }
    }
    if (accepted) {
        cancelAccepted_.store(true);
        fileOp.Cancel();
    }
    cancelsInFlight_.fetch_sub(1);
    if (!accepted) return kCancelRefused;
    if (observer_) observer_->OnPhase(kCancelled);
    return kCancelAccepted;
}

uint64_t CTaskMgr::BytesToMove() const {
    uint64_t bytes = 0;
    for (const Tree& tree : trees_)
        bytes += tree.bytes.load();
    return bytes;
}

float CTaskMgr::ForwardFraction() const {
    switch (static_cast<MoveStep>(step_.load())) {
        case MoveStep::kIdle:
            return 0.0f;
        case MoveStep::kStoppingServices:
            return kStopShare * Part(oculus.ServicesHandled(), kServices);
        case MoveStep::kPreparing:
            return kStopShare;
        case MoveStep::kCheckingCopied:  // what is found whole counts as copied
        case MoveStep::kCopying: {
            const CFileOp::Counters done = fileOp.ReadCounters();
            uint64_t files = 0;
            for (const Tree& tree : trees_)
                files += static_cast<uint64_t>(tree.files.load());
            const uint64_t work =
                done.copiedBytes + static_cast<uint64_t>(done.copiedFiles) * kFileCostBytes;
            return kCopyStart + kCopyShare * Part(work, BytesToMove() + files * kFileCostBytes);
        }
        case MoveStep::kCheckingCopies:
            return kCheckStart +
                   kCheckShare * Part(fileOp.ReadCounters().verifiedBytes, BytesToMove());
        case MoveStep::kCreatingLinks:
            return kLinkStart;
        case MoveStep::kRemovingOld: {
            uint64_t files = 0;
            for (const Tree& tree : trees_)
                files += static_cast<uint64_t>(tree.files.load());
            const auto deleted = static_cast<uint64_t>(fileOp.ReadCounters().deletedFiles);
            return kRemoveStart + kRemoveShare * Part(deleted, files);
        }
        case MoveStep::kStartingServices:
            return kStartStart + kStartShare * Part(oculus.ServicesHandled(), kServices);
        default:  // finishing, and every step of a rollback, which the bar does not follow
            return kDone;
    }
}

int32_t CTaskMgr::GetProgress(float& fraction) {
    const int32_t done = fileOp.TakeDoneCount();
    if (direction.load() == 0) {
        doneUnits.fetch_add(done);
    } else {
        doneUnits.fetch_sub(done);
    }
    // Polled before the move has counted anything: nothing has failed, so nothing is logged.
    if (static_cast<MoveStep>(step_.load()) == MoveStep::kIdle) return kCodeNoTotal;
    // A rollback holds the bar where the move had brought it.
    const float held = heldFraction_.load();
    const float value = direction.load() == 0 ? std::max(ForwardFraction(), held) : held;
    heldFraction_.store(value);
    fraction = value;
    return 0;
}

MoveSnapshot CTaskMgr::Snapshot() const {
    MoveSnapshot snapshot;
    snapshot.step = static_cast<MoveStep>(step_.load());
    snapshot.back = back_.load();
    const int32_t now = phase.load();
    const bool inCopy = snapshot.step == MoveStep::kCopying ||
                        snapshot.step == MoveStep::kCheckingCopies ||
                        snapshot.step == MoveStep::kCheckingCopied;
    snapshot.cancellable = inCopy && (now == kCopyFirst || now == kCopied);
    snapshot.cancelled = cancelAccepted_.load();
    const CFileOp::Counters done = fileOp.ReadCounters();
    snapshot.bytesDone = done.copiedBytes;
    snapshot.verifiedBytes = done.verifiedBytes;
    snapshot.bytesTotal = BytesToMove();
    snapshot.holeBytesDone = done.holeBytes;
    for (const Tree& tree : trees_)
        snapshot.holeBytesTotal += tree.holeBytes.load();
    snapshot.bytesKept = bytesKept_.load();
    if (snapshot.step == MoveStep::kCheckingCopied) snapshot.treeBytesTotal = bytesLogged_.load();
    if (snapshot.step == MoveStep::kCopying) {
        const Tree& tree = trees_[static_cast<size_t>(copyTree_.load())];
        snapshot.treeName = tree.name;
        snapshot.treeBytesTotal = tree.bytes.load();
        const uint64_t start = copyTreeStartBytes_.load();
        snapshot.treeBytesDone = std::min(
            snapshot.bytesDone > start ? snapshot.bytesDone - start : 0, snapshot.treeBytesTotal);
    }
    return snapshot;
}

void CTaskMgr::Reset() {
    totalUnits.store(0);
    doneUnits.store(0);
    pairs.clear();
    parked.clear();
    homeCopies_.clear();
    rollbackClean = true;
    servicesRestarted_ = true;
    failure_ = {};
    for (Tree& tree : trees_) {
        tree.bytes.store(0);
        tree.holeBytes.store(0);
        tree.files.store(0);
    }
    step_.store(static_cast<int32_t>(MoveStep::kIdle));
}

int32_t CTaskMgr::GetParkedPaths(std::wstring& second, std::wstring& first) {
    if (parked.empty()) {
        HX_LOG.Err(kCodeNothingParked);
        return kCodeNothingParked;
    }
    auto it = parked.begin();
    first = it->first;
    ++it;
    second = it != parked.end() ? it->first : std::wstring();
    return 0;
}
