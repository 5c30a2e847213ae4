// Finding the platform's base folder in the registry. On Linux the registry is the stand-in file
// of a temporary host folder; under Wine it is Wine's real registry, set up and cleaned by the
// tests themselves with the Win32 write calls (the product never writes the registry).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OculusMgr/COculusMgr.h"
#include "logging/log.h"
#include "platform/registry.h"
#include "platform/sys.h"
#include "support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>

#include "platform/host.h"
#endif

using namespace testsupport;

namespace {

const std::wstring kWow = L"SOFTWARE\\WOW6432Node";
const std::wstring kVendor = kWow + L"\\Oculus VR, LLC";
const std::wstring kOculus = kVendor + L"\\Oculus";
// Enumerated after the platform's key on both backends.
const std::wstring kSibling = kWow + L"\\ZZZ Halvex Test";

#ifdef _WIN32
const std::wstring kDrive = L"C:\\";
#else
const std::wstring kDrive = L"/";
#endif

#ifdef _WIN32
// Wine's real HKEY_LOCAL_MACHINE. Only the test keys are touched, before and after each test.
class MachineRegistry {
  public:
    MachineRegistry() { Clean(); }
    ~MachineRegistry() { Clean(); }

    void AddKey(const std::wstring& path) { ::RegCloseKey(Create(path)); }
    void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
        SetRaw(path, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    void SetDword(const std::wstring& path, const std::wstring& name, uint32_t value) {
        SetRaw(path, name, REG_DWORD, &value, sizeof value);
    }
    void SetRaw(const std::wstring& path, const std::wstring& name, DWORD type, const void* data,
                size_t bytes) {
        HKEY key = Create(path);
        ASSERT_EQ(::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                   static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

  private:
    static HKEY Create(const std::wstring& path) {
        HKEY key = nullptr;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void Clean() {
        for (const std::wstring& root : {kVendor, kSibling}) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, root.c_str());
        }
    }
};
#else
// HKLM.reg in a temporary host folder, rewritten after every change.
class MachineRegistry {
  public:
    MachineRegistry() {
        sys::SetHostDir(host_.path().string());
        AddKey(L"SOFTWARE\\Microsoft");
        AddKey(kWow + L"\\Microsoft");
    }
    ~MachineRegistry() { sys::SetHostDir(""); }

    void Clear() {
        sections_.clear();
        Write();
    }
    void AddKey(const std::wstring& path) {
        Section(path);
        Write();
    }
    void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
        Section(path).push_back(Quote(name) + "=" + Quote(text));
        Write();
    }
    void SetDword(const std::wstring& path, const std::wstring& name, uint32_t value) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", value);
        Section(path).push_back(Quote(name) + "=dword:" + hex);
        Write();
    }

  private:
    static std::string Quote(const std::wstring& text) {
        std::string quoted = "\"";
        for (char c : sys::ToUtf8(text)) {
            if (c == '\\' || c == '"') quoted += '\\';
            quoted += c;
        }
        return quoted + "\"";
    }
    std::vector<std::string>& Section(const std::wstring& path) {
        const std::string line = "[HKEY_LOCAL_MACHINE\\" + sys::ToUtf8(path) + "]";
        for (auto& [key, values] : sections_)
            if (key == line) return values;
        return sections_.emplace_back(line, std::vector<std::string>{}).second;
    }
    void Write() {
        std::string text = "Windows Registry Editor Version 5.00\r\n";
        for (const auto& [key, values] : sections_) {
            text += "\r\n" + key + "\r\n";
            for (const std::string& value : values)
                text += value + "\r\n";
        }
        WriteFile(host_.path() / "HKLM.reg", text);
    }

    TempDir host_;
    std::vector<std::pair<std::string, std::vector<std::string> > > sections_;
};
#endif

class DetectionTest : public ::testing::Test {
  protected:
    DetectionTest() : cwd_(work_.path()) { LogResetForTests(); }
    ~DetectionTest() override { LogResetForTests(); }

    void Install(const std::wstring& base) { registry_.SetString(kOculus, L"Base", base); }

    std::string LogText() { return LogTextIn(work_.path()); }
    bool Logged(int32_t code) {
        return LogText().find(".\\OculusMgr\\COculusMgr.cpp(") != std::string::npos &&
               LogText().find("<err|dev>: " + std::to_string(code)) != std::string::npos;
    }
    // A failed detection leaves no path behind.
    void ExpectFailure(int32_t code) {
        COculusMgr mgr;
        EXPECT_EQ(mgr.DetectBase(), code);
        EXPECT_EQ(mgr.GetBasePath(), L"");
        EXPECT_TRUE(Logged(code)) << LogText();
    }

    TempDir work_;
    ScopedWorkingDir cwd_;
    ScopedFaults faults_;
    MachineRegistry registry_;
};

TEST_F(DetectionTest, InstalledPlatformGivesItsBaseAndBothFolders) {
    const std::wstring base = kDrive + L"Spiele \u00dcber \u65e5\u672c" + sys::kSep;
    Install(base);
    registry_.AddKey(kSibling);
    COculusMgr mgr;
    ASSERT_EQ(mgr.DetectBase(), 0);
    EXPECT_EQ(mgr.GetBasePath(), base);
    EXPECT_EQ(mgr.GetSoftwarePath(), base + L"Software");
    EXPECT_EQ(mgr.GetDownloadsPath(), base + L"Downloads");
    EXPECT_FALSE(fs::exists(work_.path() / "log"));
}

TEST_F(DetectionTest, NoVendorKeyMeansNotInstalledWithoutARecord) {
    registry_.AddKey(kSibling);
    COculusMgr mgr;
    EXPECT_EQ(mgr.DetectBase(), 7);
    EXPECT_EQ(mgr.GetBasePath(), L"");
    LogFlushForTests();
    EXPECT_FALSE(fs::exists(work_.path() / "log"));
}

TEST_F(DetectionTest, VendorKeyDifferingOnlyInLetterCaseIsNotThePlatform) {
    registry_.SetString(kWow + L"\\oculus vr, llc\\Oculus", L"Base",
                        kDrive + L"Oculus" + sys::kSep);
    COculusMgr mgr;
    EXPECT_EQ(mgr.DetectBase(), 7);
    EXPECT_EQ(mgr.GetBasePath(), L"");
}

TEST_F(DetectionTest, VendorKeyWithoutOculusKeyGives10002) {
    registry_.AddKey(kVendor + L"\\Oculus Other");
    ExpectFailure(10002);
}

TEST_F(DetectionTest, BaseWithoutTrailingSeparatorIsUsedAsIs) {
    Install(kDrive + L"Oculus");
    COculusMgr mgr;
    ASSERT_EQ(mgr.DetectBase(), 0);
    EXPECT_EQ(mgr.GetSoftwarePath(), kDrive + L"OculusSoftware");
    EXPECT_EQ(mgr.GetDownloadsPath(), kDrive + L"OculusDownloads");
}

// A base folder that cannot be read whole must not become a path the move works on.
TEST_F(DetectionTest, MissingBaseValueGives10002) {
    registry_.SetString(kOculus, L"InstallDir", kDrive + L"Oculus" + sys::kSep);
    ExpectFailure(10002);
}

TEST_F(DetectionTest, BaseThatIsNotAStringGives10013) {
    registry_.SetDword(kOculus, L"Base", 42);
    ExpectFailure(10013);
}

TEST_F(DetectionTest, EmptyBaseGives10013) {
    Install(L"");
    ExpectFailure(10013);
}

TEST_F(DetectionTest, BaseOf511CharactersFitsAnd512DoNot) {
    const std::wstring fits = kDrive + std::wstring(511 - kDrive.size(), L'\u00e4');
    Install(fits);
    COculusMgr mgr;
    ASSERT_EQ(mgr.DetectBase(), 0);
    EXPECT_EQ(mgr.GetBasePath(), fits);

    Install(fits + L"x");
    ExpectFailure(10234);
}

TEST_F(DetectionTest, SystemErrorOfEachRegistryCallIsReturnedAs10000PlusN) {
    const struct {
        sys::Call call;
        uint64_t nth;
        uint32_t error;
        int32_t code;
    } rows[] = {
        {sys::Call::kRegOpenKey, 1, 5, 10005},       // the searched key
        {sys::Call::kRegQueryInfoKey, 1, 5, 10005},  // its counts
        {sys::Call::kRegEnumKey, 1, 1117, 11117},    // a sub-key name
        {sys::Call::kRegOpenKey, 2, 2, 10002},       // the platform's key
        {sys::Call::kRegQueryValue, 1, 5, 10005},    // "Base"
    };
    Install(kDrive + L"Oculus" + sys::kSep);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(sys::fault::Name(row.call)) + " #" + std::to_string(row.nth));
        LogResetForTests();
        fs::remove_all(work_.path() / "log");
        sys::fault::Reset();
        sys::fault::Arm({row.call, row.nth, row.error});
        ExpectFailure(row.code);
    }
}

// 183 and 18 count as success: a skipped entry is no failure, and a benign status of the last
// call does not turn a complete enumeration into one.
TEST_F(DetectionTest, BenignStatusesCountAsSuccess) {
    const std::wstring base = kDrive + L"Oculus" + sys::kSep;
    Install(base);
    registry_.AddKey(kSibling);
    COculusMgr counting;
    ASSERT_EQ(counting.DetectBase(), 0);
    const uint64_t enumCalls = sys::fault::Count(sys::Call::kRegEnumKey);

    for (const uint32_t benign : {sys::kErrNoMoreFiles, sys::kErrAlreadyExists}) {
        sys::fault::Reset();
        sys::fault::Arm({sys::Call::kRegEnumKey, enumCalls, benign});
        COculusMgr mgr;
        EXPECT_EQ(mgr.DetectBase(), 0) << benign;
        EXPECT_EQ(mgr.GetBasePath(), base);
    }
    // Opening the searched key "benignly" skips the enumeration, so no marker is seen.
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kRegOpenKey, 1, sys::kErrAlreadyExists});
    COculusMgr skipped;
    EXPECT_EQ(skipped.DetectBase(), 7);
    LogFlushForTests();
    EXPECT_FALSE(fs::exists(work_.path() / "log"));
}

#ifdef _WIN32
// A stored text need not carry its terminator. One that fills the whole buffer is too long.
TEST_F(DetectionTest, BaseStoredWithoutTerminatorIsCutAtItsLength) {
    const std::wstring base = L"C:\\Oculus\\";
    registry_.SetRaw(kOculus, L"Base", REG_SZ, base.data(), base.size() * sizeof(wchar_t));
    COculusMgr mgr;
    ASSERT_EQ(mgr.DetectBase(), 0);
    EXPECT_EQ(mgr.GetBasePath(), base);

    const std::wstring full(512, L'a');
    registry_.SetRaw(kOculus, L"Base", REG_SZ, full.data(), full.size() * sizeof(wchar_t));
    ExpectFailure(10234);
}

// Proves that the Windows backend reads the machine's real registry: Wine keeps the system's
// version under this key, which no test writes.
TEST_F(DetectionTest, WindowsBackendReadsTheRealRegistry) {
    sys::RegKey key = nullptr;
    ASSERT_EQ(sys::RegOpenKeyExW(L"software\\microsoft\\WINDOWS NT\\CurrentVersion", KEY_READ, key),
              0);
    uint32_t subKeys = 0, values = 0;
    EXPECT_EQ(sys::RegQueryInfoKeyW(key, nullptr, nullptr, &subKeys, &values), 0);
    EXPECT_GT(values, 0u);
    wchar_t text[64] = {};
    uint32_t type = 0, size = sizeof text;
    EXPECT_EQ(sys::RegQueryValueExW(key, L"CurrentVersion", &type, reinterpret_cast<uint8_t*>(text),
                                    &size),
              0);
    EXPECT_EQ(type, sys::kRegSz);
    EXPECT_NE(std::wstring(text).find(L'.'), std::wstring::npos) << sys::ToUtf8(text);
    EXPECT_EQ(sys::RegCloseKey(key), 0);
}
#else
// A 32-bit Windows has no WOW6432Node.
TEST_F(DetectionTest, RegistryWithoutWow6432NodeGives10002) {
    registry_.Clear();
    registry_.AddKey(L"SOFTWARE\\Microsoft");
    ExpectFailure(10002);
}

TEST_F(DetectionTest, ValueNamesOfTheSearchedKeyAreListedOnStandardOutput) {
    Install(kDrive + L"Oculus" + sys::kSep);
    registry_.SetString(kWow, L"First", L"1");
    registry_.SetDword(kWow, L"Zweite \u00fc", 2);
    testing::internal::CaptureStdout();
    COculusMgr mgr;
    const int32_t result = mgr.DetectBase();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "\nNumber of values: 2\n(1) First\n(2) Zweite \xC3\xBC\n");
}

// The listing is a diagnostic, but the status of its last read is the enumeration's result,
// passed on unchanged.
TEST_F(DetectionTest, FailedReadOfTheLastValueNameIsPassedOnUnchanged) {
    Install(kDrive + L"Oculus" + sys::kSep);
    registry_.SetString(kWow, L"First", L"1");
    registry_.SetString(kWow, L"Second", L"2");

    sys::fault::Arm({sys::Call::kRegEnumValue, 1, sys::kErrAccessDenied});
    testing::internal::CaptureStdout();
    COculusMgr first;
    EXPECT_EQ(first.DetectBase(), 0);  // a later read succeeded
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kRegEnumValue, 2, sys::kErrAccessDenied});
    COculusMgr last;
    EXPECT_EQ(last.DetectBase(), 5);
    EXPECT_EQ(last.GetBasePath(), L"");
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Logged(5));
}
#endif

}  // namespace
