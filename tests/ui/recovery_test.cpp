// The page's side of an interrupted move, against a scripted engine: start-up's offer for each
// decision, "Later" and the refusal of a new move, and the progress page's words for each
// outcome of a recovery.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include "Vr/CExeThread.h"
#include "ui/COculusInstallWgt.h"
#include "ui/CProgressWgt.h"
#include "uitest.h"

namespace {

const QString kUnfinished =
    "A move that was stopped is not finished or put back yet. Please deal with it first: the "
    "button left of \"Start Move\" finishes it or puts it back.";

// The text as read: paths in it may wrap after a separator only.
QString Plain(QString text) {
    text.remove(QChar(0x200B));
    text.replace(QChar(0x00A0), u' ');
    return text;
}

using uitest::kAskFinish;
using uitest::kAskPutBack;
const QString kLater =
    "\n\nLater leaves everything as it is: until then the Oculus platform cannot find its games "
    "and cannot run.";

FolderFinding Folder(const wchar_t* name, bool parked) {
    FolderFinding f;
    f.source = std::wstring(L"/srv/Oculus/") + name;
    f.parked = f.source + L"Varko";
    f.target = std::wstring(L"/mnt/games/Oculus game/") + name;
    f.parkedExists = parked;
    f.targetExists = true;
    return f;
}

RecoveryPlan Plan(RecoveryAction action, bool parked = true) {
    RecoveryPlan plan;
    plan.action = action;
    plan.journalFound = true;
    plan.journalPath = L"/var/halvex/state/move.journal";
    plan.record.base = L"/srv/Oculus/";
    plan.folders = {Folder(L"Downloads", parked), Folder(L"Software", parked)};
    return plan;
}

// A page over a scripted engine that reports an interrupted move.
struct Page {
    Page() {
        engine.source = L"/srv/Oculus/Software";
        engine.base = L"/srv/Oculus/";
        engine.unfinished = true;
        page = std::make_unique<COculusInstallWgt>(nullptr);
    }
    // Runs start-up's offer with the boxes answered in turn, closing a progress page when it is
    // done; gives back the boxes shown.
    std::vector<ui::MessageBoxRequest> Offer(const std::vector<int>& answers = {}) {
        uitest::BoxRecorder boxes;
        for (int answer : answers)
            boxes.Answer(answer);
        uitest::ProgressPageCloser closer;
        page->OfferRecovery();
        return boxes.Requests();
    }

    uitest::ScopedVirtualClock clock;  // the worker's first pause
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    std::unique_ptr<COculusInstallWgt> page;
};

// A recovery behind a progress page, driven by the test.
QStringList RecoveryLines(int32_t operation, int32_t result) {
    uitest::ScopedVirtualClock clock;
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped(&engine);
    engine.recoverResult = result;
    CExeThread worker(&engine);
    worker.SetOperation(operation);
    worker.SetTargetPath(L"/mnt/games/Oculus game");
    worker.SetSourcePath(L"/srv/Oculus/");
    CProgressWgt page(nullptr, &worker);
    page.show();
    worker.start();
    // Every status line the page shows on the way: none may speak of a move's cancel.
    QStringList statuses;
    const bool ended = QTest::qWaitFor(
        [&] {
            if (statuses.isEmpty() || statuses.last() != page.StatusLine())
                statuses << page.StatusLine();
            return page.IsResultShown();
        },
        uitest::kEventMs);
    if (!ended) return {};
    const QStringList lines = page.findChild<QTextEdit*>()->toPlainText().split('\n');
    for (const QString& status : statuses) {
        if (status.contains("once copying starts") || status.contains("copies are in place"))
            return {"a move's cancel note: " + status};
        if (operation == kOpRepoint && status.contains("stopped move"))
            return {"a recovery's words during a re-pointing: " + status};
    }
    // The status line ends with the closing words.
    if (page.StatusLine() != lines.last()) return {"status line at the end: " + page.StatusLine()};
    return lines;
}

}  // namespace

class TestRecoveryOffer : public QObject {
    Q_OBJECT
  private slots:
    void finishIsOfferedByNameAndRunsBehindTheProgressPage() {
        Page page;
        page.engine.plan = Plan(RecoveryAction::kFinish);
        g_mainWnd = page.page.get();
        const auto boxes = page.Offer({ui::kIdYes});
        g_mainWnd = nullptr;
        QCOMPARE(boxes.size(), size_t{1});
        QCOMPARE(Plain(boxes[0].text),
                 "Halvex was stopped while it moved your Oculus games. Your data is safe: the "
                 "copies in /mnt/games/Oculus game are complete, and the original folders are "
                 "still in /srv/Oculus.\n\nRecommended: Finish the move. Halvex links the Oculus "
                 "folders to the copies, deletes the original folders and starts the Oculus "
                 "services again." +
                     kLater + kAskFinish);
        QVERIFY(!boxes[0].text.contains("Varko"));
        // No break inside "Oculus game"; one after each separator (MessageBoxW gets it plain).
        QVERIFY(boxes[0].text.contains(QString("/\u200Bgames/\u200BOculus\u00A0game")));
        QCOMPARE(boxes[0].owner, static_cast<QWidget*>(page.page.get()));
        QCOMPARE(boxes[0].action, QString("Finish the move"));
        QCOMPARE(boxes[0].style, ui::kMbYesNoQuestion);  // Windows: Yes finishes, No is "Later"
        QCOMPARE(page.engine.recoveries, std::vector<RecoveryAction>{RecoveryAction::kFinish});
    }

    void finishingWhatIsOnlyLinkedSaysSo() {
        Page page;
        page.engine.plan = Plan(RecoveryAction::kFinish, false);
        const auto boxes = page.Offer({ui::kIdNo});
        QCOMPARE(boxes.size(), size_t{1});
        QCOMPARE(Plain(boxes[0].text),
                 "Halvex was stopped while it moved your Oculus games. Your data is safe: it is "
                 "complete in /mnt/games/Oculus game, and the links to it are in place.\n\n"
                 "Recommended: Finish the move. Halvex deletes what is left of the original "
                 "folders and starts the Oculus services again." +
                     kLater + kAskFinish);
        QVERIFY(page.engine.recoveries.empty());
    }

    void putBackIsOfferedByNameAndLaterDoesNothing() {
        Page page;
        page.engine.plan = Plan(RecoveryAction::kPutBack);
        auto boxes = page.Offer({ui::kIdNo});
        QCOMPARE(boxes.size(), size_t{1});
        QCOMPARE(Plain(boxes[0].text),
                 "Halvex was stopped while it moved your Oculus games. Your data is safe: it is "
                 "whole in the original folders in /srv/Oculus. The copy in /mnt/games/Oculus "
                 "game is not complete.\n\nRecommended: Put back. Halvex deletes the partial "
                 "copy, gives the original folders their names back and starts the Oculus "
                 "services again." +
                     kLater + kAskPutBack);
        QCOMPARE(boxes[0].action, QString("Put back"));
        QVERIFY(page.engine.recoveries.empty());

        page.engine.plan = Plan(RecoveryAction::kPutBack, false);
        boxes = page.Offer({ui::kIdYes});
        QCOMPARE(Plain(boxes[0].text),
                 "Halvex was stopped while it moved your Oculus games. It had not moved them yet: "
                 "your data is safe in /srv/Oculus.\n\nRecommended: Put back. Halvex deletes "
                 "what it had begun to copy to /mnt/games/Oculus game and starts the Oculus "
                 "services again." +
                     kLater + kAskPutBack);
        QCOMPARE(page.engine.recoveries, std::vector<RecoveryAction>{RecoveryAction::kPutBack});
    }

    void aRefusalIsOneBoxThatNamesWhereTheDataIs() {
        Page page;
        page.engine.plan = Plan(RecoveryAction::kRefuse);
        page.engine.plan.why = L"\"Software\": in \"/srv/Oculus/SoftwareVarko\"";
        const auto boxes = page.Offer();
        QCOMPARE(boxes.size(), size_t{1});
        QCOMPARE(Plain(boxes[0].text),
                 QString("Halvex was stopped while it moved the Oculus folders, and cannot finish "
                         "or undo that move safely, so it leaves everything as it is. Where the "
                         "data is: \"Software\": in \"/srv/Oculus/SoftwareVarko\". Please put the "
                         "folders in order by hand. Then delete /var/halvex/state/move.journal."));
        QCOMPARE(boxes[0].style, ui::kMbOkWarning);  // a refusal
        QVERIFY(boxes[0].action.isEmpty());
        QVERIFY(page.engine.recoveries.empty());
    }

    // The folders cannot be looked at: a failure, said with its icon, and nothing is run.
    void aFailedLookIsAFailureBox() {
        Page page;
        page.engine.stateResult = 10005;
        const auto boxes = page.Offer();
        QCOMPARE(boxes.size(), size_t{1});
        QVERIFY(
            boxes[0].text.startsWith("Halvex was stopped while it moved the Oculus folders, "
                                     "but cannot look at them now."));
        QCOMPARE(boxes[0].style, ui::kMbOkError);
        QVERIFY(page.engine.recoveries.empty());
    }

    void nothingToRecoverAsksNothing() {
        Page page;
        page.engine.plan = Plan(RecoveryAction::kNothing);
        QVERIFY(page.Offer().empty());
        page.engine.unfinished = false;
        page.engine.plan = Plan(RecoveryAction::kFinish);  // not even looked at
        QVERIFY(page.Offer().empty());
        QVERIFY(page.engine.recoveries.empty());
    }

    void aNewMoveIsRefusedUntilTheInterruptedOneIsDealtWith() {
        Page page;
        uitest::BoxRecorder boxes;
        page.page->findChildren<QLineEdit*>().at(1)->setText("/mnt/games");
        for (QPushButton* button : page.page->findChildren<QPushButton*>()) {
            if (button->text() == "Start Move") button->click();
        }
        QCOMPARE(boxes.Texts(), QStringList{kUnfinished});
        QVERIFY(page.engine.checkedTargets.empty());  // refused before any other check
    }

#ifndef Q_OS_WIN
    // Without MessageBoxW the toolkit's box names its two buttons, with the question icon;
    // Escape means "Later".
    void theToolkitBoxNamesTheActionAndLater() {
        for (const QString& press : {QString("Put back"), QString("Later"), QString()}) {
            QStringList names;
            int icon = -1;
            uitest::WhenModal("QMessageBox", [&](QWidget* box) {
                icon = static_cast<QMessageBox*>(box)->icon();
                for (QPushButton* button : box->findChildren<QPushButton*>())
                    names << button->text();
                if (press.isEmpty()) {
                    QTest::keyClick(box, Qt::Key_Escape);
                    return;
                }
                for (QPushButton* button : box->findChildren<QPushButton*>()) {
                    if (button->text() == press) button->click();
                }
            });
            const int answer = ui::AskAction("Put it back now?", "Put back", ui::Owner::None);
            names.sort();
            QCOMPARE(names, (QStringList{"Later", "Put back"}));
            QCOMPARE(icon, int(QMessageBox::Question));
            QCOMPARE(answer, press == "Put back" ? ui::kIdYes : ui::kIdNo);
        }
    }
#endif

    void theProgressPageSpeaksOfTheRecovery() {
        QCOMPARE(RecoveryLines(kOpFinishMove, kCodeOk),
                 (QStringList{"Finishing the interrupted move...", "Move to:/mnt/games/Oculus game",
                              "Move finished: Software and Downloads are in /mnt/games/Oculus "
                              "game; the original folders were deleted; the Oculus services run "
                              "again."}));
        QCOMPARE(RecoveryLines(kOpPutBack, kCodeOk),
                 (QStringList{"Putting back the interrupted move...", "Source path:/srv/Oculus/",
                              "Move undone: Software and Downloads are back in /srv/Oculus; the "
                              "partial copy was deleted; the Oculus services run again."}));
        QCOMPARE(RecoveryLines(kOpRepoint, kCodeOk).last(),
                 QString("Links re-pointed: Software and Downloads in /srv/Oculus now lead to "
                         "/mnt/games/Oculus game; the Oculus services run again."));
        QCOMPARE(RecoveryLines(kOpPutBack, kCodeServicesNotStarted).last(),
                 QString("The Oculus folders are in order, but StartService failed. Please start "
                         "\"OVRService\" and \"OVRLibraryService\" by hand, or restart Halvex to "
                         "try again."));
        QCOMPARE(RecoveryLines(kOpFinishMove, kCodeRecoveryRefused).last(),
                 QString("The Oculus folders changed since Halvex looked at them, so it did "
                         "nothing. Please restart Halvex."));
        QCOMPARE(RecoveryLines(kOpFinishMove, 10005).last(),
                 QString("Failed to finish the interrupted move. Nothing is lost. Please restart "
                         "Halvex to try again."));
        QCOMPARE(RecoveryLines(kOpPutBack, 10005).last(),
                 QString("Failed to put back the interrupted move. Nothing is lost. Please "
                         "restart Halvex to try again."));
    }
};

HX_REGISTER_TEST(TestRecoveryOffer);
#include "recovery_test.moc"
