#include "uitest.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <chrono>
#include <thread>

#include "TaskMgr/MoveJournal.h"
#include "platform/host.h"
#include "platform/paths.h"
#include "platform/volume.h"
#include "ui/CProgressWgt.h"
#include "ui/Trekhold.h"
#include "ui/uishell.h"
#include "ui/volumecheck.h"
#ifdef Q_OS_WIN
#include "wine_services.h"
#endif

namespace uitest {

std::vector<std::pair<QString, Factory>>& Registry() {
    static std::vector<std::pair<QString, Factory>> registry;
    return registry;
}

int Register(const char* name, Factory factory) {
    Registry().emplace_back(QString::fromLatin1(name), std::move(factory));
    return static_cast<int>(Registry().size());
}

QString SameVolumeQuestion(const QString& path) {
    const QString root =
        Wide(sys::WithoutTrailingSeparators(sys::DriveRootOf(path.toStdWString()), 1));
#ifdef Q_OS_WIN
    return "The target location is on the same drive as the Oculus installation. Moving Oculus "
           "there frees no space on " +
           root + ". Move anyway?";
#else
    return "The target location is on the same file system as the Oculus installation. Moving "
           "Oculus there frees no space on " +
           root + ". Move anyway?";
#endif
}

// ---- Boxes and the folder dialog ---------------------------------------------------------------
BoxRecorder::BoxRecorder() {
    ui::SetMessageBoxHook([this](const ui::MessageBoxRequest& request) {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
        if (!answers_.empty()) {
            const int answer = answers_.front();
            answers_.pop_front();
            return answer;
        }
        return (request.style & 0x0F) == ui::kMbYesNo ? ui::kIdNo : ui::kIdOk;
    });
}

BoxRecorder::~BoxRecorder() {
    ui::SetMessageBoxHook({});
}

QStringList BoxRecorder::Texts() const {
    std::lock_guard<std::mutex> guard(lock_);
    QStringList texts;
    for (const auto& request : requests_)
        texts << request.text;
    return texts;
}

std::vector<ui::MessageBoxRequest> BoxRecorder::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

FolderAnswer::FolderAnswer(QString answer) {
    ui::SetFolderDialogHook(
        [this, answer](QWidget*, const QString&, const QString& dir, QFileDialog::Options options) {
            ++calls;
            lastDir = dir;
            lastOptions = options;
            return answer;
        });
}

FolderAnswer::~FolderAnswer() {
    ui::SetFolderDialogHook({});
}

// ---- The scripted engine -----------------------------------------------------------------------
int32_t FakeEngine::ReadInstallState(InstallState& out) {
    ++stateReads;
    if (stateResult != 0) return stateResult;
    if (stateSet) {
        out = state;
        if (unfinished && out.kind != InstallState::Kind::kWaiting) {
            out.kind = InstallState::Kind::kWaiting;
        }
        if (out.kind == InstallState::Kind::kWaiting) out.plan = plan;
        return 0;
    }
    out = InstallState{};
    if (source.empty()) return 0;
    out.base = source.substr(0, source.rfind(sys::kSep));
    out.kind = unfinished ? InstallState::Kind::kWaiting : InstallState::Kind::kHome;
    out.plan = plan;
    return 0;
}

void FakeEngine::Hold() {
    held_ = true;
}

void FakeEngine::Release() {
    if (held_.exchange(false)) release_.set_value();
}

bool FakeEngine::WaitUntilMoving(int ms) {
    for (int waited = 0; waited < ms && !moving_; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return moving_;
}

int32_t FakeEngine::LoadInstallPaths(std::wstring& out) {
    if (base.empty()) return 7;
    out = base;
    return 0;
}

int32_t FakeEngine::ResolveSourceDir(std::wstring& out) {
    if (source.empty()) return 7;
    out = source;
    return 0;
}

int32_t FakeEngine::CheckTargetDir(std::wstring target) {
    checkedTargets.push_back(target);
    return checkCode;
}

int32_t FakeEngine::MoveInstallation() {
    moving_ = true;
    if (held_) released_.wait();
    return moveResult;
}

int32_t FakeEngine::CancelMove() {
    ++cancels;
    return cancelAnswer;
}

int32_t FakeEngine::GetProgress(float& value) {
    const int code = progressCode;
    if (code == 0) value = fraction;
    return code;
}

void FakeEngine::SetSnapshot(const MoveSnapshot& snapshot) {
    std::lock_guard<std::mutex> guard(snapshotLock_);
    snapshot_ = snapshot;
}

MoveSnapshot FakeEngine::GetMoveSnapshot() {
    std::lock_guard<std::mutex> guard(snapshotLock_);
    return snapshot_;
}

MoveOutcome FakeEngine::GetMoveOutcome() {
    MoveOutcome answer = outcome;
    answer.result = moveResult;
    return answer;
}

int32_t FakeEngine::GetParkedPaths(std::wstring& second, std::wstring& first) {
    if (parkedFirst.empty() && parkedSecond.empty()) return 13;
    second = parkedSecond;
    first = parkedFirst;
    return 0;
}

// ---- Folders -----------------------------------------------------------------------------------
namespace {

bool MoveAccepts(const QString& dir) {
    const FsKind kind = GetFileSystemKind(dir);
    return IsHardDiskOrFlash(dir) && (kind == FsNtfs || kind == FsExFat || kind == FsNative);
}

QString ScratchTemplate() {
    if (MoveAccepts(QDir::tempPath())) return QDir::tempPath() + "/halvex-ui-XXXXXX";
    return QCoreApplication::applicationDirPath() + "/halvex-ui-XXXXXX";
}

}  // namespace

Scratch::Scratch() : dir_(ScratchTemplate()) {}

QString Scratch::Path(const QString& relative) const {
    const QString root = QDir(dir_.path()).canonicalPath();
    return relative.isEmpty() ? root : root + "/" + relative;
}

bool Scratch::Make(const QString& relative) const {
    return QDir().mkpath(Path(relative));
}

bool Scratch::Write(const QString& relative, const QByteArray& data) const {
    const QString path = Path(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

void UseHost(const QString& dir) {
#ifdef Q_OS_WIN
    Q_UNUSED(dir);
#else
    sys::SetHostDir(dir.toStdString());
#endif
}

Installation::Installation() {
    bool made = scratch_.Write("Oculus/Software/Game One/game.bin", QByteArray(4096, 'g')) &&
                scratch_.Write("Oculus/Software/Game One/data/level1.pak", "level one") &&
                scratch_.Write("Oculus/Software/Game Two/two.bin", "two") &&
                scratch_.Write("Oculus/Downloads/partial.tmp", "partial") &&
                scratch_.Make("Oculus/Downloads/empty folder");
#ifdef HALVEX_HOST_TOOL
    UseHost(scratch_.Path("host"));
    made = made && Host({"registry", "set-base", Base() + "/"}) && Host({"services", "install"});
#elif defined(Q_OS_WIN)
    // Wine's own registry and service manager, with the fake services of scripts/wine-services.
    RemoveJournal();  // the machine's one journal: none of an earlier test counts
    made = made && testsupport::SetOculusBase((Base() + "\\").toStdWString());
    for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
        if (made && testsupport::StateOf(name) == 0) {
            error_ = "the fake services are not registered: run through scripts/wine-ui";
            made = false;
        }
        made = made && testsupport::Ensure(name, SERVICE_RUNNING);
    }
#else
    made = false;
    error_ = "the host tool is not built";
#endif
    ok_ = made;
    if (!made && error_.isEmpty()) error_ = "could not lay out the simulated installation";
}

Installation::~Installation() {
#ifdef Q_OS_WIN
    RemoveJournal();
    testsupport::ForgetOculusBase();
#endif
    UseHost({});
}

bool Installation::Host(const QStringList& args) {
#ifdef HALVEX_HOST_TOOL
    QProcess tool;
    tool.start(QStringLiteral(HALVEX_HOST_TOOL),
               QStringList{"--host", scratch_.Path("host")} + args);
    if (!tool.waitForFinished(kEventMs) || tool.exitCode() != 0) {
        error_ = "host tool failed: " + args.join(' ') + ": " + tool.readAllStandardError();
        return false;
    }
    return true;
#else
    Q_UNUSED(args);
    return false;
#endif
}

// ---- Loop volumes ------------------------------------------------------------------------------
#ifndef Q_OS_WIN
namespace {

bool Run(const QStringList& command, QString* out) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    const bool ran = process.waitForFinished(60000);
    if (out) *out = QString::fromLocal8Bit(process.readAll());
    return ran && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

}  // namespace

LoopVolume::LoopVolume(const QStringList& mkfs, const QStringList& mount, int megabytes) {
    if (!scratch_.valid()) {
        Fail("no scratch folder");
        return;
    }
    image_ = scratch_.Path("volume.img");
    point_ = scratch_.Path("point");
    scratch_.Make("point");
    QFile file(image_);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(megabytes) << 20)) {
        Fail("cannot make the image file");
        return;
    }
    file.close();
    QString out;
    if (!Run({"losetup", "-f", "--show", image_}, &out)) {
        Fail("losetup: " + out);
        return;
    }
    device_ = out.trimmed();
    if (!Run(mkfs + QStringList{device_}, &out)) {
        Fail(mkfs.first() + ": " + out);
        return;
    }
    const QStringList command = mount.isEmpty() ? QStringList{"mount", device_, point_}
                                                : mount + QStringList{device_, point_};
    if (!Run(command, &out)) {
        Fail(command.first() + ": " + out);
        return;
    }
    mounted_ = true;
}

LoopVolume::~LoopVolume() {
    if (mounted_) Run({"umount", point_}, nullptr);
    if (!device_.isEmpty()) Run({"losetup", "-d", device_}, nullptr);
}
#endif

// ---- Modal dialogs -----------------------------------------------------------------------------
namespace {

// The test function running now, with its object: a poll belongs to the one that started it.
QString CurrentTest() {
    const char* function = QTest::currentTestFunction();
    return QString("%1/%2")
        .arg(reinterpret_cast<quintptr>(QTest::testObject()))
        .arg(function ? function : "");
}

// Polls every intervalMs until step returns true, or until the test that started it has ended:
// a poll left over from a test whose dialog never came must not act on a later test's dialog.
void PollWhileThisTestRuns(int intervalMs, std::function<bool()> step) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, step, owner = CurrentTest()] {
        poll->stop();  // no second call while a step runs an event loop of its own
        if (CurrentTest() != owner || step()) {
            poll->deleteLater();
        } else {
            poll->start();
        }
    });
    poll->start(intervalMs);
}

}  // namespace

void WhenModal(const char* className, std::function<void(QWidget*)> body, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    PollWhileThisTestRuns(10, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->inherits(className) && modal->isVisible()) {
            body(modal);
            return true;
        }
        if (deadline.hasExpired()) {
            qWarning("no modal %s appeared", className);
            return true;
        }
        return false;
    });
}

bool ProgressEnded(const QWidget* widget) {
    const auto* page = qobject_cast<const CProgressWgt*>(widget);
    return page && page->IsResultShown();
}

ProgressPageCloser::ProgressPageCloser() : timer_(std::make_unique<QTimer>()) {
    QObject::connect(timer_.get(), &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (ProgressEnded(modal)) modal->findChild<QPushButton*>("normalbtn")->click();
    });
    timer_->start(20);
}

ProgressPageCloser::~ProgressPageCloser() = default;

void CloseProgressWhenDone() {
    PollWhileThisTestRuns(20, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!ProgressEnded(modal)) return false;
        modal->findChild<QPushButton*>("normalbtn")->click();
        return true;
    });
}

MainWindow::MainWindow() {
    engine.source = L"/srv/Oculus/Software";
    engine.base = L"/srv/Oculus/";
    window = std::make_unique<Trekhold>(nullptr);
    g_mainWnd = window.get();
    window->setFixedSize(ui::kMainWidth, ui::kMainHeight);
    window->move(200, 150);
    window->show();
}

MainWindow::~MainWindow() {
    window.reset();
    g_mainWnd = nullptr;
}

QPushButton* MainWindow::Button(const QString& nameOrText) const {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->objectName() == nameOrText || button->text() == nameOrText) return button;
    }
    return nullptr;
}

}  // namespace uitest
