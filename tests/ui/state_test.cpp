// The main window's note row against a scripted engine: where the data is in each state of the
// installation, the action beside a waiting move or a link that leads nowhere, and that the
// action runs and the note is read again afterwards.
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "Vr/TargetCheck.h"
#include "ground/ResultCodes.h"
#include "platform/units.h"
#include "ui/COculusInstallWgt.h"
#include "ui/Trekhold.h"
#include "ui/pathtext.h"
#include "uitest.h"

namespace {

QString Plain(QString text) {
    text.remove(QChar(0x200B));
    text.replace(QChar(0x00A0), u' ');
    return text;
}

FolderState Folder(const wchar_t* name, FolderState::Where where, const std::wstring& leadsTo) {
    FolderState f;
    f.name = name;
    f.path = std::wstring(L"/srv/Oculus/") + name;
    f.where = where;
    f.leadsTo = leadsTo.empty() ? leadsTo : leadsTo + L"/" + name;
    return f;
}

InstallState State(InstallState::Kind kind, FolderState::Where where = FolderState::Where::kHome,
                   const std::wstring& leadsTo = {}) {
    InstallState state;
    state.kind = kind;
    state.base = L"/srv/Oculus";
    state.baseRoot = L"/srv";
    state.baseFreeKnown = true;
    state.baseFree = 5'000'000'000;
    state.folders = {Folder(L"Software", where, leadsTo), Folder(L"Downloads", where, leadsTo)};
    return state;
}

// Both links leading nowhere into folder on the drive at root; with pointedAt, the folder where
// the engine found what they expect, and the re-pointing to it.
InstallState Broken(InstallState::Volume volume, const std::wstring& root,
                    const std::wstring& folder, const std::wstring& pointedAt = {}) {
    InstallState state = State(InstallState::Kind::kBroken, FolderState::Where::kBroken, folder);
    state.expectedRoot = root;
    state.volume = volume;
    if (pointedAt.empty()) return state;
    state.repoint.base = L"/srv/Oculus/";
    for (const wchar_t* name : {L"Software", L"Downloads"}) {
        state.repoint.folders.push_back(
            {std::wstring(L"/srv/Oculus/") + name, pointedAt + L"/" + name, {}, true});
    }
    return state;
}

// The height of three lines of running text in label's font at width, as a label lays them out
// (leading included, which the font's line spacing leaves out): words are added until the text
// wraps to a fourth line.
int ThreeLines(const QLabel* label, int width) {
    QLabel probe;
    probe.setFont(label->font());
    probe.setWordWrap(true);
    QString text = "Wg";
    probe.setText(text);
    int height = probe.heightForWidth(width);
    for (int lines = 1, words = 0; words < 2000; ++words) {
        probe.setText(text + " Wg");
        const int more = probe.heightForWidth(width);
        if (more > height && ++lines == 4) return height;
        text += " Wg";
        height = more;
    }
    return -1;
}

struct Page {
    Page() {
        engine.source = L"/srv/Oculus/Software";
        engine.base = L"/srv/Oculus/";
        engine.stateSet = true;
        engine.state = State(InstallState::Kind::kHome);
        page = std::make_unique<COculusInstallWgt>(nullptr);
        note = page->findChild<QLabel*>("stateNote");
        for (QPushButton* button : page->findChildren<QPushButton*>()) {
            const QString text = button->text();
            if (text == "..." || text == "Start Move") continue;
            (text.startsWith("Move back") ? back : action) = button;
        }
    }
    QString Note() { return Plain(note->accessibleName()); }
    // The action's label, or empty when the row has none.
    QString Action() {
        return action->isHidden() || !action->isEnabled() ? QString() : action->text();
    }
    void Show(const InstallState& state) {
        engine.state = state;
        page->ShowInstallState();
    }
    // Presses the action and closes the progress page once it has ended.
    void Press() {
        uitest::ProgressPageCloser closer;
        action->click();
    }

    uitest::ScopedVirtualClock clock;
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    std::unique_ptr<COculusInstallWgt> page;
    QLabel* note = nullptr;
    QPushButton* back = nullptr;
    QPushButton* action = nullptr;
};

RecoveryPlan WaitingPlan(RecoveryAction action) {
    RecoveryPlan plan;
    plan.action = action;
    plan.journalFound = true;
    plan.record.base = L"/srv/Oculus/";
    FolderFinding f;
    f.source = L"/srv/Oculus/Software";
    f.target = L"/mnt/games/Oculus game/Software";
    plan.folders = {f};
    return plan;
}

}  // namespace

class TestInstallStateNote : public QObject {
    Q_OBJECT
  private slots:
    void atHomeAndMovedTheNoteAndFieldsSayWhereTheDataIs() {
        Page page;
        const QString five = QString::fromStdWString(sys::FormatBytes(5'000'000'000));
        const QString seven = QString::fromStdWString(sys::FormatBytes(7'000'000'000));
        QCOMPARE(page.Note(),
                 QString("Software and Downloads are in /srv/Oculus (%1 free on /srv).").arg(five));
        QVERIFY(page.Action().isEmpty());

        InstallState moved = State(InstallState::Kind::kMoved, FolderState::Where::kLinked,
                                   L"/mnt/games/Oculus game");
        moved.movedTo = L"/mnt/games/Oculus game";
        moved.movedRoot = L"/mnt/games";
        moved.movedFreeKnown = true;
        moved.movedFree = 7'000'000'000;
        page.Show(moved);
        QCOMPARE(page.Note(), QString("Software and Downloads are in /mnt/games/Oculus game (%1 "
                                      "free on /mnt/games), linked from /srv/Oculus (%2 free on "
                                      "/srv).")
                                  .arg(seven, five));
        const auto edits = page.page->findChildren<QLineEdit*>();
        QCOMPARE(edits.at(0)->text(),
                 QString("/srv/Oculus/Software  \u2192  /mnt/games/Oculus game/Software"));
        QCOMPARE(edits.at(0)->toolTip(), edits.at(0)->text());  // whole, where the field clips
        QCOMPARE(edits.at(1)->text(), QString());  // the field stays empty for the next target
        QCOMPARE(edits.at(1)->placeholderText(), QString("Now in /mnt/games/Oculus game"));
        QCOMPARE(page.Action(), QString("Check the games"));
        QVERIFY(page.back->isVisible() || !page.back->isHidden());
        QCOMPARE(Plain(page.back->text()), QString("Move back to /srv"));

        // Another drive mounted where the games' drive was: the row names the place, and offers
        // nothing that would read or write the stranger's folders as the games.
        moved.strangeVolume = true;
        moved.expectedRoot = L"/mnt/games";
        page.Show(moved);
        QCOMPARE(page.Note(), QString("Software and Downloads lead to /mnt/games/Oculus game, but "
                                      "the drive at /mnt/games is not the one the games were moved "
                                      "to. Connect the games' own drive there; until then Halvex "
                                      "changes nothing on this one."));
        QVERIFY(page.Action().isEmpty());
        QVERIFY(page.back->isHidden());
    }

    // Moving back is asked first, names both places, and No changes nothing; a stopped one
    // offers its own finish.
    void aMovedLibraryMovesBackAfterAQuestion() {
        Page page;
        InstallState moved = State(InstallState::Kind::kMoved, FolderState::Where::kLinked,
                                   L"/mnt/games/Oculus game");
        moved.movedTo = L"/mnt/games/Oculus game";
        page.Show(moved);
        {
            uitest::BoxRecorder boxes;
            boxes.Answer(ui::kIdNo);
            page.back->click();
            QCOMPARE(boxes.Texts().size(), 1);
            QCOMPARE(boxes.Requests().front().style, ui::kMbYesNoQuestion);
            QVERIFY(
                Plain(boxes.Texts().front())
                    .startsWith("Move the games back from /mnt/games/Oculus game to /srv/Oculus?"));
            QCOMPARE(page.engine.movesBack, 0);
        }
        {
            uitest::BoxRecorder boxes;
            boxes.Answer(ui::kIdYes);
            uitest::ProgressPageCloser closer;
            page.back->click();
            QCOMPARE(page.engine.movesBack, 1);
        }

        page.engine.unfinished = true;
        page.engine.plan = WaitingPlan(RecoveryAction::kFinish);
        page.engine.plan.record.work = JournalWork::kBack;
        page.page->ShowInstallState();
        QCOMPARE(page.Note(), QString("Moving the games back was stopped before it was done: "
                                      "finish it, or put it back and leave the games where they "
                                      "were."));
        QCOMPARE(page.Action(), QString("Finish moving back"));
        QVERIFY(page.back->isHidden());
    }

    void aWaitingMoveSaysThePlatformCannotRunAndOffersItsAction() {
        Page page;
        page.engine.unfinished = true;
        page.engine.plan = WaitingPlan(RecoveryAction::kFinish);
        page.page->ShowInstallState();
        QCOMPARE(page.Note(),
                 QString("A move was stopped before it was done: the Oculus platform cannot find "
                         "its games until the move is finished or put back."));
        QCOMPARE(page.Action(), QString("Finish the move"));
        const int reads = page.engine.stateReads;
        page.Press();
        QCOMPARE(page.engine.recoveries, std::vector<RecoveryAction>{RecoveryAction::kFinish});
        QVERIFY(page.engine.stateReads > reads);  // read again after the recovery
        QVERIFY(page.Action().isEmpty());

        page.engine.unfinished = true;
        page.engine.plan = WaitingPlan(RecoveryAction::kPutBack);
        page.page->ShowInstallState();
        QCOMPARE(page.Action(), QString("Put back"));
        page.Press();
        QCOMPARE(page.engine.recoveries.back(), RecoveryAction::kPutBack);

        page.engine.unfinished = true;
        page.engine.plan = WaitingPlan(RecoveryAction::kRefuse);
        page.engine.plan.why = L"\"Software\": in \"/srv/Oculus/x\"";
        page.page->ShowInstallState();
        QVERIFY(
            page.Note().contains("cannot find its games until the folders are put in order by "
                                 "hand. Where the data is: \"Software\": in \"/srv/Oculus/x\"."));
        QVERIFY(page.Action().isEmpty());
    }

    void aLinkThatLeadsNowhereNamesItsPlaceAndWhereItsDriveIs() {
        Page page;
        InstallState broken =
            State(InstallState::Kind::kBroken, FolderState::Where::kBroken, L"/mnt/a/Oculus game");
        broken.expectedRoot = L"/mnt/a";
        broken.volume = InstallState::Volume::kAbsent;
        page.Show(broken);
        QCOMPARE(page.Note(), QString("Software and Downloads lead nowhere: /mnt/a/Oculus game "
                                      "is missing, and its drive /mnt/a is not connected. Connect "
                                      "it and start Halvex again."));
        QVERIFY(page.Action().isEmpty());

        // "Start Move" cannot read the folders behind the links: its refusal says why.
        page.engine.checkCode = kTargetQueryFailed;
        uitest::BoxRecorder boxes;
        // Any existing folder will do: the refusal comes from the source, whatever the target.
        targetcheck::AcceptAnyVolumeForBenchmarks(true);
        page.page->findChildren<QLineEdit*>().at(1)->setText(QDir::currentPath());
        for (QPushButton* button : page.page->findChildren<QPushButton*>()) {
            if (button->text() == "Start Move") button->click();
        }
        QCOMPARE(boxes.Texts().size(), 1);
        const QString refusal = Plain(boxes.Texts().front());
        QVERIFY2(refusal.startsWith("Initialization failed.") &&
                     refusal.endsWith("its drive /mnt/a is not connected. Connect it and start "
                                      "Halvex again."),
                 qPrintable(refusal));
        page.engine.checkCode = 0;
        targetcheck::AcceptAnyVolumeForBenchmarks(false);

        broken.volume = InstallState::Volume::kSamePlace;
        broken.folders[1] = Folder(L"Downloads", FolderState::Where::kLinked, L"/mnt/a/x");
        page.Show(broken);
        QCOMPARE(page.Note(), QString("Software leads nowhere: /mnt/a/Oculus game/Software is "
                                      "missing. Its drive /mnt/a is there: the folder was renamed "
                                      "or moved."));

        broken.volume = InstallState::Volume::kUnknown;
        page.Show(broken);
        QVERIFY(page.Note().endsWith("Connect its drive, or give the folder its old name back."));

        broken.volume = InstallState::Volume::kElsewhere;
        broken.volumeNowAt = L"/mnt/b";
        page.Show(broken);
        QVERIFY(page.Note().endsWith("Its drive is now /mnt/b, but the folder is not on it."));
        QVERIFY(page.Action().isEmpty());
    }

    void aDriveUnderAnotherMountPointIsOfferedAndRepointed() {
        Page page;
        InstallState broken = Broken(InstallState::Volume::kElsewhere, L"/mnt/a",
                                     L"/mnt/a/Oculus game", L"/mnt/b/Oculus game");
        broken.volumeNowAt = L"/mnt/b";
        page.Show(broken);
        QVERIFY(page.Note().endsWith("Its drive is now /mnt/b, with the games on it."));
        QCOMPARE(page.Action(), QString("Re-point the links"));
        page.Press();
        QCOMPARE(page.engine.repoints.load(), 1);
    }

    // The links' folder found on their drive under another name, or in another folder, or on
    // the drive under another mount point: the row names what to give back and offers the
    // re-pointing.
    void aFolderFoundOnTheLinksDriveIsNamedAndOffered() {
        Page page;
        InstallState broken = Broken(InstallState::Volume::kSamePlace, L"/mnt/a",
                                     L"/mnt/a/Oculus game", L"/mnt/a/Oculus game old");
        broken.renamedTo = L"/mnt/a/Oculus game old";
        page.Show(broken);
        QCOMPARE(page.Note(), QString("Software and Downloads lead nowhere: in /mnt/a, the folder "
                                      "\"Oculus game\" was renamed \"Oculus game old\". Name it "
                                      "\"Oculus game\" again, or re-point the links to it."));
        QCOMPARE(page.Action(), QString("Re-point the links"));
        page.Press();
        QCOMPARE(page.engine.repoints.load(), 1);

        broken.renamedTo = L"/mnt/a/Backup/Oculus game";
        page.Show(broken);
        QCOMPARE(page.Note(),
                 QString("Software and Downloads lead nowhere: the folder /mnt/a/Oculus "
                         "game was moved to /mnt/a/Backup/Oculus game on its drive. "
                         "Move it back, or re-point the links to it."));
        // One link alone: named as the one that leads nowhere.
        broken.folders[1] = Folder(L"Downloads", FolderState::Where::kHome, {});
        broken.renamedTo = L"/mnt/a/Oculus game old";
        page.Show(broken);
        QVERIFY2(page.Note().startsWith("Software leads nowhere: in /mnt/a, the folder \"Oculus "
                                        "game\" was renamed \"Oculus game old\"."),
                 qPrintable(page.Note()));
        broken.folders[1] =
            Folder(L"Downloads", FolderState::Where::kBroken, L"/mnt/a/Oculus game");

        broken.volume = InstallState::Volume::kElsewhere;
        broken.volumeNowAt = L"/mnt/b";
        broken.renamedTo = L"/mnt/b/VR";
        page.Show(broken);
        QVERIFY2(
            page.Note().endsWith("Its drive is now /mnt/b, with the folder on it as /mnt/b/VR: "
                                 "re-point the links to it."),
            qPrintable(page.Note()));
        QCOMPARE(page.Action(), QString("Re-point the links"));
    }

    // Paths as long as a real library's, on a page laid out as the main window lays it out:
    // the note keeps to its three lines, shortening the paths in the middle; the tooltip and
    // the screen reader get them whole.
    void aLongNoteKeepsToItsLinesWithThePathsShortened() {
        Page page;
        const std::wstring disk =
            L"/media/someone/Games library disk of the family computer in the living room";
        const std::wstring far = disk + L"/VR headsets/Oculus game";
        InstallState broken = State(InstallState::Kind::kBroken, FolderState::Where::kBroken, far);
        broken.expectedRoot = disk;
        broken.volume = InstallState::Volume::kElsewhere;
        broken.volumeNowAt = disk + L"1";
        broken.repoint.base = L"/srv/Oculus/";
        broken.repoint.folders = {{L"/srv/Oculus/Software", far + L"/Software", {}, true}};
        page.page->resize(490, 140);
        page.page->show();
        page.Show(broken);
        QTRY_VERIFY_WITH_TIMEOUT(
            page.note->width() > 150 && page.note->heightForWidth(page.note->width()) <=
                                            ThreeLines(page.note, page.note->width()),
            uitest::kEventMs);
        const QString shown = Plain(page.note->text());
        QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
        QVERIFY2(shown.startsWith("Software and Downloads lead nowhere: /media"),
                 qPrintable(shown));
        QVERIFY(page.Note().contains(QString::fromStdWString(far)));
        QCOMPARE(Plain(page.note->toolTip()), page.Note());
        QCOMPARE(page.Action(), QString("Re-point the links"));
    }
};

// The broken-link rows in the main window at its own size: the whole sentence shows, with the
// names to give back, above the copyright line and clear of the action's button.
class TestBrokenRowsInTheWindow : public QObject {
    Q_OBJECT
  private slots:
    void theRenamedFolderRowFitsTheWindow_data() {
        QTest::addColumn<int>("volume");
        QTest::addColumn<QString>("renamedTo");
        QTest::addColumn<QString>("ending");
        const QString disk = "/media/someone/Games library disk";
        QTest::newRow("renamed") << int(InstallState::Volume::kSamePlace)
                                 << disk + "/VR headsets/Oculus game (old)"
                                 << "\"Oculus game\" was renamed \"Oculus game (old)\". Name "
                                    "it \"Oculus game\" again, or re-point the links to it.";
        QTest::newRow("moved on its drive")
            << int(InstallState::Volume::kSamePlace) << disk + "/Backup of the VR library"
            << "on its drive. Move it back, or re-point the links to it.";
        QTest::newRow("under another mount point")
            << int(InstallState::Volume::kElsewhere) << disk + "1/VR headsets/Oculus games"
            << ": re-point the links to it.";
    }
    void theRenamedFolderRowFitsTheWindow() {
        QFETCH(int, volume);
        QFETCH(QString, renamedTo);
        QFETCH(QString, ending);
        uitest::MainWindow main;
        const std::wstring disk = L"/media/someone/Games library disk";
        const std::wstring folder = disk + L"/VR headsets/Oculus game";
        InstallState broken = Broken(static_cast<InstallState::Volume>(volume), disk, folder,
                                     renamedTo.toStdWString());
        broken.volumeNowAt = disk + L"1";
        broken.renamedTo = renamedTo.toStdWString();
        main.engine.stateSet = true;
        main.engine.state = broken;
        auto* page = main.window->findChild<COculusInstallWgt*>();
        page->ShowInstallState();
        auto* note = page->findChild<QLabel*>("stateNote");
        QPushButton* action = main.Button("Re-point the links");
        QVERIFY(action);

        // Fitted once the window's layout has given the note its width.
        QTRY_VERIFY_WITH_TIMEOUT(Plain(note->text()).endsWith(ending), uitest::kEventMs);
        const QString shown = Plain(note->text());
        QVERIFY2(note->heightForWidth(note->width()) <= ThreeLines(note, note->width()),
                 qPrintable(shown));
        QVERIFY2(shown.startsWith("Software and Downloads lead nowhere: ") &&
                     shown.contains("/media"),  // the drive first, however short the path
                 qPrintable(shown));
        const QRect noteBox(note->mapTo(main.window.get(), QPoint(0, 0)),
                            QSize(note->width(), note->heightForWidth(note->width())));
        const QRect actionBox(action->mapTo(main.window.get(), QPoint(0, 0)), action->size());
        QVERIFY(action->isVisible());
        QVERIFY(!noteBox.intersects(actionBox));
        QVERIFY(main.window->rect().contains(actionBox));
        QVERIFY(main.window->rect().contains(noteBox));
    }
};

// How paths wrap in running text: after a separator with a name behind it, never inside a
// folder's name, never after a root (alone or beginning the path) or before the punctuation
// that closes the path.
class TestPathText : public QObject {
    Q_OBJECT
  private slots:
    void pathsBreakOnlyAfterTheirSeparators_data() {
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("marked");
        QTest::newRow("blank inside a path")
            << "Moved to /mnt/Oculus game. Done."
            << QString::fromUtf8("Moved to /mnt/\u200bOculus\u00a0game. Done.");
        QTest::newRow("root in brackets")
            << "(5.0 GB free on /)." << QString::fromUtf8("(5.0\u00a0GB free on /).");
        QTest::newRow("trailing separator")
            << "in /srv/, then" << QString::fromUtf8("in /srv/, then");
        QTest::newRow("drive letter")
            << "are in D:\\Games\\Oculus game, linked"
            << QString::fromUtf8("are in D:\\Games\\\u200bOculus\u00a0game, linked");
        QTest::newRow("network path")
            << "on \\\\nas\\games\\VR" << QString::fromUtf8("on \\\\nas\\\u200bgames\\\u200bVR");
        QTest::newRow("not a path") << "843.9 MB/s and and/or"
                                    << "843.9\u00a0MB/s and and/or";
        QTest::newRow("shortened path")
            << "lead nowhere: \u2026/VR/Oculus game, missing"
            << QString::fromUtf8("lead nowhere: \u2026/\u200bVR/\u200bOculus\u00a0game, missing");
    }
    void pathsBreakOnlyAfterTheirSeparators() {
        QFETCH(QString, words);
        QFETCH(QString, marked);
        QCOMPARE(ui::PathsWrappedAtSeparators(words), marked);
        QCOMPARE(ui::WithoutPathMarks(ui::PathsWrappedAtSeparators(words)), words);
    }

    void aShortenedPathKeepsItsDriveAndItsName() {
        const std::wstring path = L"D:\\Users\\someone\\Games library\\VR\\Oculus game";
        QCOMPARE(ui::WithoutPathMarks(ui::ShortPathText(path, 100)), QString::fromStdWString(path));
        const QString shortened = ui::WithoutPathMarks(ui::ShortPathText(path, 26));
        QCOMPARE(shortened.size(), 26);
        QVERIFY2(shortened.startsWith("D:\\Users") && shortened.endsWith("VR\\Oculus game"),
                 qPrintable(shortened));
        QCOMPARE(ui::PathText(L"/"), QString("/"));
    }
};

HX_REGISTER_TEST(TestInstallStateNote);
HX_REGISTER_TEST(TestBrokenRowsInTheWindow);
HX_REGISTER_TEST(TestPathText);
#include "state_test.moc"
