// The engine behind IArSet: keeps the paths of one relocation between calls and owns the task.
#pragma once

#include <map>
#include <string>

#include <atomic>

#include "TaskMgr/CRecovery.h"
#include "TaskMgr/CTaskMgr.h"
#include "Vr/IArSet.h"

class CVr final : public IArSet {
  public:
    int32_t LoadInstallPaths(std::wstring& base) override;
    int32_t ResolveSourceDir(std::wstring& source) override;
    int32_t CheckTargetDir(std::wstring target) override;
    int32_t MoveInstallation() override;
    int32_t MoveBack() override;
    int32_t ContinueMove() override;
    int32_t CancelMove() override;
    int32_t GetProgress(float& fraction) override;
    MoveSnapshot GetMoveSnapshot() override;
    MoveOutcome GetMoveOutcome() override;
    void ResetTask() override { task.Reset(); }
    void PrepareFor(int32_t operation) override;
    bool IsRollbackClean() override { return task.IsRollbackClean(); }
    std::wstring GetMovedSoftwarePath() override { return movedSoftware; }
    std::wstring GetTargetSoftwarePath() override { return targetSoftware; }
    int32_t GetParkedPaths(std::wstring& second, std::wstring& first) override;
    std::wstring GetResolvedInstallDir() override { return resolvedInstallDir; }
    std::wstring TidyTargetPath(std::wstring target) override;
    bool IsInsideBase(std::wstring target) override;
    size_t CountUncheckedPrograms() override;
    bool HasUnfinishedMove() override;
    int32_t AssessRecovery(RecoveryPlan& plan) override;
    int32_t Recover(RecoveryAction action) override;
    int32_t ReadInstallState(InstallState& state) override;
    int32_t RepointLinks() override;
    int32_t CheckMovedLibrary(LibraryReport& report) override;

    CTaskMgr& Task() { return task; }  // tests watch the phases through it
    CRecovery& Recovery() { return recovery; }
    std::pair<std::wstring, std::wstring> RecoveryHeld() override {
        return {recovery.HeldFile(), recovery.HeldBy()};
    }

  protected:
    void ForgetCheckedTarget() override {
        targetSoftware.clear();
        checkedBytes_.clear();
    }

  private:
    int32_t Detect();
    int32_t MoveInstallationSteps();
    int32_t MoveBackSteps();
    int32_t ContinueMoveSteps();
    // After a move, continued or not: the record of where it went and its manifest, as far as
    // lastResult says the data got there.
    void KeepWhatTheMoveLeft();
    std::wstring DataVolume();
    std::wstring DetectedBase();  // empty when the installation is not found

    std::wstring sourceSoftware;
    std::wstring sourceDownloads;
    std::wstring targetSoftware;
    std::wstring targetDownloads;
    std::wstring installBase;
    std::wstring movedSoftware;
    std::wstring resolvedInstallDir;
    std::wstring gameFolder;       // the "Oculus game" folder the last move made
    std::wstring movedFromVolume;  // the drive the last move's data lay on as it began
    // By source, from the last target check.
    std::map<std::wstring, CTaskMgr::SourceSize> checkedBytes_;
    int32_t lastResult = 0;
    bool taskRan = false;    // the last move got as far as the task
    bool movedBack = false;  // the last move was a move back
    CTaskMgr task;
    CRecovery recovery;
    // What GetProgress, GetMoveSnapshot and CancelMove speak of: the last move, recovery or check.
    enum class Watched { kMove, kRecovery, kCheck };
    std::atomic<Watched> watched_{Watched::kMove};
    // The check of the moved library: what it has read of what it will read, and its cancel.
    std::atomic<uint64_t> checkBytes_{0};
    std::atomic<uint64_t> checkTotal_{0};
    std::atomic<bool> checkCancel_{false};
};
