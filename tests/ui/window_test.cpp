// The frameless windows: pictures, placement, dragging, the main window's look and menu, the
// About dialog, and what keyboard and screen-reader users meet: focus, names, legible text.
#include <cstdlib>

#include <cmath>

#include <QAccessible>
#include <QApplication>
#include <QDirIterator>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include "Vr/CExeThread.h"
#include "app/startup.h"
#include "ui/CAboutDlg.h"
#include "ui/COculusInstallWgt.h"
#include "ui/CProgressWgt.h"
#include "ui/Trekhold.h"
#include "ui/bridges.h"
#include "ui/uishell.h"
#include "ui/winlook.h"
#include "uitest.h"

namespace {

QPushButton* TitleButton(QWidget* window, const char* name) {
    return window->findChild<QPushButton*>(name);
}

QString AccessibleName(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

// The font start-up gives the program: Tahoma at 12 pixels, from fonts-wine where the system
// has none. The test's own font comes back afterwards.
struct ProgramFont {
    ProgramFont() : previous(QApplication::font()) {
        ProvideTahoma();
        QFont tahoma("Tahoma");
        tahoma.setPixelSize(12);
        QApplication::setFont(tahoma);
    }
    ~ProgramFont() { QApplication::setFont(previous); }
    QFont previous;
};

// What widget shows, drawn on white.
QImage OnWhite(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    widget->render(&image);
    return image;
}

// Runs of pixel rows that hold dark ink: one per line of text when no two lines touch.
int InkRuns(const QImage& image) {
    int runs = 0;
    bool inRun = false;
    for (int y = 0; y < image.height(); ++y) {
        bool ink = false;
        for (int x = 0; x < image.width() && !ink; ++x)
            ink = qGray(image.pixel(x, y)) < 128;
        if (ink && !inRun) ++runs;
        inRun = ink;
    }
    return runs;
}

// Dark pixels of text drawn in font, white on nothing.
int Ink(const QFont& font, const QString& text) {
    QImage image(300, 60, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPointF(5, 40), text);
    painter.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            ink += 255 - qGray(image.pixel(x, y));
    }
    return ink;
}

// The control's rim and four pixels around it, as its window shows them: where a focus frame
// is drawn, by the control itself or, around a title button, by its window.
QImage Rim(QWidget* widget) {
    QWidget* window = widget->window();
    const QRect area = QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
    QImage image = OnWhite(window).copy(area.adjusted(-4, -4, 4, 4));
    for (int y = 6; y < image.height() - 6; ++y) {
        for (int x = 6; x < image.width() - 6; ++x)
            image.setPixel(x, y, 0);
    }
    return image;
}

// Pixels whose grey differs by more than a third of the range: a frame that a person sees.
int StrongChanges(const QImage& a, const QImage& b) {
    int changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            changed += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y))) > 85 ? 1 : 0;
    }
    return changed;
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

    // Every picture a window shows has a copy at twice the size for high-DPI screens, and the
    // windows take it there.
    void sharpPicturesAreTwiceTheSize() {
        QStringList sharp;
        for (QDirIterator it(":/res", QDirIterator::Subdirectories); it.hasNext();) {
            const QString path = it.next();
            if (!path.endsWith("@2x.png")) continue;
            sharp << path;
            const QImage twice(path);
            const QImage once(QString(path).replace("@2x.png", ".png"));
            QVERIFY2(!once.isNull(), qPrintable(path + " has no picture at the normal size"));
            QCOMPARE(twice.size(), once.size() * 2);
        }
        for (const char* shown :
             {":/res/VR@2x.png", ":/res/main_top@2x.png", ":/res/ICON/title_menu_about@2x.png"}) {
            QVERIFY2(sharp.contains(shown), shown);
        }
        for (const char* kind : {"menu", "min", "close"}) {
            for (const char* state : {"", "_hover", "_press"}) {
                QVERIFY(sharp.contains(QString(":/res/ICON/title_%1%2@2x.png").arg(kind, state)));
            }
        }

        const QPixmap header2x = Picture(":/res/main_top.png", 2.0);
        QCOMPARE(header2x.devicePixelRatio(), 2.0);
        QCOMPARE(header2x.size(), QSize(1804, 216));
        QCOMPARE(header2x.deviceIndependentSize(), QSizeF(902, 108));
        QCOMPARE(Picture(":/res/main_top.png", 1.0).size(), QSize(902, 108));
        const QPixmap plain = Picture(":/res/ques.png", 2.0);  // no sharp copy: the normal one
        QCOMPARE(plain.size(), QSize(14, 14));
        QCOMPARE(plain.devicePixelRatio(), 1.0);
    }

    void dialogsCentreOverTheMainWindow() {
        QWidget main;
        main.setFixedSize(ui::kMainWidth, ui::kMainHeight);
        main.move(100, 80);
        g_mainWnd = &main;
        QWidget progressSized, aboutSized, larger;
        progressSized.resize(400, 280);
        aboutSized.resize(370, 240);
        larger.resize(600, 400);
        CenterOnMainWnd(&progressSized);
        CenterOnMainWnd(&aboutSized);
        CenterOnMainWnd(&larger);
        const int down = (ui::kMainHeight - 280) / 2;
        QCOMPARE(progressSized.pos(), QPoint(165, 80 + down));
        QCOMPARE(aboutSized.pos(), QPoint(180, 80 + (ui::kMainHeight - 240) / 2));
        // Halves truncate toward zero.
        QCOMPARE(larger.pos(), QPoint(100 - 35, 80 + (ui::kMainHeight - 400) / 2));
        g_mainWnd = nullptr;
        QWidget untouched;
        untouched.move(7, 9);
        CenterOnMainWnd(&untouched);
        QCOMPARE(untouched.pos(), QPoint(7, 9));
        CenterOnMainWnd(nullptr);
    }

    // Frame, header and body as painted: dark blue border, header from the strip, white body.
    void mainWindowPaintsFrameHeaderAndBody() {
        uitest::MainWindow main;
        const QImage shot = main.window->grab().toImage();
        const QColor frame(11, 43, 75);
        QCOMPARE(shot.pixelColor(0, 200), frame);
        QCOMPARE(shot.pixelColor(ui::kMainWidth - 1, 200), frame);
        QCOMPARE(shot.pixelColor(300, 0), frame);
        QCOMPARE(shot.pixelColor(300, ui::kMainHeight - 1), frame);
        QCOMPARE(shot.pixelColor(10, 100), QColor(Qt::white));
        const QColor header = shot.pixelColor(300, 5);
        QVERIFY2(header.blue() > header.red() && header.lightness() < 100, "a dark blue header");
    }

    void dragStartsOnlyWhereNoChildLies() {
        uitest::MainWindow main;
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
        uitest::MainWindow main;
        TitleButton(main.window.get(), "title_min")->click();
        QTRY_VERIFY_WITH_TIMEOUT(main.window->isMinimized(), uitest::kEventMs);
    }

    void closeButtonQuitsTheEventLoop() {
        uitest::MainWindow main;
        QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);
        QTimer::singleShot(0, TitleButton(main.window.get(), "title_close"), &QPushButton::click);
        QTimer::singleShot(uitest::kEventMs, qApp,
                           [] { QCoreApplication::exit(2); });  // a safety net
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(quitting.count(), 1);
    }

    void menuOpensTenPixelsBelowItsButtonAndOffersAbout() {
        uitest::MainWindow main;
        Trekhold* w = main.window.get();
        TitleButton(w, "title_menu")->click();
        auto* menu = w->findChild<QMenu*>();
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), uitest::kEventMs);
        QCOMPARE(menu->pos().y(), w->pos().y() + 15 + 13 + 10);
        QVERIFY(menu->pos().x() <= w->pos().x() + 450);              // under its button
        QVERIFY(menu->geometry().right() <= w->geometry().right());  // within the window
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
        QCOMPARE(aboutAt, w->pos() + QPoint(80, (ui::kMainHeight - 240) / 2));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void aboutDialogClosesByEitherButtonWithAccepted() {
        uitest::MainWindow main;
        for (const char* name : {"normalbtn", "btnClose"}) {
            CAboutDlg about(main.window.get());
            const QString text = about.findChildren<QLabel*>().last()->text();
            // The version configured for this build (-DHALVEX_VERSION), not a constant.
            QVERIFY2(text.startsWith("<b>Halvex " HALVEX_CONFIGURED_VERSION
                                     "</b><br><br>Website: <a href="),
                     qPrintable(text));
            QVERIFY(text.contains("<br>Email:   <a href=\"mailto:"));
            QTimer::singleShot(0, about.findChild<QPushButton*>(name), &QPushButton::click);
            QCOMPARE(about.exec(), 1);
        }
    }

    // Both windows name the authors alike and link to no placeholder site; the rights line is
    // centred under the window and dark enough to read on white.
    void rightsAreNamedAlikeAndReadable() {
        uitest::MainWindow main;
        CAboutDlg about(main.window.get());
        const QString aboutText = about.findChildren<QLabel*>().last()->text();
        auto* rights = main.window->findChild<QLabel*>("rights");
        QVERIFY(rights);
        QVERIFY(rights->text().contains("The Halvex authors"));
        QVERIFY(aboutText.contains("The Halvex authors"));
        QVERIFY(!aboutText.contains("example.com"));
        const QImage image = OnWhite(main.window.get()).copy(rights->geometry());
        int left = image.width(), right = -1, darkest = 255;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const int grey = qGray(image.pixel(x, y));
                darkest = std::min(darkest, grey);
                if (grey < 200) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        QVERIFY2(darkest <= 118, qPrintable(QString::number(darkest)));  // 4.5:1 on white
        const int middle = rights->mapTo(main.window.get(), QPoint((left + right) / 2, 0)).x();
        QVERIFY2(std::abs(middle - main.window->width() / 2) <= 3,
                 qPrintable(QString::number(middle)));
    }

    // The field that only shows where the installation is looks unlike the one that is typed in.
    void readOnlySourceFieldLooksReadOnly() {
        uitest::MainWindow main;
        const auto edits = main.window->findChildren<QLineEdit*>();
        QVERIFY(edits.at(0)->isReadOnly());
        const QImage source = OnWhite(edits.at(0));
        const QImage target = OnWhite(edits.at(1));
        // The frames' colour, at the middle of the top edge.
        QVERIFY(source.pixel(source.width() / 2, 0) != target.pixel(target.width() / 2, 0));
        QVERIFY(source.pixel(source.width() / 2, source.height() / 2) !=
                target.pixel(target.width() / 2, target.height() / 2));
    }

    // The target field shows whether it has the keyboard, and a disabled button's words can
    // still be read (4.5:1 against its face).
    void fieldsAndButtonsShowTheirState() {
        uitest::MainWindow main;
        main.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main.window.get(), uitest::kEventMs));
        QLineEdit* target = main.window->findChildren<QLineEdit*>().at(1);
        target->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(target->hasFocus(), uitest::kEventMs);
        const QRgb focused = OnWhite(target).pixel(target->width() / 2, 0);
        QPushButton* start = nullptr;
        for (QPushButton* button : main.window->findChildren<QPushButton*>()) {
            if (button->text() == "Start Move") start = button;
        }
        start->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(!target->hasFocus(), uitest::kEventMs);
        const QRgb atRest = OnWhite(target).pixel(target->width() / 2, 0);
        QVERIFY(focused != atRest);

        start->setEnabled(false);
        const QImage face = OnWhite(start);
        const auto luminance = [](QRgb pixel) {
            const auto linear = [](int c) {
                const double v = c / 255.0;
                return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * linear(qRed(pixel)) + 0.7152 * linear(qGreen(pixel)) +
                   0.0722 * linear(qBlue(pixel));
        };
        double darkest = 1.0;
        for (int y = 3; y < face.height() - 3; ++y) {
            for (int x = 3; x < face.width() - 3; ++x)
                darkest = std::min(darkest, luminance(face.pixel(x, y)));
        }
        const double background = luminance(face.pixel(3, face.height() / 2));
        const double contrast = (background + 0.05) / (darkest + 0.05);
        QVERIFY2(contrast >= 4.5, qPrintable(QString::number(contrast)));
    }

    // Focus starts where a person types, and Tab goes on through the page's controls.
    void focusStartsInTheTargetField() {
        uitest::MainWindow main;
        main.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main.window.get(), uitest::kEventMs));
        const auto edits = main.window->findChildren<QLineEdit*>();
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(edits.at(1)),
                                  uitest::kEventMs);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(qobject_cast<QPushButton*>(QApplication::focusWidget())->text(), QString("..."));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(qobject_cast<QPushButton*>(QApplication::focusWidget())->text(),
                 QString("Start Move"));
    }

    // A button that shows only a picture says what it does, to a screen reader and on hover.
    void pictureButtonsHaveNamesAndTooltips() {
        uitest::MainWindow main;
        CAboutDlg about(main.window.get());  // a child: its buttons are found with the window's
        int pictureButtons = 0;
        for (QPushButton* button : main.window->findChildren<QPushButton*>()) {
            if (!button->text().isEmpty() && button->text() != "...") continue;
            ++pictureButtons;
            QVERIFY2(!AccessibleName(button).isEmpty(), qPrintable(button->objectName()));
            QVERIFY2(!button->toolTip().isEmpty(), qPrintable(button->objectName()));
        }
        QCOMPARE(pictureButtons, 5);  // menu, minimise, close, "...", the About dialog's close
        QCOMPARE(AccessibleName(TitleButton(main.window.get(), "title_menu")), QString("Menu"));
        QCOMPARE(AccessibleName(TitleButton(main.window.get(), "title_min")), QString("Minimize"));
        QCOMPARE(AccessibleName(TitleButton(main.window.get(), "title_close")), QString("Close"));
        QCOMPARE(AccessibleName(about.findChild<QPushButton*>("btnClose")), QString("Close"));
    }

    // Whatever takes keyboard focus looks different with it: the style sheets draw their own
    // borders, which would hide the style's focus frame.
    void focusIsVisibleOnEveryControlThatTakesIt() {
        uitest::MainWindow main;
        main.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main.window.get(), uitest::kEventMs));
        QList<QWidget*> controls;
        for (QWidget* widget : main.window->findChildren<QWidget*>()) {
            if (widget->isVisible() && widget->isEnabled() &&
                (widget->focusPolicy() & Qt::TabFocus))
                controls << widget;
        }
        QCOMPARE(controls.size(), 7);  // three title buttons, two fields, two buttons
        for (QWidget* control : controls) {
            QWidget* other = controls.at((controls.indexOf(control) + 1) % controls.size());
            other->setFocus();
            QTRY_VERIFY_WITH_TIMEOUT(other->hasFocus(), uitest::kEventMs);
            const QImage without = Rim(control);
            control->setFocus();
            QTRY_VERIFY_WITH_TIMEOUT(control->hasFocus(), uitest::kEventMs);
            // Clearly: a title button's ring on the dark header as much as a field's border.
            QVERIFY2(StrongChanges(Rim(control), without) >= 30,
                     qPrintable(control->metaObject()->className() + QString(" ") +
                                AccessibleName(control)));
        }
    }

    // Bold text is drawn bolder than regular text, in the sizes of the header and the About
    // dialog: fonts-wine's bold Tahoma draws thin letters, so it must not be what is used.
    void boldTextsRenderBold() {
        ProgramFont font;
        if (!QFontDatabase::families().contains("Tahoma")) QSKIP("no Tahoma on this system");
        for (int pixels : {12, 16, 24}) {
            QFont regular("Tahoma");
            regular.setPixelSize(pixels);
            QFont bold = regular;
            bold.setWeight(QFont::Bold);
            const int thin = Ink(regular, "Halvex About");
            const int thick = Ink(bold, "Halvex About");
            QVERIFY2(
                thick > thin * 5 / 4,
                qPrintable(QString("%1 px: bold %2, regular %3").arg(pixels).arg(thick).arg(thin)));
        }
    }

    // Wrapped lines of the description, a message box and the log view keep apart.
    void linesOfTextDoNotTouch() {
        ProgramFont font;
        uitest::MainWindow main;
        QLabel* description = nullptr;
        for (QLabel* label : main.window->findChildren<QLabel*>()) {
            if (label->text().contains("Easily move all apps &amp; games")) description = label;
        }
        QVERIFY(description);
        QCOMPARE(AccessibleName(description),
                 QString("Easily move all apps & games in the Oculus installation directory to "
                         "another drive so that more space can be used."));
        QCOMPARE(InkRuns(OnWhite(description)), 2);

#ifndef Q_OS_WIN  // Windows's own MessageBoxW lays out its lines (tests/winexe/run shows it)
        int boxLines = 0;
        uitest::WhenModal("QMessageBox", [&](QWidget* box) {
            boxLines = InkRuns(OnWhite(box->findChild<QLabel*>("qt_msgbox_label")));
            box->findChild<QPushButton*>()->click();
        });
        ui::ShowMessageBox(
            "Initialization failed. Please confirm \"Game directory\" is the correct Oculus "
            "installation directory.If you have any questions, please contact us. And a few more "
            "words so that the text is sure to wrap onto a third line of the box.");
        QVERIFY2(boxLines >= 3, qPrintable(QString::number(boxLines)));
#endif

        CExeThread worker;
        CProgressWgt progress(nullptr, &worker);
        progress.show();
        for (const char* line : {"Performing the move...", "Move to:/mnt/gjpq/Oculus game",
                                 "Successful operation.", "Typing gyp jqy"}) {
            QMetaObject::invokeMethod(&progress, "OnPrintLog", Q_ARG(int, 0), Q_ARG(QString, line));
        }
        QCOMPARE(InkRuns(OnWhite(progress.findChild<QTextEdit*>()->viewport())), 4);
        // The status line: a step and why Cancel is unavailable, on lines of their own.
        QMetaObject::invokeMethod(&progress, "OnPrintLog", Q_ARG(int, 2),
                                  Q_ARG(QString, "Copying gyp jqy\nCancel is gyp jqy"));
        QLabel* status = progress.findChildren<QLabel*>().last();
        QTRY_COMPARE_WITH_TIMEOUT(InkRuns(OnWhite(status)), 2, uitest::kEventMs);
    }

    void announcedSourceReachesTheSourceField() {
        uitest::MainWindow main;
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
