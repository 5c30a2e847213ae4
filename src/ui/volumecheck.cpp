#include "ui/volumecheck.h"

#include <QDir>

#include <algorithm>
#include <string>

#include "platform/paths.h"
#include "platform/volume.h"

namespace {

constexpr uint32_t kFsNameUnits = 260;

std::wstring Wide(const QString& text) {
    return text.toStdWString();
}

void DropTrailingSeparators(QString& path) {
    const size_t kept =
        sys::LengthWithoutTrailingSeparators(path.utf16(), static_cast<size_t>(path.size()));
    path.truncate(static_cast<qsizetype>(kept));
}

// Only the 26 ASCII letters change: file-system names are ASCII, and a locale-aware
// upper-casing could turn other units into something that matches by accident.
QString AsciiUpper(const wchar_t* name, uint32_t units) {
    const wchar_t* end = std::find(name, name + units, L'\0');
    QString upper = QString::fromWCharArray(name, static_cast<qsizetype>(end - name));
    for (QChar& c : upper) {
        if (c >= u'a' && c <= u'z') c = QChar(c.unicode() - u'a' + u'A');
    }
    return upper;
}

}  // namespace

void NormalizePath(QString& path) {
    path = path.trimmed();
    while (!path.isEmpty()) {
        const QChar last = path.back();
        if (last != u'\\' && last != u'.' && last != u'/') break;
        path.chop(1);
    }
}

FsKind GetFileSystemKind(QString path) {
    if (path.isEmpty()) return FsUnknown;
    const std::wstring root = sys::DriveRootOf(Wide(path));
    if (root.empty()) return FsUnknown;
    wchar_t name[kFsNameUnits] = {};
    if (!sys::GetVolumeInformationW(root, name, kFsNameUnits)) return FsUnknown;
    const QString upper = AsciiUpper(name, kFsNameUnits);
    if (upper.contains(QLatin1String("NTFS"))) return FsNtfs;
    if (upper.contains(QLatin1String("FAT32"))) return FsFat32;
    if (upper.contains(QLatin1String("EXFAT"))) return FsExFat;
    if (sys::IsNativeFileSystem(Wide(upper))) return FsNative;
    return FsOther;
}

bool IsHardDiskOrFlash(QString path) {
    if (path.isEmpty()) return false;
    const std::wstring root = sys::DriveRootOf(Wide(path));
    if (root.empty()) return false;
    const uint32_t type = sys::GetDriveTypeW(root);
    return type == sys::kDriveFixed || type == sys::kDriveRemovable;
}

bool IsTargetApartFromSource(QString source, QString target) {
    if (target.isEmpty() || source.isEmpty()) return false;
    if (source.size() > kMaxCheckedPath || target.size() > kMaxCheckedPath) return false;
    // Windows takes either separator and ignores case: "C:/Oculus" is "c:\\oculus".
    source = QDir::toNativeSeparators(source).toLower();
    target = QDir::toNativeSeparators(target).toLower();

    QString full = source;
    DropTrailingSeparators(full);
    if (full.isEmpty()) return false;
    const qsizetype cut = full.lastIndexOf(QChar(char16_t(sys::kSep)));
    const QString parent = cut < 0 ? full : full.left(cut);

    DropTrailingSeparators(target);
    if (target.isEmpty()) return false;
    if (target == parent) return false;       // the folder that already holds the installation
    if (target.contains(full)) return false;  // the installation itself, or inside it
    return true;
}

namespace {
std::function<bool(const QString&)>& UsbProbe() {
    static std::function<bool(const QString&)> probe;
    return probe;
}
}  // namespace

void SetUsbProbeForTests(std::function<bool(const QString&)> probe) {
    UsbProbe() = std::move(probe);
}

bool IsUsbDevice(QString path) {
    if (path.isEmpty()) return false;
    if (UsbProbe()) return UsbProbe()(path);
    uint32_t bus = sys::kBusUnknown;
    if (!sys::QueryStorageBusType(Wide(path), bus)) return false;
    return bus == sys::kBusUsb;
}
