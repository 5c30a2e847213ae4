// POSIX only: the stand-in service manager's records, for the host tool and the tests.
// Each service is one small text file, <host>/services/<name>, of "key=value" lines. A pending
// state carries the tick at which it began; it is settled against the clock whenever it is read,
// so the service code's wait loops run for real against it (in microseconds under a virtual clock).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace sys::standin {

inline constexpr uint32_t kNever = 0xFFFFFFFF;  // a transition that does not end

struct ServiceRecord {
    // What the manager reports.
    uint32_t state = kServiceStopped;
    uint32_t waitHint = 0;
    uint32_t checkPoint = 0;
    uint32_t exitCode = 0;
    std::vector<std::wstring> dependents;  // services that depend on this one
    // How the simulated service behaves.
    uint32_t stopMs = 0;        // how long a stop takes (0: at once, kNever: forever)
    uint32_t startMs = 0;       // how long a start takes
    uint32_t stopHint = 0;      // wait hint reported while stop pending
    uint32_t startHint = 0;     // wait hint reported while start pending
    uint32_t checkPointMs = 0;  // the check point grows by one every so many ms (0: never)
    uint32_t refuseStop = 0;    // error number that a stop request fails with (0: accepts)
    uint32_t refuseStart = 0;   // error number that a start fails with (0: accepts)
    uint32_t startExit = 0;     // non-zero: the start ends stopped, with this exit code
    uint32_t since = 0;         // tick at which the pending state began

    bool operator==(const ServiceRecord&) const = default;
};

// The record as it stands at tick now: a pending state whose time is up has ended.
ServiceRecord Settle(ServiceRecord record, uint32_t now);
// The status the manager reports for a settled record at tick now.
ServiceStatusProcess Report(const ServiceRecord& record, uint32_t now);

std::string Format(const ServiceRecord& record);
bool Parse(const std::string& text, ServiceRecord& record);
// Sets one field by its file key (the host tool's "key=value"); false for an unknown key or
// a value that is not a number ("never" is accepted for stop_ms and start_ms).
bool SetField(ServiceRecord& record, const std::string& key, const std::string& value);
std::vector<std::string> FieldKeys();

std::string ServicesDir();
// Service names are matched case-insensitively, as Windows does; false when no such service.
bool ValidName(const std::wstring& name);
std::optional<std::wstring> FindService(const std::wstring& name);
bool ReadService(const std::wstring& name, ServiceRecord& record);
// Replaces the file in one step, so a reader never sees half a record.
bool WriteService(const std::wstring& name, const ServiceRecord& record);
bool RemoveService(const std::wstring& name);
std::vector<std::wstring> ListServices();

// Handles that are open right now; tests check that every way out releases its handles.
size_t OpenHandleCount();

}  // namespace sys::standin
