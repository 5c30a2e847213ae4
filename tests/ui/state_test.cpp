// The main window's note row against a scripted engine: where the data is in each state of the
// installation, the action beside a waiting move or a link that leads nowhere, and that the
// action runs and the note is read again afterwards.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ui/COculusInstallWgt.h"
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

struct Page {
    Page() {
        engine.source = L"/srv/Oculus/Software";
        engine.base = L"/srv/Oculus/";
        engine.stateSet = true;
        engine.state = State(InstallState::Kind::kHome);
        page = std::make_unique<COculusInstallWgt>(nullptr);
        note = page->findChild<QLabel*>("stateNote");
        for (QPushButton* button : page->findChildren<QPushButton*>()) {
            if (button->text() != "..." && button->text() != "Start Move") action = button;
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
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [] {
            QWidget* modal = QApplication::activeModalWidget();
            if (uitest::ProgressEnded(modal)) modal->findChild<QPushButton*>("normalbtn")->click();
        });
        closer.start(20);
        action->click();
    }

    uitest::ScopedVirtualClock clock;
    uitest::FakeEngine engine;
    uitest::ScopedEngine scoped{&engine};
    std::unique_ptr<COculusInstallWgt> page;
    QLabel* note = nullptr;
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
        QCOMPARE(page.Note(), QString("Software and Downloads are in /srv/Oculus (5.0 GB free on "
                                      "/srv)."));
        QVERIFY(page.Action().isEmpty());

        InstallState moved = State(InstallState::Kind::kMoved, FolderState::Where::kLinked,
                                   L"/mnt/games/Oculus game");
        moved.movedTo = L"/mnt/games/Oculus game";
        moved.movedRoot = L"/mnt/games";
        moved.movedFreeKnown = true;
        moved.movedFree = 7'000'000'000;
        page.Show(moved);
        QCOMPARE(page.Note(), QString("Software and Downloads are in /mnt/games/Oculus game (7.0 "
                                      "GB free on /mnt/games), linked from /srv/Oculus (5.0 GB "
                                      "free on /srv)."));
        const auto edits = page.page->findChildren<QLineEdit*>();
        QCOMPARE(edits.at(0)->text(),
                 QString("/srv/Oculus/Software  \u2192  /mnt/games/Oculus game/Software"));
        QCOMPARE(edits.at(1)->text(), QString());  // the field stays empty for the next target
        QCOMPARE(edits.at(1)->placeholderText(), QString("Now in /mnt/games/Oculus game"));
        QVERIFY(page.Action().isEmpty());
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
        InstallState broken =
            State(InstallState::Kind::kBroken, FolderState::Where::kBroken, L"/mnt/a/Oculus game");
        broken.expectedRoot = L"/mnt/a";
        broken.volume = InstallState::Volume::kElsewhere;
        broken.volumeNowAt = L"/mnt/b";
        broken.repoint.base = L"/srv/Oculus/";
        broken.repoint.folders = {
            {L"/srv/Oculus/Software", L"/mnt/b/Oculus game/Software", {}, true},
            {L"/srv/Oculus/Downloads", L"/mnt/b/Oculus game/Downloads", {}, true}};
        page.Show(broken);
        QVERIFY(page.Note().endsWith("Its drive is now /mnt/b, with the games on it."));
        QCOMPARE(page.Action(), QString("Re-point the links"));
        page.Press();
        QCOMPARE(page.engine.repoints.load(), 1);
    }
};

HX_REGISTER_TEST(TestInstallStateNote);
#include "state_test.moc"
