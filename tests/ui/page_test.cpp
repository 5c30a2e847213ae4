// The source/target page's checks: each refusal is exactly one box with its own text, in the
// order the checks run, and the browse dialog's checks.
#include <QAccessible>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "ground/ResultCodes.h"
#include "platform/volume.h"
#include "ui/COculusInstallWgt.h"
#include "ui/volumecheck.h"
#include "uitest.h"

namespace {

const QString M1 = "Please choose target folder.";
const QString M2 = "The specified target path doesn't exist. Please re-select and try again.";
const QString M3 = "The specified target path is not a folder. Please re-select and try again.";
const QString M4 =
    "Oculus can be only moved to hard drives or flash memory cards. Please re-select a target "
    "location. ";
const QString M5 =
    "Oculus can be only moved to partitions formatted with NTFS or exFAT. Please re-select a "
    "target location.";
const QString M6 =
    "Not enough space on target drive, please re-select a drive with enough free space and try "
    "again.";
const QString M7 =
    "Unable to choose the directory where games locate as target location, please re-select "
    "another location.";
const QString M8 =
    "Cannot move to the target location. Please re-select another target location and try "
    "again.";
const QString M9 =
    "Initialization failed. Please confirm \"Game directory\" is the correct Oculus installation "
    "directory.If you have any questions, please contact us.";
const QString M10 = "Failed to detect Oculus installation directory.";
const QString M11 =
    "Unable to move Oculus to its current installation directory. Please re-select a target "
    "location. ";
const QString M12 =
    "The target location cannot be Oculus installation directory, please choose another "
    "location.";
const QString Q1 =
    "Are you sure you want to move Oculus to a removable device? Oculus won't work if the "
    "removable device is removed. ";

// A page over a scripted engine whose installation lies in a real scratch folder.
struct Page {
    Page() {
        scratch.Make("Oculus/Software");
        scratch.Make("Oculus/Downloads");
        scratch.Make("target");
        scratch.Write("a file", "x");
        engine.source = (scratch.Path("Oculus/Software")).toStdWString();
        engine.base = (scratch.Path("Oculus") + "/").toStdWString();
        page = std::make_unique<COculusInstallWgt>(nullptr);
        auto edits = page->findChildren<QLineEdit*>();
        source = edits.at(0);
        target = edits.at(1);
        for (QPushButton* button : page->findChildren<QPushButton*>()) {
            (button->text() == "..." ? browse : start) = button;
        }
    }
    ~Page() { SetUsbProbeForTests({}); }

    // Types text, presses Start Move, and gives back every box shown. The boxes take the
    // given answers in turn, then OK or No.
    QStringList Start(const QString& text, const std::vector<int>& answers = {}) {
        uitest::BoxRecorder boxes;
        for (int answer : answers)
            boxes.Answer(answer);
        target->setText(text);
        start->click();
        return boxes.Texts();
    }
    // The question for a target on the installation's own volume.
    QString SameVolume() const { return uitest::SameVolumeQuestion(scratch.Path("Oculus")); }
    bool TargetAccepted() const {
        const QString dir = scratch.Path("target");
        const FsKind kind = GetFileSystemKind(dir);
        return IsHardDiskOrFlash(dir) && (kind == FsNtfs || kind == FsExFat || kind == FsNative);
    }

    uitest::Scratch scratch;
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    std::unique_ptr<COculusInstallWgt> page;
    QLineEdit* source = nullptr;
    QLineEdit* target = nullptr;
    QPushButton* browse = nullptr;
    QPushButton* start = nullptr;
};

#define REQUIRE_ACCEPTED_TARGET(page)                                           \
    if (!(page).TargetAccepted())                                               \
    QSKIP(                                                                      \
        "the scratch folder's volume is refused by the checks before the ones " \
        "under test")

}  // namespace

class TestSourceTargetPage : public QObject {
    Q_OBJECT
  private slots:
    void detectedSourceEnablesTheControls() {
        Page page;
        QCOMPARE(page.source->text(), page.scratch.Path("Oculus/Software"));
        QVERIFY(page.source->isReadOnly());
        QVERIFY(page.target->isEnabled() && page.browse->isEnabled() && page.start->isEnabled());
    }

    void undetectedSourceDisablesTheControls() {
        uitest::FakeEngine engine;
        uitest::ScopedEngine scoped(&engine);
        COculusInstallWgt page(nullptr);
        const auto edits = page.findChildren<QLineEdit*>();
        QCOMPARE(edits.at(0)->text(), M10);
        QVERIFY(!edits.at(1)->isEnabled());
        for (QPushButton* button : page.findChildren<QPushButton*>())
            QVERIFY(!button->isEnabled());
    }

    void refusalsBeforeTheVolumeChecks() {
        Page page;
        QCOMPARE(page.Start(""), QStringList{M1});
        QCOMPARE(page.Start("   \t "), QStringList{M1});
        QCOMPARE(page.Start(page.scratch.Path("missing")), QStringList{M2});
        // A relative path that exists from the working folder is still refused as not found:
        // the checks would judge one volume and the move would write to another.
        page.scratch.Make("relative");
        const QString previous = QDir::currentPath();
        QDir::setCurrent(page.scratch.Path());
        QCOMPARE(page.Start("relative"), QStringList{M2});
        QDir::setCurrent(previous);
        QCOMPARE(page.Start(page.scratch.Path("a file")), QStringList{M3});
        QVERIFY2(page.engine.checkedTargets.empty(), "the engine is asked only after these");
        QCOMPARE(page.target->text(), page.scratch.Path("a file"));  // left as typed
    }

#ifndef Q_OS_WIN
    void ramDiskIsRefusedAsNoHardDisk() {
        Page page;
        const QString shm = "/dev/shm";
        if (sys::DriveRootOf(L"/dev/shm") != L"/dev/shm") QSKIP("no RAM disk at /dev/shm");
        QTemporaryDir dir(shm + "/halvex-XXXXXX");
        QCOMPARE(page.Start(dir.path()), QStringList{M4});
    }

    void fat32VolumeIsRefusedByItsFileSystem() {
        Page page;
        uitest::LoopVolume fat({"mkfs.vfat", "-F", "32"}, {"fusefat", "-o", "rw+"});
        REQUIRE_VOLUME(fat);
        QCOMPARE(page.Start(fat.point()), QStringList{M5});
        QVERIFY(page.engine.checkedTargets.empty());
    }

    void systemFolderOfAnotherKindIsRefused() {
        Page page;
        // /proc is no disk at all: the drive check refuses it before the file-system check.
        QCOMPARE(page.Start("/proc/self"), QStringList{M4});
    }
#endif

    void engineRefusalsAtStartLeaveTheTarget_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("no space") << 1 << M6;
        QTest::newRow("inside a source") << 2 << M7;
        QTest::newRow("other") << 3 << M8;
        QTest::newRow("query failed") << 4 << M9;
    }
    void engineRefusalsAtStartLeaveTheTarget() {
        QFETCH(int, code);
        QFETCH(QString, message);
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        page.engine.checkCode = code;
        const QString typed = page.scratch.Path("target") + "/./";
        QCOMPARE(page.Start(typed), QStringList{message});
        QCOMPARE(page.target->text(), typed);
        QCOMPARE(page.engine.checkedTargets.size(), size_t(1));
        QCOMPARE(uitest::Wide(page.engine.checkedTargets[0]), page.scratch.Path("target"));
    }

    // Each box says by its icon what it is: the page's first refusals keep the information
    // icon, a refusal added since warns.
    void refusalsCarryTheIconOfTheirKind() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        const auto style = [&](const QString& typed) {
            uitest::BoxRecorder boxes;
            page.target->setText(typed);
            page.start->click();
            return boxes.Requests().size() == 1 ? boxes.Requests().front().style : 0u;
        };
        QCOMPARE(style(""), ui::kMbOkInfo);
        page.engine.checkCode = kTargetQueryFailed;
        QCOMPARE(style(page.scratch.Path("target")), ui::kMbOkInfo);
        page.engine.checkCode = 0;
        // The games moved: a target inside the folder that holds them now.
        page.scratch.Make("moved/Oculus game");
        page.engine.resolvedDir = page.scratch.Path("moved/Oculus game").toStdWString();
        QCOMPARE(style(page.scratch.Path("moved/Oculus game")), ui::kMbOkWarning);
        page.engine.resolvedDir.clear();
        page.engine.unfinished = true;  // a stopped move waits: refused before any check
        QCOMPARE(style(page.scratch.Path("target")), ui::kMbOkWarning);
    }

#ifndef Q_OS_WIN
    // Without MessageBoxW the toolkit's box draws the icon the style names.
    void theToolkitsBoxShowsTheIconOfItsStyle_data() {
        QTest::addColumn<uint>("style");
        QTest::addColumn<int>("icon");
        QTest::newRow("closing words") << uint(ui::kMbOkInfo) << int(QMessageBox::Information);
        QTest::newRow("first question") << uint(ui::kMbYesNoInfo) << int(QMessageBox::Information);
        QTest::newRow("refusal") << uint(ui::kMbOkWarning) << int(QMessageBox::Warning);
        QTest::newRow("failure") << uint(ui::kMbOkError) << int(QMessageBox::Critical);
        QTest::newRow("question") << uint(ui::kMbYesNoQuestion) << int(QMessageBox::Question);
        QTest::newRow("question, No first")
            << uint(ui::kMbYesNoQuestionDefaultNo) << int(QMessageBox::Question);
        QTest::newRow("risk") << uint(ui::kMbYesNoWarningDefaultNo) << int(QMessageBox::Warning);
    }
    void theToolkitsBoxShowsTheIconOfItsStyle() {
        QFETCH(uint, style);
        QFETCH(int, icon);
        int shown = -1;
        uitest::WhenModal("QMessageBox", [&](QWidget* box) {
            shown = static_cast<QMessageBox*>(box)->icon();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        ui::ShowMessageBox("Words.", style, ui::Owner::None);
        QCOMPARE(shown, icon);
    }
#endif

    void lostSourceAtStartIsReported() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        page.engine.source.clear();
        QCOMPARE(page.Start(page.scratch.Path("target")), QStringList{M10});
    }

    void targetHoldingOrMatchingTheSourceIsRefused() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        // The folder that holds the source location.
        QCOMPARE(page.Start(page.scratch.Path("Oculus") + "/"), QStringList{M11});
        // Inside the source, spelled in other letters: the engine's exact comparison misses it.
        page.scratch.Make("OCULUS/software/games");
        QCOMPARE(page.Start(page.scratch.Path("OCULUS/software/games")), QStringList{M11});
    }

    void usbTargetAsksFirstAndNoLeavesEverything() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        QString asked;
        SetUsbProbeForTests([&](const QString& path) {
            asked = path;
            return true;
        });
        const QString typed = page.scratch.Path("target");
        // The target shares the installation's volume: that question comes first.
        QCOMPARE(page.Start(typed, {ui::kIdYes}), QStringList({page.SameVolume(), Q1}));
        QCOMPARE(asked, typed);
        QCOMPARE(page.target->text(), typed);
        QCOMPARE(page.source->text(), page.scratch.Path("Oculus/Software"));
        QCOMPARE(page.engine.resets.load(), 0);  // no move ran
    }

    void usbTargetWithYesStartsTheMove() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        uitest::ScopedVirtualClock clock;
        SetUsbProbeForTests([](const QString&) { return true; });
        uitest::BoxRecorder boxes;
        boxes.Answer(ui::kIdYes);
        boxes.Answer(ui::kIdYes);
        page.target->setText(page.scratch.Path("target"));
        uitest::CloseProgressWhenDone();
        page.start->click();  // returns when the progress page has closed
        QCOMPARE(boxes.Texts(), QStringList({page.SameVolume(), Q1}));
        QCOMPARE(boxes.Requests().back().style, ui::kMbYesNoInfo);
        QCOMPARE(page.engine.resets.load(), 1);
        QCOMPARE(page.target->text(), QString());
    }

    // A move within one volume frees nothing: the page asks before it, and No changes nothing.
    // Asked after every refusal, and before the removable-device question, which No spares.
    void targetOnTheInstallationsVolumeAsksAndNoLeavesEverything() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        // The target counts as removable: only "No" to the first question spares the second.
        SetUsbProbeForTests([](const QString&) { return true; });
        const QString typed = page.scratch.Path("target") + "/";
        uitest::BoxRecorder boxes;
        page.target->setText(typed);
        page.start->click();
        QCOMPARE(boxes.Texts(), QStringList{page.SameVolume()});
        // "No" is the default: Enter must not start a move that frees nothing.
        QCOMPARE(boxes.Requests().front().style, ui::kMbYesNoQuestionDefaultNo);
        QCOMPARE(page.target->text(), typed);
        QCOMPARE(page.source->text(), page.scratch.Path("Oculus/Software"));
        QCOMPARE(page.engine.resets.load(), 0);  // no move ran
        // A refused target is refused, never asked about first.
        page.engine.checkCode = 1;
        QCOMPARE(page.Start(typed), QStringList{M6});
    }

    // Programs the in-use check cannot look into are named before the move, last of all; No
    // leaves everything, Yes moves.
    void uncheckedProgramsAreToldBeforeTheMove() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        uitest::ScopedVirtualClock clock;
        page.engine.uncheckedPrograms = 7;
        const QString typed = page.scratch.Path("target");
        const QStringList asked = page.Start(typed, {ui::kIdYes});
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked.front(), page.SameVolume());
        QVERIFY2(asked.back().startsWith("7 programs of other people signed in to this computer "
                                         "could not be checked") &&
                     asked.back().contains("as root") && asked.back().endsWith("Move anyway?"),
                 qPrintable(asked.back()));
        QCOMPARE(page.engine.resets.load(), 0);  // No: no move ran
        QCOMPARE(page.target->text(), typed);

        uitest::BoxRecorder boxes;
        boxes.Answer(ui::kIdYes);
        boxes.Answer(ui::kIdYes);
        uitest::CloseProgressWhenDone();
        page.start->click();  // returns when the progress page has closed
        QCOMPARE(boxes.Texts().size(), 2);
        // Enter takes No: a person who cannot judge the risk keeps the data as it is.
        QCOMPARE(boxes.Requests().back().style, ui::kMbYesNoWarningDefaultNo);
        QCOMPARE(page.engine.resets.load(), 1);

        page.engine.uncheckedPrograms = 1;
        QVERIFY(page.Start(typed, {ui::kIdYes})
                    .back()
                    .startsWith("1 program of other people signed in"));
    }

    void targetOnTheInstallationsVolumeWithYesStartsTheMove() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        uitest::ScopedVirtualClock clock;
        uitest::BoxRecorder boxes;
        boxes.Answer(ui::kIdYes);
        page.target->setText(page.scratch.Path("target"));
        uitest::CloseProgressWhenDone();
        page.start->click();  // returns when the progress page has closed
        QCOMPARE(boxes.Texts(), QStringList{page.SameVolume()});
        QCOMPARE(page.engine.resets.load(), 1);
        QCOMPARE(page.target->text(), QString());
    }

#ifndef Q_OS_WIN
    // The question names the volume: the mount that holds the installation, not the target's.
    void questionNamesTheInstallationsMountPoint() {
        uitest::LoopVolume volume({"mkfs.ext4", "-q"}, {});
        REQUIRE_VOLUME(volume);
        uitest::FakeEngine engine;
        uitest::ScopedEngine scoped(&engine);
        QVERIFY(QDir().mkpath(volume.point() + "/Oculus/Software"));
        QVERIFY(QDir().mkpath(volume.point() + "/games"));
        engine.source = (volume.point() + "/Oculus/Software").toStdWString();
        COculusInstallWgt page(nullptr);
        uitest::BoxRecorder boxes;
        page.findChildren<QLineEdit*>().at(1)->setText(volume.point() + "/games");
        for (QPushButton* button : page.findChildren<QPushButton*>()) {
            if (button->text() == "Start Move") button->click();
        }
        QCOMPARE(boxes.Texts(),
                 QStringList{"The target location is on the same file system as the Oculus "
                             "installation. Moving Oculus there frees no space on " +
                             volume.point() + ". Move anyway?"});
    }

    // A target on another real volume frees space on the installation's: nothing is asked.
    void targetOnAnotherVolumeAsksNothing() {
        Page page;
        uitest::LoopVolume volume({"mkfs.ext4", "-q"}, {});
        REQUIRE_VOLUME(volume);
        uitest::ScopedVirtualClock clock;
        uitest::BoxRecorder boxes;
        page.target->setText(volume.point());
        uitest::CloseProgressWhenDone();
        page.start->click();
        QCOMPARE(boxes.Texts(), QStringList());
        QCOMPARE(page.engine.resets.load(), 1);
    }
#endif

    // Enter in the target field runs the start checks, as the button does; either Enter key.
    void enterInTheTargetFieldPressesStartMove() {
        Page page;
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            uitest::BoxRecorder boxes;
            page.target->clear();
            QTest::keyClick(page.target, key);
            QCOMPARE(boxes.Texts(), QStringList{M1});
        }
        REQUIRE_ACCEPTED_TARGET(page);
        uitest::BoxRecorder boxes;
        page.target->setText(page.scratch.Path("target"));
        QTest::keyClick(page.target, Qt::Key_Return);
        QCOMPARE(boxes.Texts(), QStringList{page.SameVolume()});  // the checks all ran
    }

    // What a screen reader says: the fields by their labels, "..." by what it does.
    void controlsHaveNamesAndTheBrowseButtonATooltip() {
        Page page;
        const auto name = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
        };
        QCOMPARE(name(page.source), QString("Source Location:"));
        QCOMPARE(name(page.target), QString("Target Location:"));
        QCOMPARE(name(page.browse), QString("Browse for target folder"));
        QVERIFY(!page.browse->toolTip().isEmpty());
        QCOMPARE(page.browse->text(), QString("..."));  // the text itself stays
        QCOMPARE(name(page.start), QString("Start Move"));
    }

    void browseAcceptsAFolderThatFits() {
        Page page;
        uitest::BoxRecorder boxes;
        uitest::FolderAnswer dialog(page.scratch.Path("target"));
        page.browse->click();
        QCOMPARE(dialog.calls, 1);
        QCOMPARE(dialog.lastDir, QDir::homePath());  // nothing typed yet
        QCOMPARE(int(dialog.lastOptions), 3);
        QVERIFY(boxes.Texts().isEmpty());
        QCOMPARE(page.target->text(), QDir::toNativeSeparators(page.scratch.Path("target")));
        // Opened again, it starts at the folder typed.
        page.browse->click();
        QCOMPARE(dialog.lastDir, QDir::toNativeSeparators(page.scratch.Path("target")));
    }

    void browseRefusesTheBaseFolderAndKeepsTheField() {
        Page page;
        page.target->setText("kept");
        for (const QString& chosen : {page.scratch.Path("Oculus"), page.scratch.Path("Oculus/x")}) {
            uitest::BoxRecorder boxes;
            uitest::FolderAnswer dialog(chosen);
            page.browse->click();
            QCOMPARE(boxes.Texts(), QStringList{M12});
            QCOMPARE(page.target->text(), QString("kept"));
        }
        QVERIFY(page.engine.checkedTargets.empty());
    }

    void typedTargetInsideTheBaseFolderIsRefusedAsWhenBrowsed() {
        Page page;
        REQUIRE_ACCEPTED_TARGET(page);
        page.scratch.Make("Oculus/x");
        QCOMPARE(page.Start(page.scratch.Path("Oculus/x")), QStringList{M12});
        QCOMPARE(page.engine.resets.load(), 0);  // no move ran
    }

    void browseEngineRefusalEmptiesTheField() {
        Page page;
        page.target->setText("kept");
        page.engine.checkCode = 1;
        uitest::BoxRecorder boxes;
        uitest::FolderAnswer dialog(page.scratch.Path("target"));
        page.browse->click();
        QCOMPARE(boxes.Texts(), QStringList{M6});
        QCOMPARE(page.target->text(), QString());
    }

    void browseCancelledChangesNothing() {
        Page page;
        page.target->setText("kept");
        uitest::BoxRecorder boxes;
        uitest::FolderAnswer dialog("");
        page.browse->click();
        QVERIFY(boxes.Texts().isEmpty());
        QCOMPARE(page.target->text(), QString("kept"));
        QVERIFY(page.engine.checkedTargets.empty());
    }

    void browseWithLostSourceReportsIt() {
        Page page;
        page.target->setText("kept");
        page.engine.base.clear();  // detection of the base folder now fails
        uitest::BoxRecorder boxes;
        uitest::FolderAnswer dialog(page.scratch.Path("target"));
        page.browse->click();
        QCOMPARE(boxes.Texts(), QStringList{M10});
        QCOMPARE(page.source->text(), M10);
        QCOMPARE(page.target->text(), QString("kept"));
    }
};

HX_REGISTER_TEST(TestSourceTargetPage);
#include "page_test.moc"
