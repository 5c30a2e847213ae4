#include "Vr/CExeThread.h"

#include "platform/fs.h"
#include "platform/sys.h"
#include "ui/uishell.h"

namespace {

constexpr int32_t kMove = 1;
constexpr int32_t kBackUpGames = 2;
constexpr int32_t kBackUpInstallDir = 3;
constexpr int32_t kRestoreGames = 4;
constexpr int32_t kRestoreInstallDir = 5;
constexpr int32_t kCancelRefused = 4;

void AppendSeparatorOnce(std::wstring& path) {
    if (path.empty() || path.back() != sys::kSep) path += sys::kSep;
}

}  // namespace

CExeThread::CExeThread() : QThread(nullptr), engine(ui::Engine()) {}

CExeThread::~CExeThread() {
    wait();  // never leave a running move without its thread object
}

void CExeThread::run() {
    // Leaves the progress page time to read the paths for its opening lines.
    sys::Sleep(300);
    finishedMarker.store(0.0f);
    createDirFailed = false;
    engine = ui::Engine();

    switch (operation) {
        case kMove: {
            const int32_t code = engine->MoveInstallation();
            finishedMarker.store(1.0f);
            result = code;
            if (code != 0 && code != 6 && code != 12) rollbackClean = engine->IsRollbackClean();
            movedSoftware = engine->GetMovedSoftwarePath();
            targetPath = engine->GetTargetSoftwarePath();
            resolvedInstallDir = engine->GetResolvedInstallDir();
            // Failures here are the engine's to log; an out string keeps its value on failure.
            engine->LoadInstallPaths(sourcePath);
            engine->GetParkedPaths(parkedSecond, parkedFirst);
            engine->ResetTask();
            break;
        }
        case kBackUpGames:
        case kBackUpInstallDir:
            if (sys::CreateDirectoryW(targetPath)) {
                targetPath += sys::kSep;
            } else {
                createDirFailed = true;
                result = -1;
            }
            break;
        case kRestoreGames:
            AppendSeparatorOnce(sourcePath);
            break;
        case kRestoreInstallDir:
            AppendSeparatorOnce(targetPath);
            AppendSeparatorOnce(sourcePath);
            break;
        default:
            result = -1;
            break;
    }
}

float CExeThread::GetProgress() {
    // A local engine pointer: the worker owns the member while it runs.
    IArSet* current = ui::Engine();
    float value = 0.0f;
    current->GetProgress(value);
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
    if (ui::Engine()->CancelMove() != kCancelRefused) return 0;
    ui::ShowMessageBox(
        QStringLiteral("The program is performing last configuration process. "
                       "Please wait until it is complete."));
    return kCancelRefused;
}
