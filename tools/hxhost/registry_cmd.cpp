// The registry of the simulated machine: HKLM.reg in the host folder. Writing it is the job of
// the platform's installer, which this tool stands for; Halvex itself only reads it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/sys.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kVendorKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Oculus VR, LLC";
constexpr const char* kParents[] = {"HKEY_LOCAL_MACHINE\\SOFTWARE",
                                    "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node"};
constexpr const wchar_t* kOculusKey = L"SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus";

fs::path RegFile() {
    return fs::path(sys::HostDir()) / "HKLM.reg";
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The key that a "[...]" or "[-...]" line names, in lower case; empty for other lines.
std::string KeyOfLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return {};
    line = line.substr(1, line.size() - 2);
    if (!line.empty() && line.front() == '-') line.erase(0, 1);
    return Lower(line);
}

bool IsVendorKey(const std::string& key) {
    const std::string vendor = Lower(kVendorKey);
    return key == vendor || key.starts_with(vendor + "\\");
}

// The file's lines without its header and without the platform's keys.
std::vector<std::string> OtherLines(bool& hadVendorKey) {
    std::vector<std::string> kept;
    std::ifstream in(RegFile(), std::ios::binary);
    bool skipping = false;
    hadVendorKey = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
        if (line.starts_with(kHeader)) continue;
        const std::string key = KeyOfLine(line);
        if (!key.empty()) skipping = IsVendorKey(key);
        hadVendorKey = hadVendorKey || skipping;
        if (!skipping) kept.push_back(line);
    }
    while (!kept.empty() && (kept.front().empty() || kept.front() == "\r"))
        kept.erase(kept.begin());
    while (!kept.empty() && (kept.back().empty() || kept.back() == "\r"))
        kept.pop_back();
    return kept;
}

bool HasKey(const std::vector<std::string>& lines, const std::string& key) {
    for (const std::string& line : lines)
        if (KeyOfLine(line) == Lower(key)) return true;
    return false;
}

// Replaces the file in one step, so that a reader never sees half of it.
bool WriteRegFile(const std::vector<std::string>& lines) {
    std::error_code error;
    fs::create_directories(RegFile().parent_path(), error);
    const fs::path temp = RegFile().string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << kHeader << "\n\n";
        for (const std::string& line : lines)
            out << line << "\n";
        if (!out.flush()) return false;
    }
    fs::rename(temp, RegFile(), error);
    if (error) std::fprintf(stderr, "halvex-host: %s\n", error.message().c_str());
    return !error;
}

std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

int SetBase(const std::string& base) {
    if (base.empty() || base.find_first_of("\r\n") != std::string::npos) {
        std::fprintf(stderr, "halvex-host: the base folder must be one non-empty line\n");
        return 2;
    }
    if (base.back() != '/')
        std::fprintf(stderr, "note: the platform expects its base folder to end with '/'\n");
    bool hadVendorKey = false;
    std::vector<std::string> lines = OtherLines(hadVendorKey);
    for (const char* parent : kParents) {
        if (HasKey(lines, parent)) continue;
        if (!lines.empty()) lines.emplace_back();
        lines.push_back(std::string("[") + parent + "]");
    }
    lines.insert(lines.end(),
                 {"", std::string("[") + kVendorKey + "]", "",
                  std::string("[") + kVendorKey + "\\Oculus]", "\"Base\"=" + Quote(base)});
    if (!WriteRegFile(lines)) return 1;
    std::printf("%s: Base = %s\n", RegFile().c_str(), base.c_str());
    return 0;
}

int Remove() {
    bool hadVendorKey = false;
    const std::vector<std::string> lines = OtherLines(hadVendorKey);
    if (!hadVendorKey) {
        std::printf("%s: the platform is not registered\n", RegFile().c_str());
        return 0;
    }
    if (!WriteRegFile(lines)) return 1;
    std::printf("%s: the platform's key is removed\n", RegFile().c_str());
    return 0;
}

// Shows what Halvex's detection reads, through the same backend.
int Show() {
    std::printf("%s\n", RegFile().c_str());
    sys::RegKey key = nullptr;
    const int32_t status = sys::RegOpenKeyExW(kOculusKey, sys::kKeyAllAccess, key);
    if (status != 0) {
        std::printf("  %s: not found (status %d)\n", sys::ToUtf8(kOculusKey).c_str(), status);
        return 1;
    }
    std::vector<uint8_t> data(64 * 1024);
    uint32_t size = static_cast<uint32_t>(data.size());
    uint32_t type = 0;
    const int32_t read = sys::RegQueryValueExW(key, L"Base", &type, data.data(), &size);
    sys::RegCloseKey(key);
    if (read != 0 || type != sys::kRegSz) {
        std::printf("  Base: not a readable string (status %d, type %u)\n", read, type);
        return 1;
    }
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    std::printf("  Base = %s\n", sys::ToUtf8(text).c_str());
    return 0;
}

int Registry(const Args& args) {
    if (args.size() == 2 && args[0] == "set-base") return SetBase(args[1]);
    if (args.size() == 1 && args[0] == "remove") return Remove();
    if (args.size() == 1 && args[0] == "show") return Show();
    std::fprintf(stderr, "usage: halvex-host registry set-base PATH | remove | show\n");
    return 2;
}

}  // namespace

std::vector<HostCommand> RegistryCommands() {
    return {
        {"registry", "set-base PATH | remove | show   the platform's registry entry", &Registry}};
}
