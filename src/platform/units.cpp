// Amounts of data as the two conventions write them; which one applies is the backend's.
#include "platform/units.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace sys {

namespace {

std::wstring Printed(const wchar_t* format, double value, const wchar_t* unit) {
    wchar_t text[48];
    std::swprintf(text, sizeof text / sizeof text[0], format, value, unit);
    return text;
}

// Explorer shows three significant digits and cuts the rest off rather than rounding.
std::wstring Binary(uint64_t bytes) {
    static constexpr const wchar_t* kUnits[] = {L"KB", L"MB", L"GB", L"TB", L"PB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    if (value < 10.0) return Printed(L"%.2f %ls", std::floor(value * 100.0) / 100.0, kUnits[unit]);
    if (value < 100.0) return Printed(L"%.1f %ls", std::floor(value * 10.0) / 10.0, kUnits[unit]);
    return Printed(L"%.0f %ls", std::floor(value), kUnits[unit]);
}

// GNOME (g_format_size) shows one decimal, rounded.
std::wstring Decimal(uint64_t bytes) {
    static constexpr const wchar_t* kUnits[] = {L"kB", L"MB", L"GB", L"TB", L"PB"};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    return Printed(L"%.1f %ls", value, kUnits[unit]);
}

}  // namespace

std::wstring FormatBytes(uint64_t bytes, ByteUnits units) {
    const uint64_t step = units == ByteUnits::kBinary ? 1024 : 1000;
    if (bytes < step) return std::to_wstring(bytes) + (bytes == 1 ? L" byte" : L" bytes");
    return units == ByteUnits::kBinary ? Binary(bytes) : Decimal(bytes);
}

}  // namespace sys
