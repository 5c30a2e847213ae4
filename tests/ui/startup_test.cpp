// Start-up as a child process with a host folder of its own: this binary, started with
// --startup-child, runs the program's start-up with its boxes answered and reported on standard
// output, reports the main window, and then presses the window's close button ("quit") or first
// waits until the file "release" appears in the host folder ("hold").
#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontInfo>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/startup.h"
#include "platform/host.h"
#include "platform/process.h"
#include "uitest.h"

namespace {

bool g_holdChild = false;

void PressClose() {
    g_mainWnd->findChild<QPushButton*>("title_close")->click();
}

void ReportWindow() {
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
        if (QFile::exists(QString::fromStdString(sys::HostDir() + "/release"))) PressClose();
    });
    poll->start(20);
}

void ScheduleReport() {
    QTimer::singleShot(0, &ReportWindow);
}

}  // namespace

int RunStartupChild(int argc, char** argv, const char* mode) {
    g_holdChild = std::strcmp(mode, "hold") == 0;
    ui::SetMessageBoxHook([](const ui::MessageBoxRequest& request) {
        std::printf("BOX %s|owned=%d|style=0x%x\n", request.text.toUtf8().constData(),
                    int(request.owned), unsigned(request.style));
        std::fflush(stdout);
        return ui::kIdOk;
    });
    qAddPreRoutine(ScheduleReport);  // runs inside the application object's constructor
    return RunHalvex(argc, argv);
}

namespace {

class Child {
  public:
    Child(const QString& host, const QString& work, const char* mode) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HALVEX_HOST", host);
        env.insert("QT_QPA_PLATFORM", "offscreen");
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
            output_ += QString::fromUtf8(process_.readAllStandardOutput());
        }
        return output_.contains("WINDOW");
    }
    int Finish() {
        if (!process_.waitForFinished(uitest::kEventMs)) return -1;
        output_ += QString::fromUtf8(process_.readAllStandardOutput());
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -2;
    }
    QStringList Boxes() const {
        QStringList boxes;
        for (const QString& line : output_.split('\n')) {
            if (line.startsWith("BOX ")) boxes << line.mid(4);
        }
        return boxes;
    }
    const QString& output() const { return output_; }

  private:
    QProcess process_;
    QString output_;
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
        sys::SetHostDir(host_->path().toStdString());
    }
    void cleanup() { sys::SetHostDir({}); }

    void mainWindowOpensFixedAndCloseButtonEndsWithZero() {
        Child child(host_->path(), work_->path(), "quit");
        QCOMPARE(child.Finish(), 0);
        QVERIFY2(child.output().contains("WINDOW 530x365 fixed=1 title=Halvex visible=1"),
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
#include "startup_test.moc"
