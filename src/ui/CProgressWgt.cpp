#include "ui/CProgressWgt.h"

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextEdit>
#include <QVBoxLayout>

#include "Vr/CExeThread.h"
#include "ground/ResultCodes.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "ui/bridges.h"
#include "ui/pathtext.h"
#include "ui/uishell.h"
#include "ui/winlook.h"

namespace {

const char* const kBarStyle =
    "QProgressBar {border: 1px solid rgb(200,200,200);border-radius: 3px;text-align: "
    "center;}QProgressBar::chunk {background-color: #05B8CC;}";

constexpr int kLogHeight = 115;
constexpr int kPageHeight = 280;  // the page's height whenever the status line fits

const char* const kLogStyle =
    "QTextEdit{border: 1px solid rgb(200,200,200);background: rgba(255,255,255,80);"
    "selection-background-color: darkgray;}";

const char* const kVerticalBarStyle =
    "QScrollBar:vertical {border: 1px solid #adadad; background: white; width: 15px;margin: "
    "10px 0px 10px 0px;}"
    "QScrollBar::handle:vertical {background: grey;\tmin-height: 10px; max-height:50px}"
    "QScrollBar::add-line:vertical {border: 1px solid #adadad; background: #adadad; height: "
    "10px;\tsubcontrol-position: top;\tsubcontrol-origin: margin;}"
    "QScrollBar::sub-line:vertical {border: 1px solid #adadad; background: #adadad; height: "
    "10px;\tsubcontrol-position: bottom;\tsubcontrol-origin: margin;}"
    " QScrollBar:top-arrow:vertical, QScrollBar::bottom-arrow:vertical {border: 1px solid "
    "grey;height: 3px;width: 3px;background: white;}"
    " QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {background: none;}";

const char* const kHorizontalBarStyle =
    " QScrollBar:horizontal {border: 1px solid #adadad;background: white;height: 15px;margin: "
    "0px 10px 0 10px;}"
    " QScrollBar::handle:horizontal {background: white;\tmin-width: 10px;}"
    " QScrollBar::add-line:horizontal {border: 1px solid #adadad;background: #adadad;width: "
    "10px;\tsubcontrol-position: right;\tsubcontrol-origin: margin;}"
    " QScrollBar::sub-line:horizontal {border: 1px solid #adadad;background: #adadad;width: "
    "10px;\tsubcontrol-position: left;\tsubcontrol-origin: margin;}"
    " QScrollBar:left-arrow:horizontal, QScrollBar::right-arrow:horizontal {border: 1px solid "
    "grey;width: 3px;height: 3px;background: white;}"
    " QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal {background: none;}";

QString Q(const std::wstring& text) {
    return QString::fromStdWString(text);
}

QStringList OpeningLines(const CExeThread* worker) {
    const QString source = Q(worker->GetSourcePath());
    const QString target = Q(worker->GetTargetPath());
    switch (worker->GetOperation()) {
        case kOpMove:
            return {QStringLiteral("Performing the move..."), QStringLiteral("Move to:") + target};
        case kOpBackUpGames:
            return {QStringLiteral("Start backing up Oculus games and configurations..."),
                    QStringLiteral("Target location:") + target};
        case kOpBackUpInstallDir:
            return {QStringLiteral("Start backing up Oculus installation directory..."),
                    QStringLiteral("Target location:") + target};
        case kOpRestoreGames:
            return {QStringLiteral("Start restoring Oculus games and configurations..."),
                    QStringLiteral("Source path:") + source};
        case kOpRestoreInstallDir:
            return {QStringLiteral("Start restoring Oculus installation directory..."),
                    QStringLiteral("Source path:") + source,
                    QStringLiteral("Target location:") + target};
        case kOpFinishMove:
            return {QStringLiteral("Finishing the interrupted move..."),
                    QStringLiteral("Move to:") + target};
        case kOpPutBack:
            return {QStringLiteral("Putting back the interrupted move..."),
                    QStringLiteral("Source path:") + source};
        case kOpContinue:
            return {QStringLiteral("Continuing the interrupted move..."),
                    QStringLiteral("Source path:") + source, QStringLiteral("Move to:") + target};
        case kOpRepoint:
            return {QStringLiteral("Pointing the links at the games' new place..."),
                    QStringLiteral("Move to:") + target};
        case kOpMoveBack:
            return {QStringLiteral("Moving the games back..."), QStringLiteral("From:") + target,
                    QStringLiteral("Back to:") + source};
        case kOpCheck:
            return {
                QStringLiteral("Checking the games: every moved file read back from its drive..."),
                QStringLiteral("Games in:") + target};
        default:
            return {};
    }
}

// A lone root separator stays: "/" is a folder, "" is none.
std::wstring Trimmed(const std::wstring& path) {
    return sys::WithoutTrailingSeparators(path, 1);
}

// The folder that really held "Software" before the move. It is data left over only when
// "Software" was a link made by an earlier move: then it is that move's "Oculus game" folder.
// Otherwise it is the base folder itself, which now holds the links to the moved data, or the
// parent of a link made by other means, which may hold anything; neither may be named for
// deletion, nor a folder that holds the data just moved. When in doubt, nothing is named.
QString LeftOverInstallDir(const CExeThread* worker) {
    const std::wstring resolved = Trimmed(worker->GetResolvedInstallDir());
    const std::wstring base = Trimmed(worker->GetSourcePath());
    if (resolved.empty() || base.empty() || sys::SamePathSpelling(resolved, base)) return {};
    static const QRegularExpression kEarlierMoveFolder(QStringLiteral("^Oculus game(\\(1\\))*$"));
    if (!kEarlierMoveFolder.match(QFileInfo(Q(resolved)).fileName()).hasMatch()) return {};
    const std::wstring moved = Trimmed(worker->GetTargetPath());
    if (sys::SamePathSpelling(moved, resolved) ||
        sys::SamePathSpelling(moved.substr(0, resolved.size() + 1), resolved + sys::kSep)) {
        return {};
    }
    const QString realBase = QFileInfo(Q(base)).canonicalFilePath();
    if (realBase.isEmpty()) return {};
    if (sys::SamePathSpelling(resolved,
                              Trimmed(QDir::toNativeSeparators(realBase).toStdWString()))) {
        return {};
    }
    return Q(resolved);
}

// Texts kept word for word, spelling and missing blanks included: users and guides quote them.
const QString kServicesNotStarted = QStringLiteral(
    "Move succeeded but StartService failed. Please right click on \"Taskbar\" and select "
    "\"Task Manager\", and then maually start \"OVRService\" and \"OVRLibraryService\" in the "
    "\"Services\" tab.");
const QString kMoveFailed = QStringLiteral(
    "Failed to move. Please restart your computer and try again. If the problem still exists, "
    "please contact us.");
const QString kDriveGaveOtherData = QStringLiteral(
    "Move undone: the target drive gave back other data than was written, so the copies were "
    "deleted and your folders are where they were.");
// The user's own cancel, put back cleanly, is no failure, and no restart is needed.
const QString kMoveCancelled =
    QStringLiteral("Move cancelled. Everything is as it was before the move.");
const QString kCancelRefusedText = QStringLiteral(
    "The program is performing last configuration process. Please wait until it is complete.");

// The outcome of finishing or putting back an interrupted move, or of re-pointing the links.
// Whatever failed, the journal stays, and the next start looks again. Success says what it did,
// since a bare "Successful operation." after a put back reads as a move that succeeded.
QString RecoveryMessage(const CExeThread* worker) {
    const int32_t operation = worker->GetOperation();
    const bool finish = operation == kOpFinishMove;
    const QString base = Q(Trimmed(worker->GetSourcePath()));
    const QString copies = Q(Trimmed(worker->GetTargetPath()));
    const bool back = worker->IsMovingBack();
    switch (worker->GetResult()) {
        case kCodeOk:
            if (back) {
                return finish ? QStringLiteral(
                                    "Moved back: Software and Downloads are in %1 again; the "
                                    "moved folders were deleted; the Oculus services run again.")
                                    .arg(base)
                              : QStringLiteral(
                                    "Moving back undone: the games are still in %1, where the "
                                    "links lead; the partial copy was deleted; the Oculus "
                                    "services run again.")
                                    .arg(copies);
            }
            if (operation == kOpRepoint) {
                return QStringLiteral(
                           "Links re-pointed: Software and Downloads in %1 now lead to "
                           "%2; the Oculus services run again.")
                    .arg(base, copies);
            }
            return finish ? QStringLiteral(
                                "Move finished: Software and Downloads are in %1; the "
                                "original folders were deleted; the Oculus services "
                                "run again.")
                                .arg(copies)
                          : QStringLiteral(
                                "Move undone: Software and Downloads are back in %1; "
                                "the partial copy was deleted; the Oculus services "
                                "run again.")
                                .arg(base);
        case kCodeServicesNotStarted:
            return QStringLiteral(
                "The Oculus folders are in order, but StartService failed. Please start "
                "\"OVRService\" and \"OVRLibraryService\" by hand, or restart Halvex to try "
                "again.");
        case kCodeRecoveryRefused:
            return QStringLiteral(
                "The Oculus folders changed since Halvex looked at them, so it did nothing. "
                "Please restart Halvex.");
        case kCodeCopyLeft:
            return QStringLiteral(
                       "Move undone: Software and Downloads are back in %1; the Oculus services "
                       "run again. Files that are not part of them were left in %2: look at "
                       "them, and delete the folder when you no longer need them.")
                .arg(base, Q(worker->GetRecoveryHeld().first));
        case kCodeCopyCorrupt:
            return QStringLiteral(
                       "Halvex stopped before deleting anything: the target drive gives back "
                       "other data for %1 than was written. It may be failing, or be a fake that "
                       "holds less than it claims. The original folders are kept in %2.")
                .arg(Q(worker->GetRecoveryHeld().first), base);
        case kCodeInUse:
            if (!worker->GetRecoveryHeld().first.empty()) {
                const auto [file, program] = worker->GetRecoveryHeld();
                return QStringLiteral(
                           "Halvex stopped before deleting anything: %1 is in use by %2. Nothing "
                           "is lost. Please close %2, then restart Halvex to finish.")
                    .arg(Q(file), program.empty() ? QStringLiteral("a program") : Q(program));
            }
            [[fallthrough]];
        default:
            if (operation == kOpRepoint) {
                return QStringLiteral(
                    "Failed to re-point the links. Nothing is lost. Please restart Halvex to try "
                    "again.");
            }
            if (back) {
                return finish ? QStringLiteral(
                                    "Failed to finish moving back. Nothing is lost. Please "
                                    "restart Halvex to try again.")
                              : QStringLiteral(
                                    "Failed to undo moving back. Nothing is lost. Please restart "
                                    "Halvex to try again.");
            }
            return finish ? QStringLiteral(
                                "Failed to finish the interrupted move. Nothing is lost. Please "
                                "restart Halvex to try again.")
                          : QStringLiteral(
                                "Failed to put back the interrupted move. Nothing is lost. "
                                "Please restart Halvex to try again.");
    }
}

// A move back's line in the log: the closing words below it tell the rest.
QString MoveBackMessage(const CExeThread* worker) {
    const QString base = Q(Trimmed(worker->GetSourcePath()));
    const QString moved = Q(Trimmed(worker->GetTargetPath()));
    switch (worker->GetResult()) {
        case kCodeOk:
        case kCodeServicesNotStarted:
            return QStringLiteral("Moved back: Software and Downloads are in %1 again.").arg(base);
        case kCodeOldDataLeft:
            return QStringLiteral(
                       "Moved back: Software and Downloads are in %1 again; some of %2 is left.")
                .arg(base, moved);
        default:
            return worker->IsRollbackClean()
                       ? QStringLiteral("Not moved back: the games are still in %1.").arg(moved)
                       : QStringLiteral(
                             "Not moved back, and not every link could be put back: please "
                             "restart Halvex to put it in order.");
    }
}

// The move is done, but the old data could not all be removed: the user deletes it by hand.
QString OldDataLeftMessage(const CExeThread* worker) {
    QString text = QStringLiteral("Operation succeeded. Please manually delete ");
    const QString leftOver = LeftOverInstallDir(worker);
    if (!leftOver.isEmpty()) text += leftOver + QStringLiteral(",");
    return text + Q(worker->GetParkedFirst()) + QStringLiteral(",") + Q(worker->GetParkedSecond()) +
           QStringLiteral(".");
}

// The rollback could not give the folders their names back: the user renames them by hand.
QString RestoreFailedMessage(const CExeThread* worker) {
    return QStringLiteral("Restore failed. Please manually change ") +
           Q(worker->GetParkedSecond()) + QStringLiteral("to\"Software\"") +
           QStringLiteral("change ") + Q(worker->GetParkedFirst()) +
           QStringLiteral("to\"Downloads\"") + QStringLiteral("and then delete ") +
           Q(worker->GetTargetPath()) + QStringLiteral(".");
}

}  // namespace

CProgressWgt::CProgressWgt(QWidget* parent, CExeThread* worker)
    : QDialog(parent, Qt::WindowFlags()), thread(worker), title(tr("Progress")) {
    setFixedSize(400, kPageHeight);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(kFramelessFlags);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 30, 5, 5);

    progressBar = new QProgressBar(this);
    progressBar->setFixedHeight(15);
    progressBar->setStyleSheet(QLatin1String(kBarStyle));

    logView = new QTextEdit(this);
    logView->setReadOnly(true);
    logView->setFixedHeight(kLogHeight);
    logView->setStyleSheet(QLatin1String(kLogStyle));
    SpaceLines(logView);
    logView->verticalScrollBar()->setStyleSheet(QLatin1String(kVerticalBarStyle));
    logView->horizontalScrollBar()->setStyleSheet(QLatin1String(kHorizontalBarStyle));

    button = new QPushButton(QStringLiteral("OK"));
    button->setObjectName(QStringLiteral("normalbtn"));
    button->setEnabled(true);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(0, 0, 0, 0);
    buttonRow->addStretch();
    buttonRow->addWidget(button);

    spareLabel = new QLabel;
    statusLabel = new QLabel;
    // The step and its numbers, why Cancel is unavailable, and at the end the closing words:
    // several lines, which a person may want to copy (a path, the log's place).
    statusLabel->setWordWrap(true);
    statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Room for two lines from the start: the step and its numbers wrap now and then during a
    // copy, and a page that grew and re-centred with them would jump under the pointer.
    // Measured on two lines of the label's own rich text: the platform's text layout adds its
    // own margins to the line height.
    statusLabel->setText(SpacedText(QStringLiteral("Xg\nXg"), statusLabel->font()));
    statusLabel->setMinimumHeight(statusLabel->heightForWidth(300));
    statusLabel->clear();

    layout->addSpacing(20);
    layout->addWidget(progressBar);
    layout->addSpacing(10);
    layout->addWidget(logView);
    layout->addStretch();
    layout->addWidget(spareLabel);
    layout->addWidget(statusLabel);
    layout->addLayout(buttonRow);
    layout->addSpacing(10);
    setFixedSize(width(), std::max(kPageHeight, layout->totalHeightForWidth(width())));

    // Read now, before the worker exists, rather than when started() arrives: by then the
    // worker may already be changing these paths.
    openingLines = OpeningLines(thread);
    // Owned by this dialog: owned by the main window, a window manager would raise the main
    // window above this dialog with it, and the move would look finished.
    thread->SetCancelRefusedNotice(
        [this] { ui::ShowMessageBox(kCancelRefusedText, ui::kMbOkInfo, this); });
    thread->SetStatusSink([](const std::wstring& status) {
        emit g_uiCallBack.sigLogPrint(kPrintStatus, QString::fromStdWString(status));
    });

    timer.setInterval(500);
    connect(&timer, &QTimer::timeout, this, &CProgressWgt::OnProgressTimer);
    connect(thread, &QThread::finished, this, &CProgressWgt::OnThreadFinish);
    connect(thread, &QThread::started, this, &CProgressWgt::OnThreadStart);
    connect(button, &QPushButton::clicked, this, &CProgressWgt::onBtnOk);
    connect(&g_uiCallBack, &CUiCallBack::sigLogPrint, this, &CProgressWgt::OnPrintLog);
    ui::EnableFramelessDrag(this);
}

CProgressWgt::~CProgressWgt() {
    disconnect(&g_uiCallBack, &CUiCallBack::sigLogPrint, this, &CProgressWgt::OnPrintLog);
}

// Each line also goes to standard output as a developer diagnostic, for a console if one is
// attached and for scripts that drive the program.
void CProgressWgt::AppendLine(const QString& line) {
    logView->append(line);
    std::printf("halvex: %s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

void CProgressWgt::OnChickMinBtn() {
    showMinimized();
}

void CProgressWgt::OnThreadStart() {
    button->setText(QStringLiteral("Cancel"));
    timer.start();
    for (const QString& line : openingLines)
        AppendLine(line);
    OnProgressTimer();
}

void CProgressWgt::OnProgressTimer() {
    const float percent = static_cast<float>(thread->GetProgress() * 100.0);
    progressBar->setValue(static_cast<int>(percent));
    // Cancel works only where the move can still be rolled back as a failed copy; elsewhere the
    // status line says why the button is unavailable.
    if (!thread->isRunning() || cancelRequested) return;
    const bool cancellable = thread->CanCancel();
    button->setEnabled(cancellable);
    // Cancel takes the focus each time it becomes possible, so that Space and Enter reach it.
    if (cancellable && !cancelOffered) button->setFocus(Qt::OtherFocusReason);
    cancelOffered = cancellable;
}

void CProgressWgt::OnThreadFinish() {
    button->setText(QStringLiteral("OK"));
    timer.stop();
    const QString message = FinalMessage();
    AppendLine(message);
    // A recovery's and a re-pointing's message are their own closing words: the status line
    // ends with them, as a move's ends with its own.
    const int32_t operation = thread->GetOperation();
    if (operation == kOpFinishMove || operation == kOpPutBack || operation == kOpRepoint) {
        OnPrintLog(kPrintStatus, message);
    }
    // Full where the data now lives at the target; empty where everything was put back.
    const int32_t result = thread->GetResult();
    const bool moved = result == kCodeOk || result == kCodeServicesNotStarted ||
                       result == kCodeOldDataLeft || thread->GetOperation() == kOpCheck;
    progressBar->setValue(moved ? 100 : 0);
    if (thread->IsCreateDirFailed()) {
        AppendLine(QStringLiteral(
            "Failed to create directory. Please re-select a target location and try again. "));
    }
    // The status line keeps the closing words, which the worker posted before it finished.
    button->setEnabled(true);
    button->setFocus(Qt::OtherFocusReason);  // Enter or Space closes the page, as on Windows
    finishShown = true;
}

QString CProgressWgt::FinalMessage() const {
    const int32_t operation = thread->GetOperation();
    if (operation == kOpFinishMove || operation == kOpPutBack || operation == kOpRepoint) {
        return RecoveryMessage(thread);
    }
    if (operation == kOpMoveBack) return MoveBackMessage(thread);
    if (operation == kOpCheck) {
        return thread->GetResult() == kCodeOk && !thread->GetLibraryReport().Faulty()
                   ? QStringLiteral("Check finished: the games are whole.")
                   : QStringLiteral("Check finished: see below.");
    }
    switch (thread->GetResult()) {
        case kCodeOk:
            return QStringLiteral("Successful operation.");
        case kCodeServicesNotStarted:
            return kServicesNotStarted;
        case kCodeOldDataLeft:
            return OldDataLeftMessage(thread);
        case kCodeCancelled:
            if (thread->WasCancelled() && thread->IsRollbackClean()) return kMoveCancelled;
            [[fallthrough]];
        case kCodeCopyCorrupt:
            // A restart does not mend a drive: the status line names the file and the drive.
            if (thread->GetResult() == kCodeCopyCorrupt && thread->IsRollbackClean()) {
                return kDriveGaveOtherData;
            }
            [[fallthrough]];
        default:  // failed, or a cancel the rollback could not finish: the rollback tells which
            return thread->IsRollbackClean() ? kMoveFailed : RestoreFailedMessage(thread);
    }
}

void CProgressWgt::onBtnOk() {
    if (thread->isRunning()) {
        if (thread->RequestCancel() == kCancelRefused) {
            // The copy ended as the button was pressed: the worker has told the user why, and
            // the move can no longer be cancelled.
            button->setEnabled(false);
            return;
        }
        cancelRequested = true;
        button->setEnabled(false);
        AppendLine(thread->GetOperation() == kOpMoveBack
                       ? QStringLiteral("Cancelled. Putting everything back as it was...")
                       : QStringLiteral("Task cancelled. Restoring to the state before move..."));
        return;
    }
    if (WorkerBusy()) return;  // ended, but its result is not shown yet
    done(1);
}

void CProgressWgt::OnPrintLog(int opType, QString str) {
    switch (opType) {
        case kPrintLogLineFinal:
            button->setEnabled(false);
            [[fallthrough]];
        case kPrintLogLine:
            if (!str.isEmpty()) AppendLine(str.trimmed());
            break;
        case kPrintStatus:
            statusLine = str.trimmed();
            statusLabel->setText(
                SpacedText(ui::PathsWrappedAtSeparators(statusLine), statusLabel->font()));
            MakeRoomForStatus();
            break;
        default:
            break;
    }
}

// The closing words may need more lines than the page leaves below the log view: the page grows
// downwards by what they need, and keeps its place over the main window. It never shrinks back,
// so a status line that wraps and unwraps moves nothing. The log view keeps its height, so that
// its lines stay whole and its first one in sight.
void CProgressWgt::MakeRoomForStatus() {
    const int needed = std::max(height(), layout()->totalHeightForWidth(width()));
    if (needed == height()) return;
    setFixedSize(width(), needed);
    if (isVisible()) CenterOnMainWnd(this);
}

bool CProgressWgt::WorkerBusy() const {
    return thread->isRunning() || (thread->isFinished() && !finishShown);
}

// A close request from the window system reaches reject() (QDialog::closeEvent ignores the
// close while the dialog stays open): refused while the worker runs, and after the end it does
// what the button does.
void CProgressWgt::reject() {
    if (WorkerBusy()) return;
    done(1);
}

void CProgressWgt::keyPressEvent(QKeyEvent* event) {
    // Escape presses Cancel while a cancel is possible, as in Explorer's copy dialog. Every other
    // key is swallowed: Escape must not reject, Enter must not press a default button.
    if (event->key() == Qt::Key_Escape && thread->isRunning() && !cancelRequested &&
        cancelOffered && button->isEnabled()) {
        onBtnOk();
    }
}

void CProgressWgt::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRect(0, 0, width(), height()), Qt::white);
    painter.drawPixmap(QRect(0, 0, width(), 30),
                       Picture(QStringLiteral(":/res/main_top.png"), devicePixelRatioF()));
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(QRect(15, 8, width() - 100, 50), Qt::AlignLeft | Qt::AlignTop, title);
    DrawWindowFrame(painter, width(), height());
}

void CProgressWgt::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnMainWnd(this);
}

#ifdef Q_OS_WIN
bool CProgressWgt::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    return ui::HitTestCaption(this, eventType, message, result) ||
           QDialog::nativeEvent(eventType, message, result);
}
#endif
