// POSIX backend: the service stand-in's record store. Each service is one small text file,
// <host>/services/<name>, of "key=value" lines; see service_standin.h.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host.h"
#include "platform/posix/service_standin.h"
#include "platform/sys.h"

namespace sys::standin {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kAcceptStop = 0x1;

struct Field {
    const char* key;
    uint32_t ServiceRecord::*member;
};
constexpr Field kFields[] = {
    {"state", &ServiceRecord::state},
    {"wait_hint", &ServiceRecord::waitHint},
    {"check_point", &ServiceRecord::checkPoint},
    {"exit_code", &ServiceRecord::exitCode},
    {"stop_ms", &ServiceRecord::stopMs},
    {"start_ms", &ServiceRecord::startMs},
    {"stop_hint", &ServiceRecord::stopHint},
    {"start_hint", &ServiceRecord::startHint},
    {"check_point_ms", &ServiceRecord::checkPointMs},
    {"refuse_stop", &ServiceRecord::refuseStop},
    {"refuse_start", &ServiceRecord::refuseStart},
    {"start_exit", &ServiceRecord::startExit},
    {"since", &ServiceRecord::since},
};
constexpr const char* kDependentKey = "dependent";

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

bool IsPending(uint32_t state) {
    return state == kServiceStartPending || state == kServiceStopPending;
}

fs::path PathOf(const std::wstring& name) {
    return fs::path(ServicesDir()) / ToUtf8(name);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(static_cast<wint_t>(x)) ==
                      std::towlower(static_cast<wint_t>(y));
           });
}

}  // namespace

ServiceRecord Settle(ServiceRecord record, uint32_t now) {
    if (!IsPending(record.state)) return record;
    const bool stopping = record.state == kServiceStopPending;
    const uint32_t takes = stopping ? record.stopMs : record.startMs;
    if (takes == kNever || now - record.since < takes) return record;
    const bool failed = !stopping && record.startExit != 0;
    record.state = stopping || failed ? kServiceStopped : kServiceRunning;
    record.exitCode = failed ? record.startExit : 0;
    record.waitHint = 0;
    record.checkPoint = 0;
    return record;
}

ServiceStatusProcess Report(const ServiceRecord& record, uint32_t now) {
    ServiceStatusProcess status;
    status.serviceType = kOwnProcess;
    status.currentState = record.state;
    status.controlsAccepted =
        record.state == kServiceRunning && record.refuseStop == 0 ? kAcceptStop : 0;
    status.win32ExitCode = record.exitCode;
    status.checkPoint = record.checkPoint;
    if (IsPending(record.state) && record.checkPointMs != 0) {
        status.checkPoint += (now - record.since) / record.checkPointMs;
    }
    status.waitHint = record.waitHint;
    return status;
}

std::string Format(const ServiceRecord& record) {
    std::ostringstream out;
    for (const Field& field : kFields) {
        const uint32_t value = record.*field.member;
        const bool duration =
            field.member == &ServiceRecord::stopMs || field.member == &ServiceRecord::startMs;
        out << field.key << '=';
        if (duration && value == kNever) {
            out << "never\n";
        } else {
            out << value << '\n';
        }
    }
    for (const std::wstring& dependent : record.dependents)
        out << kDependentKey << '=' << ToUtf8(dependent) << '\n';
    return out.str();
}

bool Parse(const std::string& text, ServiceRecord& record) {
    ServiceRecord parsed;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == kDependentKey) {
            if (!ValidName(FromUtf8(value))) return false;
            parsed.dependents.push_back(FromUtf8(value));
        } else if (!SetField(parsed, key, value)) {
            return false;
        }
    }
    record = std::move(parsed);
    return true;
}

bool SetField(ServiceRecord& record, const std::string& key, const std::string& value) {
    for (const Field& field : kFields) {
        if (key != field.key) continue;
        const bool duration = key == "stop_ms" || key == "start_ms";
        if (duration && value == "never") {
            record.*field.member = kNever;
            return true;
        }
        return ParseNumber(value, record.*field.member);
    }
    return false;
}

std::vector<std::string> FieldKeys() {
    std::vector<std::string> keys;
    for (const Field& field : kFields)
        keys.push_back(field.key);
    keys.push_back(kDependentKey);
    return keys;
}

std::string ServicesDir() {
    return HostDir() + "/services";
}

// Windows refuses "/" and "\" in service names; here they would also leave the folder. Names
// starting with "." are kept for the folder's own temporary files.
bool ValidName(const std::wstring& name) {
    if (name.empty() || name.size() > 256 || name[0] == L'.') return false;
    return std::none_of(name.begin(), name.end(),
                        [](wchar_t c) { return c == L'/' || c == L'\\' || c < 0x20; });
}

std::optional<std::wstring> FindService(const std::wstring& name) {
    if (!ValidName(name)) return std::nullopt;
    std::error_code error;
    if (fs::is_regular_file(PathOf(name), error)) return name;
    for (const std::wstring& stored : ListServices()) {
        if (SameName(stored, name)) return stored;
    }
    return std::nullopt;
}

bool ReadService(const std::wstring& name, ServiceRecord& record) {
    if (!ValidName(name)) return false;
    std::ifstream in(PathOf(name), std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), record);
}

bool WriteService(const std::wstring& name, const ServiceRecord& record) {
    if (!ValidName(name)) return false;
    errno = 0;  // what a failed write leaves here is what the caller reports
    static std::atomic<unsigned> counter{0};
    std::error_code ignored;
    fs::create_directories(ServicesDir(), ignored);  // a missing folder shows in the write below
    const fs::path target = PathOf(name);
    const fs::path temp = fs::path(ServicesDir()) /
                          (".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    // Each step is judged on its own: the clean-up of a failed step must not turn it into success,
    // and errno keeps the failed step's reason for the caller.
    const auto failWith = [&temp](int err) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        errno = err != 0 ? err : EIO;
        return false;
    };
    // The record outlives a power cut, as the service manager's own does: written through to the
    // media, then put in place, and the folder that names it flushed too.
    const std::string text = Format(record);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return failWith(errno);
    int err = 0;
    for (size_t put = 0; put < text.size() && err == 0;) {
        const ssize_t n = ::write(fd, text.data() + put, text.size() - put);
        if (n >= 0) {
            put += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            err = errno;
        }
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) return failWith(err);
    std::error_code renameError;
    fs::rename(temp, target, renameError);
    if (renameError) return failWith(renameError.value());
    const int folder = ::open(ServicesDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    err = ::fsync(folder) == 0 ? 0 : errno;
    ::close(folder);
    errno = err;
    return err == 0;
}

bool RemoveService(const std::wstring& name) {
    const auto found = FindService(name);
    std::error_code error;
    return found && fs::remove(PathOf(*found), error);
}

std::vector<std::wstring> ListServices() {
    std::vector<std::wstring> names;
    std::error_code error;
    for (fs::directory_iterator it(ServicesDir(), error), end; !error && it != end;
         it.increment(error)) {
        const std::wstring name = FromUtf8(it->path().filename().string());
        if (ValidName(name) && it->is_regular_file(error)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace sys::standin
