// Named mutexes, privileges and volume queries of the platform layer, on the real system:
// lock files and mounts on Linux, the real Win32 calls under Wine.
#include <gtest/gtest.h>

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
    std::system(("umount '" + point.string() + "'").c_str());
}
#endif
