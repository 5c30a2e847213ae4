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

CExeThread::CExeThread(IArSet* engine) : QThread(nullptr), engine(engine) {}

CExeThread::~CExeThread() {
    wait();  // never leave a running move without its thread object
}

void CExeThread::run() {
    // Leaves the progress page time to read the paths for its opening lines.
    sys::Sleep(300);
    finishedMarker.store(0.0f);
    createDirFailed = false;

    switch (operation) {
        case kOpMove: {
            const int32_t code = engine->MoveInstallation();
            finishedMarker.store(1.0f);
            result = code;
            if (HasRollback(code)) rollbackClean = engine->IsRollbackClean();
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
            finishedMarker.store(1.0f);
            result = code;
            engine->LoadInstallPaths(sourcePath);
            break;
        }
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
    float value = 0.0f;
    engine->GetProgress(value);
    float reported = value;
    if (value < lastFraction.load()) {
        reported = 1.0f;  // a falling fraction (a rollback counting down) shows a full bar
    } else {
        lastFraction.store(value);
    }
    if (finishedMarker.load() == 1.0f) reported = 1.0f;
    return reported;
}

int32_t CExeThread::RequestCancel() {
    if (engine->CancelMove() != kCancelRefused) return kCancelAccepted;
    if (onCancelRefused) onCancelRefused();
    return kCancelRefused;
}
