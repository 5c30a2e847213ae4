// The worker thread and the progress page against a scripted engine: the bar, cancelling, the
// refusal of every close while the worker runs, and the final message for each result.
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <thread>

#include "Vr/CExeThread.h"
#include "platform/units.h"
#include "ui/CProgressWgt.h"
#include "ui/bridges.h"
#include "ui/uishell.h"
#include "uitest.h"

namespace {

const QString kCancelRefusal =
    "The program is performing last configuration process. Please wait until it is complete.";
const QString kCancelLine = "Task cancelled. Restoring to the state before move...";
const QString kBeforeCopy = "\nCancel becomes possible once copying starts.";
const QString kAfterCopy = "\nThe copies are in place: the move can no longer be cancelled.";

MoveSnapshot At(MoveStep step, bool cancellable = false) {
    MoveSnapshot snapshot;
    snapshot.step = step;
    snapshot.cancellable = cancellable;
    return snapshot;
}

// One move behind a progress page, driven by the test instead of exec().
struct Move {
    explicit Move(int32_t operation = 1) {
        worker.SetOperation(operation);
        worker.SetTargetPath(L"/mnt/games");
        main.setFixedSize(ui::kMainWidth, ui::kMainHeight);
        main.move(40, 30);
        g_mainWnd = &main;
    }
    ~Move() {
        engine.Release();
        worker.wait();
        g_mainWnd = nullptr;
    }
    void Start() {
        page = std::make_unique<CProgressWgt>(nullptr, &worker);
        page->show();
        worker.start();
    }
    QStringList Lines() const { return page->findChild<QTextEdit*>()->toPlainText().split('\n'); }
    QPushButton* Button() const { return page->findChild<QPushButton*>("normalbtn"); }
    int Bar() const { return page->findChild<QProgressBar*>()->value(); }
    QString Status() const { return page->StatusLine(); }
    // The page's own end: it has handled finished() and shows its final message.
    bool Ended() const { return page && page->IsResultShown(); }

    uitest::ScopedVirtualClock clock;
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    QWidget main;
    CExeThread worker;
    std::unique_ptr<CProgressWgt> page;
};

// How many connections the shared callback's line signal has; QObject keeps the count to
// subclasses, so it is read through a pointer to the inherited member.
int LineReceivers() {
    struct Peek : QObject {
        static int Count(const QObject& object) {
            return (object.*(&Peek::receivers))(SIGNAL(sigLogPrint(int, QString)));
        }
    };
    return Peek::Count(g_uiCallBack);
}

}  // namespace

class TestProgress : public QObject {
    Q_OBJECT
  private slots:
    // The bar never falls: a fraction lower than the highest seen shows full, and so does
    // everything after the move has returned.
    void workerProgressNeverFalls() {
        Move move;
        QCOMPARE(move.worker.GetProgress(), 0.0f);  // nothing counted yet: the engine says 5
        move.engine.progressCode = 0;
        move.engine.fraction = 0.25f;
        QCOMPARE(move.worker.GetProgress(), 0.25f);
        move.engine.fraction = 0.5f;
        QCOMPARE(move.worker.GetProgress(), 0.5f);
        move.engine.fraction = 0.4f;  // a rollback counting down
        QCOMPARE(move.worker.GetProgress(), 1.0f);
        move.engine.fraction = 0.45f;  // still below the highest seen
        QCOMPARE(move.worker.GetProgress(), 1.0f);
        move.engine.fraction = 0.6f;
        QCOMPARE(move.worker.GetProgress(), 0.6f);

        move.engine.fraction = 0.7f;
        move.worker.start();
        QVERIFY(move.worker.wait(uitest::kEventMs));
        QCOMPARE(move.worker.GetProgress(), 1.0f);  // returned: full whatever the engine says
    }

    void workerCollectsTheEngineAnswersAfterTheMove() {
        Move move;
        move.engine.moveResult = 12;
        move.engine.rollbackClean = false;  // must not be read for 0, 6 and 12
        move.engine.targetSoftware = L"/mnt/games/Oculus game/Software";
        move.engine.movedSoftware = L"/mnt/games/Oculus game/Software";
        move.engine.resolvedDir = L"/srv/Oculus";
        move.engine.base = L"/srv/Oculus/";
        move.engine.parkedFirst = L"/srv/Oculus/DownloadsVarko";
        move.engine.parkedSecond = L"/srv/Oculus/SoftwareVarko";
        move.worker.start();
        QVERIFY(move.worker.wait(uitest::kEventMs));
        QCOMPARE(move.worker.GetResult(), 12);
        QVERIFY(!move.worker.IsRollbackClean());
        QCOMPARE(uitest::Wide(move.worker.GetTargetPath()),
                 QString("/mnt/games/Oculus game/Software"));
        QCOMPARE(uitest::Wide(move.worker.GetSourcePath()), QString("/srv/Oculus/"));
        QCOMPARE(uitest::Wide(move.worker.GetParkedFirst()), QString("/srv/Oculus/DownloadsVarko"));
        QCOMPARE(uitest::Wide(move.worker.GetParkedSecond()), QString("/srv/Oculus/SoftwareVarko"));
        QCOMPARE(uitest::Wide(move.worker.GetResolvedInstallDir()), QString("/srv/Oculus"));
        QCOMPARE(move.engine.resets.load(), 1);
    }

    void workerReadsTheRollbackFlagOnlyForFailures() {
        Move move;
        move.engine.moveResult = 10005;
        move.engine.rollbackClean = false;
        move.worker.start();
        QVERIFY(move.worker.wait(uitest::kEventMs));
        QVERIFY(!move.worker.IsRollbackClean());
        Move clean;
        clean.engine.moveResult = 3;
        clean.engine.rollbackClean = true;
        clean.worker.start();
        QVERIFY(clean.worker.wait(uitest::kEventMs));
        QVERIFY(clean.worker.IsRollbackClean());
    }

    void workerOperationsOtherThanMove() {
        uitest::Scratch scratch;
        Move backUp(2);
        backUp.worker.SetTargetPath((scratch.Path("new") + "/").toStdWString());
        backUp.worker.start();
        QVERIFY(backUp.worker.wait(uitest::kEventMs));
        QVERIFY(!backUp.worker.IsCreateDirFailed());
        QVERIFY(QFileInfo(scratch.Path("new")).isDir());

        Move failing(3);
        failing.worker.SetTargetPath(scratch.Path("missing/parent/child").toStdWString());
        failing.worker.start();
        QVERIFY(failing.worker.wait(uitest::kEventMs));
        QVERIFY(failing.worker.IsCreateDirFailed());
        QCOMPARE(failing.worker.GetResult(), -1);

        Move unknown(99);
        unknown.worker.start();
        QVERIFY(unknown.worker.wait(uitest::kEventMs));
        QCOMPARE(unknown.worker.GetResult(), -1);
        QCOMPARE(unknown.engine.resets.load(), 0);  // no move ran
    }

    // "Check the games": its own opening lines, and closing words that name what is amiss.
    void aCheckOfTheGamesEndsWithWhatItFound() {
        Move check(kOpCheck);
        check.engine.checkReport.files = 1201;
        check.engine.checkReport.differs = {L"/mnt/games/Oculus game/Software/a.pak"};
        check.engine.checkReport.updated = {L"/mnt/games/Oculus game/Software/b.pak"};
        check.Start();
        QTRY_VERIFY_WITH_TIMEOUT(check.Ended(), uitest::kEventMs);
        QCOMPARE(check.Lines().first(),
                 QString("Checking the games: every moved file read back from its drive..."));
        QCOMPARE(check.Lines().last(), QString("Check finished: see below."));
        QVERIFY2(check.Status().contains("1 file has other bytes with the same size and time "
                                         "(/mnt/games/Oculus game/Software/a.pak)"),
                 qPrintable(check.Status()));
        QVERIFY2(check.Status().contains("updated 1 file and added 0 files"),
                 qPrintable(check.Status()));
        QCOMPARE(check.Bar(), 100);
    }

    void successShowsItsLinesAndAFullBar() {
        Move move;
        move.engine.progressCode = 0;
        move.engine.fraction = 0.4567f;
        move.engine.Hold();
        move.Start();
        QTRY_COMPARE_WITH_TIMEOUT(move.Button()->text(), QString("Cancel"), uitest::kEventMs);
        QTRY_COMPARE_WITH_TIMEOUT(move.Bar(), 45, uitest::kEventMs);  // the truncated percentage
        QCOMPARE(move.Lines(), QStringList({"Performing the move...", "Move to:/mnt/games"}));
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QCOMPARE(move.Lines().last(), QString("Successful operation."));
        QCOMPARE(move.Bar(), 100);
        QVERIFY(move.Button()->isEnabled());
    }

    void finalMessageForEachResult_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("clean");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("message");
        QTest::newRow("services not restarted")
            << 6 << true << ""
            << "Move succeeded but StartService failed. Please right click on \"Taskbar\" and "
               "select \"Task Manager\", and then maually start \"OVRService\" and "
               "\"OVRLibraryService\" in the \"Services\" tab.";
        QTest::newRow("old data left, plain base")
            << 12 << true << "{S}/Oculus"
            << "Operation succeeded. Please manually delete "
               "{S}/Oculus/DownloadsVarko,{S}/Oculus/SoftwareVarko.";
        QTest::newRow("old data left behind an earlier move")
            << 12 << true << "{S}/old/Oculus game"
            << "Operation succeeded. Please manually delete {S}/old/Oculus game,"
               "{S}/Oculus/DownloadsVarko,{S}/Oculus/SoftwareVarko.";
        QTest::newRow("old data left behind a link made by other means")
            << 12 << true << "{S}/elsewhere"
            << "Operation succeeded. Please manually delete "
               "{S}/Oculus/DownloadsVarko,{S}/Oculus/SoftwareVarko.";
        QTest::newRow("old data left where the new copy now lives")
            << 12 << true << "/mnt/games/Oculus game"
            << "Operation succeeded. Please manually delete "
               "{S}/Oculus/DownloadsVarko,{S}/Oculus/SoftwareVarko.";
        QTest::newRow("code 3 without an accepted cancel, clean")
            << 3 << true << ""
            << "Failed to move. Please restart your computer and try again. If the problem "
               "still exists, please contact us.";
        QTest::newRow("file in use, clean") << 10032 << true << ""
                                            << "Failed to move. Please restart your computer and "
                                               "try again. If the problem still exists, please "
                                               "contact us.";
        QTest::newRow("failed, rollback incomplete")
            << 10005 << false << ""
            << "Restore failed. Please manually change {S}/Oculus/SoftwareVarkoto\"Software\""
               "change {S}/Oculus/DownloadsVarkoto\"Downloads\"and then delete "
               "/mnt/games/Oculus game/Software.";
    }
    void finalMessageForEachResult() {
        QFETCH(int, result);
        QFETCH(bool, clean);
        QFETCH(QString, resolved);
        QFETCH(QString, message);
        // The base folder exists, as it does after every move that got this far.
        uitest::Scratch scratch;
        scratch.Make("Oculus");
        const auto place = [&](QString text) { return text.replace("{S}", scratch.Path()); };
        resolved = place(resolved);
        message = place(message);
        Move move;
        move.engine.moveResult = result;
        move.engine.rollbackClean = clean;
        move.engine.base = place("{S}/Oculus/").toStdWString();
        move.engine.resolvedDir = resolved.toStdWString();
        move.engine.targetSoftware = L"/mnt/games/Oculus game/Software";
        move.engine.parkedFirst = place("{S}/Oculus/DownloadsVarko").toStdWString();
        move.engine.parkedSecond = place("{S}/Oculus/SoftwareVarko").toStdWString();
        move.Start();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QCOMPARE(move.Lines().last(), message);
        QVERIFY(move.Button()->isEnabled());
    }

#ifndef Q_OS_WIN
    // When the base folder is reached through a link, the folder behind "Software" differs from
    // the base folder's spelling but is still the base folder: it must never be named.
    void baseFolderBehindALinkIsNotNamedForDeletion() {
        uitest::Scratch scratch;
        scratch.Make("real/Oculus");
        QVERIFY(QFile::link(scratch.Path("real/Oculus"), scratch.Path("Oculus")));
        Move move;
        move.engine.moveResult = 12;
        move.engine.base = (scratch.Path("Oculus") + "/").toStdWString();
        move.engine.resolvedDir = scratch.Path("real/Oculus").toStdWString();
        move.engine.parkedFirst = L"D";
        move.engine.parkedSecond = L"S";
        move.Start();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QCOMPARE(move.Lines().last(), QString("Operation succeeded. Please manually delete D,S."));
    }
#endif

    // The target's folder cannot be made, before anything was parked: the worker ends unclean
    // with its parked paths still empty, and the page closes with the restore words as it
    // builds them for every unclean end, the empty paths in their places, then the line that
    // says the folder could not be made. This is the page's fixed wording for that end.
    void failedFolderCreationAddsItsOwnLine() {
        uitest::Scratch scratch;
        Move move(2);
        move.worker.SetTargetPath(scratch.Path("no/such/parent").toStdWString());
        move.Start();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        const QStringList lines = move.Lines();
        QCOMPARE(lines.first(), QString("Start backing up Oculus games and configurations..."));
        QCOMPARE(lines.at(1), "Target location:" + scratch.Path("no/such/parent"));
        QCOMPARE(lines.at(2), QString("Restore failed. Please manually change to\"Software\"change "
                                      "to\"Downloads\"and then delete " +
                                      scratch.Path("no/such/parent") + "."));
        QCOMPARE(lines.at(3), QString("Failed to create directory. Please re-select a target "
                                      "location and try again. "));
    }

    void acceptedCancelDisablesTheButtonUntilTheEnd() {
        uitest::BoxRecorder boxes;
        Move move;
        move.engine.cancelAnswer = 0;
        move.engine.moveResult = 3;
        move.engine.outcome.cancelled = true;
        move.engine.outcome.baseFolder = L"/srv/Oculus";
        move.engine.SetSnapshot(At(MoveStep::kCopying, true));
        move.engine.Hold();
        move.Start();
        QTRY_COMPARE_WITH_TIMEOUT(move.Button()->text(), QString("Cancel"), uitest::kEventMs);
        QVERIFY(move.engine.WaitUntilMoving());
        QTRY_VERIFY_WITH_TIMEOUT(move.Button()->isEnabled(), uitest::kEventMs);
        move.Button()->click();
        QCOMPARE(move.engine.cancels.load(), 1);
        QVERIFY(!move.Button()->isEnabled());
        QCOMPARE(move.Lines().last(), kCancelLine);
        QVERIFY(boxes.Texts().isEmpty());
        // The copy has yet to hear the cancel: the line already speaks of the rollback.
        MoveSnapshot cancelled = At(MoveStep::kCopying);
        cancelled.cancelled = true;
        cancelled.treeName = L"Software";
        move.engine.SetSnapshot(cancelled);
        QTRY_COMPARE_WITH_TIMEOUT(move.Status(), QString("Cancelling: removing the copies\u2026"),
                                  uitest::kEventMs);
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QVERIFY(move.Button()->isEnabled());
        // The user's own cancel, cleanly put back, is no failure and needs no restart.
        QCOMPARE(move.Lines().last(),
                 QString("Move cancelled. Everything is as it was before the move."));
        // Under the message, what really happened.
        QCOMPARE(move.Status(), QString("Move cancelled. Everything is back in /srv/Oculus. The "
                                        "Oculus services are running again."));
        // The disabled button lost the focus; "OK" takes it back, and Enter closes the page.
        QCOMPARE(move.page->focusWidget(), static_cast<QWidget*>(move.Button()));
        QTest::keyClick(move.Button(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!move.page->isVisible(), uitest::kEventMs);
        QCOMPARE(move.page->result(), 1);
    }

    // A cancel whose rollback could not give every folder its name back is told as such.
    void cancelWithAnUncleanRollbackAsksForTheRenames() {
        Move move;
        move.engine.moveResult = 3;
        move.engine.rollbackClean = false;
        move.engine.outcome.cancelled = true;
        move.engine.parkedFirst = L"/srv/Oculus/DownloadsVarko";
        move.engine.parkedSecond = L"/srv/Oculus/SoftwareVarko";
        move.engine.targetSoftware = L"/mnt/games/Oculus game/Software";
        move.Start();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QVERIFY2(move.Lines().last().startsWith("Restore failed. Please manually change "),
                 qPrintable(move.Lines().last()));
    }

    // The button showed Cancel while the copy ended: the engine has moved on to linking and
    // refuses. The box belongs to the progress page, so that a window manager raises the page
    // with it, not the main window above the page.
    void cancelThatRacesTheEndOfTheCopyIsRefusedByABoxOfThePage() {
        uitest::BoxRecorder boxes;
        Move move;
        move.engine.cancelAnswer = 4;
        move.engine.SetSnapshot(At(MoveStep::kCheckingCopies, true));
        move.engine.Hold();
        move.Start();
        QVERIFY(move.engine.WaitUntilMoving());
        QTRY_VERIFY_WITH_TIMEOUT(move.Button()->isEnabled(), uitest::kEventMs);
        move.Button()->click();
        QCOMPARE(boxes.Texts(), QStringList{kCancelRefusal});
        QVERIFY(boxes.Requests().front().owned);
        QCOMPARE(boxes.Requests().front().owner, static_cast<QWidget*>(move.page.get()));
        QVERIFY2(!move.Button()->isEnabled(), "the move can no longer be cancelled");
        QVERIFY(!move.Lines().contains(kCancelLine));
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QVERIFY(move.Button()->isEnabled());
    }

    // The status line names each step; outside the copy the button is disabled and the status
    // line says why.
    void statusLineNamesEveryStepAndTheButtonFollowsTheCancelWindow_data() {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("cancellable");
        QTest::addColumn<QString>("status");
        QTest::newRow("stopping") << int(MoveStep::kStoppingServices) << false
                                  << "Stopping the Oculus services\u2026" + kBeforeCopy;
        QTest::newRow("preparing") << int(MoveStep::kPreparing) << false
                                   << "Checking and preparing the folders\u2026" + kBeforeCopy;
        QTest::newRow("copying") << int(MoveStep::kCopying) << true
                                 << "Copying Software: 0 bytes of 0 bytes";
        QTest::newRow("checking") << int(MoveStep::kCheckingCopies) << true
                                  << "Checking the copies: 0 bytes of 0 bytes";
        QTest::newRow("linking") << int(MoveStep::kCreatingLinks) << false
                                 << "Creating links\u2026" + kAfterCopy;
        QTest::newRow("removing") << int(MoveStep::kRemovingOld) << false
                                  << "Removing the old folders\u2026" + kAfterCopy;
        QTest::newRow("starting") << int(MoveStep::kStartingServices) << false
                                  << "Starting the Oculus services\u2026" + kAfterCopy;
        QTest::newRow("undoing") << int(MoveStep::kUndoingCopies) << false
                                 << "Undoing the move: removing the copies\u2026";
    }
    void statusLineNamesEveryStepAndTheButtonFollowsTheCancelWindow() {
        QFETCH(int, step);
        QFETCH(bool, cancellable);
        QFETCH(QString, status);
        uitest::BoxRecorder boxes;
        Move move;
        MoveSnapshot snapshot = At(static_cast<MoveStep>(step), cancellable);
        snapshot.treeName = L"Software";
        move.engine.SetSnapshot(snapshot);
        move.engine.cancelAnswer = 0;
        move.engine.Hold();
        move.Start();
        QVERIFY(move.engine.WaitUntilMoving());
        QTRY_COMPARE_WITH_TIMEOUT(move.Status(), status, uitest::kEventMs);
        QCOMPARE(move.Button()->isEnabled(), cancellable);
        move.Button()->click();  // a disabled button asks nothing
        QCOMPARE(move.engine.cancels.load(), cancellable ? 1 : 0);
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QVERIFY(boxes.Texts().isEmpty());
    }

    // Under the fixed message, which stays as it is, the status line says in plain words what
    // happened and what to do.
    void closingWordsUnderTheMessage_data() {
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("servicesRunning");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("words");
        const QString size = QString::fromStdWString(sys::FormatBytes(3400000000));
        QTest::newRow("success") << 0 << true << "Successful operation."
                                 << "Moved " + size + " to /mnt/games/Oculus game. " + size +
                                        " freed on /srv.";
        QTest::newRow("cancelled")
            << 3 << true << "Move cancelled. Everything is as it was before the move."
            << "Move cancelled. Everything is back in /srv/Oculus. The Oculus services are "
               "running again.";
        QTest::newRow("failed")
            << 10019 << true
            << "Failed to move. Please restart your computer and try again. If the problem still "
               "exists, please contact us."
            << "The move failed: Read-only file system: /mnt/games/Oculus game. Everything is "
               "back in /srv/Oculus. Choose a target folder that you may write to. The log is "
               "/srv/log/1.txt.";
        QTest::newRow("services not started")
            << 6 << false
            << "Move succeeded but StartService failed. Please right click on \"Taskbar\" and "
               "select \"Task Manager\", and then maually start \"OVRService\" and "
               "\"OVRLibraryService\" in the \"Services\" tab."
            << "Moved " + size +
                   " to /mnt/games/Oculus game, but the Oculus services \"OVRService\" and "
                   "\"OVRLibraryService\" did not start again (OVRService: The service did not "
                   "respond in time): start them in Task Manager (\"Services\" tab), or restart "
                   "the computer.";
    }
    void closingWordsUnderTheMessage() {
        QFETCH(int, result);
        QFETCH(bool, servicesRunning);
        QFETCH(QString, message);
        QFETCH(QString, words);
        Move move;
        move.engine.moveResult = result;
        MoveOutcome& outcome = move.engine.outcome;
        outcome.cancelled = result == 3;
        outcome.servicesRunning = servicesRunning;
        outcome.bytesMoved = 3400000000;
        outcome.baseFolder = L"/srv/Oculus";
        outcome.movedTo = L"/mnt/games/Oculus game";
        outcome.sourceVolume = L"/srv";
        if (result == 6) {
            outcome.failure = {10000 + 1053, MoveStep::kStartingServices, L"OVRService",
                               L"The service did not respond in time"};
        } else if (result != 0 && result != 3) {
            outcome.failure = {10019, MoveStep::kPreparing, L"/mnt/games/Oculus game",
                               L"Read-only file system"};
            outcome.logPath = L"/srv/log/1.txt";
        }
        move.Start();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QCOMPARE(move.Lines().last(), message);
        QCOMPARE(move.Status(), words);
        // Full where the data now lives at the target, empty where everything went back.
        QCOMPARE(move.Bar(), result == 0 || result == 6 ? 100 : 0);
        // However many lines the words take, they show whole, below the log view, which keeps
        // its height.
        const QLabel* label = move.page->findChildren<QLabel*>().last();
        const QTextEdit* log = move.page->findChild<QTextEdit*>();
        QTRY_VERIFY_WITH_TIMEOUT(label->geometry().top() > log->geometry().bottom() &&
                                     label->height() >= label->heightForWidth(label->width()) &&
                                     label->geometry().bottom() < move.page->height(),
                                 uitest::kEventMs);
        QCOMPARE(log->height(), 115);
        // A line breaks between words or after a path's separator, never inside a folder's
        // name or an amount.
        const QString shown = label->text();
        QVERIFY2(!shown.contains("Oculus game"), qPrintable(shown));
        if (words.contains("/mnt/games/Oculus game")) {
            QVERIFY2(shown.contains(QString::fromUtf8("/mnt/\u200bgames/\u200bOculus\u00a0game")),
                     qPrintable(shown));
        }
        const QString amount =
            QString::fromStdWString(sys::FormatBytes(3400000000)).replace(' ', QChar::Nbsp);
        if (result == 0) QVERIFY2(shown.contains(amount), qPrintable(shown));
    }

    // Ending the modal loop early would let the page destroy a running worker.
    void nothingClosesThePageWhileTheWorkerRuns() {
        Move move;
        // Before the copy: Escape is no cancel yet (escapeCancelsOnceACancelIsPossible).
        move.engine.SetSnapshot(At(MoveStep::kPreparing));
        move.engine.Hold();
        move.Start();
        QVERIFY(move.engine.WaitUntilMoving());
        QTest::keyClick(move.page.get(), Qt::Key_Escape);
        QTest::keyClick(move.Button(), Qt::Key_Escape);
        QVERIFY(move.page->isVisible());
        QVERIFY(!move.page->close());
        move.page->reject();
        QVERIFY(move.page->isVisible());
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QTest::keyClick(move.page.get(), Qt::Key_Escape);
        QVERIFY2(move.page->isVisible(), "keys do not close it after the end either");
        QSignalSpy finished(move.page.get(), &QDialog::finished);
        move.Button()->click();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), 1);
    }

    // Escape presses Cancel, as in Explorer's copy dialog, but only once a cancel is possible;
    // Cancel takes the focus then, so that Space and Enter reach it too.
    void escapeCancelsOnceACancelIsPossible() {
        Move move;
        move.engine.cancelAnswer = 0;
        move.engine.moveResult = 3;
        move.engine.outcome.cancelled = true;
        move.engine.SetSnapshot(At(MoveStep::kPreparing));
        move.engine.Hold();
        move.Start();
        QVERIFY(move.engine.WaitUntilMoving());
        QTRY_COMPARE_WITH_TIMEOUT(move.Button()->text(), QString("Cancel"), uitest::kEventMs);
        QTRY_VERIFY_WITH_TIMEOUT(!move.Button()->isEnabled(), uitest::kEventMs);
        QTest::keyClick(move.page.get(), Qt::Key_Escape);
        QCOMPARE(move.engine.cancels.load(), 0);

        move.engine.SetSnapshot(At(MoveStep::kCopying, true));
        QTRY_VERIFY_WITH_TIMEOUT(move.Button()->isEnabled(), uitest::kEventMs);
        QCOMPARE(move.page->focusWidget(), static_cast<QWidget*>(move.Button()));
        QTest::keyClick(move.Button(), Qt::Key_Escape);
        QCOMPARE(move.engine.cancels.load(), 1);
        QCOMPARE(move.Lines().last(), kCancelLine);
        QTest::keyClick(move.page.get(), Qt::Key_Escape);  // once asked, never again
        QCOMPARE(move.engine.cancels.load(), 1);
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
    }

    // A status line that wraps and unwraps during a copy moves nothing: the page has room for
    // two lines from the start and keeps its size and place.
    void pageKeepsItsSizeWhileTheStatusLineWraps() {
        Move move;
        move.engine.Hold();
        move.Start();
        QVERIFY(move.engine.WaitUntilMoving());
        const QLabel* label = nullptr;
        for (const QLabel* each : move.page->findChildren<QLabel*>())
            if (each->wordWrap()) label = each;
        QVERIFY(label);
        const QFontMetrics metrics(label->font());
        // Short words, so that the wrapped text takes exactly two lines.
        QString twoLines = "Copying Software: 1.2 GB of 466.3 GB";
        while (metrics.horizontalAdvance(twoLines) < label->width() * 6 / 5)
            twoLines += " and more";
        QTRY_VERIFY_WITH_TIMEOUT(!move.Status().isEmpty(), uitest::kEventMs);
        const QSize size = move.page->size();
        const QPoint place = move.page->pos();
        for (const QString& line : {QString("Copying Software: 1.1 GB of 466.3 GB"), twoLines,
                                    QString("Copying Software: 1.3 GB of 466.3 GB")}) {
            emit g_uiCallBack.sigLogPrint(kPrintStatus, line);
            QTRY_COMPARE_WITH_TIMEOUT(move.Status(), line, uitest::kEventMs);
            QCOMPARE(move.page->size(), size);
            QCOMPARE(move.page->pos(), place);
            QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                     qPrintable("cut: " + line));
        }
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
    }

    void pageCentresOverTheMainWindow() {
        Move move;
        move.Start();
        QCOMPARE(move.page->width(), 400);
        QCOMPARE(move.page->pos(), QPoint(40 + (ui::kMainWidth - 400) / 2,
                                          30 + (ui::kMainHeight - move.page->height()) / 2));
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
    }

    // Lines posted from another thread arrive on the page's thread.
    void postedLinesReachTheLogAndTheStatus() {
        Move move;
        const int receiversBefore = LineReceivers();
        move.engine.Hold();
        move.Start();
        QCOMPARE(LineReceivers(), receiversBefore + 1);
        QTRY_COMPARE_WITH_TIMEOUT(move.Button()->text(), QString("Cancel"), uitest::kEventMs);
        // The page's own status line is posted when it changes, and it does not change here.
        QTRY_COMPARE_WITH_TIMEOUT(move.Status(), "Getting ready\u2026" + kBeforeCopy,
                                  uitest::kEventMs);
        std::thread poster([] {
            emit g_uiCallBack.sigLogPrint(0, "  copying Game One  ");
            emit g_uiCallBack.sigLogPrint(0, "");
            emit g_uiCallBack.sigLogPrint(2, "  3 of 7 ");
            emit g_uiCallBack.sigLogPrint(9, "ignored");
            emit g_uiCallBack.sigLogPrint(1, "finishing");
        });
        poster.join();
        QTRY_COMPARE_WITH_TIMEOUT(move.Lines().last(), QString("finishing"), uitest::kEventMs);
        QVERIFY(move.Lines().contains("copying Game One"));
        QVERIFY(!move.Lines().contains("ignored"));
        QVERIFY(!move.Button()->isEnabled());
        QCOMPARE(move.Status(), QString("3 of 7"));
        move.engine.Release();
        QTRY_VERIFY_WITH_TIMEOUT(move.Ended(), uitest::kEventMs);
        QVERIFY2(move.Status().startsWith("Moved "), "the closing words take the status line");
        // A page that is gone takes its connection with it: no line may reach it after.
        move.page.reset();
        QCOMPARE(LineReceivers(), receiversBefore);
        emit g_uiCallBack.sigLogPrint(0, "after the page is gone");
    }
};

HX_REGISTER_TEST(TestProgress);
#include "progress_test.moc"
