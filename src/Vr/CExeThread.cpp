#include "Vr/CExeThread.h"

#include "platform/fs.h"
#include "platform/sys.h"

namespace {

void AppendSeparatorOnce(std::wstring& path) {
    if (path.empty() || path.back() != sys::kSep) path += sys::kSep;
}

// Only a move that failed or was cancelled has a rollback to report on.
bool HasRollback(int32_t moveResult) {
    return moveResult != kCodeOk && moveResult != kCodeServicesNotStarted &&
           moveResult != kCodeOldDataLeft;
}

}  // namespace

CExeThread::CExeThread(IArSet* engine) : QThread(nullptr), engine(engine), monitor(engine) {}

void CExeThread::SetOperation(int32_t op) {
    operation = op;
    engine->PrepareFor(op);
    monitor.Watch(op == kOpRepoint                          ? CMoveMonitor::Work::kRepoint
                  : op == kOpFinishMove || op == kOpPutBack ? CMoveMonitor::Work::kRecovery
                                                            : CMoveMonitor::Work::kMove);
}

CExeThread::~CExeThread() {
    wait();  // never leave a running move without its thread object
}

void CExeThread::run() {
    // Leaves the progress page time to read the paths for its opening lines.
    sys::Sleep(300);
    monitor.MoveStarting();
    createDirFailed = false;

    switch (operation) {
        case kOpMove:
        case kOpMoveBack:
        case kOpContinue: {
            const int32_t code = operation == kOpMove       ? engine->MoveInstallation()
                                 : operation == kOpMoveBack ? engine->MoveBack()
                                                            : engine->ContinueMove();
            monitor.MoveReturned();
            result = code;
            if (HasRollback(code)) rollbackClean = engine->IsRollbackClean();
            // Posted before finished(), so it reaches the page before the page's own end.
            const MoveOutcome outcome = engine->GetMoveOutcome();
            cancelled = outcome.cancelled;
            if (statusSink) statusSink(ClosingWords(outcome));
            movedSoftware = engine->GetMovedSoftwarePath();
            targetPath = engine->GetTargetSoftwarePath();
            resolvedInstallDir = engine->GetResolvedInstallDir();
            // Failures here are the engine's to log; an out string keeps its value on failure.
            engine->LoadInstallPaths(sourcePath);
            engine->GetParkedPaths(parkedSecond, parkedFirst);
            engine->ResetTask();
            break;
        }
        case kOpFinishMove:
        case kOpPutBack: {
            const int32_t code = engine->Recover(
                operation == kOpFinishMove ? RecoveryAction::kFinish : RecoveryAction::kPutBack);
            monitor.MoveReturned();
            result = code;
            recoveryHeld = engine->RecoveryHeld();
            engine->LoadInstallPaths(sourcePath);
            if (statusSink) statusSink(std::wstring());  // the page's message tells the end
            break;
        }
        case kOpCheck:
            result = engine->CheckMovedLibrary(libraryReport);
            monitor.MoveReturned();
            if (statusSink) statusSink(CheckWords(result, libraryReport));
            break;
        case kOpRepoint:
            result = engine->RepointLinks();
            monitor.MoveReturned();
            engine->LoadInstallPaths(sourcePath);
            if (statusSink) statusSink(std::wstring());
            break;
        case kOpBackUpGames:
        case kOpBackUpInstallDir:
            if (sys::CreateDirectoryW(targetPath)) {
                targetPath += sys::kSep;
            } else {
                createDirFailed = true;
                result = kCodeWorkerFailed;
            }
            break;
        case kOpRestoreGames:
            AppendSeparatorOnce(sourcePath);
            break;
        case kOpRestoreInstallDir:
            AppendSeparatorOnce(targetPath);
            AppendSeparatorOnce(sourcePath);
            break;
        default:
            result = kCodeWorkerFailed;
            break;
    }
}

float CExeThread::GetProgress() {
    const float fraction = monitor.Fraction();
    // Once the move has returned, its closing words are on their way and take the line.
    const bool watched = operation == kOpMove || operation == kOpMoveBack ||
                         operation == kOpContinue || operation == kOpFinishMove ||
                         operation == kOpPutBack || operation == kOpRepoint ||
                         operation == kOpCheck;
    if (watched && !monitor.HasReturned()) {
        const std::wstring status = monitor.Status(sys::GetTickCount());
        if (status != lastStatus && statusSink) statusSink(status);
        lastStatus = status;
    }
    return fraction;
}

int32_t CExeThread::RequestCancel() {
    if (engine->CancelMove() != kCancelRefused) return kCancelAccepted;
    if (onCancelRefused) onCancelRefused();
    return kCancelRefused;
}
