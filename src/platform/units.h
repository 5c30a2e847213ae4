// How the system shows an amount of data. Windows Explorer counts in 1024s and labels them KB,
// MB, GB; GNOME on Linux counts in 1000s (kB, MB, GB). Halvex follows the system it runs on.
#pragma once

#include <cstdint>
#include <string>

namespace sys {

enum class ByteUnits {
    kBinary,   // 1024-based, three significant digits, "bytes", "KB", "MB", "GB", "TB" (Explorer)
    kDecimal,  // 1000-based, one decimal, "bytes", "kB", "MB", "GB", "TB" (GNOME)
};

// The convention of this platform.
ByteUnits SystemByteUnits();

// bytes as the convention writes it: "1.21 GB" (binary), "1.3 GB" (decimal), "512 bytes".
std::wstring FormatBytes(uint64_t bytes, ByteUnits units = SystemByteUnits());

}  // namespace sys
