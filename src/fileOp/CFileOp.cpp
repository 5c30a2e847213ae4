#include "fileOp/CFileOp.h"

#include <cstdio>

#include "Vr/ResultCodes.h"
#include "logging/log.h"
#include "platform/paths.h"
#include "platform/sys.h"

namespace {

constexpr uint32_t kFinalPathRoom = 512;  // characters, terminator included

// A query that did not deliver its value has failed, whatever error it left behind.
int32_t FailedQueryCode(uint32_t error) {
    return SystemCode(error == 0 ? sys::kErrInvalidFunction : error);
}

// How a walk of one folder ended. closing is false only where the enumeration itself broke,
// which ends even a delete without its closing step.
struct WalkResult {
    int32_t code;
    bool closing;
};

// The one walk every tree operation shares: one finder for this level, a cancel check before
// every entry, "." and ".." skipped. visit(finder, isFolder) handles an entry and returns 0 to go
// on; any other code ends the walk with it.
template <class Visit>
WalkResult WalkFolder(const std::wstring& folder, const std::atomic<bool>& cancel, Visit&& visit) {
    CDirFinder finder;
    if (!finder.Open(folder + sys::kSep + L'*')) {
        const uint32_t error = sys::GetLastError();
        if (sys::IsBenignError(error))
            return {0, true};  // nothing to list counts as an empty folder
        HX_LOG.Err(SystemCode(error));
        return {SystemCode(error), false};
    }
    for (;;) {
        if (cancel.load(std::memory_order_relaxed)) {
            HX_LOG.Err(kCodeCancelled);
            return {kCodeCancelled, true};
        }
        const bool more = finder.Next();
        if (!more) {
            const uint32_t error = sys::GetLastError();
            if (!sys::IsBenignError(error)) {
                HX_LOG.Err(SystemCode(error));
                return {SystemCode(error), false};
            }
        }
        // The look-ahead means the entry Next just moved to is still due when it returned false.
        const sys::FindData& entry = finder.Current();
        if (finder.IsDirectory()) {
            if (entry.name != L"." && entry.name != L"..") {
                if (const int32_t r = visit(finder, true)) return {r, true};
            }
        } else if (const int32_t r = visit(finder, false)) {
            return {r, true};
        }
        if (!more) return {0, true};
    }
}

void PrintDiagnostic(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

CLinkApi SetUpLinkApi() {
    const sys::LinkFacility found = sys::LoadLinkFacility();
    CLinkApi api;
    api.createLink = found.createLinkFound;
    api.finalPath = found.finalPathFound;
    if (!found.libraryLoaded) PrintDiagnostic("could not load the dynamic library");
    if (!found.createLinkFound) PrintDiagnostic("could not locate the function");
    api.unavailable = !found.libraryLoaded || !found.createLinkFound || !found.finalPathFound;
    return api;
}

CLinkApi g_linkApi = SetUpLinkApi();

}  // namespace

CLinkApi& LinkApi() {
    return g_linkApi;
}

// ---- CDirFinder --------------------------------------------------------------------------------

CDirFinder::~CDirFinder() {
    if (handle_ != nullptr) sys::FindClose(handle_);
}

bool CDirFinder::Open(const std::wstring& pattern) {
    if (handle_ != nullptr) sys::FindClose(handle_);
    const auto cut = pattern.find_last_of(L"\\/");
    prefix_ = cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1);
    handle_ = sys::FindFirstFileW(pattern, lookAhead_);
    return handle_ != nullptr;
}

bool CDirFinder::Next() {
    std::swap(current_, lookAhead_);
    currentPath_.assign(prefix_).append(current_.name);
    return sys::FindNextFileW(handle_, lookAhead_);  // the caller reads the error right after
}

// ---- Cancel and progress -----------------------------------------------------------------------

int32_t CFileOp::Cancel() {
    cancelFlag.store(true);
    return 0;
}

int32_t CFileOp::ResetCancel() {
    cancelFlag.store(false);
    return 0;
}

int32_t CFileOp::TakeDoneCount() {
    return doneFiles.exchange(0);
}

// ---- Counting and sizing -----------------------------------------------------------------------

int32_t CFileOp::CountFiles(std::wstring folder, int32_t& count) {
    const int32_t result = CountInner(folder);
    if (result == 0) {
        count = countedFiles;
    } else {
        HX_LOG.Err(result);  // deliberately once more: the walk has logged it where it was met
    }
    countedFiles = 0;
    return result;
}

int32_t CFileOp::CountInner(const std::wstring& folder) {
    auto visit = [this](const CDirFinder& finder, bool isFolder) {
        if (isFolder) {
            CountInner(finder.CurrentPath());  // logged inside; counting goes on regardless
        } else {
            ++countedFiles;
        }
        return 0;
    };
    return WalkFolder(folder, cancelFlag, visit).code;
}

int32_t CFileOp::SizeTree(std::wstring folder) {
    auto visit = [this](const CDirFinder& finder, bool isFolder) {
        if (isFolder) {
            const int32_t r = SizeTree(finder.CurrentPath());
            if (r != 0) HX_LOG.Err(r);
            return r;
        }
        const sys::FindData& entry = finder.Current();
        totalBytes += (static_cast<uint64_t>(entry.sizeHigh) << 32) + entry.sizeLow;
        return 0;
    };
    return WalkFolder(folder, cancelFlag, visit).code;
}

int32_t CFileOp::GetDiskFree(std::wstring path, uint64_t& bytes) {
    uint64_t freeBytes = 0;
    if (!sys::GetDiskFreeSpaceExW(sys::VolumeOf(path), freeBytes)) {
        const int32_t code = FailedQueryCode(sys::GetLastError());
        HX_LOG.Err(code);
        return code;
    }
    bytes = freeBytes;
    return 0;
}

bool TargetHoldsSourcePath(const std::wstring& target, const std::wstring& sourceFinalPath) {
    return target.find(sourceFinalPath) != std::wstring::npos;
}

int32_t CFileOp::CheckTarget(std::list<std::wstring> sources, std::wstring target) {
    for (const std::wstring& source : sources) {
        if (const int32_t r = SizeTree(source); r != 0) {
            HX_LOG.Err(r);
            HX_LOG.Err(r);  // deliberately twice: once as met, once as this check passes it on
            return kTargetQueryFailed;
        }
    }
    uint64_t freeBytes = 0;
    if (const int32_t r = GetDiskFree(target, freeBytes); r != 0) {
        HX_LOG.Err(r);
        return kTargetQueryFailed;
    }
    // A move copies everything before it deletes anything, even on the same drive.
    if (freeBytes <= totalBytes) return kTargetTooSmall;
    for (const std::wstring& source : sources) {
        std::wstring finalPath;
        if (const int32_t r = GetFinalPath(source, finalPath); r != 0) {
            HX_LOG.Err(r);
            HX_LOG.Err(r);  // deliberately twice, as above
            return kTargetQueryFailed;
        }
        if (TargetHoldsSourcePath(target, finalPath)) return kTargetInsideSource;
    }
    return kTargetFits;
}

// ---- Copy and delete ---------------------------------------------------------------------------

int32_t CFileOp::CopyTree(std::wstring source, std::wstring target) {
    target += sys::kSep;
    auto visit = [this, &target](const CDirFinder& finder, bool isFolder) {
        const std::wstring to = target + finder.Current().name;
        if (isFolder) {
            if (!sys::CreateDirectoryW(to)) {
                const uint32_t error = sys::GetLastError();
                if (!sys::IsBenignError(error)) {  // an existing folder is simply reused
                    HX_LOG.Err(SystemCode(error));
                    return SystemCode(error);
                }
            }
            const int32_t r = CopyTree(finder.CurrentPath(), to);
            if (r != 0) HX_LOG.Err(r);
            return r;
        }
        const int32_t r = CopyOneFile(finder.CurrentPath(), to);
        if (r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        doneFiles.fetch_add(1);
        return 0;
    };
    return WalkFolder(source, cancelFlag, visit).code;
}

int32_t CFileOp::DeleteTree(std::wstring folder, bool keepRoot) {
    auto visit = [this, keepRoot](const CDirFinder& finder, bool isFolder) {
        const std::wstring& path = finder.CurrentPath();
        int32_t r = 0;
        if (!isFolder) {
            r = DeleteOneFile(path);
            if (r == 0) doneFiles.fetch_add(1);
        } else if (finder.Current().attributes & sys::kAttrReparsePoint) {
            // A link inside the tree goes as the entry it is; what it points to is not ours.
            r = RemoveOneDir(path);
        } else {
            r = DeleteTree(path, keepRoot);
            if (r == 0 && keepRoot) r = RemoveOneDir(path);
        }
        if (r != 0) HX_LOG.Err(r);
        return r;
    };
    const WalkResult walk = WalkFolder(folder, cancelFlag, visit);
    if (!walk.closing) return walk.code;
    if (cancelFlag.load()) {
        HX_LOG.Err(kCodeCancelled);
        return kCodeCancelled;  // the root stays
    }
    if (!keepRoot) {
        // After a failure inside, the folder is not empty and this reports why it stays.
        const int32_t r = RemoveOneDir(folder);
        if (r != 0) HX_LOG.Err(r);
        return r;
    }
    return walk.code;
}

// ---- Single entries ----------------------------------------------------------------------------

namespace {

// The result of one system call that reports success or failure.
int32_t Checked(bool succeeded) {
    if (succeeded) return 0;
    const uint32_t error = sys::GetLastError();
    if (sys::IsBenignError(error)) return 0;
    HX_LOG.Err(SystemCode(error));
    return SystemCode(error);
}

}  // namespace

int32_t CFileOp::CopyOneFile(std::wstring source, std::wstring target) {
    return Checked(sys::CopyFileW(source, target, false));
}

int32_t CFileOp::DeleteOneFile(std::wstring path) {
    return Checked(sys::DeleteFileW(path));
}

int32_t CFileOp::RemoveOneDir(std::wstring path) {
    return Checked(sys::RemoveDirectoryW(path));
}

int32_t CFileOp::MoveOne(std::wstring from, std::wstring to) {
    if (sys::MoveFileW(from, to)) return 0;
    const uint32_t error = sys::GetLastError();
    if (error == sys::kErrAlreadyExists) return SystemCode(error);  // the caller tries another name
    if (error == sys::kErrNoMoreFiles) return 0;
    HX_LOG.Err(SystemCode(error));
    return SystemCode(error);
}

int32_t CFileOp::RenameUnique(std::wstring from, std::wstring wished, std::wstring& used) {
    std::wstring name = wished;
    int32_t r = MoveOne(from, name);
    while (r == SystemCode(sys::kErrAlreadyExists)) {
        name += L"(1)";  // X, X(1), X(1)(1): the suffix is appended again, never counted up
        r = MoveOne(from, name);
    }
    if (r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    used = name;
    return 0;
}

// ---- Links and final paths ---------------------------------------------------------------------

namespace {

// The final path's text as the system gives it. 0, or the code of what failed; the callers
// decide whether that is worth a record.
int32_t FinalPathText(const std::wstring& path, std::wstring& text, uint32_t& error) {
    const sys::FileHandle file = sys::OpenForQuery(path);
    if (file == nullptr) {
        error = sys::GetLastError();
        return FailedQueryCode(error);
    }
    wchar_t buffer[kFinalPathRoom];
    const uint32_t length = sys::GetFinalPathNameByHandleW(file, buffer, kFinalPathRoom);
    error = sys::GetLastError();
    sys::CloseFile(file);
    if (length == 0) return FailedQueryCode(error);  // the query failed: the buffer holds nothing
    if (length >= kFinalPathRoom) return kCodeFinalPathTooLong;
    text.assign(buffer, length);
    return 0;
}

bool ResolveQuietly(const std::wstring& path, std::wstring& resolved) {
    uint32_t error = 0;
    return FinalPathText(path, resolved, error) == 0;
}

// True when link is a link that leads where target leads.
bool IsLinkTo(const std::wstring& link, const std::wstring& target) {
    if (!sys::IsLinkOrReparsePoint(link)) return false;
    std::wstring behindTarget;
    if (!ResolveQuietly(target, behindTarget)) return true;  // a link to nothing (yet) is a link
    std::wstring behindLink;
    return ResolveQuietly(link, behindLink) && behindLink == behindTarget;
}

}  // namespace

int32_t CFileOp::MakeDirLink(std::wstring link, std::wstring target) {
    if (LinkApi().unavailable) return kCodeLinkFacilityMissing;
    // An entry at the link path leaves no room for the link: that is a failure, not a success.
    if (sys::GetFileAttributesW(link) != sys::kInvalidFileAttributes) {
        const int32_t code = SystemCode(sys::kErrAlreadyExists);
        HX_LOG.Err(code);
        return code;
    }
    if (!sys::CreateSymbolicLinkW(link, target, sys::kSymlinkFlagDirectory)) {
        const int32_t code = FailedQueryCode(sys::GetLastError());  // no link means no success
        HX_LOG.Err(code);
        return code;
    }
    // Some systems (Wine 8) answer success without making anything.
    if (!IsLinkTo(link, target)) {
        const int32_t code = SystemCode(sys::kErrNotAReparsePoint);
        HX_LOG.Err(code);
        return code;
    }
    return 0;
}

int32_t CFileOp::GetFinalPath(std::wstring path, std::wstring& finalPath) {
    if (LinkApi().unavailable) return kCodeLinkFacilityMissing;
    std::wstring text;
    uint32_t error = 0;
    if (const int32_t code = FinalPathText(path, text, error); code != 0) {
        HX_LOG.Err(code);
        return code;
    }
    if (!sys::PathOfFinalPathText(text, finalPath)) {
        HX_LOG.Err(SystemCode(error));
        return SystemCode(error);
    }
    return 0;
}
