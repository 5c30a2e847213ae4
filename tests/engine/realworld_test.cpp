// A move in the user's real world, on Linux: volumes that ignore letter case, other processes
// writing into the installation, bind mounts, read-only entries, links that lead nowhere, what
// cp -a keeps, odd spellings of paths, and services that will not do as asked. Real volumes,
// mounts and processes where the class needs one (root); skipped with the reason otherwise.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>

#include "Vr/vr.h"
#include "fileOp/MoveChecks.h"
#include "fileop_support.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/posix/service_standin.h"
#include "platform/services.h"
#include "realworld_support.h"
#include "wholeness.h"

using namespace testsupport;

namespace {

constexpr const char* kNeedsRoot = "mounts need root";

std::string LinkText(const fs::path& link) {
    return fs::read_symlink(link).string();
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// ---- The copy, the delete and the verification on their own ------------------------------------

TEST_F(FileOpTest, LinksThatLeadNowhereAreCopiedAsLinksAndDeletedAsLinks) {
    const fs::path source = Data("s");
    WriteFile(source / "sub" / "file.txt", "content");
    WriteFile(Data("outside") / "kept.txt", "kept");
    fs::create_symlink("missing-target", source / "dangling");
    fs::create_symlink("self", source / "self");                    // a link to itself
    fs::create_directory_symlink("..", source / "sub" / "up");      // back to the walked tree
    fs::create_directory_symlink(Data("outside"), source / "out");  // leads somewhere: copied

    int32_t count = 0;
    ASSERT_EQ(op_.CountFiles(W(source), count), 0);
    EXPECT_EQ(count, 5);  // file, three bare links, and the outside folder's file
    fs::create_directories(Data("t"));
    ASSERT_EQ(op_.CopyTree(W(source), W(Data("t"))), 0);
    EXPECT_EQ(LinkText(Data("t") / "dangling"), "missing-target");
    EXPECT_EQ(LinkText(Data("t") / "self"), "self");
    EXPECT_EQ(LinkText(Data("t") / "sub" / "up"), "..");
    EXPECT_FALSE(fs::is_symlink(Data("t") / "out"));
    EXPECT_EQ(ReadFile(Data("t") / "out" / "kept.txt"), "kept");
    std::wstring difference;
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(Data("t")), difference), 0)
        << sys::ToUtf8(difference);

    ASSERT_EQ(op_.DeleteTree(W(source), false), 0);
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(ReadFile(Data("outside") / "kept.txt"), "kept");
}

TEST_F(FileOpTest, CopyKeepsWhatCpAKeeps) {
    const fs::path source = Data("s");
    WriteFile(source / "private" / "secret.txt", "secret");
    fs::permissions(source / "private", fs::perms::owner_all);
    WriteFile(source / "locked" / "inside.txt", "inside");
    fs::permissions(source / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    WriteFile(source / "a.txt", "shared");
    fs::create_hard_link(source / "a.txt", source / "private" / "b.txt");
    {
        std::ofstream sparse(source / "sparse.bin", std::ios::binary);
        sparse.write("head", 4);
        sparse.seekp((int64_t{2} << 30) - 4);
        sparse.write("tail", 4);
    }
    const bool root = IsRoot();
    if (root) {
        ASSERT_EQ(::chown((source / "a.txt").c_str(), 1000, 1000), 0);
        ASSERT_EQ(::chown((source / "private").c_str(), 1000, 1000), 0);
    }
    const bool xattrs = ::setxattr((source / "a.txt").c_str(), "user.halvex", "kept", 4, 0) == 0 &&
                        ::setxattr((source / "private").c_str(), "user.halvex", "dir", 3, 0) == 0;

    fs::create_directories(Data("t"));
    ASSERT_EQ(op_.CopyTree(W(source), W(Data("t"))), 0);
    const fs::path t = Data("t");
    EXPECT_EQ(ModeOf(t / "private"), 0700u);
    EXPECT_EQ(ModeOf(t / "locked"), 0500u);
    EXPECT_EQ(ReadFile(t / "locked" / "inside.txt"), "inside");
    struct stat a {
    }, b{}, sparse{};
    ASSERT_EQ(::stat((t / "a.txt").c_str(), &a), 0);
    ASSERT_EQ(::stat((t / "private" / "b.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << "hard links stay hard links";
    ASSERT_EQ(::stat((t / "sparse.bin").c_str(), &sparse), 0);
    EXPECT_EQ(sparse.st_size, int64_t{2} << 30);
    EXPECT_LT(sparse.st_blocks * 512, int64_t{1} << 20) << "a sparse file stays sparse";
    if (root) {
        struct stat dir {};
        ::stat((t / "private").c_str(), &dir);
        EXPECT_EQ(a.st_uid, 1000u);
        EXPECT_EQ(a.st_gid, 1000u);
        EXPECT_EQ(dir.st_uid, 1000u);
    }
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(::getxattr((t / "a.txt").c_str(), "user.halvex", value, sizeof value), 4);
        EXPECT_EQ(std::string(value), "kept");
        EXPECT_EQ(::getxattr((t / "private").c_str(), "user.halvex", value, sizeof value), 3);
    }
    std::wstring difference;
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(t), difference), 0) << sys::ToUtf8(difference);
    // Read-only folders in a tree this move made do not stop its delete.
    EXPECT_EQ(op_.DeleteTree(W(t), false), 0);
    EXPECT_FALSE(fs::exists(t));
}

// The owner of a tree, not root: permission bits hold. A folder without write (or any) rights
// is opened up for its owner before its entries go.
TEST_F(FileOpTest, DeleteOpensUpFoldersTheirOwnerMayNotChange) {
    const fs::path tree = Data("tree");
    WriteFile(tree / "ro" / "file.txt", "x");
    WriteFile(tree / "ro" / "closed" / "deep.txt", "y");
    WriteFile(tree / "readonly.txt", "z");
    fs::permissions(tree / "readonly.txt", fs::perms::owner_read);
    fs::permissions(tree / "ro" / "closed", fs::perms::none);
    fs::permissions(tree / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(tree, fs::perms::owner_read | fs::perms::owner_exec);  // the root as well
    const uid_t nobody = 65534;
    if (IsRoot()) {
        ASSERT_TRUE(RunQuietly("chown -R 65534:65534 '" + Data("").string() + "'"));
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (IsRoot() && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ::_exit(2);
        CFileOp op;
        ::_exit(op.DeleteTree(W(tree), false) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(tree));
}

TEST_F(FileOpTest, DeleteNeverReachesThroughAMountPoint) {
    const fs::path tree = Data("tree");
    WriteFile(tree / "game" / "file.txt", "x");
    WriteFile(Data("documents") / "mine.txt", "mine");
    BindMount bind(Data("documents"), tree / "game" / "docs");
    if (!bind.mounted()) GTEST_SKIP() << kNeedsRoot;

    // The mount point's refusal (10032) leaves its folder, and the closing step says so (10145).
    EXPECT_EQ(op_.DeleteTree(W(tree), false), 10145);
    EXPECT_EQ(ReadFile(Data("documents") / "mine.txt"), "mine");
    EXPECT_NE(LogText().find("mount point inside the tree: " + (tree / "game" / "docs").string()),
              std::string::npos);
    EXPECT_EQ(movecheck::NoMountPointsBelow(W(tree)), kCodeMountPointInside);
    EXPECT_EQ(movecheck::NoMountPointsBelow(W(Data("documents"))), 0);
}

TEST_F(FileOpTest, VerificationFindsEveryKindOfDifference) {
    const fs::path source = Data("s");
    WriteFile(source / "a.txt", "aaaa");
    WriteFile(source / "sub" / "b.txt", "bbbb");
    fs::create_directories(source / "empty");
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
        fs::path expected;  // relative; below the original unless only the copy has it
        bool copySide;
    };
    const Case cases[] = {
        {"nothing", [](const fs::path&) {}, {}, false},
        {"size", [](const fs::path& t) { WriteFile(t / "sub" / "b.txt", "bbbbb"); }, "sub/b.txt",
         false},
        {"time",
         [](const fs::path& t) {
             fs::last_write_time(t / "a.txt",
                                 fs::last_write_time(t / "a.txt") - std::chrono::seconds(5));
         },
         "a.txt", false},
        {"missing", [](const fs::path& t) { fs::remove(t / "sub" / "b.txt"); }, "sub/b.txt", false},
        {"extra", [](const fs::path& t) { WriteFile(t / "empty" / "new.txt", "n"); },
         "empty/new.txt", true},
        {"kind",
         [](const fs::path& t) {
             fs::remove(t / "a.txt");
             fs::create_directory(t / "a.txt");
         },
         "a.txt", false},
    };
    for (const Case& c : cases) {
        const fs::path copy = Data(std::string("copy-") + c.what);
        fs::create_directories(copy);
        ASSERT_EQ(op_.CopyTree(W(source), W(copy)), 0) << c.what;
        c.change(copy);
        std::wstring difference;
        const int32_t r = op_.Compare().VerifyCopy(W(source), W(copy), difference);
        if (c.expected.empty()) {
            EXPECT_EQ(r, 0) << c.what;
        } else {
            EXPECT_EQ(r, kCodeCopyDiffers) << c.what;
            EXPECT_EQ(fs::path(sys::ToUtf8(difference)), (c.copySide ? copy : source) / c.expected)
                << c.what;
        }
    }
}

// A folder's owner and extended attributes are copied, and a copy whose folder differs in
// either is named by the check (owners only where this process may give a copy away: root).
TEST_F(FileOpTest, FolderOwnersAndExtendedAttributesAreKeptAndCompared) {
    const fs::path source = Data("s");
    WriteFile(source / "game" / "f.bin", "f");
    const std::string folder = (source / "game").string();
    const bool xattrs = ::setxattr(folder.c_str(), "user.halvex", "dir", 3, 0) == 0;
    if (IsRoot()) {
        ASSERT_EQ(::chown(folder.c_str(), 1000, 1000), 0);
    }
    if (!xattrs && !IsRoot()) GTEST_SKIP() << "no extended attributes here, and not root";
    fs::create_directories(Data("t"));
    ASSERT_EQ(op_.CopyTree(W(source), W(Data("t"))), 0);
    std::wstring difference;
    ASSERT_EQ(op_.Compare().VerifyCopy(W(source), W(Data("t")), difference), 0)
        << sys::ToUtf8(difference);

    const std::string copied = (Data("t") / "game").string();
    const auto expectDiffers = [&](const char* what) {
        EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(Data("t")), difference), kCodeCopyDiffers)
            << what;
        EXPECT_EQ(difference, W(source / "game")) << what;
    };
    if (xattrs) {
        ::setxattr(copied.c_str(), "user.halvex", "DIR", 3, 0);
        expectDiffers("another value");
        ::removexattr(copied.c_str(), "user.halvex");
        expectDiffers("a missing attribute");
        ::setxattr(copied.c_str(), "user.halvex", "dir", 3, 0);
        ::setxattr(copied.c_str(), "user.more", "x", 1, 0);
        expectDiffers("an attribute more");
        ::removexattr(copied.c_str(), "user.more");
    }
    if (IsRoot()) {
        ASSERT_EQ(::chown(copied.c_str(), 1001, 1000), 0);
        expectDiffers("another owner");
        ASSERT_EQ(::chown(copied.c_str(), 1000, 1001), 0);
        expectDiffers("another group");
        ASSERT_EQ(::chown(copied.c_str(), 1000, 1000), 0);
    }
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(Data("t")), difference), 0)
        << sys::ToUtf8(difference);
}

void SetWriteTime(const fs::path& path, int64_t unixSeconds, long ns = 0) {
    const timespec times[2] = {{unixSeconds, ns}, {unixSeconds, ns}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// exFAT keeps neither modes nor extended attributes, no time finer than a second or two, and
// nothing before 1980 or after 2107; its FUSE driver shows such a time as it was given until the
// volume is mounted again, and then 1980, or a year wrapped around. The check judges the copy as
// the volume holds it: alike before and after a remount (as a move and a later recovery must),
// while a time that really differs is still seen.
TEST_F(FileOpTest, ACopyOnExfatIsJudgedAlikeBeforeAndAfterARemount) {
    LoopVolume exfat("exfat", Data("exfat"));
    if (!exfat.mounted()) GTEST_SKIP() << exfat.why();
    const fs::path source = Data("s");
    WriteFile(source / "old" / "1975.bin", "a");
    WriteFile(source / "late" / "2120.bin", "b");
    WriteFile(source / "now" / "odd.bin", "c");
    fs::permissions(source / "now", fs::perms::owner_all);
    ::setxattr((source / "now").c_str(), "user.halvex", "x", 1, 0);
    SetWriteTime(source / "old" / "1975.bin", 170856000);
    SetWriteTime(source / "old", 170856001);
    SetWriteTime(source / "late" / "2120.bin", 4733510401);
    SetWriteTime(source / "late", 4733510402);
    SetWriteTime(source / "now" / "odd.bin", 1700000001, 987654321);
    SetWriteTime(source / "now", 1700000003, 5);
    const fs::path copy = exfat.path() / "copy";
    fs::create_directories(copy);

    ASSERT_EQ(op_.CopyTree(W(source), W(copy)), 0);
    std::wstring difference;
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(copy), difference), 0)
        << sys::ToUtf8(difference);
    ASSERT_TRUE(exfat.Remount()) << exfat.why();
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(copy), difference), 0)
        << sys::ToUtf8(difference);

    SetWriteTime(copy / "now" / "odd.bin", 1700000011);
    EXPECT_EQ(op_.Compare().VerifyCopy(W(source), W(copy), difference), kCodeCopyDiffers);
    EXPECT_EQ(difference, W(source / "now" / "odd.bin"));
}

TEST_F(FileOpTest, TargetInsideASourceIsSeenThroughLinksBindMountsAndLetterCase) {
    const fs::path software = Data("Oculus") / "Software";
    WriteFile(software / "game" / "f.bin", "x");
    fs::create_directory_symlink(software / "game", Data("shortcut"));
    auto check = [this, &software](const fs::path& target) {
        CFileOp op;
        return op.CheckTarget({W(software)}, W(target));
    };
    EXPECT_EQ(check(Data("shortcut")), 2) << "a link into Software";
    EXPECT_EQ(check(Data("elsewhere-that-exists")), 4) << "a missing target cannot be judged";
    fs::create_directories(Data("apart"));
    EXPECT_EQ(check(Data("apart")), 0);

    BindMount bind(software, Data("bound"));
    if (bind.mounted()) {
        EXPECT_EQ(check(Data("bound") / "game"), 2) << "a bind mount of Software";
    }
    LoopVolume exfat("exfat", Data("exfat"));
    if (!exfat.mounted()) GTEST_SKIP() << exfat.why();
    const fs::path onExfat = exfat.path() / "Oculus" / "Software";
    WriteFile(onExfat / "game" / "f.bin", "x");
    CFileOp op;
    EXPECT_EQ(op.CheckTarget({W(onExfat)}, W(exfat.path() / "OCULUS" / "software" / "game")), 2);
    EXPECT_TRUE(sys::NamesIgnoreCase(W(onExfat)));
    EXPECT_FALSE(sys::NamesIgnoreCase(W(software)));
}

TEST_F(FileOpTest, ATargetIsJudgedByTheIdentityOfEveryFolderItLiesIn) {
    const fs::path software = Data("Oculus") / "Software";
    WriteFile(software / "game" / "level" / "f.bin", "x");
    fs::create_directories(Data("apart"));
    fs::create_directory_symlink(Data("Oculus"), Data("alias"));
    auto check = [this, &software](const fs::path& target) {
        CFileOp op;
        return op.CheckTarget({W(software)}, W(target));
    };
    EXPECT_EQ(check(Data("alias") / "Software" / "game" / "level"), 2) << "a linked ancestor";
    EXPECT_EQ(check(Data("apart") / ".." / "alias" / "Software" / "game"), 2) << "..";
    EXPECT_EQ(check(Data("alias")), 0) << "the folder that holds the source is apart from it";

    BindMount deep(software / "game" / "level", Data("bound"));
    if (!deep.mounted()) GTEST_SKIP() << kNeedsRoot;
    fs::create_directories(Data("bound") / "new");
    fs::create_directory_symlink(Data("bound"), Data("to-bound"));
    EXPECT_EQ(check(Data("bound")), 2) << "a bind mount of a folder deep inside";
    EXPECT_EQ(check(Data("bound") / "new"), 2) << "below such a bind mount";
    EXPECT_EQ(check(Data("to-bound")), 2) << "a link to such a bind mount";
    BindMount beside(Data("apart"), Data("bound-apart"));
    EXPECT_EQ(check(Data("bound-apart")), 0) << "a bind mount of a folder apart";
    // A mount point inside the source is inside too, and so is the volume's other mount.
    BindMount within(Data("apart"), software / "game" / "mounted");
    EXPECT_EQ(check(Data("bound-apart")), 2);
}

TEST(Paths, FullPathsAreAbsoluteAndTidyWithoutResolvingLinks) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } rows[] = {{L"/a/b/../c", L"/a/c"},
                {L"/a/./b//c/", L"/a/b/c"},
                {L"/../a", L"/a"},
                {L"/a/b/..", L"/a"},
                {L"//a///b", L"/a/b"},
                {L"/", L"/"},
                {L"/a/X/../games", L"/a/games"}};
    for (const auto& row : rows) {
        std::wstring full;
        ASSERT_TRUE(sys::GetFullPathNameW(row.in, full));
        EXPECT_EQ(full, row.out) << sys::ToUtf8(row.in);
    }
    TempDir dir;
    ScopedWorkingDir cwd(dir.path());
    std::wstring full;
    ASSERT_TRUE(sys::GetFullPathNameW(L"x/../y", full));
    EXPECT_EQ(full, W(fs::current_path() / "y"));
    EXPECT_FALSE(sys::IsAbsolutePath(L"Oculus/"));
    EXPECT_TRUE(sys::IsAbsolutePath(L"/Oculus/"));
    // The system reads a name only up to a NUL: such a text would be judged on one place and
    // used on another.
    EXPECT_FALSE(sys::GetFullPathNameW(std::wstring(L"/a/Soft\0/../b", 13), full));
    EXPECT_EQ(sys::GetLastError(), sys::kErrInvalidName);
}

// ---- Whole moves ----------------------------------------------------------------------------

class RealMoveTest : public ::testing::Test {
  protected:
    RealMoveTest() : cwd_(logDir_.path()) {
        LogResetForTests();
        engine_.Task().SetPhaseObserver(&phases_);
    }
    ~RealMoveTest() override { LogResetForTests(); }

    struct Phases final : TaskPhaseObserver {
        void OnPhase(int32_t phase) override {
            std::lock_guard<std::mutex> guard(lock);
            seen.push_back(phase);
        }
        std::mutex lock;
        std::vector<int32_t> seen;
    };

    int32_t Move(const fs::path& target) { return testsupport::Move(engine_, target); }
    fs::path Software() const { return install_.base() / "Software"; }
    fs::path Downloads() const { return install_.base() / "Downloads"; }
    std::string LogText() const { return LogTextIn(logDir_.path()); }

    TempDir logDir_;
    ScopedWorkingDir cwd_;
    ScopedVirtualClock clock_;
    ScopedFaults faults_;
    SimulatedInstall install_;
    CVr engine_;
    Phases phases_;
};

TEST_F(RealMoveTest, NamesThatDifferInCaseFailTheCopyOnAVolumeThatIgnoresCase) {
    LoopVolume exfat("exfat", install_.root() / "exfat");
    if (!exfat.mounted()) GTEST_SKIP() << exfat.why();
    install_.AddFile("Software/Game A/Save.dat", "upper");
    install_.AddFile("Software/Game A/save.dat", "lower");
    install_.AddFile("Downloads/Data/one.bin", "1");
    install_.AddFile("Downloads/data/two.bin", "2");

    EXPECT_EQ(Move(exfat.path()), 10183);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_NE(LogText().find("name taken in the copy: "), std::string::npos);
}

TEST_F(RealMoveTest, AProcessWritingIntoTheInstallationRefusesTheMoveBeforeParking) {
    const fs::path log = Software() / "Game A" / "game.log";
    Writer writer("exec 3>>'" + log.string() + "'; while :; do echo x >&3; sleep 0.05; done",
                  install_.root());
    ASSERT_TRUE(writer.WaitFor(log));

    EXPECT_EQ(Move(install_.target()), 10032);
    EXPECT_EQ(phases_.seen, (std::vector<int32_t>{kStopping, kParking, kFailed, kFinished}));
    EXPECT_TRUE(engine_.IsRollbackClean());
    fs::remove(log);  // the writer's own file, which it goes on writing
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_NE(
        LogText().find("in use by sh (PID " + std::to_string(writer.pid()) + "): " + log.string()),
        std::string::npos)
        << LogText();
}

TEST_F(RealMoveTest, AHolderIsFoundByTheFileItHoldsWhateverPathItUsed) {
    // A second name of a file inside, outside the installation: no path text leads in.
    fs::create_hard_link(Software() / "Game A" / "file0.bin", install_.root() / "second-name");
    {
        Writer holder("exec 3<second-name; touch opened; exec sleep 100000", install_.root());
        ASSERT_TRUE(holder.WaitFor(install_.root() / "opened"));
        EXPECT_EQ(Move(install_.target()), 10032);
        EXPECT_NE(LogText().find("(PID " + std::to_string(holder.pid()) +
                                 "): " + (install_.root() / "second-name").string()),
                  std::string::npos);
    }
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    fs::remove(install_.root() / "opened");
    engine_.ResetTask();

    BindMount bind(Downloads() / "cache", install_.root() / "alias");
    if (!bind.mounted()) GTEST_SKIP() << kNeedsRoot;
    install_.AddFile("Downloads/cache/game.log", "");
    Writer holder("exec 3>>alias/game.log; touch opened; exec sleep 100000", install_.root());
    ASSERT_TRUE(holder.WaitFor(install_.root() / "opened"));
    EXPECT_EQ(Move(install_.target()), 10032);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_NE(LogText().find("(PID " + std::to_string(holder.pid()) +
                             "): " + (install_.root() / "alias" / "game.log").string()),
              std::string::npos);
}

// Opens a parked file as the move enters a phase, and keeps it open; it says so in its own
// working folder, outside the installation.
struct LateOpener final : TaskPhaseObserver {
    LateOpener(fs::path file, int32_t at, fs::path home)
        : file(std::move(file)), at(at), home(std::move(home)) {}
    void OnPhase(int32_t phase) override {
        seen.push_back(phase);
        if (phase != at) return;
        holder.emplace("exec 3<'" + file.string() + "'; touch opened; exec sleep 100000", home);
        EXPECT_TRUE(holder->WaitFor(home / "opened"));
    }
    fs::path file;
    int32_t at;
    fs::path home;
    std::vector<int32_t> seen;
    std::optional<Writer> holder;
};

TEST_F(RealMoveTest, AFileOpenedAfterTheCheckPutsTheMoveBackBeforeAnythingIsDeleted) {
    LateOpener opener(install_.base() / "SoftwareVarko" / "Game A" / "file0.bin", kLinking,
                      install_.root());
    engine_.Task().SetPhaseObserver(&opener);

    EXPECT_EQ(Move(install_.target()), 10032);
    engine_.Task().SetPhaseObserver(nullptr);
    ASSERT_TRUE(opener.holder.has_value()) << "the move never reached the links";
    EXPECT_EQ(opener.seen.back(), kFinished);
    EXPECT_EQ(std::count(opener.seen.begin(), opener.seen.end(), kEmptying), 0);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game" / "Software"));
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game" / "Downloads"));
    EXPECT_NE(LogText().find("(PID " + std::to_string(opener.holder->pid()) + ")"),
              std::string::npos);
}

TEST_F(RealMoveTest, APutBackKeepsACopyThatGainedDataThroughItsLink) {
    // As the last look starts, the links are in place: a program writes through one, another
    // holds a parked file.
    std::optional<Writer> holder;
    sys::fault::Arm({sys::Call::kProcessQuery, 3, 0, false, [&] {
                         WriteFile(Software() / "Game A" / "saved.dat", "only here");
                         const fs::path parked = install_.base() / "SoftwareVarko" / "Game A";
                         holder.emplace("exec 3<'" + (parked / "file0.bin").string() +
                                            "'; touch opened; exec sleep 100000",
                                        install_.root());
                         EXPECT_TRUE(holder->WaitFor(install_.root() / "opened"));
                     }});
    EXPECT_EQ(Move(install_.target()), 10032);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_FALSE(fs::is_symlink(Software()));
    EXPECT_EQ(install_.Missing({Software()}, {Downloads()}), std::vector<std::string>{});
    const fs::path kept = install_.target() / "Oculus game" / "Software";
    EXPECT_EQ(ReadFile(kept / "Game A" / "saved.dat"), "only here");
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game" / "Downloads"));
    EXPECT_NE(LogText().find("copy kept"), std::string::npos);
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceRunning);
}

TEST_F(RealMoveTest, AProcessWorkingInsideTheInstallationRefusesTheMove) {
    const fs::path cache = Downloads() / "cache";
    Writer writer(
        "touch started; i=0; while :; do i=$((i+1)); echo $i > new$i.tmp; sleep 0.05; done", cache);
    ASSERT_TRUE(writer.WaitFor(cache / "started"));

    EXPECT_EQ(Move(install_.target()), 10032);
    EXPECT_EQ(install_.Missing({Software()}, {Downloads()}), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(install_.base() / "DownloadsVarko"));
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceRunning);
    EXPECT_NE(LogText().find("(PID " + std::to_string(writer.pid()) + "): " + cache.string()),
              std::string::npos);
}

TEST_F(RealMoveTest, AChangeAfterTheCopyIsCaughtBeforeAnythingIsDeleted) {
    // A writer the first check could not see: it appends once the copies are made.
    const fs::path parkedFile = install_.base() / "SoftwareVarko" / "Game A" / "file0.bin";
    sys::fault::Arm({sys::Call::kFlushToDisk, 1, 0, false,
                     [&] { std::ofstream(parkedFile, std::ios::app) << "late"; }});
    const std::string before = install_.files().at("Software/Game A/file0.bin");

    EXPECT_EQ(Move(install_.target()), kCodeCopyDiffers);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_EQ(ReadFile(Software() / "Game A" / "file0.bin"), before + "late");
    EXPECT_FALSE(fs::exists(install_.target() / "Oculus game" / "Software"));
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceRunning);
    EXPECT_NE(LogText().find("copy differs from its original at: " +
                             (install_.base() / "SoftwareVarko" / "Game A" / "file0.bin").string()),
              std::string::npos);
}

TEST_F(RealMoveTest, AMountPointInsideASourceIsRefusedBeforeParking) {
    WriteFile(install_.root() / "documents" / "mine.txt", "mine");
    BindMount bind(install_.root() / "documents", Software() / "Game A" / "docs");
    if (!bind.mounted()) GTEST_SKIP() << kNeedsRoot;

    EXPECT_EQ(Move(install_.target()), kCodeMountPointInside);
    EXPECT_EQ(ReadFile(install_.root() / "documents" / "mine.txt"), "mine");
    EXPECT_FALSE(fs::exists(install_.base() / "SoftwareVarko"));
    EXPECT_NE(LogText().find((Software() / "Game A" / "docs").string()), std::string::npos);
    EXPECT_EQ(install_.ServiceState(L"OVRLibraryService"), sys::kServiceRunning);
}

TEST_F(RealMoveTest, LinksThatLeadNowhereMoveAsLinks) {
    fs::create_symlink("../gone", Software() / "Game A" / "dangling");
    fs::create_symlink("self", Downloads() / "self");

    EXPECT_EQ(Move(install_.target()), 0);
    EXPECT_EQ(LinkText(Software() / "Game A" / "dangling"), "../gone");
    EXPECT_EQ(LinkText(Downloads() / "self"), "self");
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

TEST_F(RealMoveTest, ReadOnlyEntriesLetTheRollbackEmptyTheTarget) {
    fs::permissions(Downloads() / "cache" / "file0.bin", fs::perms::owner_read);
    fs::permissions(Downloads() / "cache", fs::perms::owner_read | fs::perms::owner_exec);
    const uint64_t intoSecondTree = install_.files().size() / 2 + 2;  // Software is copied second
    sys::fault::Arm({sys::Call::kCopyFile, intoSecondTree, sys::kErrDiskFull});

    EXPECT_EQ(Move(install_.target()), 10112);
    EXPECT_TRUE(engine_.IsRollbackClean());
    fs::permissions(Downloads() / "cache", fs::perms::owner_all);
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

TEST_F(RealMoveTest, ATargetSpelledWithDotDotGivesLinksWithoutIt) {
    fs::create_directories(install_.root() / "X");
    EXPECT_EQ(Move(install_.root() / "X" / ".." / "target"), 0);
    EXPECT_EQ(LinkText(Software()), (install_.target() / "Oculus game" / "Software").string());
    fs::remove(install_.root() / "X");
    EXPECT_EQ(NotWhole(install_, kMoved), "");
}

TEST_F(RealMoveTest, ATargetInsideTheInstallationIsRefusedHoweverSpelled) {
    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    fs::create_directory_symlink(Software() / "Game A", install_.root() / "into");
    EXPECT_EQ(engine_.CheckTargetDir(W(install_.root() / "into")), 2);
    EXPECT_EQ(
        engine_.CheckTargetDir(W(install_.target() / ".." / "Oculus" / "Software" / "Game A")), 2);
    EXPECT_TRUE(engine_.IsInsideBase(W(install_.root() / "into")));
    EXPECT_TRUE(engine_.IsInsideBase(W(install_.target() / ".." / "Oculus" / "new")));
    EXPECT_FALSE(engine_.IsInsideBase(W(install_.target())));
    BindMount bind(Software(), install_.root() / "bound");
    if (!bind.mounted()) GTEST_SKIP() << kNeedsRoot;
    EXPECT_EQ(engine_.CheckTargetDir(W(install_.root() / "bound" / "Game A")), 2);
}

TEST_F(RealMoveTest, ARelativeBaseIsRefusedLikeAnEmptyOne) {
    for (const wchar_t* base : {L"Oculus/", L"./Oculus/", L"../Oculus/"}) {
        install_.SetBaseValue(base);
        std::wstring source;
        EXPECT_EQ(engine_.ResolveSourceDir(source), 10013) << sys::ToUtf8(base);
        EXPECT_EQ(engine_.MoveInstallation(), 2) << "nothing is moved without a source";
    }
    EXPECT_EQ(NotWhole(install_, kAtHome), "");
}

TEST_F(RealMoveTest, PathsTooLongForTheMoveAreRefusedBeforeAnythingChanges) {
    // A base of about 500 characters: the parked name's final path would not fit.
    // 500 characters: "Software" still resolves, "SoftwareVarko" no longer would.
    fs::path deep = install_.root();
    while (deep.string().size() < 500)
        deep /= std::string(std::min<size_t>(60, 500 - deep.string().size() - 1), 'd');
    fs::create_directories(deep);
    fs::rename(Software(), deep / "Software");
    fs::rename(Downloads(), deep / "Downloads");
    install_.SetBaseValue(W(deep) + L"/");
    std::wstring source;
    ASSERT_EQ(engine_.ResolveSourceDir(source), 0);
    ASSERT_EQ(engine_.CheckTargetDir(W(install_.target())), 0);
    EXPECT_EQ(engine_.MoveInstallation(), kCodePathTooLong);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_TRUE(fs::is_directory(deep / "Software" / "Game A"));
    EXPECT_FALSE(fs::exists(deep / "SoftwareVarko"));
    EXPECT_EQ(install_.ServiceState(L"OVRService"), sys::kServiceRunning);

    // A target so long that the next move could not resolve its links is refused up front.
    fs::path far = install_.root();
    while (far.string().size() < 492)
        far /= std::string(std::min<size_t>(60, 492 - far.string().size() - 1), 't');
    fs::create_directories(far);
    EXPECT_EQ(engine_.CheckTargetDir(W(far)), 3);
}

// ---- Services ----------------------------------------------------------------------------------

void SetService(const wchar_t* name, uint32_t refuseStop, uint32_t refuseStart) {
    sys::standin::ServiceRecord record;
    record.state = sys::kServiceRunning;
    record.refuseStop = refuseStop;
    record.refuseStart = refuseStart;
    sys::standin::WriteService(name, record);
}

// Either service refusing, the move stops before parking, and the one stopped runs again.
TEST_F(RealMoveTest, AServiceThatWillNotStopStopsTheMoveAndTheOtherRunsAgain) {
    for (const wchar_t* refusing : {L"OVRService", L"OVRLibraryService"}) {
        SetService(L"OVRService", 0, 0);
        SetService(refusing, 1052, 0);
        engine_.ResetTask();
        phases_.seen.clear();
        EXPECT_EQ(Move(install_.target()), 10000 + 1052);
        EXPECT_EQ(phases_.seen, (std::vector<int32_t>{kStopping, kFailed, kFinished}));
        EXPECT_EQ(NotWhole(install_, kAtHome), "");  // the refused moves leave no folder
    }
}

TEST_F(RealMoveTest, ARollbackThatPutsTheDataBackIsCleanEvenWhenServicesDoNotStart) {
    SetService(L"OVRService", 0, 1058);  // disabled
    sys::fault::Arm({sys::Call::kCopyFile, 3, sys::kErrDiskFull});
    EXPECT_EQ(Move(install_.target()), 10112);
    EXPECT_TRUE(engine_.IsRollbackClean());
    EXPECT_FALSE(engine_.Task().ServicesRestarted());
    EXPECT_EQ(NotWhole(install_, {Whole::Data::kHome, false, 0}), "");
    EXPECT_NE(LogText().find("services not started again after the rollback: 11058"),
              std::string::npos);
    EXPECT_EQ(install_.ServiceState(L"OVRLibraryService"), sys::kServiceRunning);
}

}  // namespace

#endif  // !_WIN32
