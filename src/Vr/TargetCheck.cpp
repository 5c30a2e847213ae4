#include "Vr/TargetCheck.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <cwctype>

#include "Vr/IArSet.h"
#include "fileOp/CFileOp.h"
#include "ground/ResultCodes.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/volume.h"

namespace targetcheck {

namespace {

constexpr uint32_t kFsNameUnits = 260;

std::atomic<bool> g_anyVolume{false};

std::function<bool(const std::wstring&)>& UsbProbe() {
    static std::function<bool(const std::wstring&)> probe;
    return probe;
}

// Only the 26 ASCII letters change: file-system names are ASCII, and a locale-aware
// upper-casing could turn other units into something that matches by accident.
std::wstring AsciiUpper(const wchar_t* name, uint32_t units) {
    std::wstring upper(name, std::find(name, name + units, L'\0'));
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return upper;
}

// The length as Windows counts it, in UTF-16 units, whatever wchar_t holds here.
size_t Utf16Units(const std::wstring& text) {
    size_t units = text.size();
#if WCHAR_MAX > 0xFFFF
    units += static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](wchar_t c) { return c > 0xFFFF; }));
#endif
    return units;
}

// Windows takes either separator: "C:/Oculus" is "C:\Oculus".
std::wstring NativeSeparators(std::wstring path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), L'/', L'\\');
#endif
    return path;
}

void DropTrailingSeparators(std::wstring& path) {
    path.resize(sys::LengthWithoutTrailingSeparators(path.data(), path.size()));
}

}  // namespace

void NormalizePath(std::wstring& path) {
    const auto blank = [](wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; };
    path.erase(path.begin(), std::find_if_not(path.begin(), path.end(), blank));
    path.erase(std::find_if_not(path.rbegin(), path.rend(), blank).base(), path.end());
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'.' || path.back() == L'/'))
        path.pop_back();
}

FsKind FileSystemKind(const std::wstring& path) {
    if (path.empty()) return FsUnknown;
    const std::wstring root = sys::DriveRootOf(path);
    if (root.empty()) return FsUnknown;
    wchar_t name[kFsNameUnits] = {};
    if (!sys::GetVolumeInformationW(root, name, kFsNameUnits)) return FsUnknown;
    const std::wstring upper = AsciiUpper(name, kFsNameUnits);
    if (upper.find(L"NTFS") != std::wstring::npos) return FsNtfs;
    if (upper.find(L"FAT32") != std::wstring::npos) return FsFat32;
    if (upper.find(L"EXFAT") != std::wstring::npos) return FsExFat;
    if (sys::IsNativeFileSystem(upper)) return FsNative;
    return FsOther;
}

bool AcceptedFileSystem(FsKind kind) {
    return kind == FsNtfs || kind == FsExFat || kind == FsNative;
}

bool IsHardDiskOrFlash(const std::wstring& path) {
    if (path.empty()) return false;
    const std::wstring root = sys::DriveRootOf(path);
    if (root.empty()) return false;
    const uint32_t type = sys::GetDriveTypeW(root);
    return type == sys::kDriveFixed || type == sys::kDriveRemovable;
}

bool IsApartFromSource(std::wstring source, std::wstring target) {
    if (target.empty() || source.empty()) return false;
    if (Utf16Units(source) > kMaxCheckedPath || Utf16Units(target) > kMaxCheckedPath) return false;
    source = sys::LowerCase(NativeSeparators(source));
    target = sys::LowerCase(NativeSeparators(target));

    std::wstring full = source;
    DropTrailingSeparators(full);
    if (full.empty()) return false;
    const size_t cut = full.rfind(sys::kSep);
    const std::wstring parent = cut == std::wstring::npos ? full : full.substr(0, cut);

    DropTrailingSeparators(target);
    if (target.empty()) return false;
    if (target == parent) return false;  // the folder that already holds the installation
    if (target.find(full) != std::wstring::npos) return false;  // the installation, or inside
    return true;
}

void SetUsbProbeForTests(std::function<bool(const std::wstring&)> probe) {
    UsbProbe() = std::move(probe);
}

bool IsUsbDevice(const std::wstring& path) {
    if (path.empty()) return false;
    if (UsbProbe()) return UsbProbe()(path);
    uint32_t bus = sys::kBusUnknown;
    if (!sys::QueryStorageBusType(path, bus)) return false;
    return bus == sys::kBusUsb;
}

int32_t FolderRefusal(const std::wstring& target) {
    // A relative or drive-relative path would be judged on one volume and written on another.
    if (!sys::IsAbsolutePath(target)) return kTargetMissing;
    const uint32_t attributes = sys::GetFileAttributesW(target);
    if (attributes == sys::kInvalidFileAttributes) return kTargetMissing;
    if (!(attributes & sys::kAttrDirectory)) return kTargetNotFolder;
    return 0;
}

int32_t VolumeRefusal(const std::wstring& target) {
    if (const int32_t r = FolderRefusal(target); r != 0) return r;
    if (g_anyVolume.load()) return 0;
    if (!IsHardDiskOrFlash(target)) return kTargetWrongDrive;
    if (!AcceptedFileSystem(FileSystemKind(target))) return kTargetWrongFileSystem;
    return 0;
}

void AcceptAnyVolumeForBenchmarks(bool accept) {
    g_anyVolume.store(accept);
}

bool InsideBase(IArSet& engine, const std::wstring& target, const std::wstring& base) {
    const std::wstring native = NativeSeparators(target) + sys::kSep;
    if (native.find(NativeSeparators(base)) != std::wstring::npos) return true;
    return engine.IsInsideBase(target);
}

}  // namespace targetcheck

int32_t IArSet::CheckMoveTarget(const std::wstring& target, TargetVerdict& verdict) {
    verdict = TargetVerdict{};
    ForgetCheckedTarget();
    if (target.empty()) return kTargetNotGiven;
    if (const int32_t r = targetcheck::VolumeRefusal(target); r != 0) return r;
    if (const int32_t r = CheckTargetDir(target); r != kTargetFits) {
        return r >= kTargetTooSmall && r <= kTargetQueryFailed ? r : kTargetRefused;
    }
    const int32_t r = SourceRefusal(target);
    if (r != kTargetFits) {
        ForgetCheckedTarget();
        return r;
    }
    std::wstring source;
    ResolveSourceDir(source);
    bool same = false;
    std::wstring root;
    if (sys::QuerySameVolume(source, target, same) && same &&
        sys::GetVolumePathNameW(source, root)) {
        verdict.sameVolume = sys::WithoutTrailingSeparators(root, 1);
    }
    verdict.removable = targetcheck::IsUsbDevice(target);
    verdict.uncheckedPrograms = CountUncheckedPrograms();
    return kTargetFits;
}

int32_t IArSet::SourceRefusal(const std::wstring& target) {
    std::wstring source;
    ResolveSourceDir(source);
    if (source.empty()) return kTargetNoSource;
    targetcheck::NormalizePath(source);
    if (!targetcheck::IsApartFromSource(source, target)) return kTargetIsInstallFolder;
    // What the browse button refuses is refused when typed, too.
    std::wstring base;
    LoadInstallPaths(base);
    if (!base.empty() && targetcheck::InsideBase(*this, target, base)) return kTargetInsideBase;
    // A moved library moves on from where it lies now: never into its own folder.
    const std::wstring data = GetResolvedInstallDir();
    if (!data.empty() && !base.empty() &&
        !sys::SamePathSpelling(sys::WithoutTrailingSeparators(data, 1),
                               sys::WithoutTrailingSeparators(base, 1))) {
        CFileOp fileOp;
        bool inside = false;
        if (fileOp.LiesInside(target, data, inside) == 0 && inside) return kTargetInsideData;
    }
    return kTargetFits;
}
