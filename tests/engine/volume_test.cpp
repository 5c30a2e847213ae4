// Named mutexes, privileges and volume queries of the platform layer, on the real system:
// lock files and mounts on Linux, the real Win32 calls under Wine.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>

#include "platform/host.h"
#include "platform/process.h"
#include "platform/sys.h"
#include "platform/volume.h"
#include "support.h"

using testsupport::TempDir;

namespace {

#ifndef _WIN32
// Points the host folder at a fresh temporary machine for one test.
class ScopedHost {
  public:
    ScopedHost() { sys::SetHostDir(dir_.path().string()); }
    ~ScopedHost() { sys::SetHostDir({}); }
    const TempDir& dir() const { return dir_; }

  private:
    TempDir dir_;
};
#else
struct ScopedHost {
    ScopedHost() {}  // Wine: the real kernel objects need no host folder
    ~ScopedHost() {}
};
#endif

std::wstring UniqueName(const wchar_t* base) {
    static int counter = 0;
    return std::wstring(base) + L"-" + std::to_wstring(std::rand()) + L"-" +
           std::to_wstring(counter++);
}

}  // namespace

TEST(NamedMutex, SecondHolderSeesItTakenUntilTheFirstCloses) {
    ScopedHost host;
    const std::wstring name = UniqueName(L"Halvex test mutex");
    sys::MutexHandle first = sys::CreateMutexW(name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(sys::GetLastError(), 0u);

    sys::MutexHandle second = sys::CreateMutexW(name);
    ASSERT_NE(second, nullptr) << "a taken name still yields a handle";
    EXPECT_EQ(sys::GetLastError(), sys::kErrAlreadyExists);
    sys::CloseHandle(second);

    // Closing the second handle must not free the name while the first is still open.
    sys::MutexHandle third = sys::CreateMutexW(name);
    EXPECT_EQ(sys::GetLastError(), sys::kErrAlreadyExists);
    sys::CloseHandle(third);

    sys::CloseHandle(first);
    sys::MutexHandle again = sys::CreateMutexW(name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(sys::GetLastError(), 0u) << "the name is free once every holder has closed";
    sys::CloseHandle(again);
}

TEST(NamedMutex, DistinctNamesDoNotMeet) {
    ScopedHost host;
    sys::MutexHandle a = sys::CreateMutexW(UniqueName(L"Varko_Oculus_Kestrum"));
    sys::MutexHandle b = sys::CreateMutexW(UniqueName(L"Varko Dravune"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(sys::GetLastError(), 0u);
    sys::CloseHandle(a);
    sys::CloseHandle(b);
}

TEST(NamedMutex, InjectedFailureGivesNoHandle) {
    ScopedHost host;
    testsupport::ScopedFaults faults;
    sys::fault::Arm({sys::Call::kCreateMutex, 1, sys::kErrAccessDenied});
    EXPECT_EQ(sys::CreateMutexW(UniqueName(L"x")), nullptr);
    EXPECT_EQ(sys::GetLastError(), sys::kErrAccessDenied);
    sys::CloseHandle(nullptr);  // harmless
}

#ifndef _WIN32
TEST(NamedMutex, LockFilesStayInsideTheHostFolder) {
    ScopedHost host;
    sys::MutexHandle handle = sys::CreateMutexW(L"../escape/attempt");
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(std::filesystem::exists(host.dir().path() / "locks" / ".._escape_attempt"));
    EXPECT_FALSE(std::filesystem::exists(host.dir().path() / "escape"));
    sys::CloseHandle(handle);
}

TEST(NamedMutex, UnusableHostFolderGivesNoHandle) {
    TempDir dir;
    testsupport::WriteFile(dir.path() / "file", "x");
    sys::SetHostDir((dir.path() / "file" / "host").string());
    EXPECT_EQ(sys::CreateMutexW(L"Varko_Oculus_Kestrum"), nullptr);
    EXPECT_EQ(sys::GetLastError(), sys::kErrPathNotFound);
    sys::SetHostDir({});
}
#endif

TEST(Privileges, InjectedFailureHitsOnlyTheChosenCall) {
    testsupport::ScopedFaults faults;
    sys::fault::Arm({sys::Call::kAdjustPrivilege, 1, sys::kErrAccessDenied});
    EXPECT_FALSE(sys::EnableTokenPrivilege(L"SeBackupPrivilege"));
    EXPECT_TRUE(sys::EnableTokenPrivilege(L"SeRestorePrivilege"));
    EXPECT_EQ(sys::fault::Count(sys::Call::kAdjustPrivilege), 2u);
}

// Moving between two folders of one tree frees nothing: they share their volume, and the
// volume path is where that volume is reached, a leading part of both.
TEST(Volume, FoldersOfOneTreeShareTheirVolume) {
    TempDir dir;
    const auto source = dir.path() / "Oculus" / "Software";
    const auto target = dir.path() / "games";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(target);
    bool same = false;
    ASSERT_TRUE(sys::QuerySameVolume(source.wstring(), target.wstring(), same))
        << sys::GetLastError();
    EXPECT_TRUE(same);
    std::wstring root;
    ASSERT_TRUE(sys::GetVolumePathNameW(target.wstring(), root)) << sys::GetLastError();
    ASSERT_FALSE(root.empty());
    std::wstring lead = root;  // without its closing separator, but "/" stays
    if (lead.size() > 1 && (lead.back() == L'\\' || lead.back() == L'/')) lead.pop_back();
    EXPECT_EQ(target.wstring().rfind(lead, 0), 0u) << "the volume path leads the path";
}

TEST(Volume, InjectedFailureReachesTheSameVolumeQueries) {
    TempDir dir;
    testsupport::ScopedFaults faults;
    sys::fault::Arm({sys::Call::kVolumeQuery, 1, sys::kErrIoDevice, true});
    bool same = true;
    EXPECT_FALSE(sys::QuerySameVolume(dir.wide(), dir.wide(), same));
    EXPECT_EQ(sys::GetLastError(), sys::kErrIoDevice);
    std::wstring root = L"unchanged";
    EXPECT_FALSE(sys::GetVolumePathNameW(dir.wide(), root));
    EXPECT_EQ(root, L"unchanged");
}

#ifdef _WIN32
TEST(Privileges, WineTokenTakesTheBackupPrivilegeAndRefusesAMadeUpOne) {
    EXPECT_TRUE(sys::EnableTokenPrivilege(L"SeBackupPrivilege"));
    EXPECT_FALSE(sys::EnableTokenPrivilege(L"SeNoSuchPrivilegeAtAll"));
}

TEST(Volume, SystemDriveIsAFixedDiskWithAFileSystemName) {
    EXPECT_EQ(sys::DriveRootOf(L"C:\\Games\\x"), L"C:\\");
    EXPECT_EQ(sys::GetDriveTypeW(L"C:\\"), sys::kDriveFixed);
    wchar_t name[260] = {};
    ASSERT_TRUE(sys::GetVolumeInformationW(L"C:\\", name, 260));
    // Wine reports its drive C: as NTFS.
    EXPECT_EQ(std::wstring(name), L"NTFS");
}

TEST(Volume, UnassignedLetterHasNoRootAndNoFileSystem) {
    EXPECT_EQ(sys::GetDriveTypeW(L"Q:\\"), sys::kDriveNoRootDir);
    wchar_t name[260] = {};
    EXPECT_FALSE(sys::GetVolumeInformationW(L"Q:\\", name, 260));
    uint32_t bus = 99;
    EXPECT_FALSE(sys::QueryStorageBusType(L"Q:\\x", bus));
    EXPECT_EQ(bus, 99u);
}

// Wine gives each drive letter a volume GUID name of its own: C: and Z: (the host's root) are
// two volumes to Windows programs, whatever lies under them on the host.
TEST(Volume, DriveLettersAreVolumesOfTheirOwn) {
    bool same = true;
    ASSERT_TRUE(sys::QuerySameVolume(L"C:\\windows", L"Z:\\tmp", same)) << sys::GetLastError();
    EXPECT_FALSE(same);
    ASSERT_TRUE(sys::QuerySameVolume(L"C:\\windows\\system32", L"c:\\users", same));
    EXPECT_TRUE(same);
    std::wstring root;
    ASSERT_TRUE(sys::GetVolumePathNameW(L"C:\\windows\\system32", root));
    EXPECT_EQ(root, L"C:\\");
}

TEST(Volume, UnassignedLetterHasNoVolumePath) {
    std::wstring root;
    EXPECT_FALSE(sys::GetVolumePathNameW(L"Q:\\games", root));
    bool same = true;
    EXPECT_FALSE(sys::QuerySameVolume(L"C:\\windows", L"Q:\\games", same));
}

TEST(Volume, BusQueryOfTheSystemDriveIsNotUsb) {
    // Wine answers the storage-property query for its drive C: with a non-USB bus.
    uint32_t bus = sys::kBusUsb;
    ASSERT_TRUE(sys::QueryStorageBusType(L"C:\\Games", bus)) << sys::GetLastError();
    EXPECT_NE(bus, sys::kBusUsb);
}
#else
TEST(Volume, RootOfAPathIsTheMountThatHoldsIt) {
    TempDir dir;
    const std::wstring root = sys::DriveRootOf(dir.wide());
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(dir.wide().rfind(root, 0), 0u) << "the mount point is a prefix of the path";
    EXPECT_EQ(sys::DriveRootOf(dir.wide(L"not/made/yet")), root)
        << "a path that does not exist yet lands on the mount of its nearest ancestor";
    EXPECT_EQ(sys::DriveRootOf(L"relative/path"), L"");
    EXPECT_EQ(sys::DriveRootOf(L""), L"");
    wchar_t name[260] = {};
    EXPECT_TRUE(sys::GetVolumeInformationW(root, name, 260));
    EXPECT_NE(std::wstring(name), L"");
}

TEST(Volume, FolderThatIsNoMountPointIsNoRoot) {
    TempDir dir;
    const std::wstring root = sys::DriveRootOf(dir.wide());
    if (root == dir.wide()) GTEST_SKIP() << "the temporary folder is itself a mount point";
    EXPECT_EQ(sys::GetDriveTypeW(dir.wide()), sys::kDriveNoRootDir);
    wchar_t name[260] = {};
    EXPECT_FALSE(sys::GetVolumeInformationW(dir.wide(), name, 260));
    EXPECT_EQ(sys::GetLastError(), sys::kErrPathNotFound);
}

TEST(Volume, ShortNameBufferFailsInsteadOfCuttingTheName) {
    wchar_t name[3] = {L'x', L'x', L'x'};
    EXPECT_FALSE(sys::GetVolumeInformationW(L"/proc", name, 3));  // "proc" needs 5 units
    EXPECT_EQ(sys::GetLastError(), sys::kErrInvalidParameter);
    wchar_t fits[5] = {};
    ASSERT_TRUE(sys::GetVolumeInformationW(L"/proc", fits, 5));
    EXPECT_EQ(std::wstring(fits), L"proc");
    EXPECT_EQ(sys::GetDriveTypeW(L"/proc"), sys::kDriveUnknown) << "not a disk of any kind";
}

TEST(Volume, InjectedFailureReachesEveryQuery) {
    testsupport::ScopedFaults faults;
    sys::fault::Arm({sys::Call::kVolumeQuery, 1, sys::kErrIoDevice, true});
    wchar_t name[260] = {};
    EXPECT_FALSE(sys::GetVolumeInformationW(L"/", name, 260));
    EXPECT_EQ(sys::GetDriveTypeW(L"/"), sys::kDriveUnknown);
    uint32_t bus = 0;
    EXPECT_FALSE(sys::QueryStorageBusType(L"/", bus));
}

TEST(Volume, SameVolumeQueryOfAMissingPathFails) {
    TempDir dir;
    bool same = true;
    EXPECT_FALSE(sys::QuerySameVolume(dir.wide(), dir.wide(L"missing"), same));
    EXPECT_EQ(sys::GetLastError(), sys::kErrFileNotFound);
    std::wstring root;
    EXPECT_FALSE(sys::GetVolumePathNameW(L"relative/path", root));
}

// Another file system frees space on the first; no mount needed: /proc is one.
TEST(Volume, FolderAndAnotherFileSystemAreTwoVolumes) {
    TempDir dir;
    bool same = true;
    ASSERT_TRUE(sys::QuerySameVolume(dir.wide(), L"/proc/self", same)) << sys::GetLastError();
    EXPECT_FALSE(same);
    std::wstring root;
    ASSERT_TRUE(sys::GetVolumePathNameW(L"/proc/self/fd", root));
    EXPECT_EQ(root, L"/proc");
}

// A second mount of the same file system (here a bind mount) reaches the same data: moving
// into it frees nothing, although its mount point differs.
TEST(Volume, BindMountIsTheVolumeItShows) {
    TempDir dir;
    const auto data = dir.path() / "data";
    const auto point = dir.path() / "bound";
    std::filesystem::create_directories(data / "Oculus");
    std::filesystem::create_directories(point);
    const std::string bind = "mount --bind '" + data.string() + "' '" + point.string() + "'";
    if (std::system((bind + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "cannot bind-mount here (not root?)";
    }
    bool same = false;
    const bool asked = sys::QuerySameVolume((data / "Oculus").wstring(), point.wstring(), same);
    std::wstring root;
    const bool named = sys::GetVolumePathNameW(point.wstring(), root);
    std::system(("umount '" + point.string() + "'").c_str());
    ASSERT_TRUE(asked) << sys::GetLastError();
    EXPECT_TRUE(same);
    ASSERT_TRUE(named);
    EXPECT_EQ(root, point.wstring());
}

// A RAM disk whose mount point holds a blank and sits below another mount: the escaped name in
// mountinfo must be decoded, and the deeper mount must win over the one above it.
TEST(Volume, RamDiskWithBlankInItsNameIsFoundAndIsNoHardDisk) {
    TempDir dir;
    const auto point = dir.path() / "ram disk";
    std::filesystem::create_directories(point);
    const std::string mount =
        "mount -t tmpfs -o size=1m tmpfs '" + point.string() + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
    const std::wstring wpoint = point.wstring();
    EXPECT_EQ(sys::DriveRootOf(wpoint + L"/inner/file"), wpoint);
    EXPECT_EQ(sys::GetDriveTypeW(wpoint), sys::kDriveRamdisk);
    wchar_t name[260] = {};
    EXPECT_TRUE(sys::GetVolumeInformationW(wpoint, name, 260));
    EXPECT_EQ(std::wstring(name), L"tmpfs");
    uint32_t bus = 0;
    EXPECT_FALSE(sys::QueryStorageBusType(wpoint, bus)) << "a RAM disk has no device to ask";
    bool same = true;
    EXPECT_TRUE(sys::QuerySameVolume(wpoint, dir.wide(), same));
    EXPECT_FALSE(same) << "a mount of its own is a volume of its own";
    std::system(("umount '" + point.string() + "'").c_str());
}
#endif

// ---- What a volume keeps of a copy's times ------------------------------------------------------

namespace {

// A moment as FindData::writeTime counts it, from a Unix time and nanoseconds.
uint64_t Ticks(int64_t unixSeconds, int64_t ns = 0) {
#ifdef _WIN32
    return static_cast<uint64_t>((unixSeconds + 11644473600) * 10000000 + ns / 100);
#else
    return static_cast<uint64_t>(unixSeconds * 1000000000 + ns);
#endif
}

}  // namespace

// One rule for the move's check and a recovery's: within the volume's step the same, one step
// apart not, and a time the volume cannot hold (FAT and exFAT: before 1980, after 2107) is the
// same whatever the copy shows, as the driver's cache and the disk show it differently.
TEST(CopyKeeps, TimesAreTheSameAsTheCopysVolumeHoldsThem) {
    const int64_t t = 1700000000;  // 2023
    const sys::CopyKeeps ntfs = sys::KeepsOfFileSystem(L"NTFS");
    EXPECT_TRUE(sys::SameStoredTime(Ticks(t, 123456789), Ticks(t, 123456700), ntfs));
    EXPECT_FALSE(sys::SameStoredTime(Ticks(t, 123456789), Ticks(t, 123456600), ntfs));

    for (const wchar_t* name : {L"exFAT", L"FAT32", L"FAT", L"fuseblk"}) {
        const sys::CopyKeeps fat = sys::KeepsOfFileSystem(name);
        const std::string what = sys::ToUtf8(name);
        EXPECT_TRUE(sys::SameStoredTime(Ticks(t, 999999999), Ticks(t), fat)) << what;
        EXPECT_TRUE(sys::SameStoredTime(Ticks(t + 1, 500), Ticks(t), fat)) << what;
        EXPECT_FALSE(sys::SameStoredTime(Ticks(t + 2), Ticks(t), fat)) << what;
        EXPECT_FALSE(sys::SameStoredTime(Ticks(t), Ticks(t + 10), fat)) << what;
        // 1975 as the driver's cache shows it, and as the disk does after a remount; 2120 read
        // back with its year wrapped.
        const int64_t early = 170856000, year1980 = 315532800, late = 4733510401;
        EXPECT_TRUE(sys::SameStoredTime(Ticks(early), Ticks(early), fat)) << what;
        EXPECT_TRUE(sys::SameStoredTime(Ticks(early), Ticks(year1980), fat)) << what;
        EXPECT_TRUE(sys::SameStoredTime(Ticks(late), Ticks(694137601), fat)) << what;
        // A copy that shows a time the volume cannot hold is no copy of a time it can.
        EXPECT_FALSE(sys::SameStoredTime(Ticks(t), Ticks(early), fat)) << what;
    }

#ifndef _WIN32
    // Nanoseconds where the file system keeps them; modes and extended attributes only where
    // it is no Windows file system.
    const sys::CopyKeeps ext4 = sys::KeepsOfFileSystem(L"ext4");
    EXPECT_TRUE(sys::SameStoredTime(Ticks(t, 5), Ticks(t, 5), ext4));
    EXPECT_FALSE(sys::SameStoredTime(Ticks(t, 5), Ticks(t, 4), ext4));
    EXPECT_TRUE(sys::SameStoredTime(Ticks(-86400), Ticks(-86400), ext4));  // before 1970
    EXPECT_TRUE(ext4.metadata);
    EXPECT_FALSE(sys::KeepsOfFileSystem(L"exFAT").metadata);
    EXPECT_FALSE(sys::KeepsOfFileSystem(L"NTFS").metadata);
    EXPECT_TRUE(
        sys::SameStoredTime(Ticks(t, 999999999), Ticks(t), sys::KeepsOfFileSystem(L"hfsplus")));

    TempDir dir;
    sys::CopyKeeps here;
    ASSERT_TRUE(sys::GetCopyKeeps(dir.wide(), here));
    wchar_t name[64] = {};
    ASSERT_TRUE(sys::GetVolumeInformationW(sys::DriveRootOf(dir.wide()), name, 64));
    EXPECT_EQ(here.timeStep, sys::KeepsOfFileSystem(name).timeStep) << sys::ToUtf8(name);
    EXPECT_EQ(here.owners, here.metadata && ::geteuid() == 0);
#else
    sys::CopyKeeps here;
    ASSERT_TRUE(sys::GetCopyKeeps(L"C:\\", here));
    EXPECT_TRUE(here.metadata);  // attributes, on every volume
    EXPECT_FALSE(here.owners);
#endif
}
