// The worker thread of one move: runs the engine's move off the user-interface thread and then
// collects what the progress page needs for its final message.
#pragma once

#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Vr/IArSet.h"
#include "Vr/MoveMonitor.h"
#include "ground/ResultCodes.h"

class CExeThread : public QThread {
  public:
    // Tells the user that the engine refused a cancel; runs on the thread that asked to cancel.
    using CancelRefusedNotice = std::function<void()>;
    // Takes a status line for the page. Called on the thread that polls the progress while the
    // move runs, and once from the worker's own thread with the closing words.
    using StatusSink = std::function<void(const std::wstring&)>;

    explicit CExeThread(IArSet* engine = GetEngine());
    ~CExeThread() override;

    void SetOperation(int32_t op);  // kOp*
    void SetTargetPath(std::wstring path) { targetPath = std::move(path); }
    void SetSourcePath(std::wstring path) { sourcePath = std::move(path); }
    // The recovery to run is of a stopped move back (its words differ); set before start.
    void SetMovingBack(bool back) { movingBack = back; }
    bool IsMovingBack() const { return movingBack; }
    // The progress page, which forwards the user's cancel, says how a refusal is told.
    void SetCancelRefusedNotice(CancelRefusedNotice notice) { onCancelRefused = std::move(notice); }
    // The page shows the status lines of a move (operation kOpMove) through this.
    void SetStatusSink(StatusSink sink) { statusSink = std::move(sink); }

    // The bar's fraction; for a move it also hands the status line to the sink.
    float GetProgress();  // user-interface thread, while the thread runs
    bool CanCancel() const { return monitor.CanCancel(); }  // as of the last GetProgress
    int32_t RequestCancel();  // kCancelAccepted, or kCancelRefused after the notice has run

    int32_t GetResult() const { return result; }
    bool IsRollbackClean() const { return rollbackClean; }
    bool WasCancelled() const { return cancelled; }  // the user's cancel was accepted
    int32_t GetOperation() const { return operation; }
    bool IsCreateDirFailed() const { return createDirFailed; }
    std::wstring GetSourcePath() const { return sourcePath; }
    std::wstring GetTargetPath() const { return targetPath; }
    std::wstring GetMovedSoftwarePath() const { return movedSoftware; }
    std::wstring GetParkedFirst() const { return parkedFirst; }
    std::wstring GetParkedSecond() const { return parkedSecond; }
    std::wstring GetResolvedInstallDir() const { return resolvedInstallDir; }
    // After a recovery: what stopped it or was left (IArSet::RecoveryHeld).
    std::pair<std::wstring, std::wstring> GetRecoveryHeld() const { return recoveryHeld; }
    // After a check of the moved library (kOpCheck): what it found.
    const LibraryReport& GetLibraryReport() const { return libraryReport; }

  protected:
    void run() override;

  private:
    std::wstring sourcePath;
    std::wstring targetPath;
    std::wstring movedSoftware;
    std::wstring parkedFirst;
    std::wstring parkedSecond;
    std::wstring resolvedInstallDir;
    std::pair<std::wstring, std::wstring> recoveryHeld;
    bool movingBack = false;
    LibraryReport libraryReport;
    int32_t operation = 0;
    int32_t result = 0;
    bool createDirFailed = false;
    IArSet* const engine;
    bool rollbackClean = false;
    bool cancelled = false;
    CMoveMonitor monitor;  // the bar's highest fraction, and whether the move has returned
    CancelRefusedNotice onCancelRefused;
    StatusSink statusSink;
    std::wstring lastStatus;  // the polling thread's: a line is handed on when it changes
};
