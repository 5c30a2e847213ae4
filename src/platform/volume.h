// Volume and device queries that the target checks rest on, shaped after GetVolumeInformationW,
// GetDriveTypeW, GetVolumePathNameW and the storage-property query (see sys.h for the error
// contract).
// POSIX: a volume is the mount that holds a path (/proc/self/mountinfo, longest mount point).
#pragma once

#include <cstdint>
#include <climits>
#include <string>
#include <vector>

namespace sys {

enum : uint32_t {
    kDriveUnknown = 0,
    kDriveNoRootDir = 1,
    kDriveRemovable = 2,
    kDriveFixed = 3,
    kDriveRemote = 4,
    kDriveCdrom = 5,
    kDriveRamdisk = 6,
};

// STORAGE_BUS_TYPE values that the POSIX backend can tell apart.
enum : uint32_t {
    kBusUnknown = 0,
    kBusAta = 3,
    kBusUsb = 7,
    kBusSata = 11,
    kBusSd = 12,
    kBusFileBackedVirtual = 15,
    kBusNvme = 17,
};

// Windows: the first unit of path + ":\". POSIX: the mount point of the mount that holds path
// (symbolic links resolved where the path exists). Empty when path is empty or not absolute.
std::wstring DriveRootOf(const std::wstring& path);

// Writes the file-system name of the volume at root into name (size units, terminated).
// POSIX reports the names Windows would give where there is one ("NTFS", "exFAT", "FAT32",
// "FAT" for FAT12/16) and the kernel's type name otherwise ("ext4", "xfs", "nfs4", ...).
bool GetVolumeInformationW(const std::wstring& root, wchar_t* name, uint32_t size);

// True for a file system of this platform's own that carries symbolic links and files over
// 4 GiB, by its upper-case name as GetVolumeInformationW gives it. POSIX: EXT2/3/4, XFS, BTRFS,
// F2FS and ZFS. Windows: none (NTFS and exFAT are judged by their names).
bool IsNativeFileSystem(const std::wstring& upperName);

// kDrive* of the volume at root. POSIX: decided by the mount's file-system type, and by the
// block device's "removable" flag; a root that is not a mount point gives kDriveNoRootDir.
uint32_t GetDriveTypeW(const std::wstring& root);

// The bus of the device that holds the volume. Windows: opens \\?\L: for the drive letter that
// path begins with and sends IOCTL_STORAGE_QUERY_PROPERTY. POSIX: the block device of the mount
// that holds path, as its /sys path shows it. False when there is no device to ask.
bool QueryStorageBusType(const std::wstring& path, uint32_t& busType);

// The folder at which the volume that holds path is reached, as a person names the volume.
// Windows: GetVolumePathNameW ("C:\", or the folder a volume is mounted at). POSIX: the mount
// point of the mount that holds path (DriveRootOf).
bool GetVolumePathNameW(const std::wstring& path, std::wstring& volumePath);

// Whether a and b, both existing, lie on the same volume, so that moving data from one to the
// other frees no space. Windows: the volumes' GUID names (GetVolumeNameForVolumeMountPointW on
// their volume paths), or the volume paths themselves where the system has no GUID name for
// both. POSIX: the file systems' device numbers (st_dev), which two mounts of one file system
// share. False when either cannot be queried.
bool QuerySameVolume(const std::wstring& a, const std::wstring& b, bool& same);

// A name of the volume that holds path which survives a new drive letter or mount point.
// Windows: the volume's GUID name, or its serial number where the system gives no GUID name.
// POSIX: the file system's UUID (libblkid), else its id from statfs, else its device number.
bool GetVolumeIdentity(const std::wstring& path, std::wstring& id);
// Where a volume of that identity is reached now: drive roots ("F:\\") or mount points; empty
// when it is not attached.
std::vector<std::wstring> FindVolumeRoots(const std::wstring& id);

// What a copy made by this process keeps of its original on a volume, by the volume's file
// system: what a copy check may ask of it, the same for the move's check and a later recovery's.
struct CopyKeeps {
    // Write times, in the ticks of FindData::writeTime: the step they are stored in, and the
    // range of times the volume can hold.
    uint64_t timeStep = 1;
    int64_t earliest = INT64_MIN;
    int64_t latest = INT64_MAX;
    // POSIX: modes and extended attributes, which the Windows family of file systems does not
    // keep. Windows: the attributes, which every volume keeps.
    bool metadata = true;
    // POSIX: owner and group as well, where the volume keeps metadata and this process may give
    // a copy away (root). Windows: never compared.
    bool owners = false;
};

// The rule for a file system by the name GetVolumeInformationW gives ("NTFS", "exFAT", "FAT32",
// "ext4", ...; "fuseblk" when a FUSE volume could not be probed): NTFS 100 ns; exFAT and FAT
// 2 s (exFAT drivers keep 10 ms, whole seconds or 2 s) from 1980 to 2107; other POSIX volumes
// 1 ns, except those not known to keep nanoseconds, 1 s. owners is left false.
CopyKeeps KeepsOfFileSystem(const std::wstring& name);

// The rule of the volume that holds path (which exists).
bool GetCopyKeeps(const std::wstring& path, CopyKeeps& keeps);

// The one rule by which a copy check (the move's, and a later recovery's) judges a copy's write
// time against its original's: the same when they lie less than the volume's step apart, and
// whatever the copy shows when the original's lies outside the range the volume can hold.
bool SameStoredTime(uint64_t original, uint64_t copy, const CopyKeeps& keeps);

}  // namespace sys
