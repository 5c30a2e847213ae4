#include "ui/volumecheck.h"

#include <string>

void NormalizePath(QString& path) {
    std::wstring wide = path.toStdWString();
    targetcheck::NormalizePath(wide);
    path = QString::fromStdWString(wide);
}

FsKind GetFileSystemKind(QString path) {
    return targetcheck::FileSystemKind(path.toStdWString());
}

bool IsHardDiskOrFlash(QString path) {
    return targetcheck::IsHardDiskOrFlash(path.toStdWString());
}

bool IsTargetApartFromSource(QString source, QString target) {
    return targetcheck::IsApartFromSource(source.toStdWString(), target.toStdWString());
}

void SetUsbProbeForTests(std::function<bool(const QString&)> probe) {
    if (!probe) {
        targetcheck::SetUsbProbeForTests({});
        return;
    }
    targetcheck::SetUsbProbeForTests(
        [probe](const std::wstring& path) { return probe(QString::fromStdWString(path)); });
}

bool IsUsbDevice(QString path) {
    return targetcheck::IsUsbDevice(path.toStdWString());
}
