// The frameless windows: pictures, placement, dragging, the main window's look and menu, and
// the About dialog.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "ui/CAboutDlg.h"
#include "ui/COculusInstallWgt.h"
#include "ui/Trekhold.h"
#include "ui/bridges.h"
#include "ui/uishell.h"
#include "uitest.h"

namespace {

// A main window as start-up makes it, at a known place.
struct MainWindow {
    MainWindow() {
        engine.source = L"/srv/Oculus/Software";
        engine.base = L"/srv/Oculus/";
        window = std::make_unique<Trekhold>(nullptr);
        g_mainWnd = window.get();
        window->setFixedSize(530, 365);
        window->move(200, 150);
        window->show();
    }
    ~MainWindow() {
        window.reset();
        g_mainWnd = nullptr;
    }
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    std::unique_ptr<Trekhold> window;
};

QPushButton* TitleButton(QWidget* window, const char* name) {
    return window->findChild<QPushButton*>(name);
}

}  // namespace

class TestWindows : public QObject {
    Q_OBJECT
  private slots:
    void picturesAreCompiledInWithTheirSizes_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("VR") << ":/res/VR.png" << QSize(100, 100);
        QTest::newRow("header") << ":/res/main_top.png" << QSize(902, 108);
        for (const char* kind : {"menu", "min", "close"}) {
            for (const char* state : {"", "_hover", "_press"}) {
                const QString path = QString(":/res/ICON/title_%1%2.png").arg(kind, state);
                QTest::newRow(qPrintable(path)) << path << QSize(15, 13);
            }
        }
        QTest::newRow("about icon") << ":/res/ICON/title_menu_about.png" << QSize(16, 16);
        QTest::newRow("icon_en") << ":/res/icon_en.png" << QSize(96, 96);
        QTest::newRow("ques") << ":/res/ques.png" << QSize(14, 14);
        QTest::newRow("tab") << ":/res/TabWidget/TabWidget_Header.png" << QSize(85, 29);
        QTest::newRow("tab hover") << ":/res/TabWidget/TabWidget_Header_hover.png" << QSize(85, 29);
        QTest::newRow("tab chick")
            << ":/res/TabWidget/TabWidget_Header_chick.png" << QSize(123, 30);
    }
    void picturesAreCompiledInWithTheirSizes() {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path + " is missing"));
        QCOMPARE(image.size(), size);
    }

    void dialogsCentreOverTheMainWindow() {
        QWidget main;
        main.setFixedSize(530, 365);
        main.move(100, 80);
        g_mainWnd = &main;
        QWidget progressSized, aboutSized, larger;
        progressSized.resize(400, 280);
        aboutSized.resize(370, 240);
        larger.resize(600, 400);
        CenterOnMainWnd(&progressSized);
        CenterOnMainWnd(&aboutSized);
        CenterOnMainWnd(&larger);
        QCOMPARE(progressSized.pos(), QPoint(165, 122));
        QCOMPARE(aboutSized.pos(), QPoint(180, 142));
        QCOMPARE(larger.pos(), QPoint(100 - 35, 80 - 17));  // halves truncate toward zero
        g_mainWnd = nullptr;
        QWidget untouched;
        untouched.move(7, 9);
        CenterOnMainWnd(&untouched);
        QCOMPARE(untouched.pos(), QPoint(7, 9));
        CenterOnMainWnd(nullptr);
    }

    // Frame, header and body as painted: dark blue border, header from the strip, white body.
    void mainWindowPaintsFrameHeaderAndBody() {
        MainWindow main;
        const QImage shot = main.window->grab().toImage();
        const QColor frame(11, 43, 75);
        QCOMPARE(shot.pixelColor(0, 200), frame);
        QCOMPARE(shot.pixelColor(529, 200), frame);
        QCOMPARE(shot.pixelColor(300, 0), frame);
        QCOMPARE(shot.pixelColor(300, 364), frame);
        QCOMPARE(shot.pixelColor(10, 100), QColor(Qt::white));
        const QColor header = shot.pixelColor(300, 5);
        QVERIFY2(header.blue() > header.red() && header.lightness() < 100, "a dark blue header");
    }

    void dragStartsOnlyWhereNoChildLies() {
        MainWindow main;
        Trekhold* w = main.window.get();
        QVERIFY(ui::IsDragPoint(w, QPoint(300, 20)));    // header, away from the buttons
        QVERIFY(ui::IsDragPoint(w, QPoint(10, 100)));    // empty body
        QVERIFY(!ui::IsDragPoint(w, QPoint(505, 20)));   // close button
        QVERIFY(!ui::IsDragPoint(w, QPoint(250, 100)));  // the picture
        const QLineEdit* target = w->findChildren<QLineEdit*>().last();
        QVERIFY(!ui::IsDragPoint(w, target->mapTo(w, QPoint(3, 3))));
        QVERIFY(!ui::IsDragPoint(w, QPoint(-1, 5)));  // outside the window
    }

    void minimiseButtonMinimises() {
        MainWindow main;
        TitleButton(main.window.get(), "title_min")->click();
        QTRY_VERIFY_WITH_TIMEOUT(main.window->isMinimized(), uitest::kEventMs);
    }

    void closeButtonQuitsTheEventLoop() {
        MainWindow main;
        QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);
        QTimer::singleShot(0, TitleButton(main.window.get(), "title_close"), &QPushButton::click);
        QTimer::singleShot(uitest::kEventMs, qApp,
                           [] { QCoreApplication::exit(2); });  // a safety net
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(quitting.count(), 1);
    }

    void menuOpensTenPixelsBelowItsButtonAndOffersAbout() {
        MainWindow main;
        Trekhold* w = main.window.get();
        TitleButton(w, "title_menu")->click();
        auto* menu = w->findChild<QMenu*>();
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), uitest::kEventMs);
        QCOMPARE(menu->pos(), w->pos() + QPoint(450, 15 + 13 + 10));
        QCOMPARE(menu->actions().size(), 1);
        QAction* about = menu->actions().first();
        QCOMPARE(about->text(), QString("About"));
        QCOMPARE(about->data(), QVariant(1));
        QVERIFY(!about->icon().isNull());
        menu->hide();

        // Choosing it opens the About dialog modally, centred over the window.
        QPoint aboutAt;
        uitest::WhenModal("CAboutDlg", [&](QWidget* dialog) {
            aboutAt = dialog->pos();
            dialog->findChild<QPushButton*>("normalbtn")->click();
        });
        about->trigger();
        QCOMPARE(aboutAt, w->pos() + QPoint(80, 62));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void aboutDialogClosesByEitherButtonWithAccepted() {
        MainWindow main;
        for (const char* name : {"normalbtn", "btnClose"}) {
            CAboutDlg about(main.window.get());
            const QString text = about.findChildren<QLabel*>().last()->text();
            QVERIFY(text.startsWith("<b>Halvex 2.0</b><br><br>Website: <a href="));
            QVERIFY(text.contains("<br>Email:   <a href=\"mailto:"));
            QTimer::singleShot(0, about.findChild<QPushButton*>(name), &QPushButton::click);
            QCOMPARE(about.exec(), 1);
        }
    }

    void announcedSourceReachesTheSourceField() {
        MainWindow main;
        auto* source = main.window->findChildren<QLineEdit*>().first();
        QCOMPARE(source->text(), QString("/srv/Oculus/Software"));
        g_notifyStateChange.NotifySourcePath("Failed to detect Oculus installation directory.");
        QCOMPARE(source->text(), QString("Failed to detect Oculus installation directory."));
        main.engine.source.clear();
        AnnounceSourceDir();
        QCOMPARE(source->text(), QString("Failed to detect Oculus installation directory."));
        main.engine.source = L"/mnt/new/Software";
        AnnounceSourceDir();
        QCOMPARE(source->text(), QString("/mnt/new/Software"));
    }
};

HX_REGISTER_TEST(TestWindows);
#include "window_test.moc"
