// Whole moves through the main window with the real engine, on real folders of a simulated
// installation: success, a cancel during the first copy, and a cancel the engine refuses.
// The fault seam runs the test's steps at chosen copy calls, on the worker's own time.
#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include "ui/Trekhold.h"
#include "ui/volumecheck.h"
#include "uitest.h"

namespace {

// The main window over a fresh simulated installation, as the program shows it.
struct Desk {
    Desk() {
        if (!installation.ok()) return;
        installation.scratch().Make("target");
        window = std::make_unique<Trekhold>(nullptr);
        g_mainWnd = window.get();
        window->setFixedSize(530, 365);
        window->show();
        const auto edits = window->findChildren<QLineEdit*>();
        source = edits.at(0);
        target = edits.at(1);
        for (QPushButton* button : window->findChildren<QPushButton*>()) {
            if (button->text() == "Start Move") start = button;
        }
    }
    ~Desk() {
        sys::fault::Reset();
        window.reset();
        g_mainWnd = nullptr;
    }
    QString Why() const {
        if (!installation.ok()) return installation.error();
        const QString dir = installation.Path("target");
        const FsKind kind = GetFileSystemKind(dir);
        if (!IsHardDiskOrFlash(dir) || !(kind == FsNtfs || kind == FsExFat || kind == FsNative)) {
            return "the scratch folder's volume is not one a move accepts";
        }
        return {};
    }
    // Runs the move from the Start button; gives the progress page's log as it ended. The
    // target shares the installation's volume, so the page asks first: Yes.
    QStringList Move(int* finalBar = nullptr) {
        boxes.Answer(ui::kIdYes);
        target->setText(installation.Path("target"));
        QStringList lines;
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!uitest::ProgressEnded(modal)) return;
            lines = modal->findChild<QTextEdit*>()->toPlainText().split('\n');
            if (finalBar) *finalBar = modal->findChild<QProgressBar*>()->value();
            poll->stop();
            poll->deleteLater();
            modal->findChild<QPushButton*>("normalbtn")->click();
        });
        poll->start(20);
        start->click();  // returns once the progress page has closed
        return lines;
    }
    QString Target(const QString& relative) const {
        return installation.Path("target/Oculus game/" + relative);
    }
    QString SameVolume() const { return uitest::SameVolumeQuestion(installation.Base()); }

    uitest::ScopedVirtualClock clock;
    uitest::Installation installation;
    uitest::BoxRecorder boxes;
    std::unique_ptr<Trekhold> window;
    QLineEdit* source = nullptr;
    QLineEdit* target = nullptr;
    QPushButton* start = nullptr;
};

#define REQUIRE_DESK(desk) \
    if (!(desk).Why().isEmpty()) QSKIP(qPrintable((desk).Why()))

// Runs body on the user-interface thread, with the progress page, and waits for it.
void OnPage(std::function<void(QWidget*)> body) {
    QMetaObject::invokeMethod(
        qApp, [&] { body(QApplication::activeModalWidget()); }, Qt::BlockingQueuedConnection);
}

void AtCopy(uint64_t nth, std::function<void()> action) {
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kCopyFile, nth, 0, false, std::move(action)});
}

const QString kSuccess = "Successful operation.";

}  // namespace

class TestWholeMove : public QObject {
    Q_OBJECT
  private slots:
    void moveThroughThePageLinksTheOldPaths() {
        Desk desk;
        REQUIRE_DESK(desk);
        QCOMPARE(desk.source->text(), desk.installation.Software());
        int liveBar = -1;
        AtCopy(3, [&] {
            OnPage([&](QWidget* page) {
                QMetaObject::invokeMethod(page, "OnProgressTimer");
                liveBar = page->findChild<QProgressBar*>()->value();
            });
        });
        int finalBar = -1;
        const QStringList lines = desk.Move(&finalBar);
        QCOMPARE(desk.boxes.Texts(), QStringList{desk.SameVolume()});
        QCOMPARE(lines, QStringList({"Performing the move...",
                                     "Move to:" + desk.installation.Path("target"), kSuccess}));
        QVERIFY2(liveBar > 0 && liveBar < 100, qPrintable(QString::number(liveBar)));
        QCOMPARE(finalBar, 100);
        QCOMPARE(desk.target->text(), QString());
        QCOMPARE(desk.source->text(), desk.installation.Software());

        const QFileInfo software(desk.installation.Software());
        QVERIFY(software.isSymLink());
        QCOMPARE(software.symLinkTarget(), desk.Target("Software"));
        QVERIFY(QFileInfo(desk.installation.Downloads()).isSymLink());
        QVERIFY(QFileInfo::exists(desk.Target("Software/Game One/data/level1.pak")));
        QVERIFY(QFileInfo::exists(desk.Target("Downloads/empty folder")));
        QVERIFY(QFileInfo::exists(desk.installation.Software() + "/Game Two/two.bin"));
        QVERIFY(!QFileInfo::exists(desk.installation.Base() + "/SoftwareVarko"));
        QVERIFY(!QFileInfo::exists(desk.installation.Base() + "/DownloadsVarko"));
    }

    void cancelDuringTheFirstCopyRestoresTheOldFolders() {
        Desk desk;
        REQUIRE_DESK(desk);
        AtCopy(1, [] {
            OnPage([](QWidget* page) { page->findChild<QPushButton*>("normalbtn")->click(); });
        });
        const QStringList lines = desk.Move();
        QCOMPARE(desk.boxes.Texts(), QStringList{desk.SameVolume()});
        QCOMPARE(lines.mid(2), QStringList({"Task cancelled. Restoring to the state before move...",
                                            "Failed to move. Please restart your computer and "
                                            "try again. If the problem still exists, please "
                                            "contact us."}));
        QVERIFY(!QFileInfo(desk.installation.Software()).isSymLink());
        QVERIFY(QFileInfo::exists(desk.installation.Software() + "/Game One/game.bin"));
        QVERIFY(QFileInfo::exists(desk.installation.Downloads() + "/partial.tmp"));
        QVERIFY(!QFileInfo::exists(desk.installation.Base() + "/SoftwareVarko"));
        QVERIFY(!QFileInfo::exists(desk.Target("Downloads/partial.tmp")));
        QCOMPARE(desk.target->text(), QString());
    }

    void cancelAfterTheFirstTreeIsRefusedAndTheMoveGoesOn() {
        Desk desk;
        REQUIRE_DESK(desk);
        // Downloads, holding one file, is copied first: the second copy is in Software.
        AtCopy(2, [] {
            OnPage([](QWidget* page) { page->findChild<QPushButton*>("normalbtn")->click(); });
        });
        const QStringList lines = desk.Move();
        QCOMPARE(desk.boxes.Texts(),
                 QStringList({desk.SameVolume(),
                              "The program is performing last configuration process. Please "
                              "wait until it is complete."}));
        QVERIFY(desk.boxes.Requests().back().owned);
        QCOMPARE(lines.last(), kSuccess);
        QVERIFY(!lines.join('\n').contains("Task cancelled"));
        QVERIFY(QFileInfo(desk.installation.Software()).isSymLink());
    }
};

HX_REGISTER_TEST(TestWholeMove);
#include "wholemove_test.moc"
