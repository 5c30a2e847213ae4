// Start-up as a child process with a host folder of its own: this binary, started with
// --startup-child, runs the program's start-up with its boxes answered and reported on standard
// output, reports the main window, and then presses the window's close button ("quit") or first
// waits until the file "release" appears in the host folder ("hold"). An offer of an action is
// answered as HALVEX_TEST_ANSWER says ("yes" or "no"; between two actions "yes" takes the
// first, "second" the second and "no" later); a progress page that it opens is closed
// once it shows its result (its lines reach standard output as "halvex: ...").
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "OculusMgr/COculusMgr.h"
#include "TaskMgr/CTaskMgr.h"
#include "TaskMgr/MoveJournal.h"
#include "Vr/vr.h"
#include "app/startup.h"
#include "interrupt.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/services.h"
#include "ui/CProgressWgt.h"
#include "ui/uishell.h"
#include "uitest.h"

namespace {

// How the child process reports the main window it showed.
const QString kWindowLine = QStringLiteral("WINDOW %1x%2").arg(ui::kMainWidth).arg(ui::kMainHeight);

bool g_holdChild = false;

void PressClose() {
    g_mainWnd->findChild<QPushButton*>("title_close")->click();
}

void ReportWindow() {
    // Start-up's recovery runs its progress page in a loop of its own before the application's
    // loop starts; a close pressed in that loop's last turn would find no application loop to
    // end. The page is gone once start-up has returned to the application.
    if (QApplication::activeModalWidget() || (g_mainWnd && g_mainWnd->findChild<CProgressWgt*>())) {
        QTimer::singleShot(50, &ReportWindow);
        return;
    }
    QWidget* w = g_mainWnd;
    if (!w) {
        std::printf("NO WINDOW\n");
        std::fflush(stdout);
        QCoreApplication::exit(3);
        return;
    }
    std::printf("WINDOW %dx%d fixed=%d title=%s visible=%d font=%s/%dpx\n", w->width(), w->height(),
                w->minimumSize() == w->maximumSize(), qPrintable(w->windowTitle()), w->isVisible(),
                qPrintable(QFontInfo(QApplication::font()).family()),
                QApplication::font().pixelSize());
    std::fflush(stdout);
    if (!g_holdChild) return PressClose();
    auto* poll = new QTimer(w);
    QObject::connect(poll, &QTimer::timeout, [] {
        if (QFile::exists(qEnvironmentVariable("HALVEX_HOST") + "/release")) PressClose();
    });
    poll->start(20);
}

// Presses OK on a progress page once it shows its result; owned by the application, so it ends
// with it whether or not a page came.
void CloseProgressPages() {
    auto* closer = new QTimer(qApp);
    QObject::connect(closer, &QTimer::timeout, [] {
        QWidget* modal = QApplication::activeModalWidget();
        if (uitest::ProgressEnded(modal)) modal->findChild<QPushButton*>("normalbtn")->click();
    });
    closer->start(20);
}

void ScheduleReport() {
    QTimer::singleShot(0, &ReportWindow);
    CloseProgressPages();
}

}  // namespace

int RunStartupChild(int argc, char** argv, const char* mode) {
    g_holdChild = std::strcmp(mode, "hold") == 0;
    ui::SetMessageBoxHook([](const ui::MessageBoxRequest& request) {
        // One line a box: its line breaks travel as a backslash and "n".
        QString text = request.text;
        text.replace(u'\n', QStringLiteral("\\n"));
        std::printf("BOX %s|owned=%d|style=0x%x", text.toUtf8().constData(), int(request.owned),
                    unsigned(request.style));
        if (!request.action.isEmpty()) std::printf("|action=%s", qPrintable(request.action));
        if (!request.second.isEmpty()) std::printf("|second=%s", qPrintable(request.second));
        std::printf("\n");
        std::fflush(stdout);
        if (request.action.isEmpty()) return ui::kIdOk;
        const QByteArray answer = qgetenv("HALVEX_TEST_ANSWER");
        if (!request.second.isEmpty())
            return answer == "yes" ? ui::kIdYes : answer == "second" ? ui::kIdNo : ui::kIdCancel;
        return answer == "yes" ? ui::kIdYes : ui::kIdNo;
    });
    qAddPreRoutine(ScheduleReport);  // runs inside the application object's constructor
    return RunHalvex(argc, argv);
}

namespace {

class Child {
  public:
    Child(const QString& host, const QString& work, const char* mode, const char* answer = "") {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HALVEX_HOST", host);
        env.insert("HALVEX_TEST_ANSWER", answer);
        env.insert("QT_QPA_PLATFORM", QGuiApplication::platformName());  // the one this runs on
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(work);
        process_.start(QCoreApplication::applicationFilePath(),
                       {QString("--startup-child=") + mode});
    }
    ~Child() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    bool WaitForWindow() {
        const QDeadlineTimer deadline(uitest::kEventMs);
        while (!output_.contains("WINDOW") && !deadline.hasExpired()) {
            if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning) break;
            output_ += Text(process_.readAllStandardOutput());
        }
        return output_.contains("WINDOW");
    }
    int Finish() {
        const bool finished = process_.waitForFinished(uitest::kEventMs);
        output_ += Text(process_.readAllStandardOutput());
        if (!finished) return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -2;
    }
    QStringList Lines(const char* prefix) const {
        QStringList lines;
        for (const QString& line : output_.split('\n')) {
            if (line.startsWith(prefix)) lines << line.mid(int(std::strlen(prefix)));
        }
        return lines;
    }
    QStringList Boxes() const {
        QStringList boxes;
        for (const QString& line : output_.split('\n')) {
            if (line.startsWith("BOX ")) boxes << line.mid(4).replace("\\n", "\n");
        }
        return boxes;
    }
    const QString& output() const { return output_; }

  private:
    QProcess process_;
    QString output_;

    // A Windows program's standard output ends its lines with "\r\n".
    static QString Text(const QByteArray& bytes) { return QString::fromUtf8(bytes).remove(u'\r'); }
};

const QString kRunning = "Halvex is running...|owned=0|style=0x40";
const QString kUninstaller =
    QString::fromUtf8("Dravune Is Running\uFF0CPlease run the Halvex later.|owned=0|style=0x40");

}  // namespace

class TestStartup : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        host_ = std::make_unique<QTemporaryDir>();
        work_ = std::make_unique<QTemporaryDir>();
        uitest::UseHost(host_->path());
    }
    void cleanup() { uitest::UseHost({}); }

    void mainWindowOpensFixedAndCloseButtonEndsWithZero() {
        Child child(host_->path(), work_->path(), "quit");
        QCOMPARE(child.Finish(), 0);
        QVERIFY2(child.output().contains(kWindowLine + " fixed=1 title=Halvex visible=1"),
                 qPrintable(child.output()));
        QVERIFY2(child.output().contains("font=Tahoma/12px"), qPrintable(child.output()));
        QVERIFY(child.Boxes().isEmpty());
    }

    void secondInstanceIsRefusedAndTheFirstGoesOn() {
        Child first(host_->path(), work_->path(), "hold");
        QVERIFY2(first.WaitForWindow(), qPrintable(first.output()));
        Child second(host_->path(), work_->path(), "quit");
        QCOMPARE(second.Finish(), 1);
        QCOMPARE(second.Boxes(), QStringList{kRunning});
        QVERIFY(!second.output().contains("WINDOW"));
        QFile(host_->path() + "/release").open(QIODevice::WriteOnly);
        QCOMPARE(first.Finish(), 0);
    }

    void runningUninstallerRefusesUntilItEnds() {
        sys::MutexHandle uninstaller = sys::CreateMutexW(L"Varko Dravune");
        QVERIFY(uninstaller);
        Child refused(host_->path(), work_->path(), "quit");
        QCOMPARE(refused.Finish(), 1);
        QCOMPARE(refused.Boxes(), QStringList{kUninstaller});
        QVERIFY(!refused.output().contains("WINDOW"));
        sys::CloseHandle(uninstaller);
        // The refused start held the instance name only until it ended.
        Child later(host_->path(), work_->path(), "quit");
        QCOMPARE(later.Finish(), 0);
        QVERIFY(later.output().contains("WINDOW"));
    }

    void probeDoesNotKeepTheUninstallerName() {
        Child first(host_->path(), work_->path(), "hold");
        QVERIFY(first.WaitForWindow());
        sys::MutexHandle uninstaller = sys::CreateMutexW(L"Varko Dravune");
        QCOMPARE(sys::GetLastError(), 0u);  // a running instance must not look like the tool
        sys::CloseHandle(uninstaller);
        QFile(host_->path() + "/release").open(QIODevice::WriteOnly);
        QCOMPARE(first.Finish(), 0);
    }

    void otherInstanceMessageWinsOverTheUninstaller() {
        Child first(host_->path(), work_->path(), "hold");
        QVERIFY(first.WaitForWindow());
        sys::MutexHandle uninstaller = sys::CreateMutexW(L"Varko Dravune");
        Child second(host_->path(), work_->path(), "quit");
        QCOMPARE(second.Finish(), 1);
        QCOMPARE(second.Boxes(), QStringList{kRunning});
        sys::CloseHandle(uninstaller);
        QFile(host_->path() + "/release").open(QIODevice::WriteOnly);
        QCOMPARE(first.Finish(), 0);
    }

  private:
    std::unique_ptr<QTemporaryDir> host_;
    std::unique_ptr<QTemporaryDir> work_;
};

HX_REGISTER_TEST(TestStartup);

namespace {

// An installation whose move was stopped at a chosen moment (see interrupt.h), for a child to
// start up on. The stand-in services stop and start at once, so no clock is shared.
class Interrupted {
  public:
    // largeDownloads: a download of 64 KiB besides, so that "Downloads" (copied first) holds
    // most of the bytes.
    Interrupted(int32_t phase, uint64_t callsInto, bool largeDownloads = false) {
        if (!install_.ok() || !install_.scratch().Make("target") ||
            (largeDownloads &&
             !install_.scratch().Write("Oculus/Downloads/large.bin", QByteArray(65536, 'd')))) {
            return;
        }
#ifndef Q_OS_WIN
        if (!install_.Host({"services", "install", "stop_ms=0", "start_ms=0", "stop_hint=0",
                            "start_hint=0"})) {
            return;
        }
#endif
        uitest::ScopedServiceClock clock;
        CVr engine;
        std::wstring source;
        engine.ResolveSourceDir(source);
        if (engine.CheckTargetDir(Target().toStdWString()) != 0) return;
        testsupport::Interrupter stop(phase, callsInto);
        engine.Task().SetPhaseObserver(&stop);
        engine.MoveInstallation();
        engine.Task().SetPhaseObserver(nullptr);
        sys::fault::Reset();
        ok_ = stop.Interrupted() && JournalThere();
    }
    bool ok() const {
        return ok_;
    }
    QString Host() const {
        return install_.Path("host");
    }
    QString Target() const {
        return install_.Path("target");
    }
    QString Copies() const {
        return install_.Path("target/Oculus game");
    }
    QString Copy(const char* top) const {
        return Copies() + QDir::separator() + top;
    }
    QString Base() const {
        return install_.Base();
    }
    QString Software() const {
        return install_.Software();
    }
    QString Downloads() const {
        return install_.Downloads();
    }
    QString Journal() const {
        std::wstring path;
        GetJournalPath(path);
        return QString::fromStdWString(path);
    }
    bool JournalThere() const {
        return QFile::exists(Journal());
    }
    bool ServicesRunning() {
        for (const std::wstring& name : COculusMgr::ServiceNames()) {
            COculusMgr oculus;
            oculus.serviceName = name;
            uint32_t state = 0;
            if (oculus.QueryState(state) != 0 || state != sys::kServiceRunning) return false;
        }
        return true;
    }
    bool ParkedLeft() const {
        return QFileInfo::exists(Software() + "Varko") || QFileInfo::exists(Downloads() + "Varko");
    }

  private:
    uitest::Installation install_;
    bool ok_ = false;
};

QString Box(const QString& text, const char* action) {
    return text + "|owned=1|style=0x24|action=" + action;  // the question icon
}

// The boxes as read: paths in them may wrap only after a separator.
QStringList Plain(QStringList boxes) {
    for (QString& text : boxes) {
        text.remove(QChar(0x200B));
        text.replace(QChar(0x00A0), u' ');
    }
    return boxes;
}

const QString kLater =
    "\n\nLater leaves everything as it is: until then the Oculus platform cannot find its games "
    "and cannot run.";

}  // namespace

// Start-up after a move that was stopped: one box says what the disk shows and offers the one
// fitting action or "Later"; the action runs behind the progress page before the window offers
// a move.
class TestStartupRecovery : public QObject {
    Q_OBJECT
  private slots:
    void cleanup() { uitest::UseHost({}); }

    void aMoveStoppedAfterItsCopiesIsFinished() {
        if (sys::RunningUnderWine()) {
            QSKIP("Wine 8 makes no symbolic links: the finish cannot link the folders");
        }
        Interrupted moment(kLinking, 0);
        QVERIFY(moment.ok());
        QTemporaryDir work;
        Child child(moment.Host(), work.path(), "quit", "yes");
        QVERIFY2(child.Finish() == 0, qPrintable(child.output()));
        const QString offer =
            "Halvex was stopped while it moved your Oculus games. Your data is safe: the copies "
            "in " +
            moment.Copies() + " are complete, and the original folders are still in " +
            moment.Base() +
            ".\n\nRecommended: Finish the move. Halvex links the Oculus folders to the copies, "
            "deletes the original folders and starts the Oculus services again." +
            kLater + uitest::kAskFinish;
        QCOMPARE(Plain(child.Boxes()), QStringList{Box(offer, "Finish the move")});
        QCOMPARE(child.Lines("halvex: "),
                 (QStringList{"Finishing the interrupted move...", "Move to:" + moment.Copies(),
                              "Move finished: Software and Downloads are in " + moment.Copies() +
                                  "; the original folders were deleted; the Oculus services run "
                                  "again."}));
        QVERIFY2(child.output().contains(kWindowLine), qPrintable(child.output()));
        QCOMPARE(QFileInfo(moment.Software()).symLinkTarget(),
                 QDir::fromNativeSeparators(moment.Copy("Software")));
        QCOMPARE(QFileInfo(moment.Downloads()).symLinkTarget(),
                 QDir::fromNativeSeparators(moment.Copy("Downloads")));
        QVERIFY(!moment.ParkedLeft());
        QVERIFY(!moment.JournalThere());
        QVERIFY(moment.ServicesRunning());
    }

    // Stopped before much was copied: Put back is recommended, Continue offered beside it.
    void aMoveStoppedWhileCopyingIsPutBack() {
        Interrupted moment(kCopyFirst, 0);
        QVERIFY(moment.ok());
        QTemporaryDir work;
        Child child(moment.Host(), work.path(), "quit", "second");
        QVERIFY2(child.Finish() == 0, qPrintable(child.output()));
        const QStringList boxes = Plain(child.Boxes());
        QCOMPARE(boxes.size(), 1);
        const QString said = boxes.first();
        QVERIFY2(said.startsWith("Halvex was stopped while it moved your Oculus games. Your data "
                                 "is safe: it is whole in the original folders in " +
                                 moment.Base() + ". Before it stopped, 0 bytes of "),
                 qPrintable(said));
        QVERIFY2(said.contains(" had been copied to " + moment.Copies() + "; "), qPrintable(said));
        QVERIFY2(
            said.endsWith(" are left to copy.\n\nRecommended: Put back. Halvex deletes the partial "
                          "copy, gives the original folders their names back and starts the Oculus "
                          "services again.\n\nContinue keeps each file it had copied whole, copies "
                          "the rest and finishes the move." +
                          kLater + uitest::kAskContinueOrPutBack +
                          "|owned=1|style=0x123|action=Continue|second=Put back"),
            qPrintable(said));
        QCOMPARE(child.Lines("halvex: "),
                 (QStringList{"Putting back the interrupted move...",
                              "Source path:" + moment.Base() + QDir::separator(),
                              "Move undone: Software and Downloads are back in " + moment.Base() +
                                  "; the partial copy was deleted; the Oculus services run "
                                  "again."}));
        QVERIFY(QFileInfo(moment.Software()).isDir() && !QFileInfo(moment.Software()).isSymLink());
        QVERIFY(QFile::exists(moment.Software() + "/Game One/game.bin"));
        QVERIFY(QFile::exists(moment.Downloads() + "/partial.tmp"));
        QVERIFY(!moment.ParkedLeft());
        QVERIFY(!QFileInfo::exists(moment.Copies()));
        QVERIFY(!moment.JournalThere());
        QVERIFY(moment.ServicesRunning());
    }

    // Stopped well into the copy: Continue is recommended, keeps what was copied, and the move
    // ends as any move does.
    void aMoveStoppedLateInItsCopyIsContinued() {
        if (sys::RunningUnderWine()) {
            QSKIP("Wine 8 makes no symbolic links: the continued move cannot link the folders");
        }
        Interrupted moment(kCopied, 1, true);
        QVERIFY(moment.ok());
        QTemporaryDir work;
        Child child(moment.Host(), work.path(), "quit", "yes");
        QVERIFY2(child.Finish() == 0, qPrintable(child.output()));
        const QStringList boxes = Plain(child.Boxes());
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes.first().contains(
                     "\n\nRecommended: Continue. Halvex reads back each file it had copied and "
                     "keeps those that are whole, copies the rest, links the Oculus folders to "
                     "the copies, deletes the original folders and starts the Oculus services "
                     "again.\n\nPut back deletes the partial copy instead, gives the original "
                     "folders their names back and starts the Oculus services again."),
                 qPrintable(boxes.first()));
        QVERIFY(boxes.first().endsWith("|style=0x23|action=Continue|second=Put back"));
        const QStringList lines = child.Lines("halvex: ");
        QVERIFY2(lines.size() >= 2, qPrintable(child.output()));
        QCOMPARE(lines.first(), QStringLiteral("Continuing the interrupted move..."));
        QCOMPARE(lines.last(), QStringLiteral("Successful operation."));
        QCOMPARE(QFileInfo(moment.Software()).symLinkTarget(), moment.Copies() + "/Software");
        QCOMPARE(QFileInfo(moment.Downloads()).symLinkTarget(), moment.Copies() + "/Downloads");
        QVERIFY(QFile::exists(moment.Software() + "/Game One/game.bin"));
        QVERIFY(!moment.ParkedLeft());
        QVERIFY(!moment.JournalThere());
        QVERIFY(moment.ServicesRunning());
    }

    void laterLeavesEverythingAsItIs() {
        Interrupted moment(kCopyFirst, 0);
        QVERIFY(moment.ok());
        QTemporaryDir work;
        Child child(moment.Host(), work.path(), "quit", "no");
        QCOMPARE(child.Finish(), 0);
        QCOMPARE(child.Boxes().size(), 1);
        QVERIFY(child.Boxes().first().endsWith("|action=Continue|second=Put back"));
        QVERIFY(child.Lines("halvex: ").isEmpty());  // no progress page
        QVERIFY(child.output().contains(kWindowLine));
        QVERIFY(moment.ParkedLeft());
        QVERIFY(moment.JournalThere());
        QVERIFY(QFileInfo::exists(moment.Copy("Downloads")));
    }

    void whatCannotBeSortedOutIsExplainedAndLeftAlone() {
        Interrupted moment(kCopyFirst, 0);
        QVERIFY(moment.ok());
        QVERIFY(QDir().mkpath(moment.Software()));  // a new, empty one beside the parked one
        QTemporaryDir work;
        Child child(moment.Host(), work.path(), "quit", "yes");
        QVERIFY2(child.Finish() == 0, qPrintable(child.output()));
        const QStringList boxes = Plain(child.Boxes());
        QCOMPARE(boxes.size(), 1);
        const QString q = "\"";
        const QString explained =
            "Halvex was stopped while it moved the Oculus folders, and cannot finish or undo that "
            "move safely, so it leaves everything as it is. Where the data is: " +
            q + "Downloads" + q + ": in " + q + moment.Downloads() + "Varko" + q +
            ", and a partial copy in " + q + moment.Copy("Downloads") + q + "; " + q + "Software" +
            q + ": " + q + moment.Software() + q + " and " + q + moment.Software() + "Varko" + q +
            " both exist; its data may be in " + q + moment.Software() + q + ", " + q +
            moment.Software() + "Varko" + q + " or " + q + moment.Copy("Software") + q +
            ". Please put the folders in order by hand. Then delete " + moment.Journal() +
            ".|owned=1|style=0x30";  // a refusal: the warning icon
        QCOMPARE(boxes.first(), explained);
        QVERIFY(child.Lines("halvex: ").isEmpty());
        QVERIFY(moment.ParkedLeft());
        QVERIFY(moment.JournalThere());
    }
};

HX_REGISTER_TEST(TestStartupRecovery);
#include "startup_test.moc"
