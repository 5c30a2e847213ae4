#include "ui/COculusInstallWgt.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "Vr/CExeThread.h"
#include "Vr/IArSet.h"
#include "ground/ResultCodes.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/units.h"
#include "platform/volume.h"
#include "ui/CProgressWgt.h"
#include "ui/bridges.h"
#include "ui/pathtext.h"
#include "ui/uishell.h"
#include "ui/volumecheck.h"
#include "ui/winlook.h"

namespace {

using ui::PathText;

const QString kNoSource = QStringLiteral("Failed to detect Oculus installation directory.");

const char* const kEditStyle =
    "QLineEdit{border: 1px solid #0078d7; background: #ffffff; "
    "selection-background-color: #3399ff;padding: 3 1px;}QLineEdit:read-only{background: "
    "#e1e1e1;}";
// After the rules above: a field that takes typing has the blue frame only while it has the
// keyboard (kEditFocusStyle), and a dark grey one otherwise, as on Windows.
const char* const kEditAtRestStyle = "QLineEdit{border: 1px solid #7a7a7a;}";
// After that: a field that only shows looks unlike the one that takes typing, with a light grey
// frame.
const char* const kReadOnlyEditStyle =
    "QLineEdit:read-only{border: 1px solid #b4b4b4; background: #f0f0f0; color: #333333;}";

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
const QString kInsideMovedGames = QStringLiteral(
    "The target location lies in the folder that holds the moved games now. Please choose a "
    "folder outside it.");
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
// Only where the system lets a program look into its own user's programs alone (Linux). The
// system's own services are named in the log, never here: no one at the computer can judge them.
const QString kUncheckedPrograms = QStringLiteral(
    "%1 of other people signed in to this computer could not be checked for files kept open in "
    "the Oculus folders: what such a program writes to a game file after the move would be lost. "
    "Close their programs first, or start Halvex as root (for example with sudo) to check them; "
    "the log names them. Move anyway?");

QString ProgramsOfOthers(size_t count) {
    return count == 1 ? QStringLiteral("1 program") : QStringLiteral("%1 programs").arg(count);
}

QString FreeText(bool known, uint64_t bytes) {
    return known ? QString::fromStdWString(sys::FormatBytes(bytes)) : QStringLiteral("?");
}

// An interrupted move: start-up's offer, and the page's refusal until it is finished or put back.
const QString kRecoverWhatHappened =
    QStringLiteral("Halvex was stopped while it moved your Oculus games.");
const QString kRecoverFinishSafe = QStringLiteral(
    " Your data is safe: the copies in %1 are complete, and the original folders are still in "
    "%2.");
const QString kRecoverFinishLinkedSafe =
    QStringLiteral(" Your data is safe: it is complete in %1, and the links to it are in place.");
const QString kRecoverFinishDoes = QStringLiteral(
    "\n\nRecommended: Finish the move. Halvex links the Oculus folders to the copies, deletes "
    "the original folders and starts the Oculus services again.");
const QString kRecoverFinishLinkedDoes = QStringLiteral(
    "\n\nRecommended: Finish the move. Halvex deletes what is left of the original folders and "
    "starts the Oculus services again.");
const QString kRecoverPutBackSafe = QStringLiteral(
    " Your data is safe: it is whole in the original folders in %1. The copy in %2 is not "
    "complete.");
const QString kRecoverPutBackUnmovedSafe =
    QStringLiteral(" It had not moved them yet: your data is safe in %1.");
const QString kRecoverPutBackDoes = QStringLiteral(
    "\n\nRecommended: Put back. Halvex deletes the partial copy, gives the original folders "
    "their names back and starts the Oculus services again.");
const QString kRecoverPutBackUnmovedDoes = QStringLiteral(
    "\n\nRecommended: Put back. Halvex deletes what it had begun to copy to %1 and starts the "
    "Oculus services again.");
const QString kRecoverRepoint = QStringLiteral(
    "Halvex was stopped while it pointed the links to your Oculus games at %1. Your data is "
    "safe there.\n\nRecommended: Finish. Halvex points the links there and starts the Oculus "
    "services again.");
// A move stopped while it copied may go on from its copies.
const QString kRecoverContinueSafe = QStringLiteral(
    " Your data is safe: it is whole in the original folders in %1. Before it stopped, %2 of %3 "
    "had been copied to %4; %5 are left to copy.");
const QString kRecoverContinueDoes = QStringLiteral(
    "\n\nRecommended: Continue. Halvex reads back each file it had copied and keeps those that "
    "are whole, copies the rest, links the Oculus folders to the copies, deletes the original "
    "folders and starts the Oculus services again.\n\nPut back deletes the partial copy instead, "
    "gives the original folders their names back and starts the Oculus services again.");
const QString kRecoverContinueOrPutBackDoes = QStringLiteral(
    "\n\nRecommended: Put back. Halvex deletes the partial copy, gives the original folders "
    "their names back and starts the Oculus services again.\n\nContinue keeps each file it had "
    "copied whole, copies the rest and finishes the move.");
const QString kRecoverContinueOnlyDoes = QStringLiteral(
    "\n\nThe partial copy holds a file that differs from its original (%1), so Halvex does not "
    "delete it by putting the move back.\n\nRecommended: Continue. Halvex copies that file "
    "again, keeps each file it had copied whole, copies the rest and finishes the move.");
const QString kContinueLabel = QStringLiteral("Continue");
const QString kRecoverLater = QStringLiteral(
    "\n\nLater leaves everything as it is: until then the Oculus platform cannot find its "
    "games and cannot run.");
#ifdef Q_OS_WIN
// MessageBoxW's buttons are Yes and No: the text says which does what.
const QString kRecoverAskFinish =
    QStringLiteral("\n\nFinish the move now? Yes finishes it; No leaves it for later.");
const QString kRecoverAskPutBack =
    QStringLiteral("\n\nPut everything back now? Yes puts it back; No leaves it for later.");
const QString kRecoverAskFinishBack =
    QStringLiteral("\n\nFinish moving back now? Yes finishes it; No leaves it for later.");
const QString kRecoverAskContinueOrPutBack = QStringLiteral(
    "\n\nContinue the move now? Yes continues it; No puts everything back; Cancel leaves it for "
    "later.");
const QString kRecoverAskContinue =
    QStringLiteral("\n\nContinue the move now? Yes continues it; No leaves it for later.");
#else
const QString kRecoverAskContinueOrPutBack = QString();
const QString kRecoverAskContinue = QString();
const QString kRecoverAskFinish = QString();
const QString kRecoverAskPutBack = QString();
const QString kRecoverAskFinishBack = QString();
#endif
// A stopped move back: the links may still lead to the games, so "Later" costs nothing but time.
const QString kRecoverBackWhatHappened =
    QStringLiteral("Halvex was stopped while it moved your Oculus games back to %1.");
const QString kRecoverBackFinish = QStringLiteral(
    " Your data is safe: its copies in %1 are complete and checked.\n\nRecommended: Finish "
    "moving back. Halvex puts the copies in place of the links, deletes what is left of the "
    "games in %2 and starts the Oculus services again.");
const QString kRecoverBackPutBack = QStringLiteral(
    " Your data is safe in %2, where the links lead; the copy in %1 is not complete.\n\n"
    "Recommended: Put back. Halvex deletes the partial copy in %1 and starts the Oculus services "
    "again; the games stay in %2.");
const QString kRecoverBackLater =
    QStringLiteral("\n\nLater leaves everything as it is; Halvex asks again when it starts.");
const QString kFinishBackLabel = QStringLiteral("Finish moving back");
const QString kRecoverRefused = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders, and cannot finish or undo that move "
    "safely, so it leaves everything as it is. Where the data is: %1. Please put the folders in "
    "order by hand.");
const QString kRecoverDeleteJournal = QStringLiteral(" Then delete %1.");
const QString kRecoverLookFailed = QStringLiteral(
    "Halvex was stopped while it moved the Oculus folders, but cannot look at them now. Please "
    "restart Halvex to try again.");
const QString kUnfinishedMove = QStringLiteral(
    "A move that was stopped is not finished or put back yet. Please deal with it first: the "
    "button left of \"Start Move\" finishes it or puts it back.");

// The note row under the fields: where the platform's data is, or what keeps the platform from
// finding it. Paths are shortened in the middle to fit its few lines; the tooltip has them whole.
const QString kNoteHome = QStringLiteral("Software and Downloads are in %1 (%2 free on %3).");
const QString kNoteMoved = QStringLiteral(
    "Software and Downloads are in %1 (%2 free on %3), linked from %4 (%5 free on %6).");
const QString kMoveBackLabel = QStringLiteral("Move back to %1");
const QString kMoveBackTip = QStringLiteral(
    "Copies Software and Downloads back to %1, checks every byte, puts them in place of the "
    "links and deletes them from %2.");
const QString kMoveBackQuestion = QStringLiteral(
    "Move the games back from %1 to %2?\n\nHalvex stops the Oculus services, copies Software "
    "and Downloads to %2 and checks every byte, puts them in place of the links, deletes them "
    "from %1 and starts the services again. %3 is free on %4; if that is too little, Halvex "
    "says so before it changes anything.");
const QString kNoteStrangeDrive = QStringLiteral(
    "Software and Downloads lead to %1, but the drive at %2 is not the one the games were moved "
    "to. Connect the games' own drive there; until then Halvex changes nothing on this one.");
const QString kNoteWaiting = QStringLiteral(
    "A move was stopped before it was done: the Oculus platform cannot find its games until "
    "the move is finished or put back.");
const QString kNoteWaitingBack = QStringLiteral(
    "Moving the games back was stopped before it was done: finish it, or put it back and leave "
    "the games where they were.");
const QString kNoteWaitingRepoint = QStringLiteral(
    "Pointing the links at the games' new drive was stopped: the Oculus platform cannot find "
    "its games until that is finished.");
const QString kNoteWaitingRefused = QStringLiteral(
    "A move was stopped, and Halvex cannot finish or undo it safely: the Oculus platform cannot "
    "find its games until the folders are put in order by hand. Where the data is: %1.");
const QString kNoteBroken = QStringLiteral("%1 leads nowhere: %2 is missing");
const QString kNoteBrokenBoth =
    QStringLiteral("Software and Downloads lead nowhere: %1 is missing");
const QString kNoteAbsent =
    QStringLiteral(", and its drive %1 is not connected. Connect it and start Halvex again.");
const QString kNoteSamePlace =
    QStringLiteral(". Its drive %1 is there: the folder was renamed or moved.");
// The folder found on the links' drive, where it was, under another name or in another folder:
// one path, the drive first, and the names.
const QString kNoteRenamed = QStringLiteral(
    "%1: in %2, the folder \"%3\" was renamed \"%4\". Name it \"%3\" again, or re-point the "
    "links to it.");
const QString kNoteMovedOnDrive = QStringLiteral(
    "%1: the folder %2 was moved to %3 on its drive. Move it back, or re-point the links to it.");
const QString kNoteLeadNowhere = QStringLiteral("Software and Downloads lead nowhere");
const QString kNoteLeadsNowhere = QStringLiteral("%1 leads nowhere");
const QString kNoteElsewhereRenamed =
    QStringLiteral(". Its drive is now %1, with the folder on it as %2: re-point the links to it.");
const QString kNoteElsewhere = QStringLiteral(". Its drive is now %1, with the games on it.");
const QString kNoteElsewhereMissing =
    QStringLiteral(". Its drive is now %1, but the folder is not on it.");
const QString kNoteUnknown =
    QStringLiteral(". Connect its drive, or give the folder its old name back.");
const QString kNoteCannotLook = QStringLiteral("Halvex cannot look at the Oculus folders now.");
constexpr int kNoteLines = 3;  // what the note has room for above the copyright line
// After the source location while a move waits: the folder it names is not there until then.
const QString kSourceWaiting = QStringLiteral("  (missing until the move is finished or put back)");

std::wstring ParentFolder(const std::wstring& path) {
    const auto cut = sys::LastSeparator(path);
    return cut == std::wstring::npos ? path : path.substr(0, cut);
}

// Continue is recommended where the copies hold the larger share of the bytes, and where putting
// back would delete a copy with other bytes.
bool ContinueRecommended(const RecoveryPlan& plan) {
    return plan.action == RecoveryAction::kContinue ||
           (plan.canContinue && plan.bytesCopied * 2 > plan.bytesInAll);
}

// The words for what start-up found: what happened, that the data is safe and where, what the
// recommended choice does and deletes, and what "Later" means.
QString RecoveryText(const RecoveryPlan& plan) {
    const QString copies = PathText(plan.CopiesFolder());
    const QString base = PathText(sys::WithoutTrailingSeparators(plan.record.base, 1));
    const std::vector<std::wstring> parked = plan.ParkedFolders();
    if (plan.canContinue) {
        const auto bytes = [](uint64_t n) { return QString::fromStdWString(sys::FormatBytes(n)); };
        QString text =
            kRecoverWhatHappened +
            kRecoverContinueSafe.arg(base, bytes(plan.bytesCopied), bytes(plan.bytesInAll), copies,
                                     bytes(plan.bytesInAll - plan.bytesCopied));
        if (plan.action == RecoveryAction::kContinue) {
            std::wstring own;
            for (const FolderFinding& f : plan.folders) {
                if (own.empty()) own = f.own;
            }
            return text + kRecoverContinueOnlyDoes.arg(PathText(own)) + kRecoverLater +
                   kRecoverAskContinue;
        }
        return text +
               (ContinueRecommended(plan) ? kRecoverContinueDoes : kRecoverContinueOrPutBackDoes) +
               kRecoverLater + kRecoverAskContinueOrPutBack;
    }
    if (plan.action != RecoveryAction::kRefuse && plan.record.work == JournalWork::kRepoint) {
        return kRecoverRepoint.arg(copies) + kRecoverLater + kRecoverAskFinish;
    }
    if (plan.action != RecoveryAction::kRefuse && plan.record.work == JournalWork::kBack) {
        const bool finish = plan.action == RecoveryAction::kFinish;
        return kRecoverBackWhatHappened.arg(base) +
               (finish ? kRecoverBackFinish : kRecoverBackPutBack).arg(base, copies) +
               kRecoverBackLater + (finish ? kRecoverAskFinishBack : kRecoverAskPutBack);
    }
    switch (plan.action) {
        case RecoveryAction::kFinish:
            return kRecoverWhatHappened +
                   (parked.empty() ? kRecoverFinishLinkedSafe.arg(copies) + kRecoverFinishLinkedDoes
                                   : kRecoverFinishSafe.arg(copies, base) + kRecoverFinishDoes) +
                   kRecoverLater + kRecoverAskFinish;
        case RecoveryAction::kPutBack:
            return kRecoverWhatHappened +
                   (parked.empty() ? kRecoverPutBackUnmovedSafe.arg(base) +
                                         kRecoverPutBackUnmovedDoes.arg(copies)
                                   : kRecoverPutBackSafe.arg(base, copies) + kRecoverPutBackDoes) +
                   kRecoverLater + kRecoverAskPutBack;
        default: {
            QString text = kRecoverRefused.arg(QString::fromStdWString(plan.why));
            if (plan.journalFound) {
                text += kRecoverDeleteJournal.arg(PathText(plan.journalPath));
            }
            return text;
        }
    }
}

using PathFormat = std::function<QString(const std::wstring&)>;

// The links' drive where it was, and their folder found on it under another name or in another
// folder: which name or place to give back, and the other way, the re-pointing the row offers.
QString RenamedNote(const InstallState& state, const std::vector<const FolderState*>& broken,
                    PathFormat P) {
    const QString head = broken.size() == 1
                             ? kNoteLeadsNowhere.arg(QString::fromStdWString(broken.front()->name))
                             : kNoteLeadNowhere;
    const std::wstring expected = ParentFolder(broken.front()->leadsTo);
    const std::wstring& now = state.renamedTo;
    if (!sys::SamePathSpelling(ParentFolder(expected), ParentFolder(now))) {
        return kNoteMovedOnDrive.arg(head, P(expected), P(now));
    }
    // A folder's name never breaks inside.
    const auto name = [](const std::wstring& path) {
        return PathText(path.substr(sys::LastSeparator(path) + 1));
    };
    return kNoteRenamed.arg(head, P(ParentFolder(expected)), name(expected), name(now));
}

QString BrokenNote(const InstallState& state, PathFormat P) {
    std::vector<const FolderState*> broken;
    for (const FolderState& f : state.folders) {
        if (f.where == FolderState::Where::kBroken) broken.push_back(&f);
    }
    if (state.volume == InstallState::Volume::kSamePlace && !state.renamedTo.empty()) {
        return RenamedNote(state, broken, P);
    }
    const QString leadsTo =
        P(broken.size() == 1 ? broken.front()->leadsTo : ParentFolder(broken.front()->leadsTo));
    QString text = broken.size() == 1
                       ? kNoteBroken.arg(QString::fromStdWString(broken.front()->name), leadsTo)
                       : kNoteBrokenBoth.arg(leadsTo);
    const QString root = P(state.expectedRoot);
    switch (state.volume) {
        case InstallState::Volume::kAbsent:
            return text + kNoteAbsent.arg(root);
        case InstallState::Volume::kSamePlace:
            return text + kNoteSamePlace.arg(root);
        case InstallState::Volume::kElsewhere:
            if (!state.renamedTo.empty()) {
                return text + kNoteElsewhereRenamed.arg(P(state.volumeNowAt), P(state.renamedTo));
            }
            return text + (state.repoint.folders.empty() ? kNoteElsewhereMissing : kNoteElsewhere)
                              .arg(P(state.volumeNowAt));
        default:
            return text + kNoteUnknown;
    }
}

QString MixedNote(const InstallState& state, PathFormat P) {
    QStringList parts;
    for (const FolderState& f : state.folders) {
        const QString name = QString::fromStdWString(f.name);
        switch (f.where) {
            case FolderState::Where::kHome:
                parts << name + QStringLiteral(" is in ") + P(state.base);
                break;
            case FolderState::Where::kLinked:
                parts << name + QStringLiteral(" was moved to ") + P(f.leadsTo);
                break;
            case FolderState::Where::kMissing:
                parts << name + QStringLiteral(" is missing from ") + P(state.base);
                break;
            default:
                parts << P(f.path) + QStringLiteral(" is not a folder");
                break;
        }
    }
    return parts.join(QStringLiteral("; ")) + QStringLiteral(".");
}

QString NoteText(const InstallState& state, PathFormat P) {
    switch (state.kind) {
        case InstallState::Kind::kNotFound:
            return {};
        case InstallState::Kind::kHome:
            return kNoteHome.arg(P(state.base), FreeText(state.baseFreeKnown, state.baseFree),
                                 P(state.baseRoot));
        case InstallState::Kind::kMoved:
            if (state.strangeVolume) {
                return kNoteStrangeDrive.arg(P(state.movedTo), P(state.expectedRoot));
            }
            return kNoteMoved.arg(P(state.movedTo), FreeText(state.movedFreeKnown, state.movedFree),
                                  P(state.movedRoot), P(state.base),
                                  FreeText(state.baseFreeKnown, state.baseFree), P(state.baseRoot));
        case InstallState::Kind::kWaiting:
            if (state.plan.action == RecoveryAction::kRefuse) {
                return kNoteWaitingRefused.arg(QString::fromStdWString(state.plan.why));
            }
            switch (state.plan.record.work) {
                case JournalWork::kRepoint:
                    return kNoteWaitingRepoint;
                case JournalWork::kBack:
                    return kNoteWaitingBack;
                default:
                    return kNoteWaiting;
            }
        case InstallState::Kind::kBroken:
            return BrokenNote(state, P);
        case InstallState::Kind::kMixed:
            return MixedNote(state, P);
    }
    return {};
}

// The first button left of "Start Move", and the worker's operation behind it; kOpMove for
// none.
int32_t NoteAction(const InstallState& state, QString& label) {
    if (state.kind == InstallState::Kind::kWaiting) {
        if (state.plan.action == RecoveryAction::kFinish) {
            label = state.plan.record.work == JournalWork::kRepoint ? QStringLiteral("Finish")
                    : state.plan.record.work == JournalWork::kBack
                        ? kFinishBackLabel
                        : QStringLiteral("Finish the move");
            return kOpFinishMove;
        }
        if (ContinueRecommended(state.plan)) {
            label = kContinueLabel;
            return kOpContinue;
        }
        if (state.plan.action == RecoveryAction::kPutBack) {
            label = QStringLiteral("Put back");
            return kOpPutBack;
        }
    }
    if (state.kind == InstallState::Kind::kBroken && !state.repoint.folders.empty()) {
        label = QStringLiteral("Re-point the links");
        return kOpRepoint;
    }
    if (state.kind == InstallState::Kind::kMoved && !state.strangeVolume) {
        label = QStringLiteral("Check the games");
        return kOpCheck;
    }
    return kOpMove;
}

// The message for a refusal of the engine's target checks; empty when the target fits. style
// gets its box's: the information icon of the first refusals, a warning for those added since.
QString EngineRefusal(int32_t code, uint32_t& style) {
    style = code == kTargetInsideData ? ui::kMbOkWarning : ui::kMbOkInfo;
    switch (code) {
        case kTargetNotGiven:
            return kM1;
        case kTargetMissing:
            return kM2;
        case kTargetNotFolder:
            return kM3;
        case kTargetWrongDrive:
            return kM4;
        case kTargetWrongFileSystem:
            return kM5;
        case kTargetTooSmall:
            return kM6;
        case kTargetInsideSource:
            return kM7;
        case kTargetRefused:
            return kM8;
        case kTargetQueryFailed:
            return kM9;
        case kTargetNoSource:
            return kNoSource;
        case kTargetIsInstallFolder:
            return kM11;
        case kTargetInsideBase:
            return kM12;
        case kTargetInsideData:
            return kInsideMovedGames;
        default:
            return {};
    }
}

// The height of lines wrapped lines of running text in probe's font at width, as a label lays
// them out: short words are added until the text wraps to one line more.
int WrappedLinesHeight(QLabel& probe, int width, int lines) {
    QString text = QStringLiteral("Wg");
    probe.setText(text);
    int height = probe.heightForWidth(width);
    for (int count = 1; text.size() < 20000;) {
        probe.setText(text + QStringLiteral(" Wg"));
        const int more = probe.heightForWidth(width);
        if (more > height && ++count > lines) return height;
        text += QStringLiteral(" Wg");
        height = more;
    }
    return height;
}

QString ResolveSource() {
    std::wstring source;
    GetEngine()->ResolveSourceDir(source);
    return QString::fromStdWString(source);
}

// The question for a target on the volume that holds the source, naming that volume as a
// person knows it ("C:", a mount folder, a mount point); empty when the volumes differ or
// cannot be told apart.
QString SameVolumeQuestion(const TargetVerdict& verdict) {
    if (verdict.sameVolume.empty()) return {};
    return kSameVolume.arg(QString::fromStdWString(verdict.sameVolume));
}

// The engine's tidy form of an absolute target (".", "..", doubled and trailing separators
// gone), so that the page judges and moves to the place the links will name.
QString TidyTarget(const QString& target) {
    if (!sys::IsAbsolutePath(target.toStdWString())) return target;
    const std::wstring tidy = GetEngine()->TidyTargetPath(target.toStdWString());
    return tidy.empty() ? target : QString::fromStdWString(tidy);
}

}  // namespace

void AnnounceSourceDir() {
    const QString source = ResolveSource();
    g_notifyStateChange.NotifySourcePath(source.isEmpty() ? kNoSource : source);
}

COculusInstallWgt::COculusInstallWgt(QWidget* parent) : QWidget(parent, Qt::WindowFlags()) {
    setStyleSheet(QLatin1String(kNormalButtonStyle) + QLatin1String(kEditStyle) +
                  QLatin1String(kEditAtRestStyle) + QLatin1String(kReadOnlyEditStyle) +
                  QLatin1String(kNormalButtonFocusStyle) +
                  QLatin1String(kNormalButtonDisabledStyle) + QLatin1String(kEditFocusStyle));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 5, 0);

    noteLabel = new QLabel;
    noteLabel->setWordWrap(true);
    stateLabel = new QLabel;
    stateLabel->setObjectName(QStringLiteral("stateNote"));
    stateLabel->setWordWrap(true);
    stateLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont small = stateLabel->font();
    small.setPixelSize(11);
    stateLabel->setFont(small);
    stateLabel->installEventFilter(this);  // the note is fitted to the width it is given
    actionBtn = new QPushButton(QStringLiteral("Finish the move"));  // hidden until needed
    actionBtn->setObjectName(QStringLiteral("normalbtn"));
    actionBtn->setVisible(false);
    actionBtn->setEnabled(false);
    backBtn = new QPushButton(QStringLiteral("Move back"));  // shown for a moved library
    backBtn->setObjectName(QStringLiteral("normalbtn"));
    backBtn->setVisible(false);
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
    // Enter presses the focused button, as on Windows; the page lies in a plain window, where
    // the toolkit leaves that to dialogs.
    browseBtn->setAutoDefault(true);
    startBtn->setAutoDefault(true);
    // The actions on the library as it is, left; the move to the target typed above, right;
    // and under them the note that says where the games are.
    auto* startRow = new QHBoxLayout;
    startRow->setContentsMargins(0, 0, 0, 0);
    startRow->addWidget(actionBtn, 0, Qt::AlignVCenter);
    startRow->addWidget(backBtn, 0, Qt::AlignVCenter);
    startRow->addStretch(1);
    startRow->addWidget(startBtn, 0, Qt::AlignVCenter);

    layout->addSpacing(10);
    layout->addLayout(noteRow);
    layout->addSpacing(10);
    layout->addLayout(sourceRow);
    layout->addSpacing(15);
    layout->addLayout(targetRow);
    layout->addSpacing(12);
    layout->addLayout(startRow);
    layout->addSpacing(8);
    layout->addWidget(stateLabel);
    layout->addStretch();
    // Tab goes as the eye does: the target, then the buttons from left to right.
    setTabOrder(targetEdit, browseBtn);
    setTabOrder(browseBtn, actionBtn);
    setTabOrder(actionBtn, backBtn);
    setTabOrder(backBtn, startBtn);

    const QString source = ResolveSource();
    const bool found = !source.isEmpty();
    browseBtn->setEnabled(found);
    startBtn->setEnabled(found);
    targetEdit->setEnabled(found);
    sourceEdit->setText(found ? source : kNoSource);
    ShowInstallState();

    connect(browseBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickSelDestPathBtn);
    connect(startBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickStartBtn);
    connect(actionBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickActionBtn);
    connect(backBtn, &QPushButton::clicked, this, &COculusInstallWgt::OnChickBackBtn);
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
    // The dialog opens at the folder typed, when there is one, else in the person's own folder
    // ("/home" names nothing on Windows, and on Linux every person's folder but one's own).
    QString start = targetEdit->text().trimmed();
    if (start.isEmpty() || !QFileInfo(start).isDir()) start = QDir::homePath();
    QString chosen = ui::GetExistingDirectory(
        this, tr(""), start, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
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
    if (targetcheck::InsideBase(*GetEngine(), chosen.toStdWString(), base)) {
        ui::ShowMessageBox(kM12);
        return;
    }
    uint32_t style = ui::kMbOkInfo;
    const QString refusal =
        EngineRefusal(GetEngine()->CheckTargetDir(chosen.toStdWString()), style);
    if (!refusal.isEmpty()) {
        ui::ShowMessageBox(refusal, style);
        chosen.clear();
    }
    targetEdit->setText(chosen);
}

int32_t COculusInstallWgt::ShowInstallState() {
    const int32_t r = GetEngine()->ReadInstallState(state_);
    stateKnown_ = r == 0;
    const QString note = stateKnown_ ? NoteText(state_, PathText) : kNoteCannotLook;
    stateLabel->setToolTip(note);
    stateLabel->setAccessibleName(note);
    QString label;
    noteAction = stateKnown_ ? NoteAction(state_, label) : kOpMove;
    if (!label.isEmpty()) actionBtn->setText(label);
    actionBtn->setVisible(noteAction != kOpMove);
    actionBtn->setEnabled(noteAction != kOpMove);
    // A moved library can go home: to the drive that holds the installation.
    const bool canGoBack =
        stateKnown_ && state_.kind == InstallState::Kind::kMoved && !state_.strangeVolume;
    if (canGoBack) {
        backBtn->setText(kMoveBackLabel.arg(PathText(state_.baseRoot)));
        backBtn->setToolTip(kMoveBackTip.arg(PathText(state_.base), PathText(state_.movedTo)));
    }
    backBtn->setVisible(canGoBack);
    backBtn->setEnabled(canGoBack);
    FitNote();
    // The fields tell where the data is: after a move, the link and where it leads; while a
    // move waits, that the folder named is not there.
    const QString source = ResolveSource();
    const FolderState* software = state_.folders.empty() ? nullptr : &state_.folders.front();
    if (!source.isEmpty()) {
        QString text = source;
        if (stateKnown_ && software && source == QString::fromStdWString(software->path)) {
            if (state_.kind == InstallState::Kind::kMoved) {
                text += QStringLiteral("  \u2192  ") + QString::fromStdWString(software->leadsTo);
            } else if (state_.kind == InstallState::Kind::kWaiting) {
                text += kSourceWaiting;
            }
        }
        sourceEdit->setText(text);
        sourceEdit->setCursorPosition(0);
        // What the field cannot show of a long path and where it leads, on hover.
        sourceEdit->setToolTip(text);
    }
    targetEdit->setPlaceholderText(stateKnown_ && state_.kind == InstallState::Kind::kMoved
                                       ? QStringLiteral("Now in ") +
                                             QString::fromStdWString(state_.movedTo)
                                       : QString());
    return r;
}

void COculusInstallWgt::FitNote() {
    if (!stateKnown_) {
        stateLabel->setText(kNoteCannotLook);
        return;
    }
    // The note has room for three lines above the copyright line: longer paths are shortened
    // in the middle, step by step, until the note fits the label's width as laid out. A note
    // that still does not fit is cut at a word, with an ellipsis; the tooltip has it whole.
    // Measured as the label lays the text out: a path breaks after its separators (the marks
    // of PathText), which the font's own word-wrap measure does not know; and lines of a wrapped
    // paragraph lie further apart than the font's line spacing says (its leading).
    QLabel probe;
    probe.setFont(stateLabel->font());
    probe.setWordWrap(true);
    const int width = std::max(stateLabel->width(), 100);
    const int room = WrappedLinesHeight(probe, width, kNoteLines);
    const auto fits = [&](const QString& text) {
        probe.setText(text);
        return probe.heightForWidth(width) <= room;
    };
    QString text;
    for (const size_t longest : {80, 56, 44, 34, 26, 18}) {
        text = NoteText(state_, [longest](const std::wstring& path) {
            return ui::ShortPathText(path, longest);
        });
        if (fits(text)) break;
    }
    if (!fits(text)) {
        const QChar ellipsis(0x2026);
        while (text.size() > 1 && !fits(text + ellipsis)) {
            const qsizetype cut = text.lastIndexOf(u' ');
            text.truncate(cut > 0 ? cut : text.size() - 1);
        }
        text += ellipsis;
    }
    if (stateLabel->text() != text) stateLabel->setText(text);
}

bool COculusInstallWgt::eventFilter(QObject* watched, QEvent* event) {
    if (watched == stateLabel && event->type() == QEvent::Resize &&
        static_cast<QResizeEvent*>(event)->oldSize().width() != stateLabel->width()) {
        FitNote();
    }
    return QWidget::eventFilter(watched, event);
}

void COculusInstallWgt::OnChickActionBtn() {
    ShowInstallState();  // the disk may have changed since the note was shown
    if (noteAction == kOpMove) return;
    if (noteAction == kOpRepoint) {
        RunWorker(kOpRepoint, state_.repoint.folders.front().target, state_.base);
        return;
    }
    if (noteAction == kOpCheck) {
        RunWorker(kOpCheck, state_.movedTo, state_.base);
        return;
    }
    RunWorker(noteAction, state_.plan.CopiesFolder(), state_.plan.record.base);
}

void COculusInstallWgt::OnChickBackBtn() {
    ShowInstallState();  // the disk may have changed since the button was shown
    if (backBtn->isHidden()) return;
    const QString question = kMoveBackQuestion.arg(PathText(state_.movedTo), PathText(state_.base),
                                                   FreeText(state_.baseFreeKnown, state_.baseFree),
                                                   PathText(state_.baseRoot));
    if (ui::ShowMessageBox(question, ui::kMbYesNoQuestion) != ui::kIdYes) return;
    RunWorker(kOpMoveBack, state_.movedTo, state_.base);
}

void COculusInstallWgt::OfferRecovery() {
    IArSet* engine = GetEngine();
    if (!engine->HasUnfinishedMove()) return;
    // The note row shows the state whatever the answer; its plan is the offer's.
    const int32_t looked = ShowInstallState();
    if (looked != 0 || state_.kind != InstallState::Kind::kWaiting) {
        if (looked != 0) ui::ShowMessageBox(kRecoverLookFailed, ui::kMbOkError);
        return;
    }
    const RecoveryPlan plan = state_.plan;
    const QString text = RecoveryText(plan);
    switch (plan.action) {
        case RecoveryAction::kNothing:
            return;
        case RecoveryAction::kRefuse:
            ui::ShowMessageBox(text, ui::kMbOkWarning);
            return;
        case RecoveryAction::kFinish:
            if (ui::AskAction(text, plan.record.work == JournalWork::kRepoint
                                        ? QStringLiteral("Finish")
                                    : plan.record.work == JournalWork::kBack
                                        ? kFinishBackLabel
                                        : QStringLiteral("Finish the move")) != ui::kIdYes) {
                return;
            }
            RunWorker(kOpFinishMove, plan.CopiesFolder(), plan.record.base);
            return;
        case RecoveryAction::kContinue:
            if (ui::AskAction(text, kContinueLabel) != ui::kIdYes) return;
            RunWorker(kOpContinue, plan.CopiesFolder(), plan.record.base);
            return;
        case RecoveryAction::kPutBack:
            if (plan.canContinue) {
                const int answer = ui::AskChoice(text, kContinueLabel, QStringLiteral("Put back"),
                                                 ContinueRecommended(plan));
                if (answer == ui::kIdYes)
                    RunWorker(kOpContinue, plan.CopiesFolder(), plan.record.base);
                if (answer == ui::kIdNo)
                    RunWorker(kOpPutBack, plan.CopiesFolder(), plan.record.base);
                return;
            }
            if (ui::AskAction(text, QStringLiteral("Put back")) != ui::kIdYes) return;
            RunWorker(kOpPutBack, plan.CopiesFolder(), plan.record.base);
            return;
    }
}

void COculusInstallWgt::OnChickStartBtn() {
    // A move on top of one that was stopped would bury it (the engine refuses it too).
    if (GetEngine()->HasUnfinishedMove()) {
        ui::ShowMessageBox(kUnfinishedMove, ui::kMbOkWarning);
        return;
    }
    QString target = TidyTarget(targetEdit->text().trimmed());
    NormalizePath(target);
    // Every check runs in the engine, in the order the command line runs them too.
    TargetVerdict verdict;
    uint32_t style = ui::kMbOkInfo;
    QString refusal =
        EngineRefusal(GetEngine()->CheckMoveTarget(target.toStdWString(), verdict), style);
    if (refusal == kM9) {
        // The folders cannot be read because a link leads nowhere: say where it should lead.
        InstallState now;
        if (GetEngine()->ReadInstallState(now) == 0 && now.kind == InstallState::Kind::kBroken) {
            refusal += QStringLiteral("\n\n") + BrokenNote(now, PathText);
        }
    }
    if (!refusal.isEmpty()) {
        ui::ShowMessageBox(refusal, style);
        return;
    }
    // Asked after every refusal, so that no question comes before a target that fails anyway,
    // and before the removable-device question: a move that frees nothing is the more basic
    // objection, and a No to it spares the second question.
    const QString sameVolume = SameVolumeQuestion(verdict);
    if (!sameVolume.isEmpty() &&
        ui::ShowMessageBox(sameVolume, ui::kMbYesNoQuestionDefaultNo) != ui::kIdYes) {
        return;
    }
    if (verdict.removable && ui::ShowMessageBox(kQ1, ui::kMbYesNoInfo) != ui::kIdYes) {
        return;
    }
    // Last: the move's own in-use check runs only once the services are stopped.
    // No is the default: a person who cannot judge the risk keeps the data as it is.
    if (verdict.uncheckedPrograms != 0 &&
        ui::ShowMessageBox(kUncheckedPrograms.arg(ProgramsOfOthers(verdict.uncheckedPrograms)),
                           ui::kMbYesNoWarningDefaultNo) != ui::kIdYes) {
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
    thread->SetMovingBack(operation == kOpMoveBack ||
                          ((operation == kOpFinishMove || operation == kOpPutBack) &&
                           state_.plan.record.work == JournalWork::kBack));
    const ui::ScopedFocusReturn focus;
    auto progress = std::make_unique<CProgressWgt>(this, thread.get());
    thread->start(QThread::InheritPriority);
    progress->exec();
    AnnounceSourceDir();
    targetEdit->setText(QString());
    ShowInstallState();
    progress.reset();  // the page first, then the worker it points at
    thread.reset();
}
