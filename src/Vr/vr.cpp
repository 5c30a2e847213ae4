#include "Vr/vr.h"

#include "fileOp/LibraryCheck.h"
#include "fileOp/Manifest.h"

#include <list>

#include "Vr/TargetCheck.h"

#include "OculusMgr/COculusMgr.h"
#include "fileOp/CFileOp.h"
#include "fileOp/Manifest.h"
#include "fileOp/MoveChecks.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

IArSet* g_engineForTests = nullptr;

// Appends "(1)" to path while the name is taken. The task makes the folder, once its journal
// names it.
int32_t ChooseFreshName(std::wstring& path) {
    while (sys::GetFileAttributesW(path) != sys::kInvalidFileAttributes)
        path += L"(1)";
    const uint32_t n = sys::GetLastError();
    if (n == sys::kErrFileNotFound || n == sys::kErrPathNotFound) return 0;
    const int32_t r = SystemCode(n);
    HX_LOG.Err(r);
    return r;
}

}  // namespace

IArSet* GetEngine() {
    if (g_engineForTests) return g_engineForTests;
    static CVr engine;
    return &engine;
}

void SetEngineForTests(IArSet* engine) {
    g_engineForTests = engine;
}

int32_t CVr::Detect() {
    COculusMgr oculus;
    if (const int32_t r = oculus.DetectBase(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    sourceSoftware = oculus.GetSoftwarePath();
    sourceDownloads = oculus.GetDownloadsPath();
    installBase = oculus.GetBasePath();
    return 0;
}

int32_t CVr::LoadInstallPaths(std::wstring& base) {
    if (const int32_t r = Detect(); r != 0) return r;
    base = installBase;
    return 0;
}

int32_t CVr::ResolveSourceDir(std::wstring& source) {
    if (const int32_t r = Detect(); r != 0) return r;
    source = sourceSoftware;
    CFileOp fileOp;
    if (const int32_t r = fileOp.GetFinalPath(sourceSoftware, resolvedInstallDir); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    const auto cut = resolvedInstallDir.rfind(sys::kSep);
    if (cut != std::wstring::npos) resolvedInstallDir.resize(cut);
    return 0;
}

std::wstring CVr::TidyTargetPath(std::wstring target) {
    std::wstring tidy;
    if (!sys::GetFullPathNameW(target, tidy)) return {};
    return tidy;
}

bool CVr::IsInsideBase(std::wstring target) {
    if (Detect() != 0) return false;
    const std::wstring tidy = TidyTargetPath(target);
    if (tidy.empty()) return false;
    // By spelling, as the base folder is registered, and by identity, however it is reached.
    const std::wstring base = installBase.substr(0, installBase.find_last_not_of(L"\\/") + 1);
    if (sys::SamePathSpelling(tidy.substr(0, base.size()), base) &&
        (tidy.size() == base.size() || tidy[base.size()] == sys::kSep)) {
        return true;
    }
    CFileOp fileOp;
    bool inside = false;
    return fileOp.LiesInside(tidy, base, inside) == 0 && inside;
}

size_t CVr::CountUncheckedPrograms() {
    return movecheck::CountUncheckedProcesses();
}

int32_t CVr::CheckTargetDir(std::wstring target) {
    // A relative or drive-relative target ("Games", "C:Games") would be made absolute against
    // whatever working folder this process has: checked in one place, written in another.
    if (!sys::IsAbsolutePath(target)) {
        HX_LOG.Detail("target is not a full path: ", target);
        HX_LOG.Err(kTargetRefused);
        targetSoftware.clear();
        return kTargetRefused;
    }
    // Tidied once, here: the links the move makes store this text, and "X/.." in it would
    // break them once X goes.
    target = TidyTargetPath(target);
    if (target.empty()) {
        HX_LOG.Err(kTargetRefused);
        targetSoftware.clear();
        return kTargetRefused;
    }
    CFileOp fileOp;
    const int32_t r = fileOp.CheckTarget({sourceSoftware, sourceDownloads}, target);
    // Only a target that fits is kept for the move: a refused one is never moved to.
    if (r == kTargetFits) {
        targetSoftware = target;
    } else {
        targetSoftware.clear();
    }
    checkedBytes_.clear();
    if (r == kTargetFits && fileOp.SourceBytes().size() == 2) {
        checkedBytes_ = {{sourceSoftware, {fileOp.SourceBytes()[0], fileOp.SourceHoleBytes()[0]}},
                         {sourceDownloads, {fileOp.SourceBytes()[1], fileOp.SourceHoleBytes()[1]}}};
    }
    return r >= kTargetFits && r <= kTargetQueryFailed ? r : kTargetRefused;
}

int32_t CVr::MoveInstallation() {
    taskRan = false;
    movedBack = false;
    gameFolder.clear();
    lastResult = MoveInstallationSteps();
    KeepWhatTheMoveLeft();
    return lastResult;
}

void CVr::KeepWhatTheMoveLeft() {
    // Where the links lead, so that a later look can find their volume under another name.
    if (lastResult == kCodeOk || lastResult == kCodeServicesNotStarted ||
        lastResult == kCodeOldDataLeft) {
        RecordMove(installBase);
    }
    // The moved library's manifest, once no recovery needs the move's own.
    if (lastResult == kCodeOk || lastResult == kCodeServicesNotStarted) KeepManifestOfTheMove();
}

int32_t CVr::MoveInstallationSteps() {
    // Without a checked target the folders below would be made at the file system's root.
    if (sourceSoftware.empty() || sourceDownloads.empty() || targetSoftware.empty()) {
        HX_LOG.Err(kCodeEmptyPath);
        return kCodeEmptyPath;
    }
    // Nothing is made below a target that is not a full path, whoever stored it.
    if (!sys::IsAbsolutePath(targetSoftware)) {
        HX_LOG.Detail("target is not a full path: ", targetSoftware);
        HX_LOG.Err(kCodeEmptyPath);
        return kCodeEmptyPath;
    }
    watched_.store(Watched::kMove);
    // A move on top of an interrupted one would bury it: that one is finished or put back first.
    if (const int32_t r = recovery.CheckNothingPending(installBase); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    // The target was checked when it was chosen; a folder deleted or replaced by a file since
    // is refused before anything stops.
    if (const int32_t r = targetcheck::FolderRefusal(targetSoftware); r != 0) {
        HX_LOG.Detail("the target no longer passes its checks (", r, "): ", targetSoftware);
        task.NoteFailure(kCodeTargetUnfit, targetSoftware);
        HX_LOG.Err(kCodeTargetUnfit);
        return kCodeTargetUnfit;
    }
    targetSoftware += sys::kSep;
    targetSoftware += L"Oculus game";
    if (const int32_t r = ChooseFreshName(targetSoftware); r != 0) {
        task.NoteFailure(r, targetSoftware);
        return r;
    }
    gameFolder = targetSoftware;
    targetDownloads = targetSoftware;
    targetSoftware += sys::kSep;
    targetSoftware += L"Software";
    targetDownloads += sys::kSep;
    targetDownloads += L"Downloads";

    if (const int32_t r =
            task.SetPairs({{sourceSoftware, targetSoftware}, {sourceDownloads, targetDownloads}});
        r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    // The check sized both folders a moment ago; the move's count need not look at each file.
    task.KnowBytes(std::move(checkedBytes_));
    checkedBytes_.clear();
    taskRan = true;
    movedFromVolume = DataVolume();
    if (const int32_t r = task.Execute(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    movedSoftware = targetSoftware;
    return 0;
}

int32_t CVr::MoveBack() {
    taskRan = false;
    movedBack = true;
    gameFolder.clear();
    movedFromVolume.clear();
    lastResult = MoveBackSteps();
    // The library is home: no record of where links led, and no manifest of a moved library.
    if (lastResult == kCodeOk || lastResult == kCodeServicesNotStarted ||
        lastResult == kCodeOldDataLeft) {
        ForgetMove();
        RemoveManifest(ManifestFileName::kMoved);
    }
    return lastResult;
}

int32_t CVr::MoveBackSteps() {
    watched_.store(Watched::kMove);
    if (const int32_t r = Detect(); r != 0) return r;
    if (const int32_t r = recovery.CheckNothingPending(installBase); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    InstallState state;
    if (const int32_t r = ::ReadInstallState(installBase, recovery, state); r != 0) return r;
    if (state.kind != InstallState::Kind::kMoved || state.strangeVolume) {
        HX_LOG.Detail("move back: the library is not moved");
        HX_LOG.Err(kCodeNotMoved);
        return kCodeNotMoved;
    }
    gameFolder = state.movedTo;
    CTaskMgr::PathMap pairs;
    for (const FolderState& folder : state.folders)
        pairs.emplace(folder.path, folder.leadsTo);
    if (const int32_t r = task.SetPairs(std::move(pairs)); r != 0) return r;
    task.SetMovingBack(true);
    taskRan = true;
    const int32_t r = task.Execute();
    task.SetMovingBack(false);
    return r;
}

int32_t CVr::ContinueMove() {
    taskRan = false;
    movedBack = false;
    gameFolder.clear();
    movedFromVolume.clear();
    lastResult = ContinueMoveSteps();
    KeepWhatTheMoveLeft();
    return lastResult;
}

int32_t CVr::ContinueMoveSteps() {
    watched_.store(Watched::kMove);
    RecoveryPlan plan;
    if (const int32_t r = recovery.AssessForContinue(DetectedBase(), plan); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (!plan.canContinue) {
        HX_LOG.Detail("continue: the disk no longer calls for it");
        HX_LOG.Err(kCodeRecoveryRefused);
        return kCodeRecoveryRefused;
    }
    if (installBase.empty()) installBase = plan.record.base;
    gameFolder = plan.CopiesFolder();
    CTaskMgr::PathMap pairs;
    for (const JournalFolder& folder : plan.record.folders)
        pairs.emplace(folder.source, folder.target);
    // The drive the data left: where the parked folders' data lies (behind an earlier link).
    if (!plan.record.folders.empty()) {
        CFileOp fileOp;
        std::wstring real, volume;
        if (fileOp.GetFinalPath(plan.record.folders.front().parked, real) == 0 &&
            sys::GetVolumePathNameW(real, volume)) {
            movedFromVolume = sys::WithoutTrailingSeparators(volume, 1);
        }
    }
    if (const int32_t r = task.SetPairs(std::move(pairs)); r != 0) return r;
    task.SetContinuing(plan.record, std::move(plan.copyLog));
    taskRan = true;
    if (const int32_t r = task.Execute(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    const std::wstring software = std::wstring(1, sys::kSep) + L"Software";
    for (const JournalFolder& folder : plan.record.folders) {
        if (folder.source.size() >= software.size() &&
            folder.source.compare(folder.source.size() - software.size(), software.size(),
                                  software) == 0) {
            movedSoftware = folder.target;
        }
    }
    return 0;
}

MoveSnapshot CVr::GetMoveSnapshot() {
    if (watched_.load() == Watched::kMove) return task.Snapshot();
    MoveSnapshot snapshot;
    if (watched_.load() == Watched::kCheck) {
        snapshot.step = MoveStep::kCheckingCopies;
        snapshot.cancellable = !checkCancel_.load();
        snapshot.cancelled = checkCancel_.load();
        snapshot.verifiedBytes = checkBytes_.load();
        snapshot.bytesTotal = checkTotal_.load();
        snapshot.bytesDone = snapshot.bytesTotal;
        return snapshot;
    }
    snapshot.step = recovery.CurrentStep();
    snapshot.recovering = true;
    return snapshot;
}

int32_t CVr::GetProgress(float& fraction) {
    if (watched_.load() == Watched::kCheck) {
        const uint64_t total = checkTotal_.load();
        if (total == 0) return kCodeNoTotal;
        fraction = static_cast<float>(static_cast<double>(checkBytes_.load()) / total);
        return 0;
    }
    const int32_t r = watched_.load() == Watched::kRecovery ? recovery.GetProgress(fraction)
                                                            : task.GetProgress(fraction);
    if (r == 0 && fraction < 0.0f) fraction = 0.0f;
    return r;
}

int32_t CVr::CancelMove() {
    if (watched_.load() != Watched::kCheck) return task.Cancel();
    checkCancel_.store(true);
    return kCancelAccepted;
}

// ---- The moved library, checked against the manifest of its move -------------------------------

void CVr::PrepareFor(int32_t operation) {
    switch (operation) {
        case kOpCheck:
            checkBytes_.store(0);
            checkTotal_.store(0);
            watched_.store(Watched::kCheck);
            break;
        case kOpFinishMove:
        case kOpPutBack:
        case kOpRepoint:
            recovery.ResetProgress();
            watched_.store(Watched::kRecovery);
            break;
        default:
            watched_.store(Watched::kMove);
            break;
    }
}

int32_t CVr::CheckMovedLibrary(LibraryReport& report) {
    report = LibraryReport{};
    checkBytes_.store(0);
    checkTotal_.store(0);
    checkCancel_.store(false);
    watched_.store(Watched::kCheck);
    MoveRecord moved;
    Manifest manifest;
    bool found = false;
    if (!ReadMoveRecord(moved))
        found = false;
    else if (const int32_t r = ReadManifest(ManifestFileName::kMoved, manifest, found); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (!found) {
        HX_LOG.Detail("check: no manifest of a move to check against");
        HX_LOG.Err(kCodeNoManifest);
        return kCodeNoManifest;
    }
    uint64_t total = 0;
    for (const ManifestTree& tree : manifest.trees) {
        for (const ManifestFile& file : tree.files)
            total += file.size;
    }
    checkTotal_.store(std::max<uint64_t>(total, 1));
    for (const ManifestTree& tree : manifest.trees) {
        const std::wstring folder = moved.folder + sys::kSep + tree.name;
        if (const int32_t r =
                CheckAgainstManifest(folder, tree, true, checkCancel_, &checkBytes_, report);
            r != 0) {
            HX_LOG.Err(r);
            return r;
        }
    }
    checkBytes_.store(checkTotal_.load());
    return 0;
}

int32_t CVr::GetParkedPaths(std::wstring& second, std::wstring& first) {
    const int32_t r = task.GetParkedPaths(second, first);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

// The drive the data lies on now: the installation's own, or, behind the links of an earlier
// move, that move's target drive. Empty when it cannot be told.
std::wstring CVr::DataVolume() {
    CFileOp fileOp;
    std::wstring real, volume;
    if (fileOp.GetFinalPath(sourceSoftware, real) != 0 || !sys::GetVolumePathNameW(real, volume))
        return {};
    return sys::WithoutTrailingSeparators(volume, 1);
}

MoveOutcome CVr::GetMoveOutcome() {
    MoveOutcome outcome;
    outcome.result = lastResult;
    outcome.rollbackClean = task.IsRollbackClean();
    outcome.cancelled = task.CancelAccepted();
    outcome.failure = task.FirstFailure();
    outcome.bytesMoved = task.BytesToMove();
    if (lastResult == kCodeServicesNotStarted || lastResult == kCodeOldDataLeft) {
        outcome.servicesRunning = false;
    } else if (lastResult != kCodeOk && taskRan) {
        // An unclean rollback leaves them stopped on purpose: the platform must not find its
        // folders half back.
        outcome.servicesRunning = task.IsRollbackClean() && task.ServicesRestarted();
    }
    outcome.baseFolder = sys::WithoutTrailingSeparators(installBase, 1);
    outcome.movedTo = gameFolder;
    std::wstring volume;
    if (sys::GetVolumePathNameW(outcome.baseFolder, volume)) {
        outcome.sourceVolume = sys::WithoutTrailingSeparators(volume, 1);
    }
    if (!movedFromVolume.empty() && movedFromVolume != outcome.sourceVolume) {
        outcome.dataVolume = movedFromVolume;
    }
    if (!gameFolder.empty() && sys::GetVolumePathNameW(gameFolder, volume)) {
        outcome.targetVolume = sys::WithoutTrailingSeparators(volume, 1);
    }
    // The data left the drive it lay on: the installation's, or an earlier target's.
    const std::wstring left = outcome.dataVolume.empty() ? outcome.baseFolder : outcome.dataVolume;
    bool same = false;
    outcome.sameVolume =
        !gameFolder.empty() && sys::QuerySameVolume(left, gameFolder, same) && same;
    outcome.logPath = LogFilePath();
    outcome.back = movedBack;
    outcome.continued = task.Continued();
    outcome.bytesKept = task.BytesKept();
    outcome.stillWaiting = task.LeftWaiting();
    return outcome;
}

// ---- An interrupted move -----------------------------------------------------------------------

std::wstring CVr::DetectedBase() {
    return Detect() == 0 ? installBase : std::wstring();
}

bool CVr::HasUnfinishedMove() {
    return recovery.CheckNothingPending(DetectedBase()) == kCodeRecoveryPending;
}

int32_t CVr::AssessRecovery(RecoveryPlan& plan) {
    const int32_t r = recovery.Assess(DetectedBase(), plan);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

int32_t CVr::Recover(RecoveryAction action) {
    watched_.store(Watched::kRecovery);
    const std::wstring base = DetectedBase();
    // A stopped move back that is finished leaves the library at home: nothing to record.
    JournalRecord journal;
    bool found = false;
    const bool back =
        ReadJournal(journal, found) == 0 && found && journal.work == JournalWork::kBack;
    const int32_t r = recovery.Run(base, action);
    if (r != 0) HX_LOG.Err(r);
    if ((r == 0 || r == kCodeServicesNotStarted) && action == RecoveryAction::kFinish && !back) {
        RecordMove(base);
        KeepManifestOfTheMove();
    }
    if (r == 0 && action == RecoveryAction::kPutBack) RemoveManifest(ManifestFileName::kMoving);
    // A stopped move's copy log serves only to continue it.
    if (r == 0 || r == kCodeServicesNotStarted) RemoveManifest(ManifestFileName::kCopied);
    return r;
}

int32_t CVr::ReadInstallState(InstallState& state) {
    const int32_t r = ::ReadInstallState(DetectedBase(), recovery, state);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

int32_t CVr::RepointLinks() {
    watched_.store(Watched::kRecovery);
    InstallState state;
    if (const int32_t r = ReadInstallState(state); r != 0) return r;
    if (state.kind != InstallState::Kind::kBroken || state.repoint.folders.empty()) {
        HX_LOG.Detail("repoint: the links need no re-pointing now");
        HX_LOG.Err(kCodeRecoveryRefused);
        return kCodeRecoveryRefused;
    }
    const int32_t r = recovery.Repoint(state.repoint);
    if (r != 0) HX_LOG.Err(r);
    if (r == 0 || r == kCodeServicesNotStarted) RecordMove(state.base);
    return r;
}
