#include "fileOp/CCopyEngine.h"

#include <algorithm>
#include <thread>

#include "fileOp/TreeWalk.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/sys.h"

namespace {

// Copy threads found fastest on a 2-core machine copying 100,000 small files (scripts/bench
// --shape small, tmpfs and ext4); the core count caps it.
constexpr unsigned kMeasuredCopyThreads = 2;
std::atomic<unsigned> g_copyThreads{0};

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

unsigned CCopyEngine::Threads() {
    if (const unsigned chosen = g_copyThreads.load()) return chosen;
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 1u);
    return std::min(kMeasuredCopyThreads, cores);
}

void CCopyEngine::UseThreads(unsigned threads) {
    g_copyThreads.store(threads);
}

void CCopyEngine::ResetCounts() {
    verifiedBytes_.store(0);
    copiedBytes_.store(0);
    holeBytes_.store(0);
    copiedFiles_.store(0);
}

int32_t CCopyEngine::CopyTree(const std::wstring& source, const std::wstring& target) {
    hardLinks_.clear();
    hardLinkFiles_.clear();
    copyRoot_ = target;
    CCopyPool pool(Threads(), cancel_);
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

void CCopyEngine::ContinueInto(const ManifestTree* kept) {
    kept_.clear();
    continuing_ = kept != nullptr;
    if (!kept) return;
    for (const ManifestFile& file : kept->files)
        kept_.emplace(file.path, file);
}

// What a stopped copy left at to, out of the way of a new copy. A name that is not there is fine.
int32_t CCopyEngine::ClearForCopy(const std::wstring& to) {
    if (!continuing_) return 0;
    const uint32_t attributes = sys::GetFileAttributesW(to);
    if (attributes == sys::kInvalidFileAttributes) {
        const uint32_t error = sys::GetLastError();
        return error == sys::kErrFileNotFound || error == sys::kErrPathNotFound
                   ? 0
                   : HX_LOG.FailedCall();
    }
    // A folder where the original has a file holds what no copy made: the recovery refuses it.
    if ((attributes & sys::kAttrDirectory) && !(attributes & sys::kAttrReparsePoint))
        return NameTaken(HX_LOG, to);
    const bool removed = (attributes & sys::kAttrReparsePoint) && (attributes & sys::kAttrDirectory)
                             ? sys::RemoveDirectoryW(to)
                             : sys::DeleteFileW(to);
    return removed ? 0 : HX_LOG.FailedCall();
}

// Reads the copy of each file of tree below root back from its drive, around the caches, on the
// copy's threads: a file that wanted(file, path) passes over is not read, and judge(file, path,
// hash, found) takes each read one (found false: the drive no longer has it) and returns 0 to
// go on. A cancel, a failed read, or the first judgement that is not 0 ends it.
template <class Wanted, class Judge>
int32_t CCopyEngine::ReadBack(const std::wstring& root, const ManifestTree& tree, Wanted&& wanted,
                              Judge&& judge) {
    CCopyPool pool(Threads(), cancel_);
    const sys::ReadProgress progress = [this, &pool](uint64_t newBytes) {
        verifiedBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        return !cancel_.load(std::memory_order_relaxed) && pool.Failure() == 0;
    };
    const auto check = [&](const ManifestFile& file) -> int32_t {
        const std::wstring path = root + sys::kSep + file.path;
        if (!wanted(file, path)) return 0;
        sys::ContentHash read;
        if (sys::HashFromMedia(path, read, progress)) return judge(file, path, read, true);
        const uint32_t error = sys::GetLastError();
        if (error == sys::kErrRequestAborted && cancel_.load()) {
            HX_LOG.Err(kCodeCancelled);
            return kCodeCancelled;
        }
        if (error == sys::kErrRequestAborted) return pool.Failure();
        if (error != sys::kErrFileNotFound && error != sys::kErrPathNotFound)
            return HX_LOG.FailedCall();
        return judge(file, path, sys::ContentHash{}, false);
    };
    return EachOnPool(pool, cancel_, tree, check);
}

int32_t CCopyEngine::KeptCopies(const std::wstring& original, const std::wstring& copy,
                                const ManifestTree& logged, ManifestTree& kept) {
    // Changed since it was copied, or not a plain file any more: copied again, unread.
    const auto unchanged = [&original](const ManifestFile& file, const std::wstring& to) {
        sys::FindData now;
        return sys::GetFileInfoFollowed(original + sys::kSep + file.path, now) &&
               SizeOf(now) == file.size && now.writeTime == file.writeTime &&
               !sys::IsLinkOrReparsePoint(to) && sys::GetFileInfoFollowed(to, now) &&
               SizeOf(now) == file.size && !(now.attributes & sys::kAttrDirectory);
    };
    std::mutex keptLock;
    const auto keep = [&](const ManifestFile& file, const std::wstring&,
                          const sys::ContentHash& read, bool found) {
        if (!found || read != file.hash) return 0;
        copiedBytes_.fetch_add(file.size, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(keptLock);
        kept.files.push_back(file);
        return 0;
    };
    return ReadBack(copy, logged, unchanged, keep);
}

int32_t CCopyEngine::CopyInner(const std::wstring& source, const std::wstring& target,
                               CCopyPool::Group* parent) {
    // A folder's metadata comes last, so that a folder its owner may not write is filled first.
    CCopyPool::Group* group = pool_->OpenGroup(parent, [source, target] {
        return sys::CopyFolderMetadata(source, target) ? 0 : HX_LOG.FailedCall();
    });
    const std::wstring prefix = target + sys::kSep;
    auto visit = [this, &source, &prefix, group](const CDirFinder& finder, bool) {
        if (const int32_t stopped = pool_->Failure()) return stopped;
        EntryKind kind;
        if (const int32_t r = ClassifyEntry(finder, source, kind); r != 0) return r;
        return CopyEntry(finder, kind, prefix + finder.Current().name, group);
    };
    int32_t r = WalkFolder(source, cancel_, visit).code;
    pool_->CloseGroup(group);
    if (r == 0) r = pool_->Failure();  // this folder's metadata, or a file copied meanwhile
    return r;
}

int32_t CCopyEngine::CopyEntry(const CDirFinder& finder, EntryKind kind, const std::wstring& to,
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
            if (!filled && !sys::IsBenignError(error)) return HX_LOG.FailedCall();
        }
        if (const int32_t r = CopyInner(from, to, group); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        return 0;
    }
    const auto key = std::make_pair(entry.volumeId, entry.fileId);
    const bool laterName = entry.links > 1 && hardLinks_.count(key) != 0;
    // Only a continue has kept files: a plain copy makes no path to look up.
    const auto kept = kind == EntryKind::kBareLink || kept_.empty()
                          ? kept_.end()
                          : kept_.find(to.substr(std::min(to.size(), copyRoot_.size() + 1)));
    if (kept != kept_.end() && !laterName) {
        // Its bytes were counted when it was found whole; listed as it was copied then. The
        // later names of a file with hard links are linked to it.
        copiedFiles_.fetch_add(1, std::memory_order_relaxed);
        doneFiles_.fetch_add(1);
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
            return HX_LOG.FailedCall();
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
int32_t CCopyEngine::CopyFileContent(const std::wstring& from, const std::wstring& to,
                                     uint64_t size, ManifestFile* listed) {
    uint64_t counted = 0;
    const sys::CopyProgress progress = [this, &counted](uint64_t newBytes, bool hole) {
        counted += newBytes;
        copiedBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        if (hole) holeBytes_.fetch_add(newBytes, std::memory_order_relaxed);
        return !cancel_.load(std::memory_order_relaxed) && pool_->Failure() == 0;
    };
    sys::CopiedContent copied;
    if (!sys::CopyFileW(from, to, true, progress, manifest_ ? &copied : nullptr)) {
        const uint32_t error = sys::GetLastError();
        if (error == sys::kErrRequestAborted && cancel_.load()) {
            HX_LOG.Err(kCodeCancelled);
            return kCodeCancelled;
        }
        // Stopped for another thread's failure, which is the copy's result and already logged.
        if (error == sys::kErrRequestAborted && pool_->Failure() != 0) return pool_->Failure();
        if (IsTakenError(error)) return NameTaken(HX_LOG, to);
        return HX_LOG.FailedCall();
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
void CCopyEngine::List(const std::wstring& to, ManifestFile file, bool toLog) {
    file.path = to.substr(std::min(to.size(), copyRoot_.size() + 1));
    std::lock_guard<std::mutex> lock(manifestLock_);
    if (log_ && toLog) log_->Add(file);
    manifest_->files.push_back(std::move(file));
}

// Files are read back on the copy's threads, as they were copied: a small file's time is the
// drive's latency, which several reads in flight share.
int32_t CCopyEngine::VerifyFromMedia(const std::wstring& copy, const ManifestTree& tree,
                                     std::wstring& difference) {
    std::mutex found;  // the first file found amiss, by any thread
    // A file the drive no longer has is one it did not keep.
    const auto compare = [&](const ManifestFile& file, const std::wstring& path,
                             const sys::ContentHash& read, bool) {
        if (read == file.hash) return 0;
        std::lock_guard<std::mutex> lock(found);
        if (difference.empty()) difference = path;
        HX_LOG.Detail("the target drive gave back other data than was written: ", path);
        HX_LOG.Err(kCodeCopyCorrupt);
        return kCodeCopyCorrupt;
    };
    const auto every = [](const ManifestFile&, const std::wstring&) { return true; };
    const int32_t r = ReadBack(copy, tree, every, compare);
    if (r == kCodeCopyCorrupt) sys::SetLastError(0);  // other bytes, not a failed call
    return r;
}

void CCopyEngine::FileCopied(uint64_t bytesNotYetCounted) {
    if (bytesNotYetCounted != 0) {
        copiedBytes_.fetch_add(bytesNotYetCounted, std::memory_order_relaxed);
    }
    copiedFiles_.fetch_add(1, std::memory_order_relaxed);
    doneFiles_.fetch_add(1);
}
