#include <gtest/gtest.h>

#include <string>

#include "platform/sys.h"

namespace {

// Names from several scripts, including characters outside the basic plane (surrogate pairs
// where wide text is UTF-16).
TEST(Utf8Conversion, TextRoundTripsThroughUtf8) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } rows[] = {
        {L"", ""},
        {L"C:\\Program Files\\Oculus\\", "C:\\Program Files\\Oculus\\"},
        {L"\u00dcbung \u00e9t\u00e9",
         "\xC3\x9C"
         "bung \xC3\xA9t\xC3\xA9"},
        {L"\u65e5\u672c\u8a9e \u0420\u0443\u0441",
         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xD0\xA0\xD1\x83\xD1\x81"},
        {L"\U0001F600x\U0010FFFF", "\xF0\x9F\x98\x80x\xF4\x8F\xBF\xBF"},
        {L"\u007f\u0080\u07ff\u0800\uffff", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.utf8);
        EXPECT_EQ(sys::ToUtf8(row.wide), row.utf8);
        EXPECT_EQ(sys::FromUtf8(row.utf8), row.wide);
    }
}

#ifdef _WIN32
TEST(Utf8Conversion, BrokenTextBecomesReplacementCharacters) {
    EXPECT_EQ(sys::ToUtf8(std::wstring(1, wchar_t(0xD800)) + L"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(sys::ToUtf8(L"x" + std::wstring(1, wchar_t(0xDC00))), "x\xEF\xBF\xBD");
    EXPECT_EQ(sys::FromUtf8("a\xFF"
                            "b"),
              L"a\uFFFDb");
}
#else
// A Linux name need not be UTF-8: every byte outside a valid sequence travels as 0xDC00 + byte
// and comes back unchanged, so that such a file can still be copied and deleted.
TEST(Utf8Conversion, InvalidBytesRoundTripAsEscapedCodePoints) {
    const struct {
        std::string bytes;
        std::wstring wide;
    } rows[] = {
        {"\xFF\xFE", {wchar_t(0xDCFF), wchar_t(0xDCFE)}},
        {"a\x80z", {L'a', wchar_t(0xDC80), L'z'}},                // lone continuation
        {"\xE6\x97", {wchar_t(0xDCE6), wchar_t(0xDC97)}},         // cut short at the end
        {"\xE6\x97x", {wchar_t(0xDCE6), wchar_t(0xDC97), L'x'}},  // cut short inside
        {"\xC0\xAF", {wchar_t(0xDCC0), wchar_t(0xDCAF)}},         // overlong "/"
        {"\xED\xA0\x80", {wchar_t(0xDCED), wchar_t(0xDCA0), wchar_t(0xDC80)}},  // a surrogate
        {"\xF4\x90\x80\x80",
         {wchar_t(0xDCF4), wchar_t(0xDC90), wchar_t(0xDC80), wchar_t(0xDC80)}},  // past U+10FFFF
        {"\xC3\xA9\xE9", {L'\u00e9', wchar_t(0xDCE9)}},  // valid then Latin-1
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.bytes));
        EXPECT_EQ(sys::FromUtf8(row.bytes), row.wide);
        EXPECT_EQ(sys::ToUtf8(row.wide), row.bytes);
    }
}

TEST(Utf8Conversion, EveryByteStringRoundTrips) {
    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    for (size_t start = 0; start < all.size(); start += 7) {
        const std::string slice = all.substr(start) + all.substr(0, start);
        EXPECT_EQ(sys::ToUtf8(sys::FromUtf8(slice)), slice);
    }
}

TEST(Utf8Conversion, CodePointsWithoutUtf8FormBecomeReplacementCharacters) {
    // Only 0xDC80-0xDCFF carry bytes; other surrogates and values past U+10FFFF have no UTF-8.
    EXPECT_EQ(sys::ToUtf8(std::wstring{wchar_t(0xD800)}), "\xEF\xBF\xBD");
    EXPECT_EQ(sys::ToUtf8(std::wstring{wchar_t(0xDC41)}), "\xEF\xBF\xBD");
    EXPECT_EQ(sys::ToUtf8(std::wstring{wchar_t(0x110000)}), "\xEF\xBF\xBD");
}
#endif

}  // namespace
