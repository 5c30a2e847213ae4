// POSIX only: the registry stand-in, HKLM.reg of the host folder, read as Windows reads a key.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sys.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr int32_t kInvalidHandle = 6;
constexpr int32_t kNoMoreItems = 259;

class StandInRegistry : public ::testing::Test {
  protected:
    StandInRegistry() { sys::SetHostDir(host_.path().string()); }
    ~StandInRegistry() override {
        for (sys::RegKey key : open_)
            sys::RegCloseKey(key);
        sys::SetHostDir("");
    }

    void Use(const std::string& text) { WriteFile(host_.path() / "HKLM.reg", text); }

    // Opens a key that the test expects to exist; closed when the test ends.
    sys::RegKey Open(const std::wstring& path) {
        sys::RegKey key = nullptr;
        EXPECT_EQ(sys::RegOpenKeyExW(path, sys::kKeyAllAccess, key), 0) << sys::ToUtf8(path);
        if (key) open_.push_back(key);
        return key;
    }

    int32_t OpenStatus(const std::wstring& path) {
        sys::RegKey key = nullptr;
        const int32_t status = sys::RegOpenKeyExW(path, sys::kKeyAllAccess, key);
        if (key) open_.push_back(key);
        EXPECT_EQ(key == nullptr, status != 0);
        return status;
    }

    std::vector<std::wstring> SubKeys(const std::wstring& path) {
        sys::RegKey key = Open(path);
        std::vector<std::wstring> names;
        uint32_t count = 0;
        EXPECT_EQ(sys::RegQueryInfoKeyW(key, nullptr, nullptr, &count, nullptr), 0);
        for (uint32_t i = 0; i < count; ++i) {
            wchar_t name[256] = {};
            uint32_t length = 256;
            EXPECT_EQ(sys::RegEnumKeyExW(key, i, name, &length), 0);
            names.emplace_back(name, length);
        }
        return names;
    }

    // The value's type and data; status 0 expected.
    std::pair<uint32_t, std::vector<uint8_t>> Value(const std::wstring& path,
                                                    const std::wstring& name) {
        sys::RegKey key = Open(path);
        uint32_t type = 0, size = 0;
        EXPECT_EQ(sys::RegQueryValueExW(key, name, &type, nullptr, &size), 0);
        std::vector<uint8_t> data(size);
        EXPECT_EQ(sys::RegQueryValueExW(key, name, &type, data.data(), &size), 0);
        return {type, data};
    }

    std::wstring Text(const std::wstring& path, const std::wstring& name) {
        const auto [type, data] = Value(path, name);
        EXPECT_TRUE(type == sys::kRegSz || type == 2) << type;
        if (data.size() < sizeof(wchar_t)) return L"<no terminator>";
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
        EXPECT_EQ(text.back(), L'\0');
        text.pop_back();
        return text;
    }

    TempDir host_;
    std::vector<sys::RegKey> open_;
};

TEST_F(StandInRegistry, KeyPathsIgnoreLetterCaseAndEnumerationKeepsStoredNames) {
    Use("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus]\n"
        "\"Base\"=\"C:\\\\Oculus\\\\\"\n\n"
        "[hkey_local_machine\\software\\wow6432node\\Zeta]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\oculus vr, llc]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xC3\x9C"
        "ber \xC3\xA4]\n");
    EXPECT_EQ(SubKeys(L"software\\WOW6432NODE"),
              (std::vector<std::wstring>{L"Oculus VR, LLC", L"Zeta"}));
    EXPECT_EQ(Text(L"Software\\Wow6432Node\\OCULUS VR, LLC\\oculus", L"BASE"), L"C:\\Oculus\\");
    EXPECT_EQ(OpenStatus(L"SOFTWARE\\\u00fcBER \u00c4"), 0);  // beyond ASCII as well
}

// A real export lists every parent; a hand-written file may not, and the parents still exist.
TEST_F(StandInRegistry, KeysNamedOnlyAsParentsOfDeeperKeysExist) {
    Use("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus]\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\x]\n");
    EXPECT_EQ(SubKeys(L""), (std::vector<std::wstring>{L"SOFTWARE"}));
    EXPECT_EQ(SubKeys(L"SOFTWARE"), (std::vector<std::wstring>{L"WOW6432Node", L"Classes"}));
    EXPECT_EQ(SubKeys(L"SOFTWARE\\WOW6432Node"), (std::vector<std::wstring>{L"Oculus VR, LLC"}));
    EXPECT_EQ(OpenStatus(L"SOFTWARE\\WOW6432Node\\Oculus"), sys::kErrFileNotFound);
    EXPECT_EQ(OpenStatus(L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus\\Deeper"),
              sys::kErrFileNotFound);
}

TEST_F(StandInRegistry, ValuesOfEachKindWithTheirEscapes) {
    Use("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n"
        "@=\"default\"\n"
        "\"Path\"=\"C:\\\\Program Files\\\\\\\"Quoted\\\"\\\\\"\n"
        "\"Name \\\"with\\\" quotes\"=\"x\"\n"
        "\"Count\"=dword:0000002a\n"
        "\"Max\"=dword:ffffffff\n"
        "\"Blob\"=hex:01,02,\\\n"
        "  ff\n"
        "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"
        "\"Repeated\"=\"first\"\n"
        "\"REPEATED\"=\"second\"\n"
        "\"Utf8\"=\"\xE6\x97\xA5\xE6\x9C\xAC\"\n");
    const std::wstring k = L"SOFTWARE\\K";
    EXPECT_EQ(Text(k, L""), L"default");
    EXPECT_EQ(Text(k, L"Path"), L"C:\\Program Files\\\"Quoted\"\\");
    EXPECT_EQ(Text(k, L"name \"WITH\" quotes"), L"x");
    EXPECT_EQ(Value(k, L"Count"),
              std::make_pair(sys::kRegDword, std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(Value(k, L"Max").second, (std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(Value(k, L"Blob"), std::make_pair(3u, std::vector<uint8_t>{1, 2, 0xff}));
    EXPECT_EQ(Value(k, L"Expand").first, 2u);
    EXPECT_EQ(Text(k, L"Expand"), L"%A%");
    EXPECT_EQ(Text(k, L"Repeated"), L"second");
    EXPECT_EQ(Text(k, L"Utf8"), L"\u65e5\u672c");

    uint32_t values = 0;
    EXPECT_EQ(sys::RegQueryInfoKeyW(Open(k), nullptr, nullptr, nullptr, &values), 0);
    EXPECT_EQ(values, 9u);  // the repeated value counts once
}

// What an export or a hand-edited file may hold besides keys and values.
TEST_F(StandInRegistry, ToleratesExportQuirksAndIgnoresWhatItCannotRead) {
    Use("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "\"Orphan\"=\"before any key\"\r\n"
        "; a comment\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\K]\r\n"
        "\"User\"=\"x\"\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n"
        "\"Deleted\"=\"x\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n"
        "\"Good\"=\"yes\"\r\n"
        "\"NoClosingQuote=\"x\"\r\n"
        "\"Dangling\"=\r\n"
        "\"BadDword\"=dword:xyz\r\n"
        "\"Trailing\"=\"a\"junk\r\n"
        "garbage line\r\n");
    EXPECT_EQ(Text(L"SOFTWARE\\K", L"Good"), L"yes");
    uint32_t values = 0, subKeys = 0;
    EXPECT_EQ(sys::RegQueryInfoKeyW(Open(L"SOFTWARE\\K"), nullptr, nullptr, &subKeys, &values), 0);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(SubKeys(L"SOFTWARE"), (std::vector<std::wstring>{L"K"}));
    EXPECT_EQ(SubKeys(L""), (std::vector<std::wstring>{L"SOFTWARE"}));  // no HKEY_CURRENT_USER
}

TEST_F(StandInRegistry, MissingFileHoldsOnlyTheEmptyRoot) {
    EXPECT_EQ(OpenStatus(L"SOFTWARE"), sys::kErrFileNotFound);
    EXPECT_TRUE(SubKeys(L"").empty());
}

// Buffers and statuses as the Win32 calls define them.
TEST_F(StandInRegistry, SmallBuffersGiveMoreDataWithTheNeededSize) {
    Use("Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zeta]\n"
        "\"Base\"=\"abc\"\n");
    sys::RegKey key = Open(L"SOFTWARE");
    wchar_t name[8] = {L'#', L'#', L'#', L'#', L'#'};
    uint32_t length = 4;  // no room for the terminator
    EXPECT_EQ(sys::RegEnumKeyExW(key, 0, name, &length), sys::kErrMoreData);
    EXPECT_EQ(name[0], L'#');
    length = 5;
    EXPECT_EQ(sys::RegEnumKeyExW(key, 0, name, &length), 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::wstring(name), L"Zeta");
    EXPECT_EQ(sys::RegEnumKeyExW(key, 1, name, &length), kNoMoreItems);

    sys::RegKey zeta = Open(L"SOFTWARE\\Zeta");
    length = 4;
    EXPECT_EQ(sys::RegEnumValueW(zeta, 0, name, &length), sys::kErrMoreData);
    length = 5;
    EXPECT_EQ(sys::RegEnumValueW(zeta, 0, name, &length), 0);
    EXPECT_EQ(std::wstring(name, length), L"Base");
    EXPECT_EQ(sys::RegEnumValueW(zeta, 1, name, &length), kNoMoreItems);

    const uint32_t needed = 4 * sizeof(wchar_t);
    uint8_t data[64];
    std::memset(data, 0x5A, sizeof data);
    uint32_t type = 0, size = needed - 1;
    EXPECT_EQ(sys::RegQueryValueExW(zeta, L"Base", &type, data, &size), sys::kErrMoreData);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(data[0], 0x5A);  // nothing written
    size = needed;
    EXPECT_EQ(sys::RegQueryValueExW(zeta, L"Base", &type, data, &size), 0);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data)), L"abc");
    EXPECT_EQ(sys::RegQueryValueExW(zeta, L"Missing", &type, data, &size), sys::kErrFileNotFound);
}

TEST_F(StandInRegistry, InvalidHandleAndInjectedFaults) {
    uint32_t count = 0;
    EXPECT_EQ(sys::RegQueryInfoKeyW(nullptr, nullptr, nullptr, &count, nullptr), kInvalidHandle);
    EXPECT_EQ(sys::RegCloseKey(nullptr), kInvalidHandle);

    ScopedFaults faults;
    sys::fault::Arm({sys::Call::kRegOpenKey, 1, sys::kErrAccessDenied});
    sys::RegKey key = reinterpret_cast<sys::RegKey>(&count);  // must be cleared
    EXPECT_EQ(sys::RegOpenKeyExW(L"", sys::kKeyAllAccess, key), 5);
    EXPECT_EQ(key, nullptr);
}

}  // namespace
#endif
