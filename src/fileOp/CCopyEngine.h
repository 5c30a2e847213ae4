// The copy engine behind CFileOp::CopyTree: copies a tree's files on a pool of threads, hashes
// each file as it copies it and lists it in a manifest and a copy log, continues a copy that a
// stopped move left, and reads copies back from their drive, around the caches.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "fileOp/CCopyPool.h"
#include "fileOp/Manifest.h"

class CDirFinder;
enum class EntryKind;

class CCopyEngine {
  public:
    // cancel is heard between files and between the steps of a large file; doneFiles counts
    // one unit a file copied, for the progress reader.
    CCopyEngine(const std::atomic<bool>& cancel, std::atomic<int32_t>& doneFiles)
        : cancel_(cancel), doneFiles_(doneFiles) {}
    CCopyEngine(const CCopyEngine&) = delete;
    CCopyEngine& operator=(const CCopyEngine&) = delete;

    // Copies into an existing folder. Every entry is created new (a name already there, such as
    // one that differs only in case on a volume that ignores case, fails with 10183); links that
    // lead nowhere stay links, hard links stay hard links, folders keep their metadata. Files
    // are copied on Threads() threads; the first failure is the result.
    int32_t CopyTree(const std::wstring& source, const std::wstring& target);
    // With a manifest, CopyTree hashes every file as it copies it and lists it there, with the
    // original's size and last write, by its path below the copied folder (in no fixed order:
    // files are copied side by side). Null: no hashing.
    void CollectManifest(ManifestTree* tree) { manifest_ = tree; }
    // With a log, CopyTree adds each file it lists in the manifest to it as its copy ends.
    void LogCopies(CopyLog* log) { log_ = log; }
    // Continuing a stopped move: CopyTree then copies into the copy it left. Each file of kept
    // (by its path below the copied folder) counts as copied, and is listed as kept lists it;
    // every other entry found there is replaced, and folders found there are filled. Null: every
    // entry is made new. Cleared by CopyTree.
    void ContinueInto(const ManifestTree* kept);
    // The files of logged (a copy log's tree) that a stopped move copied whole: the original
    // below original still has the logged size and last write, and the copy below copy, a plain
    // file, reads back from its drive, around the caches, to the logged hash. Those are added
    // to kept, and their bytes count as copied. Read on the copy's threads. 0, 3 when cancelled,
    // or the code of a failed read.
    int32_t KeptCopies(const std::wstring& original, const std::wstring& copy,
                       const ManifestTree& logged, ManifestTree& kept);
    // Reads every file of tree back from the drive that holds copy, around the caches, and
    // compares it with its hash: 0 when all match; kCodeCopyCorrupt with the first that differs
    // or is missing in difference; 3 when cancelled; or the code of a failed read. The bytes
    // read count as verified.
    int32_t VerifyFromMedia(const std::wstring& copy, const ManifestTree& tree,
                            std::wstring& difference);

    // What the copy has done since ResetCounts, kept where each file is handled, as atomics,
    // so that files copied side by side all count.
    uint64_t CopiedBytes() const { return copiedBytes_.load(std::memory_order_relaxed); }
    uint64_t HoleBytes() const { return holeBytes_.load(std::memory_order_relaxed); }
    int32_t CopiedFiles() const { return copiedFiles_.load(std::memory_order_relaxed); }
    uint64_t VerifiedBytes() const { return verifiedBytes_.load(std::memory_order_relaxed); }
    void ForgetVerifiedBytes() { verifiedBytes_.store(0); }
    void ResetCounts();

    // How many threads copy, read back or delete files: the measured best for this kind of
    // machine, at most one per core. Tests may set it for the whole process (0: the measured
    // default again); with 1 the calls come in the order of the walk.
    static unsigned Threads();
    static void UseThreads(unsigned threads);

  private:
    int32_t CopyInner(const std::wstring& source, const std::wstring& target,
                      CCopyPool::Group* parent);
    int32_t CopyEntry(const CDirFinder& finder, EntryKind kind, const std::wstring& to,
                      CCopyPool::Group* group);
    int32_t CopyFileContent(const std::wstring& from, const std::wstring& to, uint64_t size,
                            ManifestFile* listed = nullptr);
    void List(const std::wstring& to, ManifestFile file, bool toLog = true);
    int32_t ClearForCopy(const std::wstring& to);
    void FileCopied(uint64_t bytesNotYetCounted);
    template <class Wanted, class Judge>
    int32_t ReadBack(const std::wstring& root, const ManifestTree& tree, Wanted&& wanted,
                     Judge&& judge);

    const std::atomic<bool>& cancel_;
    std::atomic<int32_t>& doneFiles_;
    std::atomic<uint64_t> copiedBytes_{0};  // holes passed over included
    std::atomic<uint64_t> holeBytes_{0};    // of copiedBytes_, the holes of sparse files
    std::atomic<int32_t> copiedFiles_{0};
    std::atomic<uint64_t> verifiedBytes_{0};  // read back from the target's drive and compared

    // The first copy of each file with several hard links, for the copy walk in progress.
    std::map<std::pair<uint64_t, uint64_t>, std::wstring> hardLinks_;
    std::map<std::pair<uint64_t, uint64_t>, ManifestFile> hardLinkFiles_;  // with a manifest
    CCopyPool* pool_ = nullptr;  // the copy walk's, while CopyTree runs
    ManifestTree* manifest_ = nullptr;
    CopyLog* log_ = nullptr;
    std::map<std::wstring, ManifestFile> kept_;  // continuing: what is taken as copied
    bool continuing_ = false;
    std::wstring copyRoot_;    // the copy walk's target, while CopyTree runs
    std::mutex manifestLock_;  // the copy threads list their files in manifest_
};
