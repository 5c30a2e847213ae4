#include "fileOp/CFileOp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/volume.h"

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
WalkResult WalkFolder(const std::wstring& folder, const std::atomic<bool>& cancel, Visit&& visit,
                      sys::FindLevel level = sys::FindLevel::kFull) {
    CDirFinder finder;
    if (!finder.Open(folder + sys::kSep + L'*', level)) {
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

int32_t FinalPathText(const std::wstring& path, std::wstring& text, uint32_t& error,
                      uint32_t room = kFinalPathRoom);
constexpr uint32_t kWalkPathRoom = 32768;  // the longest path any system call takes

// True when path is root or lies below it, spelled as the system compares names.
bool SpelledAtOrBelow(const std::wstring& path, const std::wstring& root) {
    if (root.empty() || path.size() < root.size()) return false;
    if (!sys::SamePathSpelling(path.substr(0, root.size()), root)) return false;
    return path.size() == root.size() || path[root.size()] == sys::kSep || root.back() == sys::kSep;
}

// ASCII letters only: enough to see a spelling that differs from the installation's in case.
std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

uint64_t SizeOf(const sys::FindData& entry) {
    return (static_cast<uint64_t>(entry.sizeHigh) << 32) + entry.sizeLow;
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
    return {
        copiedBytes_.load(std::memory_order_relaxed), holeBytes_.load(std::memory_order_relaxed),
        copiedFiles_.load(std::memory_order_relaxed), deletedFiles_.load(std::memory_order_relaxed),
        verifiedBytes_.load(std::memory_order_relaxed)};
}

void CFileOp::ResetCounters() {
    verifiedBytes_.store(0);
    copiedBytes_.store(0);
    holeBytes_.store(0);
    copiedFiles_.store(0);
    deletedFiles_.store(0);
}

// ---- Classifying and measuring -----------------------------------------------------------------

int32_t CFileOp::Classify(const CDirFinder& finder, const std::wstring& folder, EntryKind& kind) {
    const sys::FindData& entry = finder.Current();
    const bool isFolder = (entry.attributes & sys::kAttrDirectory) != 0;
    kind = isFolder ? EntryKind::kFolder : EntryKind::kFile;
    if (!(entry.attributes & sys::kAttrReparsePoint)) return 0;
    if (sys::LinkLeadsNowhere(finder.CurrentPath())) {
        kind = EntryKind::kBareLink;
        return 0;
    }
    if (!isFolder || entry.mountPoint) return 0;
    // A folder link that leads back to the folder being walked, or above it, would be walked
    // for ever.
    std::wstring behindLink, behindFolder;
    uint32_t error = 0;
    if (const int32_t r = FinalPathText(finder.CurrentPath(), behindLink, error, kWalkPathRoom);
        r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (const int32_t r = FinalPathText(folder, behindFolder, error, kWalkPathRoom); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    if (SpelledAtOrBelow(behindFolder, behindLink)) kind = EntryKind::kBareLink;
    return 0;
}

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
        if (const int32_t r = Classify(finder, folder, kind); r != 0) return r;
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
        if (const int32_t r = Classify(finder, folder, kind); r != 0) return r;
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
        const int32_t code = FailedQueryCode(sys::GetLastError());
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

namespace {

// A name that the copy finds taken inside the tree it is making can only be a collision, such
// as two names that differ only in case on a volume that ignores case.
int32_t NameTaken(const CLogSite& site, const std::wstring& path) {
    site.Detail("name taken in the copy: ", path);
    site.Err(kCodeNameTaken);
    return kCodeNameTaken;
}

bool IsTakenError(uint32_t error) {
    return error == sys::kErrAlreadyExists || error == sys::kErrFileExists;
}

int32_t FailedCall(const CLogSite& site) {
    const int32_t code = FailedQueryCode(sys::GetLastError());
    site.Err(code);
    return code;
}

}  // namespace

namespace {

// Copy threads found fastest on a 2-core machine copying 100,000 small files (scripts/bench
// --shape small, tmpfs and ext4); the core count caps it.
constexpr unsigned kMeasuredCopyThreads = 2;
std::atomic<unsigned> g_copyThreads{0};

}  // namespace

unsigned CFileOp::CopyThreads() {
    if (const unsigned chosen = g_copyThreads.load()) return chosen;
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 1u);
    return std::min(kMeasuredCopyThreads, cores);
}

void CFileOp::UseCopyThreads(unsigned threads) {
    g_copyThreads.store(threads);
}

namespace {

// Runs check on every file of tree, on pool's threads: the first failure, or a cancel, ends it
// and is the result, once every thread has ended.
template <class Check>
int32_t EachOnPool(CCopyPool& pool, const std::atomic<bool>& cancel, const ManifestTree& tree,
                   Check& check) {
    CCopyPool::Group* group = pool.OpenGroup(nullptr, [] { return 0; });
    int32_t r = 0;
    for (const ManifestFile& file : tree.files) {
        if (cancel.load(std::memory_order_relaxed)) {
            r = kCodeCancelled;
            break;
        }
        if ((r = pool.Run(group, [&check, &file] { return check(file); })) != 0) break;
    }
    pool.CloseGroup(group);
    if (r != 0) pool.Fail(r);
    if (const int32_t first = pool.Finish(); first != 0) r = first;
    return r;
}

}  // namespace

int32_t CFileOp::CopyTree(std::wstring source, std::wstring target) {
    hardLinks_.clear();
    hardLinkFiles_.clear();
    copyRoot_ = target;
    CCopyPool pool(CopyThreads(), cancelFlag);
    pool_ = &pool;
    int32_t r = CopyInner(source, target, nullptr);
    if (r != 0) pool.Fail(r);
    // Every thread has ended before the caller may undo anything.
    if (const int32_t first = pool.Finish(); first != 0) r = first;
    pool_ = nullptr;
    hardLinks_.clear();
    kept_.clear();
    continuing_ = false;
    return r;
}

void CFileOp::ContinueInto(const ManifestTree* kept) {
    kept_.clear();
    continuing_ = kept != nullptr;
    if (!kept) return;
    for (const ManifestFile& file : kept->files)
        kept_.emplace(file.path, file);
}

// What a stopped copy left at to, out of the way of a new copy. A name that is not there is fine.
int32_t CFileOp::ClearForCopy(const std::wstring& to) {
    if (!continuing_) return 0;
    const uint32_t attributes = sys::GetFileAttributesW(to);
    if (attributes == sys::kInvalidFileAttributes) {
        const uint32_t error = sys::GetLastError();
        return error == sys::kErrFileNotFound || error == sys::kErrPathNotFound
                   ? 0
                   : FailedCall(HX_LOG);
    }
    // A folder where the original has a file holds what no copy made: the recovery refuses it.
    if ((attributes & sys::kAttrDirectory) && !(attributes & sys::kAttrReparsePoint))
        return NameTaken(HX_LOG, to);
    const bool removed = (attributes & sys::kAttrReparsePoint) && (attributes & sys::kAttrDirectory)
                             ? sys::RemoveDirectoryW(to)
                             : sys::DeleteFileW(to);
    return removed ? 0 : FailedCall(HX_LOG);
}

int32_t CFileOp::KeptCopies(const std::wstring& original, const std::wstring& copy,
                            const ManifestTree& logged, ManifestTree& kept) {
    CCopyPool pool(CopyThreads(), cancelFlag);
    std::mutex keptLock;
    const sys::ReadProgress progress = [this, &pool](uint64_t newBytes) {
        verifiedBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        return !cancelFlag.load(std::memory_order_relaxed) && pool.Failure() == 0;
    };
    const auto check = [&](const ManifestFile& file) -> int32_t {
        sys::FindData now;
        const std::wstring from = original + sys::kSep + file.path;
        const std::wstring to = copy + sys::kSep + file.path;
        // Changed since it was copied, or not a plain file any more: copied again.
        if (!sys::GetFileInfoFollowed(from, now) || SizeOf(now) != file.size ||
            now.writeTime != file.writeTime || sys::IsLinkOrReparsePoint(to) ||
            !sys::GetFileInfoFollowed(to, now) || SizeOf(now) != file.size ||
            (now.attributes & sys::kAttrDirectory)) {
            return 0;
        }
        sys::ContentHash read;
        if (!sys::HashFromMedia(to, read, progress)) {
            const uint32_t error = sys::GetLastError();
            if (error == sys::kErrRequestAborted && cancelFlag.load()) {
                HX_LOG.Err(kCodeCancelled);
                return kCodeCancelled;
            }
            if (error == sys::kErrRequestAborted) return pool.Failure();
            return FailedCall(HX_LOG);
        }
        if (read != file.hash) return 0;
        copiedBytes_.fetch_add(file.size, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(keptLock);
        kept.files.push_back(file);
        return 0;
    };
    const int32_t r = EachOnPool(pool, cancelFlag, logged, check);
    return r;
}

int32_t CFileOp::CopyInner(const std::wstring& source, const std::wstring& target,
                           CCopyPool::Group* parent) {
    // A folder's metadata comes last, so that a folder its owner may not write is filled first.
    CCopyPool::Group* group = pool_->OpenGroup(parent, [source, target] {
        return sys::CopyFolderMetadata(source, target) ? 0 : FailedCall(HX_LOG);
    });
    const std::wstring prefix = target + sys::kSep;
    auto visit = [this, &source, &prefix, group](const CDirFinder& finder, bool) {
        if (const int32_t stopped = pool_->Failure()) return stopped;
        EntryKind kind;
        if (const int32_t r = Classify(finder, source, kind); r != 0) return r;
        return CopyEntry(finder, kind, prefix + finder.Current().name, group);
    };
    int32_t r = WalkFolder(source, cancelFlag, visit).code;
    pool_->CloseGroup(group);
    if (r == 0) r = pool_->Failure();  // this folder's metadata, or a file copied meanwhile
    return r;
}

int32_t CFileOp::CopyEntry(const CDirFinder& finder, EntryKind kind, const std::wstring& to,
                           CCopyPool::Group* group) {
    const std::wstring& from = finder.CurrentPath();
    const sys::FindData& entry = finder.Current();
    if (kind == EntryKind::kFolder) {
        // Made new or not at all: an existing folder here would merge two trees into one.
        if (!sys::CreateDirectoryW(to)) {
            const uint32_t error = sys::GetLastError();
            // Continuing, a folder of the stopped copy is filled.
            const bool filled = continuing_ && error == sys::kErrAlreadyExists &&
                                !sys::IsLinkOrReparsePoint(to) &&
                                (sys::GetFileAttributesW(to) & sys::kAttrDirectory);
            if (error == sys::kErrAlreadyExists && !filled) return NameTaken(HX_LOG, to);
            if (!filled && !sys::IsBenignError(error)) return FailedCall(HX_LOG);
        }
        if (const int32_t r = CopyInner(from, to, group); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        return 0;
    }
    const auto key = std::make_pair(entry.volumeId, entry.fileId);
    const bool laterName = entry.links > 1 && hardLinks_.count(key) != 0;
    const auto kept = kind == EntryKind::kBareLink
                          ? kept_.end()
                          : kept_.find(to.substr(std::min(to.size(), copyRoot_.size() + 1)));
    if (kept != kept_.end() && !laterName) {
        // Its bytes were counted when it was found whole; listed as it was copied then. The
        // later names of a file with hard links are linked to it.
        copiedFiles_.fetch_add(1, std::memory_order_relaxed);
        doneFiles.fetch_add(1);
        if (manifest_) List(to, kept->second, false);
        if (entry.links > 1) {
            hardLinks_.emplace(key, to);
            if (manifest_) hardLinkFiles_.emplace(key, kept->second);
        }
        return 0;
    }
    if (const int32_t r = ClearForCopy(to); r != 0) return r;
    if (kind == EntryKind::kBareLink) {
        if (!sys::CopySymbolicLinkW(from, to)) {
            if (IsTakenError(sys::GetLastError())) return NameTaken(HX_LOG, to);
            return FailedCall(HX_LOG);
        }
        FileCopied(0);
        return 0;
    }
    if (entry.links <= 1) {
        return pool_->Run(group, [this, from, to, size = SizeOf(entry)] {
            return CopyFileContent(from, to, size);
        });
    }
    // The first name of a file with hard links is copied here, not by the pool, so that the
    // later names can link to it at once.
    if (const auto it = hardLinks_.find(key); it != hardLinks_.end()) {
        if (sys::CreateHardLinkW(to, it->second)) {
            // Its bytes were counted like any file's (a kept name's when it was found whole).
            FileCopied(kept != kept_.end() ? 0 : SizeOf(entry));
            if (manifest_) List(to, hardLinkFiles_[key]);
            return 0;
        }
        if (IsTakenError(sys::GetLastError())) return NameTaken(HX_LOG, to);
        // A volume without hard links still gets the content.
    }
    ManifestFile listed;
    if (const int32_t r = CopyFileContent(from, to, SizeOf(entry), &listed); r != 0) return r;
    hardLinks_.emplace(key, to);
    if (manifest_) hardLinkFiles_.emplace(key, listed);
    return 0;
}

// The one place where a file's content is copied: its bytes are counted as they go, and a
// cancel, or a failure on another thread, is heard between the steps of a large file (the
// partly written copy goes).
int32_t CFileOp::CopyFileContent(const std::wstring& from, const std::wstring& to, uint64_t size,
                                 ManifestFile* listed) {
    uint64_t counted = 0;
    const sys::CopyProgress progress = [this, &counted](uint64_t newBytes, bool hole) {
        counted += newBytes;
        copiedBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        if (hole) holeBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        return !cancelFlag.load(std::memory_order_relaxed) && pool_->Failure() == 0;
    };
    sys::CopiedContent copied;
    if (!sys::CopyFileW(from, to, true, progress, manifest_ ? &copied : nullptr)) {
        const uint32_t error = sys::GetLastError();
        if (error == sys::kErrRequestAborted && cancelFlag.load()) {
            HX_LOG.Err(kCodeCancelled);
            return kCodeCancelled;
        }
        // Stopped for another thread's failure, which is the copy's result and already logged.
        if (error == sys::kErrRequestAborted && pool_->Failure() != 0) return pool_->Failure();
        if (IsTakenError(error)) return NameTaken(HX_LOG, to);
        return FailedCall(HX_LOG);
    }
    FileCopied(size > counted ? size - counted : 0);
    if (manifest_) {
        const ManifestFile file{{}, copied.size, copied.writeTime, copied.hash};
        if (listed) *listed = file;
        List(to, file);
    }
    return 0;
}

// Lists a copied file by its path below the copy's folder.
void CFileOp::List(const std::wstring& to, ManifestFile file, bool toLog) {
    file.path = to.substr(std::min(to.size(), copyRoot_.size() + 1));
    std::lock_guard<std::mutex> lock(manifestLock_);
    if (log_ && toLog) log_->Add(file);
    manifest_->files.push_back(std::move(file));
}

// Files are read back on the copy's threads, as they were copied: a small file's time is the
// drive's latency, which several reads in flight share.
int32_t CFileOp::VerifyFromMedia(const std::wstring& copy, const ManifestTree& tree,
                                 std::wstring& difference) {
    CCopyPool pool(CopyThreads(), cancelFlag);
    std::mutex found;  // the first file found amiss, by any thread
    const sys::ReadProgress progress = [this, &pool](uint64_t newBytes) {
        verifiedBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        return !cancelFlag.load(std::memory_order_relaxed) && pool.Failure() == 0;
    };
    const auto check = [&](const ManifestFile& file) -> int32_t {
        const std::wstring path = copy + sys::kSep + file.path;
        sys::ContentHash read;
        if (!sys::HashFromMedia(path, read, progress)) {
            const uint32_t error = sys::GetLastError();
            if (error == sys::kErrRequestAborted && cancelFlag.load()) {
                HX_LOG.Err(kCodeCancelled);
                return kCodeCancelled;
            }
            if (error == sys::kErrRequestAborted) return pool.Failure();
            // A file the drive no longer has is one it did not keep.
            if (error != sys::kErrFileNotFound && error != sys::kErrPathNotFound)
                return FailedCall(HX_LOG);
            read = {};
        }
        if (read == file.hash) return 0;
        std::lock_guard<std::mutex> lock(found);
        if (difference.empty()) difference = path;
        HX_LOG.Detail("the target drive gave back other data than was written: ", path);
        HX_LOG.Err(kCodeCopyCorrupt);
        return kCodeCopyCorrupt;
    };
    const int32_t r = EachOnPool(pool, cancelFlag, tree, check);
    if (r == kCodeCopyCorrupt) sys::SetLastError(0);  // other bytes, not a failed call
    return r;
}

void CFileOp::FileCopied(uint64_t bytesNotYetCounted) {
    if (bytesNotYetCounted != 0) {
        copiedBytes_.fetch_add(bytesNotYetCounted, std::memory_order_relaxed);
    }
    copiedFiles_.fetch_add(1, std::memory_order_relaxed);
    doneFiles.fetch_add(1);
}

int32_t CFileOp::DeleteTree(std::wstring folder, bool keepRoot) {
    const uint32_t attributes = sys::GetFileAttributesW(folder);
    if (attributes != sys::kInvalidFileAttributes && (attributes & sys::kAttrReadOnly) &&
        !(attributes & sys::kAttrReparsePoint) && !sys::MakeDeletable(folder, attributes)) {
        return FailedCall(HX_LOG);
    }
    CCopyPool pool(CopyThreads(), cancelFlag);
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
            return FailedCall(HX_LOG);
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

// ---- Verification ------------------------------------------------------------------------------

int32_t CFileOp::VerifyCopy(std::wstring original, std::wstring copy, std::wstring& difference) {
    return VerifyTree(original, copy, difference, false);
}

int32_t CFileOp::VerifyHeldIn(std::wstring original, std::wstring copy, std::wstring& difference) {
    return VerifyTree(original, copy, difference, true);
}

// Times are judged as the copy's volume keeps them, by one rule (sys::SameStoredTime), so that a
// move's check and a later recovery's, after the volume was mounted again, judge alike.
int32_t CFileOp::VerifyTree(const std::wstring& original, const std::wstring& copy,
                            std::wstring& difference, bool copyMayHoldMore) {
    if (!sys::GetCopyKeeps(copy, keeps_)) return FailedCall(HX_LOG);
    if (const int32_t r = VerifyInner(original, copy, difference, copyMayHoldMore); r != 0) {
        return r;
    }
    return copyMayHoldMore ? 0 : CompareFolder(original, copy, difference);
}

// A folder's own metadata, as CopyFolderMetadata gives it, as far as the copy's volume keeps it.
int32_t CFileOp::CompareFolder(const std::wstring& original, const std::wstring& copy,
                               std::wstring& difference) {
    sys::FolderMetadata here, there;
    if (!sys::GetFolderMetadata(original, here) || !sys::GetFolderMetadata(copy, there)) {
        return FailedCall(HX_LOG);
    }
    bool same = sys::SameStoredTime(here.writeTime, there.writeTime, keeps_);
    if (keeps_.metadata) same = same && here.mode == there.mode && here.xattrs == there.xattrs;
    if (keeps_.owners) same = same && here.owner == there.owner && here.group == there.group;
    if (same) return 0;
    difference = original;
    return kCodeCopyDiffers;
}

int32_t CFileOp::VerifyInner(const std::wstring& original, const std::wstring& copy,
                             std::wstring& difference, bool copyMayHoldMore) {
    std::map<std::wstring, sys::FindData> copied;
    const WalkResult listed = WalkFolder(copy, cancelFlag, [&copied](const CDirFinder& f, bool) {
        copied.emplace(f.Current().name, f.Current());
        return 0;
    });
    if (listed.code != 0) return listed.code;

    auto differs = [&difference](const std::wstring& path) {
        difference = path;
        return kCodeCopyDiffers;
    };
    auto visit = [&](const CDirFinder& finder, bool) {
        const std::wstring& path = finder.CurrentPath();
        EntryKind kind;
        if (const int32_t r = Classify(finder, original, kind); r != 0) return r;
        const auto it = copied.find(finder.Current().name);
        if (it == copied.end()) return differs(path);
        const sys::FindData there = it->second;
        copied.erase(it);
        const bool folderThere = (there.attributes & sys::kAttrDirectory) != 0;
        const bool linkThere = (there.attributes & sys::kAttrReparsePoint) != 0;
        if (kind == EntryKind::kBareLink) return linkThere ? 0 : differs(path);
        if (folderThere != (kind == EntryKind::kFolder) || linkThere) return differs(path);
        if (kind == EntryKind::kFolder) {
            // The folder's own metadata after its entries: a missing or extra entry, which also
            // changes the folder's time, is the difference to name. A copy that may hold more
            // may have had entries made in it, which set its times.
            const std::wstring copied = copy + sys::kSep + finder.Current().name;
            const int32_t r = VerifyInner(path, copied, difference, copyMayHoldMore);
            return r != 0 || copyMayHoldMore ? r : CompareFolder(path, copied, difference);
        }
        sys::FindData here = finder.Current();
        if ((here.attributes & sys::kAttrReparsePoint) && !sys::GetFileInfoFollowed(path, here)) {
            return FailedCall(HX_LOG);
        }
        const bool same = SizeOf(here) == SizeOf(there) &&
                          sys::SameStoredTime(here.writeTime, there.writeTime, keeps_);
        return same ? 0 : differs(path);
    };
    const WalkResult walked = WalkFolder(original, cancelFlag, visit);
    if (walked.code != 0) return walked.code;
    if (!copied.empty() && !copyMayHoldMore)
        return differs(copy + sys::kSep + copied.begin()->first);
    return 0;
}

// ---- Comparing by content ----------------------------------------------------------------------

namespace {

constexpr size_t kCompareChunk = 256 * 1024;

// Fills buffer from file as far as the file goes; got < size only at its end.
bool ReadFull(sys::ReadHandle file, char* buffer, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        size_t n = 0;
        if (!sys::ReadNext(file, buffer + got, size - got, n)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

// How the bytes of a copy stand against its original's: each byte the same, or zero where the
// original has data (lacking: a write the cut lost), or other (own, and lacking too).
int32_t CompareBytes(const std::wstring& original, const std::wstring& copy,
                     const std::atomic<bool>& cancel, bool& lacking, bool& own) {
    lacking = own = false;
    sys::ReadHandle a = sys::OpenForReading(original);
    if (a == nullptr) return FailedQueryCode(sys::GetLastError());
    sys::ReadHandle b = sys::OpenForReading(copy);
    if (b == nullptr) {
        const int32_t r = FailedQueryCode(sys::GetLastError());
        sys::CloseReading(a);
        return r;
    }
    std::vector<char> here(kCompareChunk), there(kCompareChunk);
    int32_t code = 0;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed)) {
            code = kCodeCancelled;
            break;
        }
        size_t na = 0, nb = 0;
        if (!ReadFull(a, here.data(), here.size(), na) ||
            !ReadFull(b, there.data(), there.size(), nb)) {
            code = FailedQueryCode(sys::GetLastError());
            break;
        }
        const size_t both = std::min(na, nb);
        if (std::memcmp(here.data(), there.data(), both) != 0) {
            for (size_t i = 0; i < both && !own; ++i) {
                if (here[i] == there[i]) continue;
                lacking = true;
                own = there[i] != 0;
            }
        }
        if (nb > na) own = true;
        if (na > nb) lacking = true;
        if (own || na < here.size() || nb < there.size()) break;
    }
    sys::CloseReading(a);
    sys::CloseReading(b);
    return code;
}

}  // namespace

int32_t CFileOp::CompareContent(std::wstring original, std::wstring copy,
                                ContentDifference& found) {
    found = {};
    return CompareContentInner(original, copy, found);
}

int32_t CFileOp::CompareContentInner(const std::wstring& original, const std::wstring& copy,
                                     ContentDifference& found) {
    std::map<std::wstring, sys::FindData> copied;
    const WalkResult listed = WalkFolder(copy, cancelFlag, [&copied](const CDirFinder& f, bool) {
        copied.emplace(f.Current().name, f.Current());
        return 0;
    });
    if (listed.code != 0) return listed.code;
    const auto lacks = [&found](const std::wstring& path) {
        if (found.lacking.empty()) found.lacking = path;
    };
    const auto owns = [&found](const std::wstring& path) {
        if (found.own.empty()) found.own = path;
    };
    auto visit = [&](const CDirFinder& finder, bool) {
        const std::wstring& path = finder.CurrentPath();
        EntryKind kind;
        if (const int32_t r = Classify(finder, original, kind); r != 0) return r;
        const auto it = copied.find(finder.Current().name);
        if (it == copied.end()) {
            lacks(path);
            return 0;
        }
        const std::wstring there = copy + sys::kSep + it->first;
        const bool folderThere = (it->second.attributes & sys::kAttrDirectory) != 0;
        const bool linkThere = (it->second.attributes & sys::kAttrReparsePoint) != 0;
        copied.erase(it);
        if (kind == EntryKind::kBareLink) {
            if (!linkThere) {
                lacks(path);
                owns(there);
                if (found.extra.empty()) found.extra = there;
            }
            return 0;
        }
        if (folderThere != (kind == EntryKind::kFolder) || linkThere) {
            lacks(path);
            owns(there);
            if (found.extra.empty()) found.extra = there;
            return 0;
        }
        if (kind == EntryKind::kFolder) return CompareContentInner(path, there, found);
        bool lacking = false, own = false;
        if (const int32_t r = CompareBytes(path, there, cancelFlag, lacking, own); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        if (lacking) lacks(path);
        if (own) owns(there);
        return 0;
    };
    const WalkResult walked = WalkFolder(original, cancelFlag, visit);
    if (walked.code != 0) return walked.code;
    if (!copied.empty()) {
        owns(copy + sys::kSep + copied.begin()->first);
        if (found.extra.empty()) found.extra = copy + sys::kSep + copied.begin()->first;
    }
    return 0;
}

int32_t CFileOp::FindEntryOfItsOwn(const std::wstring& original, const std::wstring& copy,
                                   std::wstring& extra) {
    auto visit = [&](const CDirFinder& finder, bool isFolder) -> int32_t {
        const std::wstring there = original + sys::kSep + finder.Current().name;
        const bool copyIsFolder =
            isFolder && !(finder.Current().attributes & sys::kAttrReparsePoint);
        // The original as the copy took it: a link that leads somewhere as what it leads to.
        sys::FindData followed;
        const bool exists = sys::GetFileAttributesW(there) != sys::kInvalidFileAttributes;
        const bool originalIsFolder = exists && sys::GetFileInfoFollowed(there, followed) &&
                                      (followed.attributes & sys::kAttrDirectory);
        if (!exists || copyIsFolder != originalIsFolder) {
            if (extra.empty()) extra = finder.CurrentPath();
            return 0;
        }
        return copyIsFolder ? FindEntryOfItsOwn(there, finder.CurrentPath(), extra) : 0;
    };
    return WalkFolder(copy, cancelFlag, visit, sys::FindLevel::kKinds).code;
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
int32_t FinalPathText(const std::wstring& path, std::wstring& text, uint32_t& error,
                      uint32_t room) {
    const sys::FileHandle file = sys::OpenForQuery(path);
    if (file == nullptr) {
        error = sys::GetLastError();
        return FailedQueryCode(error);
    }
    std::vector<wchar_t> buffer(room);
    const uint32_t length = sys::GetFinalPathNameByHandleW(file, buffer.data(), room);
    error = sys::GetLastError();
    sys::CloseFile(file);
    if (length == 0) return FailedQueryCode(error);  // the query failed: the buffer holds nothing
    if (length >= room) return kCodeFinalPathTooLong;
    text.assign(buffer.data(), length);
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

// The end of making a link: the call's failure, or a link that is not there although the call
// said it made one (Wine 8 answers success without making anything). 0 when the link is right.
int32_t LinkMade(bool called, const std::wstring& link, const std::wstring& target) {
    int32_t code = 0;
    if (!called) {
        code = FailedQueryCode(sys::GetLastError());  // no link means no success
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
