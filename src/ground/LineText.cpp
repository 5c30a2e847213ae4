#include "ground/LineText.h"

#include "platform/sys.h"

namespace {

bool NeedsEscape(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || byte == '%';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is not what the writer writes
}

}  // namespace

void AppendLineValue(std::string& out, const std::wstring& value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : sys::ToUtf8(value)) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscape(byte)) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
}

bool DecodeLineValue(std::string_view text, std::wstring& value) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '%') {
            if (NeedsEscape(byte)) return false;
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int hi = HexDigit(text[i + 1]);
        const int lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0 || !NeedsEscape(static_cast<unsigned char>(hi * 16 + lo)))
            return false;
        bytes += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    value = sys::FromUtf8(bytes);
    // Only text that comes back as the same bytes is a path this program wrote.
    return sys::ToUtf8(value) == bytes;
}
