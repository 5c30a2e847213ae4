#include "ui/COculusInstallWgt.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>
#include <string>

#include "Vr/CExeThread.h"
#include "Vr/IArSet.h"
#include "ground/ResultCodes.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/volume.h"
#include "ui/CProgressWgt.h"
#include "ui/bridges.h"
#include "ui/uishell.h"
#include "ui/volumecheck.h"
#include "ui/winlook.h"

namespace {

const QString kNoSource = QStringLiteral("Failed to detect Oculus installation directory.");

const char* const kEditStyle =
    "QLineEdit{border: 1px solid #0078d7; background: 0xffffff; "
    "selection-background-color:0x3399ff;padding: 3 1px;}QLineEdit:read-only{background: "
    "#e1e1e1;}";

// The refusals, word for word as users know them: trailing blanks and "directory.If" included.
const QString kM1 = QStringLiteral("Please choose target folder.");
const QString kM2 =
    QStringLiteral("The specified target path doesn't exist. Please re-select and try again.");
const QString kM3 =
    QStringLiteral("The specified target path is not a folder. Please re-select and try again.");
const QString kM4 = QStringLiteral(
    "Oculus can be only moved to hard drives or flash memory cards. Please re-select a target "
    "location. ");
const QString kM5 = QStringLiteral(
    "Oculus can be only moved to partitions formatted with NTFS or exFAT. Please re-select a "
    "target location.");
const QString kM6 = QStringLiteral(
    "Not enough space on target drive, please re-select a drive with enough free space and try "
    "again.");
const QString kM7 = QStringLiteral(
    "Unable to choose the directory where games locate as target location, please re-select "
    "another location.");
const QString kM8 = QStringLiteral(
    "Cannot move to the target location. Please re-select another target location and try "
    "again.");
const QString kM9 = QStringLiteral(
    "Initialization failed. Please confirm \"Game directory\" is the correct Oculus installation "
    "directory.If you have any questions, please contact us.");
const QString kM11 = QStringLiteral(
    "Unable to move Oculus to its current installation directory. Please re-select a target "
    "location. ");
const QString kM12 = QStringLiteral(
    "The target location cannot be Oculus installation directory, please choose another "
    "location.");
const QString kQ1 = QStringLiteral(
    "Are you sure you want to move Oculus to a removable device? Oculus won't work if the "
    "removable device is removed. ");
#ifdef Q_OS_WIN
const QString kSameVolume = QStringLiteral(
    "The target location is on the same drive as the Oculus installation. Moving Oculus there "
    "frees no space on %1. Move anyway?");
#else
const QString kSameVolume = QStringLiteral(
    "The target location is on the same file system as the Oculus installation. Moving Oculus "
    "there frees no space on %1. Move anyway?");
#endif
// Only where the system lets a program look into its own user's programs alone (Linux).
const QString kUncheckedPrograms = QStringLiteral(
    "%1 programs of other users could not be checked for files they keep open in the Oculus "
    "folders. If one of them holds a game file open, what it writes after the move is lost. To "
    "check them too, close Halvex and start it as root (for example with sudo); the log names "
    "these programs. Move anyway?");

// An interrupted move: start-up's offer, and the page's refusal until it is finished or put back.
const QString kRecoverFinish = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders. The copies in %1 are complete, and "
    "the old data is still in %2. Finish the move now?");
const QString kRecoverFinishLinked = QStringLiteral(
    "Halvex was stopped at the end of a move. The Oculus folders are in %1 already. Finish the "
    "move now?");
const QString kRecoverPutBack = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders, before the copies were complete. "
    "The data is in %1. Put it back now?");
const QString kRecoverPutBackUnmoved = QStringLiteral(
    "Halvex was stopped at the start of a move, before it moved the Oculus folders. Put "
    "everything back as it was now?");
const QString kRecoverRefused = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders, and cannot finish or undo that move "
    "safely, so it leaves everything as it is. Where the data is: %1. Please put the folders in "
    "order by hand.");
const QString kRecoverDeleteJournal = QStringLiteral(" Then delete %1.");
const QString kRecoverLookFailed = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders, but cannot look at them now. Please "
    "restart Halvex to try again.");
const QString kUnfinishedMove = QStringLiteral(
    "A move that was stopped is not finished or put back yet. Please restart Halvex to deal "
    "with it first.");

QString JoinPaths(const std::vector<std::wstring>& paths) {
    QStringList list;
    for (const std::wstring& path : paths)
        list << QString::fromStdWString(path);
    return list.join(QStringLiteral(", "));
}

// The words for what start-up found; the question for an action ends the text.
QString RecoveryText(const RecoveryPlan& plan) {
    const QString copies = QString::fromStdWString(plan.CopiesFolder());
    const std::vector<std::wstring> parked = plan.ParkedFolders();
    switch (plan.action) {
        case RecoveryAction::kFinish:
            return parked.empty() ? kRecoverFinishLinked.arg(copies)
                                  : kRecoverFinish.arg(copies, JoinPaths(parked));
        case RecoveryAction::kPutBack:
            return parked.empty() ? kRecoverPutBackUnmoved : kRecoverPutBack.arg(JoinPaths(parked));
        default: {
            QString text = kRecoverRefused.arg(QString::fromStdWString(plan.why));
            if (plan.journalFound) {
                text += kRecoverDeleteJournal.arg(QString::fromStdWString(plan.journalPath));
            }
            return text;
        }
    }
}

// The message for a refusal of the engine's target check; empty when the target fits.
QString EngineRefusal(int32_t code) {
    switch (code) {
        case kTargetTooSmall:
            return kM6;
        case kTargetInsideSource:
            return kM7;
        case kTargetRefused:
            return kM8;
        case kTargetQueryFailed:
            return kM9;
        default:
            return {};
    }
}

QString ResolveSource() {
    std::wstring source;
    GetEngine()->ResolveSourceDir(source);
    return QString::fromStdWString(source);
}

// The question for a target on the volume that holds the source, naming that volume as a
// person knows it ("C:", a mount folder, a mount point); empty when the volumes differ or
// cannot be told apart.
QString SameVolumeQuestion(const QString& source, const QString& target) {
    bool same = false;
    std::wstring root;
    if (!sys::QuerySameVolume(source.toStdWString(), target.toStdWString(), same) || !same ||
        !sys::GetVolumePathNameW(source.toStdWString(), root)) {
        return {};
    }
    QString name = QString::fromStdWString(root);
    while (name.size() > 1 && (name.back() == u'\\' || name.back() == u'/'))
        name.chop(1);
    return kSameVolume.arg(name);
}

bool AcceptedFileSystem(FsKind kind) {
    return kind == FsNtfs || kind == FsExFat || kind == FsNative;
}

// The engine's tidy form of an absolute target (".", "..", doubled and trailing separators
// gone), so that the page judges and moves to the place the links will name.
QString TidyTarget(const QString& target) {
    if (!sys::IsAbsolutePath(target.toStdWString())) return target;
    const std::wstring tidy = GetEngine()->TidyTargetPath(target.toStdWString());
    return tidy.empty() ? target : QString::fromStdWString(tidy);
}

// Browsed and typed targets alike: inside the base folder by its registered spelling, or by
// what the engine sees through links, ".." and bind mounts.
bool InsideBase(const QString& target, const std::wstring& base) {
    if ((target + QDir::separator()).contains(QString::fromStdWString(base))) return true;
    return GetEngine()->IsInsideBase(target.toStdWString());
}

}  // namespace

void AnnounceSourceDir() {
    const QString source = ResolveSource();
    g_notifyStateChange.NotifySourcePath(source.isEmpty() ? kNoSource : source);
}

COculusInstallWgt::COculusInstallWgt(QWidget* parent) : QWidget(parent, Qt::WindowFlags()) {
    setStyleSheet(QLatin1String(kNormalButtonStyle) + QLatin1String(kEditStyle) +
                  QLatin1String(kNormalButtonFocusStyle) + QLatin1String(kEditFocusStyle));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 5, 0);

    noteLabel = new QLabel;
    noteLabel->setWordWrap(true);
    auto* noteRow = new QHBoxLayout;
    noteRow->addSpacing(10);
    noteRow->addWidget(noteLabel);

    sourceEdit = new QLineEdit;
    sourceEdit->setReadOnly(true);
    auto* sourceLabel = new QLabel(QStringLiteral("Source Location:"));
    sourceLabel->setFixedWidth(100);
    sourceLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    sourceLabel->setBuddy(sourceEdit);
    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(sourceLabel);
    sourceRow->addWidget(sourceEdit);

    targetEdit = new QLineEdit;
    browseBtn = new QPushButton(tr("..."));
    browseBtn->setObjectName(QStringLiteral("normalbtn"));
    // A screen reader would read the button's text out as dots.
    browseBtn->setAccessibleName(QStringLiteral("Browse for target folder"));
    browseBtn->setToolTip(QStringLiteral("Choose the target folder"));
    auto* targetLabel = new QLabel(QStringLiteral("Target Location:"));
    targetLabel->setFixedWidth(100);
    targetLabel->setFixedHeight(20);
    targetLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    targetLabel->setBuddy(targetEdit);
    auto* targetRow = new QHBoxLayout;
    targetRow->addWidget(targetLabel);
    targetRow->addWidget(targetEdit);
    targetRow->addWidget(browseBtn);

    startBtn = new QPushButton(QStringLiteral("Start Move"));
    startBtn->setObjectName(QStringLiteral("normalbtn"));
    auto* startRow = new QHBoxLayout;
    startRow->setContentsMargins(0, 0, 0, 0);
    startRow->addStretch();
    startRow->addWidget(startBtn);

    layout->addSpacing(10);
    layout->addLayout(noteRow);
    layout->addSpacing(10);
    layout->addLayout(sourceRow);
    layout->addSpacing(15);
    layout->addLayout(targetRow);
    layout->addSpacing(20);
    layout->addLayout(startRow);
    layout->addStretch();

    const QString source = ResolveSource();
    const bool found = !source.isEmpty();
    browseBtn->setEnabled(found);
    startBtn->setEnabled(found);
    targetEdit->setEnabled(found);
    sourceEdit->setText(found ? source : kNoSource);

    connect(browseBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickSelDestPathBtn);
    connect(startBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickStartBtn);
    // Enter in the target field is "Start Move"; the page lies in a plain window, which has no
    // default button to take it.
    connect(targetEdit, &QLineEdit::returnPressed, startBtn, &QPushButton::click);
    // The target is what a person comes to give: the window's first focus goes there.
    setFocusProxy(targetEdit);
    connect(&g_notifyStateChange, &CNotifyStateChange::sigVrSourcePathChange, this,
            &COculusInstallWgt::OnVrInstallDirChange);
}

COculusInstallWgt::~COculusInstallWgt() = default;

void COculusInstallWgt::OnVrInstallDirChange(QString qstr) {
    sourceEdit->setText(qstr);
}

void COculusInstallWgt::OnChickSelDestPathBtn() {
    QString chosen =
        ui::GetExistingDirectory(this, tr(""), QStringLiteral("/home"),
                                 QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (chosen.isEmpty()) return;
    chosen = QDir::toNativeSeparators(chosen);

    std::wstring base;
    if (!ResolveSource().isEmpty()) GetEngine()->LoadInstallPaths(base);
    if (base.empty()) {
        sourceEdit->setText(kNoSource);
        ui::ShowMessageBox(kNoSource);
        return;
    }
    chosen = TidyTarget(chosen);
    if (InsideBase(chosen, base)) {
        ui::ShowMessageBox(kM12);
        return;
    }
    const QString refusal = EngineRefusal(GetEngine()->CheckTargetDir(chosen.toStdWString()));
    if (!refusal.isEmpty()) {
        ui::ShowMessageBox(refusal);
        chosen.clear();
    }
    targetEdit->setText(chosen);
}

QString COculusInstallWgt::RefusalOfTarget(const QString& target, QString& source) {
    if (target.isEmpty()) return kM1;
    // A relative or drive-relative path would be judged on one volume and written on another.
    if (!sys::IsAbsolutePath(target.toStdWString())) return kM2;
    const uint32_t attributes = sys::GetFileAttributesW(target.toStdWString());
    if (attributes == sys::kInvalidFileAttributes) return kM2;
    if (!(attributes & sys::kAttrDirectory)) return kM3;
    if (!IsHardDiskOrFlash(target)) return kM4;
    if (!AcceptedFileSystem(GetFileSystemKind(target))) return kM5;
    const QString refusal = EngineRefusal(GetEngine()->CheckTargetDir(target.toStdWString()));
    if (!refusal.isEmpty()) return refusal;
    source = ResolveSource();
    if (source.isEmpty()) return kNoSource;
    NormalizePath(source);
    if (!IsTargetApartFromSource(source, target)) return kM11;
    // What the browse button refuses is refused when typed, too.
    std::wstring base;
    GetEngine()->LoadInstallPaths(base);
    if (!base.empty() && InsideBase(target, base)) return kM12;
    return {};
}

void COculusInstallWgt::OfferRecovery() {
    IArSet* engine = GetEngine();
    if (!engine->HasUnfinishedMove()) return;
    RecoveryPlan plan;
    if (engine->AssessRecovery(plan) != 0) {
        ui::ShowMessageBox(kRecoverLookFailed);
        return;
    }
    const QString text = RecoveryText(plan);
    switch (plan.action) {
        case RecoveryAction::kNothing:
            return;
        case RecoveryAction::kRefuse:
            ui::ShowMessageBox(text);
            return;
        case RecoveryAction::kFinish:
            if (ui::AskAction(text, QStringLiteral("Finish")) != ui::kIdYes) return;
            RunWorker(kOpFinishMove, plan.CopiesFolder(), plan.record.base);
            return;
        case RecoveryAction::kPutBack:
            if (ui::AskAction(text, QStringLiteral("Put back")) != ui::kIdYes) return;
            RunWorker(kOpPutBack, plan.CopiesFolder(), plan.record.base);
            return;
    }
}

void COculusInstallWgt::OnChickStartBtn() {
    // A move on top of one that was stopped would bury it (the engine refuses it too).
    if (GetEngine()->HasUnfinishedMove()) {
        ui::ShowMessageBox(kUnfinishedMove);
        return;
    }
    QString target = TidyTarget(targetEdit->text().trimmed());
    NormalizePath(target);
    QString source;
    const QString refusal = RefusalOfTarget(target, source);
    if (!refusal.isEmpty()) {
        ui::ShowMessageBox(refusal);
        return;
    }
    // Asked after every refusal, so that no question comes before a target that fails anyway,
    // and before the removable-device question: a move that frees nothing is the more basic
    // objection, and a No to it spares the second question.
    const QString sameVolume = SameVolumeQuestion(source, target);
    if (!sameVolume.isEmpty() && ui::ShowMessageBox(sameVolume, ui::kMbYesNoInfo) != ui::kIdYes) {
        return;
    }
    if (IsUsbDevice(target) && ui::ShowMessageBox(kQ1, ui::kMbYesNoInfo) != ui::kIdYes) {
        return;
    }
    // Last: the move's own in-use check runs only once the services are stopped.
    if (const size_t unchecked = GetEngine()->CountUncheckedPrograms();
        unchecked != 0 &&
        ui::ShowMessageBox(kUncheckedPrograms.arg(unchecked), ui::kMbYesNoInfo) != ui::kIdYes) {
        return;
    }
    RunWorker(kOpMove, target.toStdWString(), {});
}

void COculusInstallWgt::RunWorker(int32_t operation, const std::wstring& target,
                                  const std::wstring& source) {
    auto thread = std::make_unique<CExeThread>(GetEngine());
    thread->SetOperation(operation);
    thread->SetTargetPath(target);
    thread->SetSourcePath(source);
    auto progress = std::make_unique<CProgressWgt>(this, thread.get());
    thread->start(QThread::InheritPriority);
    progress->exec();
    AnnounceSourceDir();
    targetEdit->setText(QString());
    progress.reset();  // the page first, then the worker it points at
    thread.reset();
}
