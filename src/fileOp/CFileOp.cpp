#include "fileOp/CFileOp.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "fileOp/TreeWalk.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

// ASCII letters only: enough to see a spelling that differs from the installation's in case.
std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

// The parent of path, "/" and "D:\" kept whole; path itself when it has none.
std::wstring ParentOf(const std::wstring& path) {
    const auto cut = path.rfind(sys::kSep);
    if (cut == std::wstring::npos) return path;
    std::wstring parent = path.substr(0, cut);
    if (parent.empty() || parent.back() == L':') parent += sys::kSep;
    return parent;
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

bool CDirFinder::Open(const std::wstring& pattern, sys::FindLevel level) {
    if (handle_ != nullptr) sys::FindClose(handle_);
    const auto cut = pattern.find_last_of(L"\\/");
    prefix_ = cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1);
    handle_ = sys::FindFirstFileW(pattern, lookAhead_, level);
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

CFileOp::Counters CFileOp::ReadCounters() const {
    return {copier_.CopiedBytes(), copier_.HoleBytes(), copier_.CopiedFiles(),
            deletedFiles_.load(std::memory_order_relaxed), copier_.VerifiedBytes()};
}

void CFileOp::ResetCounters() {
    copier_.ResetCounts();
    deletedFiles_.store(0);
}

// ---- Measuring ---------------------------------------------------------------------------------

void CFileOp::StartMeasure(const std::wstring& root) {
    measureRoot_ = sys::PathUnits(root);
    longestFile_ = longestFolder_ = 0;
}

void CFileOp::Measure(const std::wstring& path, bool isFolder) {
    const size_t units = sys::PathUnits(path);
    const size_t below = units > measureRoot_ ? units - measureRoot_ : 0;
    size_t& longest = isFolder ? longestFolder_ : longestFile_;
    if (below > longest) longest = below;
}

// ---- Counting and sizing -----------------------------------------------------------------------

int32_t CFileOp::CountFiles(std::wstring folder, int32_t& count, bool withBytes) {
    StartMeasure(folder);
    countingBytes_ = 0;
    countingHoleBytes_ = 0;
    const int32_t result =
        CountInner(folder, withBytes ? sys::FindLevel::kFull : sys::FindLevel::kKinds);
    if (result == 0) {
        count = countedFiles;
        countedBytes_ = countingBytes_;
        countedHoleBytes_ = countingHoleBytes_;
    } else {
        HX_LOG.Err(result);  // deliberately once more: the walk has logged it where it was met
    }
    countedFiles = 0;
    return result;
}

int32_t CFileOp::CountInner(const std::wstring& folder, sys::FindLevel level) {
    auto visit = [this, &folder, level](const CDirFinder& finder, bool) {
        EntryKind kind;
        if (const int32_t r = ClassifyEntry(finder, folder, kind); r != 0) return r;
        Measure(finder.CurrentPath(), kind == EntryKind::kFolder);
        if (kind == EntryKind::kFolder) {
            CountInner(finder.CurrentPath(), level);  // logged inside; counting goes on anyway
        } else {
            ++countedFiles;  // a link carried as a link is one entry to copy, like a file
            if (kind == EntryKind::kFile) {
                countingBytes_ += SizeOf(finder.Current());
                countingHoleBytes_ += finder.Current().holeBytes;
            }
        }
        return 0;
    };
    return WalkFolder(folder, cancelFlag, visit, level).code;
}

int32_t CFileOp::SizeTree(std::wstring folder) {
    return SizeInner(folder);
}

int32_t CFileOp::SizeInner(const std::wstring& folder) {
    auto visit = [this, &folder](const CDirFinder& finder, bool) {
        EntryKind kind;
        if (const int32_t r = ClassifyEntry(finder, folder, kind); r != 0) return r;
        Measure(finder.CurrentPath(), kind == EntryKind::kFolder);
        if (kind == EntryKind::kFolder) {
            const int32_t r = SizeInner(finder.CurrentPath());
            if (r != 0) HX_LOG.Err(r);
            return r;
        }
        if (kind == EntryKind::kFile) {
            totalBytes += SizeOf(finder.Current());
            totalHoleBytes_ += finder.Current().holeBytes;
        }
        return 0;
    };
    return WalkFolder(folder, cancelFlag, visit).code;
}

int32_t CFileOp::GetDiskFree(std::wstring path, uint64_t& bytes) {
    uint64_t freeBytes = 0;
    if (!sys::GetDiskFreeSpaceExW(sys::VolumeOf(path), freeBytes)) {
        const int32_t code = FailedCallCode(sys::GetLastError());
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
    longestFile_ = longestFolder_ = 0;
    sourceBytes_.clear();
    sourceHoleBytes_.clear();
    std::vector<Longest> longest;
    for (const std::wstring& source : sources) {
        StartMeasure(source);
        const uint64_t before = totalBytes;
        const uint64_t holesBefore = totalHoleBytes_;
        const int32_t r = SizeTree(source);
        sourceBytes_.push_back(totalBytes - before);
        sourceHoleBytes_.push_back(totalHoleBytes_ - holesBefore);
        const size_t cut = source.find_last_of(sys::kSep);
        longest.push_back({cut == std::wstring::npos ? source : source.substr(cut + 1),
                           longestFile_, longestFolder_});
        if (r != 0) {
            HX_LOG.Err(r);
            HX_LOG.Err(r);  // deliberately twice: once as met, once as this check passes it on
            return kTargetQueryFailed;
        }
    }
    for (const Longest& below : longest) {
        longestFile_ = std::max(longestFile_, below.file);
        longestFolder_ = std::max(longestFolder_, below.folder);
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
        const bool foldCase = sys::NamesIgnoreCase(finalPath);
        if (TargetHoldsSourcePath(foldCase ? Folded(target) : target,
                                  foldCase ? Folded(finalPath) : finalPath)) {
            return kTargetInsideSource;
        }
        // Another spelling of the same place: a link, "..", a bind mount, other letter case.
        bool inside = false;
        if (const int32_t r = LiesInside(target, finalPath, inside); r != 0) {
            HX_LOG.Err(r);
            return kTargetQueryFailed;
        }
        if (inside) return kTargetInsideSource;
    }
    return CheckTargetRoom(target, longest);
}

// The folders a move makes below the target, and every path below them, must fit: each source's
// paths under its own folder ("Software" is shorter than "Downloads"). So must the final path of
// the deepest folder made, or every later move would fail to resolve it.
int32_t CFileOp::CheckTargetRoom(const std::wstring& target, const std::vector<Longest>& sources) {
    std::wstring finalTarget;
    if (const int32_t r = GetFinalPath(target, finalTarget); r != 0) {
        HX_LOG.Err(r);
        return r == kCodeFinalPathTooLong ? kTargetPathTooLong : kTargetQueryFailed;
    }
    const std::wstring game = std::wstring(1, sys::kSep) + L"Oculus game" + sys::kSep;
    bool fits = true;
    for (const Longest& source : sources) {
        const std::wstring made = game + source.folderName;
        const size_t madeUnits = sys::PathUnits(target + made);
        fits = fits && sys::kFinalPathPrefixUnits + (finalTarget + made).size() < kFinalPathRoom &&
               madeUnits + source.file <= sys::kMaxFilePathUnits &&
               madeUnits + source.folder <= sys::kMaxFolderPathUnits;
    }
    if (fits) return kTargetFits;
    HX_LOG.Detail("target paths too long below: ", target);
    return kTargetPathTooLong;
}

int32_t CFileOp::LiesInside(std::wstring path, std::wstring folder, bool& inside) {
    inside = false;
    std::wstring resolved;
    if (const int32_t r = GetFinalPath(path, resolved); r != 0) return r;
    // Every step up from the resolved path, by identity: inside when one of them is the folder
    // or any folder below it (a bind mount of a folder deep inside resolves to a path of its own).
    std::vector<sys::FileIdentity> steps;
    for (std::wstring step = resolved;;) {
        sys::FileIdentity id;
        if (sys::GetFileIdentity(step, id)) steps.push_back(id);
        const std::wstring parent = ParentOf(step);
        if (parent == step) break;
        step = parent;
    }
    if (!sys::FolderHoldsAnyOf(folder, steps, inside)) {
        const int32_t code = FailedCallCode(sys::GetLastError());
        HX_LOG.Err(code);
        return code;
    }
    if (inside) return 0;
    // Some volumes that ignore case give each spelling its own identity (FUSE): compare the
    // resolved spellings without case there.
    std::wstring finalFolder;
    if (sys::NamesIgnoreCase(folder) && GetFinalPath(folder, finalFolder) == 0) {
        inside = SpelledAtOrBelow(Folded(resolved), Folded(finalFolder));
    }
    return 0;
}

// ---- Copy and delete ---------------------------------------------------------------------------

int32_t CFileOp::CopyTree(std::wstring source, std::wstring target) {
    const int32_t r = copier_.CopyTree(source, target);
    if (r != 0) HX_LOG.Err(r);  // passed on: logged again at this level
    return r;
}

int32_t CFileOp::DeleteTree(std::wstring folder, bool keepRoot) {
    const uint32_t attributes = sys::GetFileAttributesW(folder);
    if (attributes != sys::kInvalidFileAttributes && (attributes & sys::kAttrReadOnly) &&
        !(attributes & sys::kAttrReparsePoint) && !sys::MakeDeletable(folder, attributes)) {
        return HX_LOG.FailedCall();
    }
    CCopyPool pool(CCopyEngine::Threads(), cancelFlag);
    pool_ = &pool;
    const int32_t r = DeleteInner(folder, keepRoot);
    // The result is the walker's; the last error goes with it unless it is a thread's failure.
    const sys::ErrorState walkers = sys::SaveLastError();
    if (pool.Finish() != r) sys::RestoreLastError(walkers);
    pool_ = nullptr;
    return r;
}

int32_t CFileOp::DeleteInner(const std::wstring& folder, bool keepRoot) {
    // The files of this folder are deleted by the pool's threads, the folders by the walker, and
    // only once their files are gone. Links and mount points are never entered (below).
    CCopyPool::Group* group = pool_->OpenGroup(nullptr, {});
    auto visit = [this, keepRoot, group](const CDirFinder& finder, bool isFolder) {
        if (const int32_t stopped = pool_->Failure()) {
            HX_LOG.Err(stopped);
            return stopped;
        }
        const std::wstring& path = finder.CurrentPath();
        const sys::FindData& entry = finder.Current();
        if ((entry.attributes & sys::kAttrReadOnly) && !entry.mountPoint &&
            !sys::MakeDeletable(path, entry.attributes)) {
            return HX_LOG.FailedCall();
        }
        int32_t r = 0;
        if (!isFolder) {
            r = pool_->Run(group, [this, path] {
                const int32_t deleted = DeleteOneFile(path);
                if (deleted == 0) {
                    doneFiles.fetch_add(1);
                    deletedFiles_.fetch_add(1, std::memory_order_relaxed);
                }
                return deleted;
            });
        } else if (entry.mountPoint) {
            // What is mounted here belongs to another place: never delete through it.
            HX_LOG.Detail("mount point inside the tree: ", path);
            r = SystemCode(sys::kErrSharingViolation);
        } else if (entry.attributes & sys::kAttrReparsePoint) {
            // A link inside the tree goes as the entry it is; what it points to is not ours.
            r = RemoveOneDir(path);
        } else {
            r = DeleteInner(path, keepRoot);
            if (r == 0 && keepRoot) r = RemoveOneDir(path);
        }
        if (r != 0) HX_LOG.Err(r);
        return r;
    };
    // A file is deleted by its name alone: the listing need not look at it.
    WalkResult walk = WalkFolder(folder, cancelFlag, visit, sys::FindLevel::kKinds);
    pool_->WaitForJobs(group);
    pool_->CloseGroup(group);
    if (walk.code == 0 && pool_->Failure() != 0) {
        walk.code = pool_->Failure();  // a file of the last ones handed over
        HX_LOG.Err(walk.code);
    }
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

int32_t CFileOp::ListNames(std::wstring folder, std::vector<std::wstring>& names) {
    names.clear();
    return WalkFolder(folder, cancelFlag,
                      [&names](const CDirFinder& finder, bool) {
                          names.push_back(finder.Current().name);
                          return 0;
                      })
        .code;
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

// The end of making a link: the call's failure, or a link that is not there although the call
// said it made one (Wine 8 answers success without making anything). 0 when the link is right.
int32_t LinkMade(bool called, const std::wstring& link, const std::wstring& target) {
    int32_t code = 0;
    if (!called) {
        code = FailedCallCode(sys::GetLastError());  // no link means no success
    } else if (!IsLinkTo(link, target)) {
        code = SystemCode(sys::kErrNotAReparsePoint);
    }
    if (code != 0) HX_LOG.Err(code);
    return code;
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
    return LinkMade(sys::CreateSymbolicLinkW(link, target, sys::kSymlinkFlagDirectory), link,
                    target);
}

int32_t CFileOp::RepointDirLink(const std::wstring& link, const std::wstring& target) {
    if (LinkApi().unavailable) return kCodeLinkFacilityMissing;
    return LinkMade(sys::ReplaceDirectoryLinkW(link, target), link, target);
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
