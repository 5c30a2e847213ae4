// The host tool's service commands: installs the platform's two services on the stand-in manager
// and shows or changes their states and behaviour, the way the platform's installer and the
// services themselves would on Windows.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/posix/service_standin.h"
#include "platform/sys.h"

namespace {

using sys::standin::ServiceRecord;

constexpr const wchar_t* kPlatformServices[] = {L"OVRLibraryService", L"OVRService"};

const char* StateName(uint32_t state) {
    switch (state) {
        case sys::kServiceStopped:
            return "stopped";
        case sys::kServiceStartPending:
            return "start_pending";
        case sys::kServiceStopPending:
            return "stop_pending";
        case sys::kServiceRunning:
            return "running";
        default:
            return "other";
    }
}

std::string StateValue(const std::string& value) {
    if (value == "stopped") return "1";
    if (value == "start_pending") return "2";
    if (value == "stop_pending") return "3";
    if (value == "running") return "4";
    return value;
}

// A service that takes about a second either way, reporting progress as a real one does.
ServiceRecord PlatformDefaults() {
    ServiceRecord record;
    record.state = sys::kServiceRunning;
    record.stopMs = 800;
    record.startMs = 800;
    record.stopHint = 1000;
    record.startHint = 1000;
    record.checkPointMs = 250;
    return record;
}

void SplitNames(const std::string& list, std::vector<std::wstring>& names) {
    names.clear();
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) names.push_back(sys::FromUtf8(list.substr(start, comma - start)));
        start = comma + 1;
    }
}

bool ApplyOne(ServiceRecord& record, const std::string& key, const std::string& value) {
    if (key == "dependents") {
        SplitNames(value, record.dependents);
    } else if (key == "dependent") {
        record.dependents.push_back(sys::FromUtf8(value));
    } else if (!sys::standin::SetField(record, key, key == "state" ? StateValue(value) : value)) {
        return false;
    }
    for (const std::wstring& name : record.dependents) {
        if (!sys::standin::ValidName(name)) return false;
    }
    return true;
}

// Applies key=value arguments. Entering a pending state starts its clock now and reports the
// hint of that direction, unless the arguments say otherwise.
bool Apply(ServiceRecord& record, const Args& args, size_t first) {
    bool stateSet = false, sinceSet = false, hintSet = false;
    for (size_t i = first; i < args.size(); ++i) {
        const auto eq = args[i].find('=');
        const std::string key = args[i].substr(0, eq);
        if (eq == std::string::npos || !ApplyOne(record, key, args[i].substr(eq + 1))) {
            std::fprintf(stderr, "halvex-host: bad setting '%s'\n", args[i].c_str());
            return false;
        }
        stateSet |= key == "state";
        sinceSet |= key == "since";
        hintSet |= key == "wait_hint";
    }
    const bool pending =
        record.state == sys::kServiceStartPending || record.state == sys::kServiceStopPending;
    if (stateSet && pending && !sinceSet) record.since = sys::GetTickCount();
    if (stateSet && pending && !hintSet) {
        record.waitHint =
            record.state == sys::kServiceStopPending ? record.stopHint : record.startHint;
    }
    if (stateSet && !pending && !hintSet) record.waitHint = 0;
    return true;
}

bool Write(const std::wstring& name, const ServiceRecord& record) {
    if (sys::standin::WriteService(name, record)) return true;
    std::fprintf(stderr, "halvex-host: cannot write %s/%s\n", sys::standin::ServicesDir().c_str(),
                 sys::ToUtf8(name).c_str());
    return false;
}

void PrintService(const std::wstring& name) {
    ServiceRecord record;
    if (!sys::standin::ReadService(name, record)) {
        std::printf("%s: unreadable\n", sys::ToUtf8(name).c_str());
        return;
    }
    const uint32_t now = sys::GetTickCount();
    record = sys::standin::Settle(record, now);
    const sys::ServiceStatusProcess status = sys::standin::Report(record, now);
    std::printf("%s: %s (wait hint %u, check point %u, exit code %u)\n", sys::ToUtf8(name).c_str(),
                StateName(status.currentState), status.waitHint, status.checkPoint,
                status.win32ExitCode);
    std::printf("  behaviour:");
    const std::string text = sys::standin::Format(record);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        std::printf(" %s", text.substr(start, end - start).c_str());
        start = end + 1;
    }
    std::printf("\n");
}

int Install(const Args& args) {
    for (const wchar_t* name : kPlatformServices) {
        ServiceRecord record = PlatformDefaults();
        if (!Apply(record, args, 0)) return 2;
        if (!Write(name, record)) return 1;
    }
    return 0;
}

int Add(const Args& args) {
    if (args.empty() || !sys::standin::ValidName(sys::FromUtf8(args[0]))) return 2;
    ServiceRecord record;
    if (!Apply(record, args, 1)) return 2;
    return Write(sys::FromUtf8(args[0]), record) ? 0 : 1;
}

int Set(const Args& args) {
    if (args.size() < 2) return 2;
    const auto name = sys::standin::FindService(sys::FromUtf8(args[0]));
    ServiceRecord record;
    if (!name || !sys::standin::ReadService(*name, record)) {
        std::fprintf(stderr, "halvex-host: no service '%s'\n", args[0].c_str());
        return 1;
    }
    record = sys::standin::Settle(record, sys::GetTickCount());
    if (!Apply(record, args, 1)) return 2;
    return Write(*name, record) ? 0 : 1;
}

int Show(const Args& args) {
    if (!args.empty()) {
        const auto name = sys::standin::FindService(sys::FromUtf8(args[0]));
        if (!name) {
            std::fprintf(stderr, "halvex-host: no service '%s'\n", args[0].c_str());
            return 1;
        }
        PrintService(*name);
        return 0;
    }
    const auto names = sys::standin::ListServices();
    if (names.empty()) std::printf("no services in %s\n", sys::standin::ServicesDir().c_str());
    for (const std::wstring& name : names)
        PrintService(name);
    return 0;
}

int Remove(const Args& args) {
    if (args.size() != 1) return 2;
    if (sys::standin::RemoveService(sys::FromUtf8(args[0]))) return 0;
    std::fprintf(stderr, "halvex-host: no service '%s'\n", args[0].c_str());
    return 1;
}

int Services(const Args& args) {
    if (args.empty()) return Show(args);
    const Args rest(args.begin() + 1, args.end());
    int rc = 2;
    if (args[0] == "install") rc = Install(rest);
    if (args[0] == "add") rc = Add(rest);
    if (args[0] == "set") rc = Set(rest);
    if (args[0] == "show") rc = Show(rest);
    if (args[0] == "remove") rc = Remove(rest);
    if (rc == 2) {
        std::fprintf(stderr,
                     "usage: halvex-host services install [KEY=VALUE...]\n"
                     "       halvex-host services add NAME [KEY=VALUE...]\n"
                     "       halvex-host services set NAME KEY=VALUE...\n"
                     "       halvex-host services show [NAME]\n"
                     "       halvex-host services remove NAME\n"
                     "keys: state (stopped, start_pending, stop_pending, running or 1..4),\n"
                     "  wait_hint, check_point, exit_code, stop_ms, start_ms (ms or never),\n"
                     "  stop_hint, start_hint, check_point_ms, refuse_stop, refuse_start\n"
                     "  (a Windows error number), start_exit, since (tick),\n"
                     "  dependent=NAME (adds one), dependents=A,B (replaces the list)\n");
    }
    return rc;
}

}  // namespace

std::vector<HostCommand> ServiceCommands() {
    return {{"services", "install | add | set | show | remove   the stand-in services", &Services}};
}
