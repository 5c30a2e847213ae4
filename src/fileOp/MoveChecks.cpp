#include "fileOp/MoveChecks.h"

#include <algorithm>
#include <vector>

#include "fileOp/CFileOp.h"
#include "fileOp/TreeWalk.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/sys.h"

namespace movecheck {

namespace {

int32_t TooLong(const std::wstring& path) {
    HX_LOG.Detail("path too long for the move: ", path);
    HX_LOG.Err(kCodePathTooLong);
    return kCodePathTooLong;
}

bool FinalFits(const std::wstring& finalPath) {
    return sys::kFinalPathPrefixUnits + finalPath.size() < kFinalPathRoom;
}

bool BelowFits(const std::wstring& root, size_t longestFile, size_t longestFolder) {
    const size_t units = sys::PathUnits(root);
    return units + longestFile <= sys::kMaxFilePathUnits &&
           units + longestFolder <= sys::kMaxFolderPathUnits;
}

}  // namespace

int32_t NoMountPointsBelow(const std::wstring& folder) {
    std::vector<std::wstring> mounts;
    if (!sys::FindMountPointsBelow(folder, mounts)) return HX_LOG.FailedCall();
    for (const std::wstring& mount : mounts)
        HX_LOG.Detail("mount point inside ", folder, ": ", mount);
    if (mounts.empty()) return 0;
    HX_LOG.Err(kCodeMountPointInside);
    return kCodeMountPointInside;
}

namespace {

void LogUnchecked(const std::vector<sys::ProcessUse>& unchecked) {
    for (const sys::ProcessUse& process : unchecked) {
        HX_LOG.Note(
            "not checked for open files (no right to look into it; run as root or "
            "administrator to check it): ",
            process.name, " (PID ", process.pid, ")",
            process.systemAccount ? ", a system service" : "");
    }
}

int32_t RefuseHolders(const std::vector<sys::ProcessUse>& users) {
    for (const sys::ProcessUse& user : users)
        HX_LOG.Detail("in use by ", user.name, " (PID ", user.pid, "): ", user.what);
    if (users.empty()) return 0;
    HX_LOG.Err(kCodeInUse);
    return kCodeInUse;
}

}  // namespace

int32_t NotInUse(const std::wstring& folder) {
    if constexpr (sys::kRenameRefusesFolderInUse) return 0;
    // The programs it cannot look into are named once, before the move, by
    // CountUncheckedProcesses, which both the window and the harness ask.
    std::vector<sys::ProcessUse> users;
    if (!sys::FindProcessesUsing(folder, users)) return HX_LOG.FailedCall();
    return RefuseHolders(users);
}

int32_t NotHeldBeforeDeleting(const std::vector<std::wstring>& folders, std::wstring& held,
                              std::wstring* holder) {
    std::vector<sys::ProcessUse> users;
    if (!sys::FindProcessesUsing(folders, users)) {
        if constexpr (!sys::kRenameRefusesFolderInUse) return HX_LOG.FailedCall();
        HX_LOG.Detail("could not ask who uses the parked folders: ", sys::GetLastError());
        return 0;
    }
    if (!users.empty()) {
        held = users.front().what;
        if (holder) *holder = users.front().name;
    }
    return RefuseHolders(users);
}

size_t CountUncheckedProcesses() {
    std::vector<sys::ProcessUse> unchecked;
    if (!sys::FindUncheckableProcesses(unchecked)) return 0;
    LogUnchecked(unchecked);
    // Only people's programs are asked about: the system's are named in the log above.
    return static_cast<size_t>(std::count_if(unchecked.begin(), unchecked.end(),
                                             [](const auto& p) { return !p.systemAccount; }));
}

void LogHolders(const std::wstring& folder) {
    std::vector<sys::ProcessUse> users;
    if (!sys::FindProcessesUsing(folder, users)) {
        HX_LOG.Detail("could not ask who uses ", folder, ": ", sys::GetLastError());
        return;
    }
    for (const sys::ProcessUse& user : users) {
        HX_LOG.Detail("in use by ", user.name, " (PID ", user.pid, ") below ", folder);
    }
}

std::wstring ParkedNameFor(const std::wstring& source) {
    std::wstring name = source + L"Varko";
    while (sys::GetFileAttributesW(name) != sys::kInvalidFileAttributes)
        name += L"(1)";
    return name;
}

int32_t PathsFit(CFileOp& fileOp, const std::wstring& source, const std::wstring& target,
                 size_t longestFile, size_t longestFolder) {
    const std::wstring parked = ParkedNameFor(source);
    if (!BelowFits(parked, longestFile, longestFolder)) return TooLong(parked);
    if (!BelowFits(target, longestFile, longestFolder)) return TooLong(target);

    // The removal of the emptied parked folder asks for its final path: where the source is a
    // link that is its target, else the final path of its parent and the parked name.
    std::wstring finalParked;
    const bool link = sys::IsLinkOrReparsePoint(source);
    const std::wstring asked = link ? source : source.substr(0, source.rfind(sys::kSep));
    if (const int32_t r =
            fileOp.GetFinalPath(asked.empty() ? std::wstring(1, sys::kSep) : asked, finalParked);
        r != 0) {
        return r == kCodeFinalPathTooLong ? TooLong(asked) : r;
    }
    if (!link) finalParked += sys::kSep + parked.substr(parked.rfind(sys::kSep) + 1);
    if (!FinalFits(finalParked)) return TooLong(parked);

    std::wstring finalTarget;
    if (const int32_t r = fileOp.GetFinalPath(target, finalTarget); r != 0) {
        return r == kCodeFinalPathTooLong ? TooLong(target) : r;
    }
    if (!FinalFits(finalTarget)) return TooLong(target);
    return 0;
}

}  // namespace movecheck
