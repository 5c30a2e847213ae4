// Every check a target folder gets before a move, in the one order the window and the command
// line share, and the questions that remain once it passes. The volume queries here are stateless
// and give the negative answer whenever the system cannot tell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class IArSet;

enum FsKind : int32_t {
    FsUnknown = 0,  // empty path, or the volume could not be queried
    FsNtfs = 1,
    FsExFat = 2,
    FsFat32 = 3,
    FsOther = 4,
    FsNative = 5,  // POSIX: ext2/3/4, xfs, btrfs, f2fs, zfs (links and files over 4 GiB)
};

namespace targetcheck {

// Longest path, in UTF-16 units, that the path checks take. Longer ones are refused whole,
// never judged by a cut-down copy.
inline constexpr size_t kMaxCheckedPath = 511;

// Trims white space, then drops trailing "\", "/" and "." characters: D:\Games\. -> D:\Games.
void NormalizePath(std::wstring& path);
FsKind FileSystemKind(const std::wstring& path);
// NTFS, exFAT, and on POSIX its own file systems: those that hold links and files over 4 GiB.
bool AcceptedFileSystem(FsKind kind);
// True for a fixed disk or a removable drive; false for network, optical and RAM drives.
bool IsHardDiskOrFlash(const std::wstring& path);
// False when the target is the folder that holds the source, or contains the source's text
// (compared without regard to letter case).
bool IsApartFromSource(std::wstring source, std::wstring target);
// True when the volume that holds path is attached through USB. Windows uses only the drive
// letter, the first unit of path.
bool IsUsbDevice(const std::wstring& path);
// Tests: answers IsUsbDevice in place of the system, which offers no USB disk to test with.
// An empty function restores the system's answer.
void SetUsbProbeForTests(std::function<bool(const std::wstring&)> probe);

// True when target is the installation's base folder or lies inside it: by the base's registered
// spelling anywhere in the target's text, or by what the engine sees through links, ".." and
// bind mounts (IArSet::IsInsideBase).
bool InsideBase(IArSet& engine, const std::wstring& target, const std::wstring& base);

// That the target is a folder, which a move looks at again right before it stops anything (the
// folder may have gone since the check): 0, kTargetMissing or kTargetNotFolder.
int32_t FolderRefusal(const std::wstring& target);
// FolderRefusal, then the checks of the target's volume: also kTargetWrongDrive or
// kTargetWrongFileSystem.
int32_t VolumeRefusal(const std::wstring& target);

// Benchmarks on a RAM disk (scripts/bench --work on a tmpfs): the drive-kind and file-system
// checks pass every volume. Never set by the programs a person uses.
void AcceptAnyVolumeForBenchmarks(bool accept);

}  // namespace targetcheck

// What a target check found beside its code: the questions to ask before the move.
struct TargetVerdict {
    std::wstring sameVolume;  // the installation's volume as a person names it, when the target
                              // lies on it too (the move frees no space there); else empty
    bool removable = false;   // the target's drive is attached through USB
    size_t uncheckedPrograms = 0;  // programs the in-use check cannot look into
    bool HasQuestions() const { return !sameVolume.empty() || removable || uncheckedPrograms != 0; }
};
