// Helpers of the window tests: answering boxes and the folder dialog, a scripted engine, real
// temporary folders with a simulated installation, and the registry of test classes.
#pragma once

#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Vr/IArSet.h"
#include "platform/sys.h"

class QPushButton;
class QTimer;
class Trekhold;
#include "testclock.h"
#include "ui/uishell.h"
#include "widepath.h"

namespace uitest {

// How long a test waits for an event it means before it gives up. Generous, since the suites
// run under sanitizers on loaded machines; a passing wait returns as soon as the event is there.
inline constexpr int kEventMs = 60000;

// Test classes register themselves; main runs them in order.
using Factory = std::function<QObject*()>;
int Register(const char* name, Factory factory);
std::vector<std::pair<QString, Factory>>& Registry();

#define HX_REGISTER_TEST(Class) \
    static const int registered_##Class = ::uitest::Register(#Class, [] { return new Class; })

// Records every message box and answers it: the queued answers first, then OK / No.
class BoxRecorder {
  public:
    BoxRecorder();
    ~BoxRecorder();
    void Answer(int answer) { answers_.push_back(answer); }
    QStringList Texts() const;
    std::vector<ui::MessageBoxRequest> Requests() const;

  private:
    mutable std::mutex lock_;
    std::vector<ui::MessageBoxRequest> requests_;
    std::deque<int> answers_;
};

// Answers the folder dialog with a fixed text, and counts its calls.
class FolderAnswer {
  public:
    explicit FolderAnswer(QString answer);
    ~FolderAnswer();
    int calls = 0;
    QString lastDir;
    QFileDialog::Options lastOptions;
};

// An engine whose answers the test sets. The move can be held until the test releases it.
class FakeEngine : public IArSet {
  public:
    std::wstring source = L"";  // what ResolveSourceDir hands out
    std::wstring base = L"";    // what LoadInstallPaths hands out
    std::atomic<int32_t> checkCode{0};
    std::vector<std::wstring> checkedTargets;
    int32_t moveResult = 0;
    bool rollbackClean = true;
    std::wstring targetSoftware, movedSoftware, resolvedDir, parkedFirst, parkedSecond;
    std::atomic<int32_t> cancelAnswer{4};
    std::atomic<int> cancels{0};
    std::atomic<int> progressCode{5};
    std::atomic<float> fraction{0.0f};
    std::atomic<int> resets{0};
    MoveOutcome outcome;  // GetMoveOutcome gives it with result = moveResult

    void SetSnapshot(const MoveSnapshot& snapshot);

    // The move waits inside MoveInstallation until Release() when Hold() was called first.
    void Hold();
    void Release();
    bool WaitUntilMoving(int ms = kEventMs);

    int32_t LoadInstallPaths(std::wstring& out) override;
    int32_t ResolveSourceDir(std::wstring& out) override;
    int32_t CheckTargetDir(std::wstring target) override;
    int32_t MoveInstallation() override;
    int32_t MoveBack() override {
        ++movesBack;
        return moveResult;
    }
    int movesBack = 0;
    int32_t CancelMove() override;
    int32_t GetProgress(float& value) override;
    MoveSnapshot GetMoveSnapshot() override;
    MoveOutcome GetMoveOutcome() override;
    void ResetTask() override { ++resets; }
    bool IsRollbackClean() override { return rollbackClean; }
    std::wstring GetMovedSoftwarePath() override { return movedSoftware; }
    std::wstring GetTargetSoftwarePath() override { return targetSoftware; }
    int32_t GetParkedPaths(std::wstring& second, std::wstring& first) override;
    std::wstring GetResolvedInstallDir() override { return resolvedDir; }
    std::wstring TidyTargetPath(std::wstring target) override { return target; }
    bool IsInsideBase(std::wstring) override { return false; }
    size_t uncheckedPrograms = 0;
    size_t CountUncheckedPrograms() override { return uncheckedPrograms; }

    // An interrupted move: what the engine reports, and the recoveries asked of it.
    std::atomic<bool> unfinished{false};
    RecoveryPlan plan;
    int32_t recoverResult = 0;
    std::vector<RecoveryAction> recoveries;
    bool HasUnfinishedMove() override { return unfinished; }
    int32_t AssessRecovery(RecoveryPlan& out) override {
        out = plan;
        return 0;
    }
    int32_t Recover(RecoveryAction action) override {
        recoveries.push_back(action);
        if (recoverResult == 0) unfinished = false;
        return recoverResult;
    }

    // The installation's state; kHome under source's folder unless the test sets one.
    InstallState state;
    bool stateSet = false;
    std::atomic<int> stateReads{0};
    int32_t stateResult = 0;  // not 0: the look fails with this code
    int32_t repointResult = 0;
    std::atomic<int> repoints{0};
    int32_t ReadInstallState(InstallState& out) override;
    int32_t RepointLinks() override {
        ++repoints;
        return repointResult;
    }
    LibraryReport checkReport;  // what a check of the moved games finds
    int32_t CheckMovedLibrary(LibraryReport& report) override {
        report = checkReport;
        return 0;
    }

  private:
    std::mutex snapshotLock_;
    MoveSnapshot snapshot_;
    std::atomic<bool> held_{false};
    std::atomic<bool> moving_{false};
    std::promise<void> release_;
    std::shared_future<void> released_{release_.get_future().share()};
};

// Points the POSIX stand-ins (registry, services, journal) at a test's host folder; empty
// restores the default. Windows keeps them in the system, so there it does nothing.
void UseHost(const QString& dir);

// Puts an engine in place of the process-wide one for the life of the object.
struct ScopedEngine {
    explicit ScopedEngine(IArSet* engine) { SetEngineForTests(engine); }
    ~ScopedEngine() { SetEngineForTests(nullptr); }
};

// A main window as start-up makes it, shown at a known place, over a fake engine.
struct MainWindow {
    MainWindow();
    ~MainWindow();
    // Its button with this object name or text; null when there is none.
    QPushButton* Button(const QString& nameOrText) const;
    FakeEngine engine;
    ScopedEngine scoped{&engine};
    std::unique_ptr<Trekhold> window;
};

using testsupport::ScopedServiceClock;
using testsupport::ScopedVirtualClock;

// A real temporary folder; on a file system that a move accepts when the system's temporary
// folder does not (tmpfs): then it is made below the working folder.
class Scratch {
  public:
    Scratch();
    QString Path(const QString& relative = {}) const;
    bool Make(const QString& relative) const;
    bool Write(const QString& relative, const QByteArray& data) const;
    bool valid() const { return dir_.isValid(); }

  private:
    QTemporaryDir dir_;
};

// A simulated Oculus installation: the registry entry and the two services running (on the POSIX
// stand-ins of a host folder, or on Wine's own registry and service manager), and a base folder
// holding Software and Downloads.
class Installation {
  public:
    Installation();
    ~Installation();
    bool ok() const { return ok_; }
    QString error() const { return error_; }
    // Paths as the program spells them (native separators), without a closing separator.
    QString Base() const { return Path("Oculus"); }
    QString Software() const { return Path("Oculus/Software"); }
    QString Downloads() const { return Path("Oculus/Downloads"); }
    QString Path(const QString& relative) const {
        return QDir::toNativeSeparators(scratch_.Path(relative));
    }
    bool Host(const QStringList& args);  // runs the host tool on this machine
    const Scratch& scratch() const { return scratch_; }

  private:
    Scratch scratch_;
    bool ok_ = false;
    QString error_;
};

#ifndef Q_OS_WIN
// A file-system image attached to a loop device and mounted, for the life of the object. Needs
// root, loop devices and, for the FUSE file systems, /dev/fuse.
class LoopVolume {
  public:
    // mkfs formats DEVICE, e.g. {"mkfs.ext4", "-q"}; mount mounts DEVICE at POINT, e.g.
    // {"ntfs-3g"}; an empty mount command means the kernel's mount.
    LoopVolume(const QStringList& mkfs, const QStringList& mount, int megabytes = 40);
    ~LoopVolume();
    bool ok() const { return mounted_; }
    QString why() const { return why_; }
    QString point() const { return point_; }

  private:
    void Fail(const QString& why) { why_ = why.trimmed(); }

    Scratch scratch_;
    QString image_, point_, device_, why_;
    bool mounted_ = false;
};

#define REQUIRE_VOLUME(volume)                                                       \
    if (!(volume).ok())                                                              \
    QSKIP(qPrintable("this machine cannot mount the test image (" + (volume).why() + \
                     "); needs root, loop devices and FUSE"))
#endif

// Runs body once the modal dialog of class T is showing (polled from the event loop).
void WhenModal(const char* className, std::function<void(QWidget*)> body, int timeoutMs = kEventMs);

// True when widget is a progress page that has shown its final message.
bool ProgressEnded(const QWidget* widget);
// While it lives, presses OK on any progress page that shows its result; ends with its scope,
// so that no later test's page is closed by it.
class ProgressPageCloser {
  public:
    ProgressPageCloser();
    ~ProgressPageCloser();

  private:
    std::unique_ptr<QTimer> timer_;
};

// Clicks the progress page's button once the page has shown its final message; returns at once.
void CloseProgressWhenDone();

using testsupport::Wide;

// What a recovery's question adds where MessageBoxW asks it, whose buttons are Yes and No.
#ifdef Q_OS_WIN
inline const QString kAskFinish =
    QStringLiteral("\n\nFinish the move now? Yes finishes it; No leaves it for later.");
inline const QString kAskPutBack =
    QStringLiteral("\n\nPut everything back now? Yes puts it back; No leaves it for later.");
inline const QString kAskContinueOrPutBack = QStringLiteral(
    "\n\nContinue the move now? Yes continues it; No puts everything back; Cancel leaves it for "
    "later.");
#else
inline const QString kAskContinueOrPutBack;
inline const QString kAskFinish;
inline const QString kAskPutBack;
#endif

// The page's question for a target on the volume that holds path: the mount point named.
QString SameVolumeQuestion(const QString& path);

}  // namespace uitest
