// The installation's state as one reader sees it (at home, moved, a stopped move waiting, a link
// that leads nowhere and where its volume went), the record a move leaves for it, and the
// re-pointing of links at a volume's new mount point, stopped and finished too.
#include <gtest/gtest.h>

#include "TaskMgr/InstallState.h"
#include "TaskMgr/MoveJournal.h"
#include "Vr/vr.h"
#include "fileOp/Manifest.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/fs.h"
#include "platform/volume.h"
#include "wholeness.h"
#ifndef _WIN32
#include "realworld_support.h"
#endif

using namespace testsupport;

namespace {

TEST(MoveRecordText, WhatIsWrittenIsReadBackAndNothingElse) {
    const MoveRecord record{L"/mnt/g\u00f6/Oculus game", L"/mnt/g\u00f6", L"uuid:1234-ABCD"};
    const std::string text = SerializeMoveRecord(record);
    MoveRecord back;
    ASSERT_TRUE(ParseMoveRecord(text, back));
    EXPECT_TRUE(back == record);
    for (const std::string& bad : std::vector<std::string>{
             std::string(), text.substr(0, text.size() - 1), "version=2" + text.substr(9),
             text + "extra=1\n", "version=1\nroot=/\nfolder=/x\nvolume=v\n",
             "version=1\nfolder=\nroot=/\nvolume=v\n",
             "version=1\nfolder=/a\tb\nroot=/\nvolume=v\n"}) {
        EXPECT_FALSE(ParseMoveRecord(bad, back)) << bad;
        EXPECT_TRUE(back == MoveRecord{}) << bad;
    }
}

#ifndef _WIN32
TEST(Rebasing, ReplacesOnlyAWholeLeadingRoot) {
    EXPECT_EQ(Rebased(L"/mnt/a/games/Oculus game", L"/mnt/a", L"/mnt/b"),
              L"/mnt/b/games/Oculus game");
    EXPECT_EQ(Rebased(L"/mnt/a/games", L"/mnt/a/", L"/media/x/"), L"/media/x/games");
    EXPECT_EQ(Rebased(L"/games/x", L"/", L"/mnt/b"), L"/mnt/b/games/x");
    EXPECT_EQ(Rebased(L"/mnt/ab/games", L"/mnt/a", L"/mnt/b"), L"");  // another folder
    EXPECT_EQ(Rebased(L"/mnt/a", L"/mnt/a", L"/mnt/b"), L"");         // the root alone
}
#endif

class InstallStateTest : public ::testing::Test {
  public:
    explicit InstallStateTest(InstallShape shape = {}) : install_(shape) {}

    InstallState State() {
        InstallState state;
        EXPECT_EQ(engine_.ReadInstallState(state), 0);
        return state;
    }
    int32_t MoveTo(const fs::path& target) {
        const int32_t result = Move(engine_, target);
        engine_.ResetTask();
        return result;
    }
    fs::path Software() const { return install_.base() / "Software"; }

    ScopedServiceClock clock_;
    ScopedFaults faults_;
    SimulatedInstall install_;
    CVr engine_;
};

TEST_F(InstallStateTest, AtHomeThenMovedWithTheFreeSpaceOfBothDrives) {
    if (sys::RunningUnderWine()) {
        GTEST_SKIP() << "Wine 8 makes no symbolic links: the move rolls back at its first link";
    }
    InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kHome);
    EXPECT_EQ(state.base, install_.base().wstring());
    EXPECT_TRUE(state.baseFreeKnown);
    EXPECT_FALSE(state.baseRoot.empty());

    fs::create_directories(install_.target());
    ASSERT_EQ(MoveTo(install_.target()), 0);
    state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_EQ(state.movedTo, (install_.target() / "Oculus game").wstring());
    EXPECT_TRUE(state.movedFreeKnown && state.baseFreeKnown);
    EXPECT_EQ(state.folders.at(0).where, FolderState::Where::kLinked);
    EXPECT_FALSE(state.strangeVolume);
    MoveRecord record;
    ASSERT_TRUE(ReadMoveRecord(record));
    EXPECT_EQ(record.folder, state.movedTo);

    // Another volume where the games' drive was: the same folder names, another identity.
    std::wstring stateFolder;
    ASSERT_TRUE(sys::GetStateFolder(stateFolder));
    MoveRecord other = record;
    other.volume += L"-another";
    ASSERT_TRUE(sys::ReplaceFileAtomically(stateFolder + sys::kSep + L"moved.record",
                                           SerializeMoveRecord(other)));
    state = State();
    EXPECT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_TRUE(state.strangeVolume);
    EXPECT_EQ(state.expectedRoot, record.root);
}

TEST_F(InstallStateTest, AParkedFolderIsAMoveWaitingWithWhatFits) {
    fs::rename(Software(), install_.base() / "SoftwareVarko");
    const InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kWaiting);
    EXPECT_EQ(state.plan.action, RecoveryAction::kPutBack);
    ASSERT_EQ(engine_.Recover(RecoveryAction::kPutBack), 0);
    EXPECT_EQ(State().kind, InstallState::Kind::kHome);
}

// Through the system's real link calls: the folders moved by hand, then linked by a re-pointing.
TEST_F(InstallStateTest, RepointingLinksTheFoldersAndStartsTheServices) {
    const fs::path copies = install_.root() / "new" / "Oculus game";
    fs::create_directories(copies);
    JournalRecord record;
    record.base = install_.baseValue();
    for (const char* name : {"Software", "Downloads"}) {
        fs::rename(install_.base() / name, copies / name);
        record.folders.push_back(
            {(install_.base() / name).wstring(), (copies / name).wstring(), {}, true});
    }
    const int32_t result = engine_.Recovery().Repoint(record);
    if (sys::RunningUnderWine()) {
        // Wine 8's CreateSymbolicLinkW makes no link; the journal stays for the next start.
        EXPECT_NE(result, 0);
        GTEST_SKIP() << "Wine 8 makes no symbolic links: the re-pointing cannot finish here";
    }
    ASSERT_EQ(result, 0);
    const InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_EQ(state.movedTo, copies.wstring());
    EXPECT_TRUE(install_.Missing({Software()}, {install_.base() / "Downloads"}).empty());
    for (const wchar_t* name : {L"OVRService", L"OVRLibraryService"})
        EXPECT_EQ(install_.ServiceState(name), sys::kServiceRunning);
}

TEST_F(InstallStateTest, RepointingNeverRemovesAFolder) {
    JournalRecord record;
    record.base = install_.baseValue();
    fs::create_directories(install_.root() / "new" / "Oculus game" / "Software");
    record.folders.push_back({Software().wstring(),
                              (install_.root() / "new" / "Oculus game" / "Software").wstring(),
                              {},
                              true});
    EXPECT_EQ(engine_.Recovery().Repoint(record), kCodeRecoveryRefused);
    EXPECT_TRUE(install_.Missing({Software()}, {install_.base() / "Downloads"}).empty());
    const InstallState state = State();
    EXPECT_EQ(state.kind, InstallState::Kind::kHome) << sys::ToUtf8(state.plan.why);
}

#ifndef _WIN32
// Renamed where it was, the folder is named and offered: re-pointing leads the links to it, and
// the record follows. Gone from the drive altogether, nothing is offered.
TEST_F(InstallStateTest, ARenamedFolderOnADriveThatIsThereIsFoundAndTheLinksRepointedToIt) {
    fs::create_directories(install_.target());
    ASSERT_EQ(MoveTo(install_.target()), 0);
    const fs::path renamed = install_.target() / "Oculus games";
    fs::rename(install_.target() / "Oculus game", renamed);
    InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kBroken);
    EXPECT_EQ(state.folders.at(0).where, FolderState::Where::kBroken);
    EXPECT_EQ(state.folders.at(0).leadsTo,
              (install_.target() / "Oculus game" / "Software").wstring());
    EXPECT_EQ(state.volume, InstallState::Volume::kSamePlace);
    EXPECT_EQ(state.renamedTo, renamed.wstring());
    ASSERT_EQ(state.repoint.folders.size(), 2u);
    EXPECT_EQ(state.repoint.folders[1].target, (renamed / "Downloads").wstring());

    ASSERT_EQ(engine_.RepointLinks(), 0);
    state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_EQ(state.movedTo, renamed.wstring());
    EXPECT_FALSE(state.strangeVolume);
    MoveRecord record;
    ASSERT_TRUE(ReadMoveRecord(record));
    EXPECT_EQ(record.folder, renamed.wstring());

    // Moved off the drive's top levels (deeper than the search looks): named by no one.
    const fs::path deep = install_.target() / "a" / "b" / "c";
    fs::create_directories(deep);
    fs::rename(renamed, deep / "Oculus game");
    state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kBroken);
    EXPECT_TRUE(state.renamedTo.empty());
    EXPECT_TRUE(state.repoint.folders.empty());
    EXPECT_EQ(engine_.RepointLinks(), kCodeRecoveryRefused);  // nothing to point at
    EXPECT_TRUE(fs::is_symlink(Software()));
}

TEST_F(InstallStateTest, ALinkWithoutARecordIsBrokenOnAnUnknownDrive) {
    fs::rename(Software(), install_.root() / "elsewhere");
    fs::create_directory_symlink(install_.root() / "gone" / "Software", Software());
    const InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kBroken);
    EXPECT_EQ(state.volume, InstallState::Volume::kUnknown);
    EXPECT_EQ(state.folders.at(1).where, FolderState::Where::kHome);
}

// The target's volume, moved to another mount point as a drive gets another letter.
class MovedVolumeTest : public InstallStateTest {
  public:
    MovedVolumeTest() : volume_("ext4", install_.root() / "driveA") {}
    ~MovedVolumeTest() override {
        if (moved_) MoveMount(driveB(), driveA());
    }
    fs::path driveA() const { return install_.root() / "driveA"; }
    fs::path driveB() const { return install_.root() / "driveB"; }
    bool MoveMount(const fs::path& from, const fs::path& to) {
        fs::create_directories(to);
        return RunQuietly("mount --move '" + from.string() + "' '" + to.string() + "'");
    }
    // Moves the data onto the volume, then the volume to driveB: the links lead nowhere.
    void MoveThenMoveTheVolume() {
        fs::create_directories(driveA() / "games");
        ASSERT_EQ(MoveTo(driveA() / "games"), 0);
        ASSERT_EQ(State().kind, InstallState::Kind::kMoved);
        moved_ = MoveMount(driveA(), driveB());
        if (!moved_) GTEST_SKIP() << "this machine cannot move a mount (mount --move)";
    }

    LoopVolume volume_;
    bool moved_ = false;
};

TEST_F(MovedVolumeTest, TheVolumeUnderAnotherMountPointIsFoundAndTheLinksRepointed) {
    if (!volume_.mounted()) GTEST_SKIP() << volume_.why();
    MoveThenMoveTheVolume();
    if (!moved_) return;
    InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kBroken);
    EXPECT_EQ(state.volume, InstallState::Volume::kElsewhere);
    EXPECT_EQ(state.expectedRoot, driveA().wstring());
    EXPECT_EQ(state.volumeNowAt, driveB().wstring());
    ASSERT_EQ(state.repoint.folders.size(), 2u);

    ASSERT_EQ(engine_.RepointLinks(), 0);
    state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_EQ(state.movedTo, (driveB() / "games" / "Oculus game").wstring());
    EXPECT_TRUE(install_.Missing({Software()}, {install_.base() / "Downloads"}).empty());
    for (const wchar_t* name : {L"OVRService", L"OVRLibraryService"})
        EXPECT_EQ(install_.ServiceState(name), sys::kServiceRunning);
    JournalRecord journal;
    bool found = true;
    EXPECT_EQ(ReadJournal(journal, found), 0);
    EXPECT_FALSE(found);
    // The record follows: the volume is now known at driveB.
    MoveRecord record;
    ASSERT_TRUE(ReadMoveRecord(record));
    EXPECT_EQ(record.root, driveB().wstring());
}

TEST_F(MovedVolumeTest, AVolumeThatIsNotAttachedIsNamedAbsent) {
    if (!volume_.mounted()) GTEST_SKIP() << volume_.why();
    MoveThenMoveTheVolume();
    if (!moved_) return;
    ASSERT_TRUE(RunQuietly("umount '" + driveB().string() + "'"));
    moved_ = false;
    const InstallState state = State();
    // Mounted again where the fixture's volume unmounts it at its end.
    RunQuietly("mount -o loop '" + (install_.root() / "driveA.img").string() + "' '" +
               driveA().string() + "'");
    ASSERT_EQ(state.kind, InstallState::Kind::kBroken);
    EXPECT_EQ(state.volume, InstallState::Volume::kAbsent);
    EXPECT_EQ(state.expectedRoot, driveA().wstring());
    EXPECT_TRUE(state.repoint.folders.empty());
}

TEST_F(MovedVolumeTest, ARepointingStoppedHalfwayWaitsAndIsFinished) {
    if (!volume_.mounted()) GTEST_SKIP() << volume_.why();
    MoveThenMoveTheVolume();
    if (!moved_) return;
    // The second link is never made: the run stops there, as a kill would stop it.
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kCreateSymbolicLink, 2, sys::kErrAccessDenied, true, {}});
    EXPECT_NE(engine_.RepointLinks(), 0);
    sys::fault::Reset();
    InstallState state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kWaiting);
    EXPECT_EQ(state.plan.record.work, JournalWork::kRepoint);
    ASSERT_EQ(state.plan.action, RecoveryAction::kFinish);
    ASSERT_EQ(engine_.Recover(RecoveryAction::kFinish), 0);
    state = State();
    ASSERT_EQ(state.kind, InstallState::Kind::kMoved);
    EXPECT_EQ(state.movedTo, (driveB() / "games" / "Oculus game").wstring());
    for (const wchar_t* name : {L"OVRService", L"OVRLibraryService"})
        EXPECT_EQ(install_.ServiceState(name), sys::kServiceRunning);
}
#endif

// The search on a drive, here a folder that plays its root: where it looks, what it passes over
// and what makes a folder the games.
TEST(RenamedFolderSearch, FindsTheGamesBesideTheirPlaceOrAtTheDrivesTopLevelsAndNothingElse) {
    TempDir drive;
    const fs::path root = drive.path() / "E";
    const std::wstring expected = W(root / "Games" / "Oculus game");
    const std::vector<std::wstring> names{L"Software", L"Downloads"};
    const auto library = [](const fs::path& folder, uintmax_t size) {
        for (const char* name : {"Software", "Downloads"}) {
            fs::create_directories(folder / name / "game");
            WriteFile(folder / name / "game" / "data.bin", std::string(size, 'x'));
        }
    };
    const auto find = [&](const Manifest* manifest) {
        return FindRenamedFolder(expected, names, W(root), W(root), manifest);
    };
    Manifest manifest;
    for (const wchar_t* name : {L"Software", L"Downloads"}) {
        manifest.trees.push_back({name, {{std::wstring(L"game") + sys::kSep + L"data.bin", 4}}});
    }

    fs::create_directories(root / "Games");
    EXPECT_EQ(find(&manifest), L"");  // nothing there
    // Decoys: one folder only; a file where a folder should be.
    fs::create_directories(root / "Half" / "Software");
    fs::create_directories(root / "Games" / "Filed");
    WriteFile(root / "Games" / "Filed" / "Software", "x");
    fs::create_directories(root / "Games" / "Filed" / "Downloads");
    EXPECT_EQ(find(&manifest), L"");

    // Moved into another folder of the drive: found one level down from its root.
    library(root / "Backup" / "Oculus game old", 4);
    EXPECT_EQ(find(&manifest), W(root / "Backup" / "Oculus game old"));
    // Another installation's folders hold other files: not the games, where a manifest tells.
    library(root / "Program Files", 9);
    EXPECT_EQ(find(&manifest), W(root / "Backup" / "Oculus game old"));
    EXPECT_EQ(find(nullptr), L"");  // without one, two fit alike: neither is named
#ifndef _WIN32
    // A link to the games is passed over: the folder is named where it really is.
    fs::remove_all(root / "Program Files");
    fs::create_directory_symlink(root / "Backup" / "Oculus game old", root / "Games" / "Link");
    EXPECT_EQ(find(nullptr), W(root / "Backup" / "Oculus game old"));
#endif
    // Renamed where it was: looked for there first, before the drive's top levels.
    library(root / "Games" / "Oculus (renamed)", 4);
    EXPECT_EQ(find(&manifest), W(root / "Games" / "Oculus (renamed)"));
    // Its files updated since the move: most of them still match.
    manifest.trees[0].files.push_back({std::wstring(L"game") + sys::kSep + L"new.bin", 7});
    EXPECT_EQ(find(&manifest), W(root / "Games" / "Oculus (renamed)"));
    // The drive under another root now: looked for there.
    fs::rename(root, drive.path() / "F");
    EXPECT_EQ(FindRenamedFolder(expected, names, W(root), W(drive.path() / "F"), &manifest),
              W(drive.path() / "F" / "Games" / "Oculus (renamed)"));
}

// The platform's part: a volume is known by an identity that its roots share.
TEST(VolumeIdentity, AFolderVolumeIsFoundAtItsRoot) {
    TempDir dir;
    std::wstring id, root;
    ASSERT_TRUE(sys::GetVolumeIdentity(dir.path().wstring(), id));
    ASSERT_TRUE(sys::GetVolumePathNameW(dir.path().wstring(), root));
    std::wstring again;
    ASSERT_TRUE(sys::GetVolumeIdentity(root, again));
    EXPECT_EQ(id, again);
#ifndef _WIN32
    if (!IsRoot()) GTEST_SKIP() << "a volume of its own needs root";
    LoopVolume volume("ext4", dir.path() / "v");
    if (!volume.mounted()) GTEST_SKIP() << volume.why();
    ASSERT_TRUE(sys::GetVolumeIdentity((dir.path() / "v").wstring(), id));
    EXPECT_EQ(id.rfind(L"uuid:", 0), 0u);
    EXPECT_EQ(sys::FindVolumeRoots(id), std::vector<std::wstring>{(dir.path() / "v").wstring()});
#else
    const std::vector<std::wstring> roots = sys::FindVolumeRoots(id);
    EXPECT_NE(std::find(roots.begin(), roots.end(), root), roots.end());
#endif
}

}  // namespace
