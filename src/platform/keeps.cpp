// What a volume keeps of a copy, by its file system's name: one table for both backends.
#include <algorithm>
#include <cwctype>

#include "platform/sys.h"
#include "platform/fs.h"
#include "platform/volume.h"

namespace sys {

namespace {

#ifdef _WIN32
constexpr int64_t kEpochSeconds = 11644473600;  // 1601 to 1970: FILETIME counts from 1601
#else
constexpr int64_t kEpochSeconds = 0;
#endif

constexpr int64_t Ticks(int64_t unixSeconds) {
    return (unixSeconds + kEpochSeconds) * static_cast<int64_t>(kWriteTimeTicksPerSecond);
}

// FAT and exFAT store local time from 1980-01-01 to 2107-12-31: a day in from each end is held
// whatever the time zone of the machine that wrote it.
constexpr int64_t kFatEarliest = 315619200;   // 1980-01-02 00:00:00 UTC
constexpr int64_t kFatLatest = 4354732798;    // 2107-12-30 23:59:58 UTC

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

}  // namespace

CopyKeeps KeepsOfFileSystem(const std::wstring& name) {
    const std::wstring upper = Upper(name);
    CopyKeeps keeps;
    if (upper == L"NTFS") {
        keeps.timeStep = kWriteTimeTicksPerSecond / 10000000;  // 100 ns
#ifndef _WIN32
        keeps.metadata = false;  // ntfs-3g and ntfs3 show modes of their mount, not of the file
#endif
    } else if (upper == L"EXFAT" || upper == L"FAT32" || upper == L"FAT" || upper == L"VFAT" ||
               upper == L"MSDOS" || upper == L"FUSEBLK") {
        keeps.timeStep = 2 * kWriteTimeTicksPerSecond;
        keeps.earliest = Ticks(kFatEarliest);
        keeps.latest = Ticks(kFatLatest);
#ifndef _WIN32
        keeps.metadata = false;
#endif
    } else {
        static const std::wstring kNanoseconds[] = {L"EXT4", L"XFS",   L"BTRFS", L"F2FS",
                                                    L"ZFS",  L"TMPFS", L"OVERLAY"};
        const bool fine = std::find(std::begin(kNanoseconds), std::end(kNanoseconds), upper) !=
                          std::end(kNanoseconds);
        keeps.timeStep = fine ? 1 : kWriteTimeTicksPerSecond;
    }
    keeps.timeStep = std::max<uint64_t>(keeps.timeStep, 1);
    return keeps;
}

bool SameStoredTime(uint64_t original, uint64_t copy, const CopyKeeps& keeps) {
    // POSIX counts from 1970, so a time before it is negative.
    const auto x = static_cast<int64_t>(original);
    const auto y = static_cast<int64_t>(copy);
    // What the volume makes of a time it cannot hold differs from driver to driver, and between
    // a driver's cache and the disk (the FUSE exFAT driver shows the time it was given until the
    // volume is mounted again, then 1980 for an earlier one and a wrapped year for a later one):
    // no reading of the copy tells anything then.
    if (x < keeps.earliest || x > keeps.latest) return true;
    const uint64_t apart = x > y ? static_cast<uint64_t>(x) - static_cast<uint64_t>(y)
                                 : static_cast<uint64_t>(y) - static_cast<uint64_t>(x);
    return apart < keeps.timeStep;
}

}  // namespace sys
