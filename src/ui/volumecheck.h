// The checks of a target folder's volume and path, over QString, for the windows: each is the
// engine's own (Vr/TargetCheck.h). Stateless; every query that fails gives the negative answer.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "Vr/TargetCheck.h"

inline constexpr int kMaxCheckedPath = static_cast<int>(targetcheck::kMaxCheckedPath);

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
