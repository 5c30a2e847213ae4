// The checks of a target folder's volume and path, made before a move. Stateless; every query
// that fails gives the negative answer.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

enum FsKind : int32_t {
    FsUnknown = 0,  // empty path, or the volume could not be queried
    FsNtfs = 1,
    FsExFat = 2,
    FsFat32 = 3,
    FsOther = 4,
    FsNative = 5,  // POSIX: ext2/3/4, xfs, btrfs, f2fs, zfs (links and files over 4 GiB)
};

// Longest path, in UTF-16 units, that the path checks take. Longer ones are refused whole,
// never judged by a cut-down copy.
inline constexpr int kMaxCheckedPath = 511;

// Trims white space, then drops trailing "\", "/" and "." characters: D:\Games\. -> D:\Games.
void NormalizePath(QString& path);
FsKind GetFileSystemKind(QString path);
// True for a fixed disk or a removable drive; false for network, optical and RAM drives.
bool IsHardDiskOrFlash(QString path);
// False when the target is the folder that holds the source, or contains the source's text
// (compared without regard to letter case).
bool IsTargetApartFromSource(QString source, QString target);
// True when the volume that holds path is attached through USB. Windows uses only the drive
// letter, the first unit of path.
bool IsUsbDevice(QString path);

// Tests: answers IsUsbDevice in place of the system, which offers no USB disk to test with.
// An empty function restores the system's answer.
void SetUsbProbeForTests(std::function<bool(const QString&)> probe);
