// The engine: the one object through which the windows and the worker reach everything the
// program does to the Oculus installation.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "TaskMgr/InstallState.h"
#include "TaskMgr/RecoveryPlan.h"
#include "Vr/TargetCheck.h"
#include "fileOp/LibraryCheck.h"
#include "ground/MoveReport.h"
#include "ground/ResultCodes.h"

class IArSet {
  public:
    virtual int32_t LoadInstallPaths(std::wstring& base) = 0;
    virtual int32_t ResolveSourceDir(std::wstring& source) = 0;
    virtual int32_t CheckTargetDir(std::wstring target) = 0;  // kTarget* (ResultCodes.h)
    // Every check a target gets before a move, in one order for the window and the command line
    // (TargetCheck.cpp): the target's volume, CheckTargetDir, then the source's detection and
    // the target's distance from it. kTargetFits with the questions still to ask in verdict, or
    // the first refusal (kTarget*, ResultCodes.h). Changes nothing but what CheckTargetDir keeps.
    int32_t CheckMoveTarget(const std::wstring& target, TargetVerdict& verdict);
    virtual int32_t MoveInstallation() = 0;  // a move result (ResultCodes.h)
    virtual int32_t CancelMove() = 0;        // kCancelAccepted or kCancelRefused
    virtual int32_t GetProgress(float& fraction) = 0;
    // One look at the running move, for the status line (while MoveInstallation runs).
    virtual MoveSnapshot GetMoveSnapshot() = 0;
    // How the last move ended, as its closing words need it (after MoveInstallation, before
    // ResetTask).
    virtual MoveOutcome GetMoveOutcome() = 0;
    virtual void ResetTask() = 0;
    // Before a worker runs operation (kOp*): GetProgress and GetMoveSnapshot speak of it from
    // then on, from its start, and no longer of the operation before (a full bar, a last step).
    virtual void PrepareFor(int32_t /*operation*/) {}
    virtual bool IsRollbackClean() = 0;
    virtual std::wstring GetMovedSoftwarePath() = 0;
    virtual std::wstring GetTargetSoftwarePath() = 0;
    virtual int32_t GetParkedPaths(std::wstring& second, std::wstring& first) = 0;
    virtual std::wstring GetResolvedInstallDir() = 0;
    // The target as the move will use it: absolute and lexically tidy (no ".", "..", doubled or
    // trailing separators), links not resolved. Empty when the path cannot be made so.
    virtual std::wstring TidyTargetPath(std::wstring target) = 0;
    // True when target is the installation's base folder or lies inside it, however spelled
    // (links, "..", bind mounts, letter case). Detects the installation first.
    virtual bool IsInsideBase(std::wstring target) = 0;
    // How many running programs the move's in-use check cannot look into (other users', while
    // Halvex lacks the rights); each is logged by PID and name. Asked before a move starts.
    virtual size_t CountUncheckedPrograms() = 0;

    // An interrupted move (see TaskMgr/CRecovery.h). True when one waits to be finished or put
    // back: a journal, or a parked folder; a new move is refused meanwhile.
    virtual bool HasUnfinishedMove() = 0;
    // Looks at the disk and decides; changes nothing. 0, or the code of a query that failed.
    virtual int32_t AssessRecovery(RecoveryPlan& plan) = 0;
    // Finishes or puts back the interrupted move when the disk still calls for action: 0,
    // kCodeRecoveryRefused, kCodeServicesNotStarted or the failed step's code. GetProgress and
    // CancelMove (always refused) then speak of it.
    virtual int32_t Recover(RecoveryAction action) = 0;
    // After a recovery that a held file stopped (kCodeInUse): the file and the program holding
    // it; after kCodeCopyLeft: the folder left, and no program. Empty otherwise.
    virtual std::pair<std::wstring, std::wstring> RecoveryHeld() { return {}; }

    // Where the platform's data is now (TaskMgr/InstallState.h). 0, or a failed query's code.
    virtual int32_t ReadInstallState(InstallState& state) = 0;
    // Points links that lead nowhere at the same folders on their volume's new drive letter or
    // mount point, as ReadInstallState finds them, with the services stopped meanwhile: 0,
    // kCodeRecoveryRefused when the disk offers no such re-pointing now, or the failed step's code.
    virtual int32_t RepointLinks() = 0;
    // Reads the moved library back from its drive against the manifest of its move, with
    // GetProgress, GetMoveSnapshot and CancelMove speaking of it: 0 with the report (faults and
    // updates; see fileOp/LibraryCheck.h), kCodeNoManifest, kCodeCancelled or a failed read's code.
    virtual int32_t CheckMovedLibrary(LibraryReport&) { return kCodeNoManifest; }
    // Brings the moved library home (TaskMgr/MoveBack.cpp), with GetProgress, GetMoveSnapshot,
    // CancelMove and GetMoveOutcome speaking of it: a move result, or kCodeNotMoved when the
    // library is not moved (or lies on a drive other than the one it was moved to).
    virtual int32_t MoveBack() { return kCodeNotMoved; }
    // Continues a move that was stopped while it copied, from the copies it made (the recovery's
    // kContinue), as a move: GetProgress, GetMoveSnapshot, CancelMove and GetMoveOutcome speak of
    // it. A move result, or kCodeRecoveryRefused when the disk offers no such continue now.
    virtual int32_t ContinueMove() { return kCodeRecoveryRefused; }

  protected:
    ~IArSet() = default;
    // Drops the target that the last CheckTargetDir kept for the move: CheckMoveTarget refuses
    // on, and a refused target must never be moved to.
    virtual void ForgetCheckedTarget() {}

  private:
    // CheckMoveTarget's checks of the target against the detected installation.
    int32_t SourceRefusal(const std::wstring& target);
};

// The process-wide engine, made on the first call; or the one a test put in its place.
IArSet* GetEngine();
void SetEngineForTests(IArSet* engine);  // null restores the process-wide engine
