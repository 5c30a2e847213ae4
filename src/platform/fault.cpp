// The fault seam: every platform call counts here and fails where a test's rule says so.
#include <array>
#include <atomic>
#include <vector>

#include "platform/sys.h"

namespace sys {

namespace fault {
namespace {

constexpr size_t kKinds = static_cast<size_t>(Call::kCount);
std::array<std::atomic<uint64_t>, kKinds> g_counts{};
std::vector<Rule> g_rules;  // written only while no call under test runs
std::atomic<bool> g_armed{false};
std::vector<Call>* g_trace = nullptr;
thread_local Call t_call = Call::kAny;
thread_local const std::wstring* t_path = nullptr;

}  // namespace

void Arm(Rule rule) {
    g_rules.push_back(std::move(rule));
    g_armed.store(true);
}

void Reset() {
    g_armed.store(false);
    g_rules.clear();
    g_trace = nullptr;
    for (auto& count : g_counts)
        count.store(0);
}

void Trace(std::vector<Call>* kinds) {
    g_trace = kinds;
    g_armed.store(kinds != nullptr || !g_rules.empty());
}

uint64_t Count(Call kind) {
    return g_counts[static_cast<size_t>(kind)].load();
}

bool Hit(Call kind) {
    const uint64_t any = g_counts[0].fetch_add(1) + 1;
    const uint64_t own = g_counts[static_cast<size_t>(kind)].fetch_add(1) + 1;
    if (!g_armed.load(std::memory_order_acquire)) return false;
    if (g_trace) g_trace->push_back(kind);
    t_call = kind;
    for (Rule& rule : g_rules) {
        const bool anyKind = rule.kind == Call::kAny;
        if (!anyKind && rule.kind != kind) continue;
        const uint64_t n = anyKind ? any : own;
        const bool later = n > rule.nth;
        if (n != rule.nth && !(later && (rule.sticky || rule.repeat))) continue;
        if (rule.action && (n == rule.nth || rule.repeat)) rule.action();
        if (rule.error != 0 && (n == rule.nth || rule.sticky)) {
            SetLastError(rule.error);
            return true;
        }
    }
    return false;
}

bool Hit(Call kind, const std::wstring& path) {
    t_path = &path;
    const bool fail = Hit(kind);
    t_path = nullptr;
    return fail;
}

Call CurrentCall() {
    return t_call;
}

const std::wstring& CurrentPath() {
    static const std::wstring kNone;
    return t_path ? *t_path : kNone;
}

const char* Name(Call kind) {
    static constexpr const char* kNames[] = {"Any",
                                             "FindFirstFile",
                                             "FindNextFile",
                                             "CreateDirectory",
                                             "CopyFile",
                                             "DeleteFile",
                                             "RemoveDirectory",
                                             "MoveFile",
                                             "GetFileAttributes",
                                             "GetDiskFreeSpace",
                                             "CreateSymbolicLink",
                                             "CreateFile",
                                             "GetFinalPathName",
                                             "FlushToDisk",
                                             "RegOpenKey",
                                             "RegQueryInfoKey",
                                             "RegEnumKey",
                                             "RegEnumValue",
                                             "RegQueryValue",
                                             "OpenSCManager",
                                             "OpenService",
                                             "QueryServiceStatus",
                                             "ControlService",
                                             "StartService",
                                             "EnumDependentServices",
                                             "CreateMutex",
                                             "VolumeQuery",
                                             "AdjustPrivilege",
                                             "SetFileAttributes",
                                             "CreateHardLink",
                                             "CopySymbolicLink",
                                             "GetFileInfo",
                                             "ProcessQuery",
                                             "MountQuery",
                                             "WriteFile",
                                             "ReadFile",
                                             "ReadBack"};
    static_assert(std::size(kNames) == kKinds);
    return kNames[static_cast<size_t>(kind)];
}

}  // namespace fault

}  // namespace sys
