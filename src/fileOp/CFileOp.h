// File-tree operations of a move: count, size, copy, delete, rename to a free name, directory
// links and final paths. Walks can be cancelled from another thread between entries (a copy
// also between the steps of a large file) and count the files and bytes they process for the
// progress reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fileOp/CCopyPool.h"
#include "fileOp/Manifest.h"
#include "platform/fs.h"
#include "platform/volume.h"

// The directory enumerator of one folder level, with one entry of look-ahead.
class CDirFinder {
  public:
    CDirFinder() = default;
    ~CDirFinder();
    CDirFinder(const CDirFinder&) = delete;
    CDirFinder& operator=(const CDirFinder&) = delete;

    bool Open(const std::wstring& pattern, sys::FindLevel level = sys::FindLevel::kFull);
    bool Next();

    const sys::FindData& Current() const { return current_; }
    const std::wstring& CurrentPath() const { return currentPath_; }
    bool IsDirectory() const { return (current_.attributes & sys::kAttrDirectory) != 0; }

  private:
    sys::FindHandle handle_ = nullptr;
    sys::FindData current_;
    sys::FindData lookAhead_;
    std::wstring prefix_;
    std::wstring currentPath_;
};

// The process-wide link facility: which of the system's link calls exist. Set up before main and
// only read afterwards (tests may switch it off around a call).
struct CLinkApi {
    bool unavailable = false;  // the library or one of the two functions is missing
    bool createLink = false;   // CreateSymbolicLinkW was found
    bool finalPath = false;    // GetFinalPathNameByHandleW was found
};
CLinkApi& LinkApi();

// How a walk treats one entry. A link that leads nowhere, or back to a folder the walk is in, is
// carried as the link it is; every other link is walked or copied as what it leads to.
enum class EntryKind { kFile, kFolder, kBareLink };

// CheckTarget's nesting test by spelling: the target's text holds the source folder's final
// path, anywhere and exactly. CheckTarget also asks where the target resolves to (LiesInside).
bool TargetHoldsSourcePath(const std::wstring& target, const std::wstring& sourceFinalPath);

class CFileOp {
  public:
    int32_t Cancel();
    int32_t ResetCancel();
    int32_t TakeDoneCount();  // the files done since the last call; one exchange, nothing lost

    // What the copy and the deletion have done since ResetCounters, for the progress reader.
    // Kept where each file is handled, as atomics, so that files copied side by side all count.
    struct Counters {
        uint64_t copiedBytes = 0;  // holes passed over included, as the count includes them
        uint64_t holeBytes = 0;    // of copiedBytes, the holes of sparse files: no time to copy
        int32_t copiedFiles = 0;
        int32_t deletedFiles = 0;
        uint64_t verifiedBytes = 0;  // read back from the target's drive and compared
    };
    Counters ReadCounters() const;
    void ResetCounters();

    // withBytes false: the names alone, no look at any plain file (the caller knows the bytes).
    int32_t CountFiles(std::wstring folder, int32_t& count, bool withBytes = true);
    // The bytes of the files that the last successful CountFiles counted with its bytes.
    uint64_t CountedBytes() const { return countedBytes_; }
    uint64_t CountedHoleBytes() const { return countedHoleBytes_; }  // of CountedBytes
    int32_t SizeTree(std::wstring folder);
    int32_t GetDiskFree(std::wstring path, uint64_t& bytes);
    // 0 fits, 1 too little space, 2 inside a source (by spelling or by identity: links, bind
    // mounts, letter case), 4 a query failed, 5 the paths a move would make do not fit.
    int32_t CheckTarget(std::list<std::wstring> sources, std::wstring target);
    // The bytes of each source that the last CheckTarget sized, in the order given.
    const std::vector<uint64_t>& SourceBytes() const { return sourceBytes_; }
    const std::vector<uint64_t>& SourceHoleBytes() const { return sourceHoleBytes_; }
    // Copies into an existing folder. Every entry is created new (a name already there, such as
    // one that differs only in case on a volume that ignores case, fails with 10183); links that
    // lead nowhere stay links, hard links stay hard links, folders keep their metadata. Files
    // are copied on CopyThreads() threads; the first failure is the result.
    int32_t CopyTree(std::wstring source, std::wstring target);
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
    void ForgetVerifiedBytes() { verifiedBytes_.store(0); }
    // Reads every file of tree back from the drive that holds copy, around the caches, and
    // compares it with its hash: 0 when all match; kCodeCopyCorrupt with the first that differs
    // or is missing in difference; 3 when cancelled; or the code of a failed read. The bytes
    // read count as verifiedBytes in ReadCounters.
    int32_t VerifyFromMedia(const std::wstring& copy, const ManifestTree& tree,
                            std::wstring& difference);
    // How many threads copy files: the measured best for this kind of machine, at most one per
    // core. Tests may set it for the whole process (0: the measured default again); with 1 the
    // calls come in the order of the walk.
    static unsigned CopyThreads();
    static void UseCopyThreads(unsigned threads);
    // Deletes a tree this move parked or made: read-only entries are made deletable first, and
    // a mount point inside is never entered (10032, logged with its path). Files are deleted on
    // CopyThreads() threads, each folder by the walker once its files are gone.
    int32_t DeleteTree(std::wstring folder, bool keepRoot);
    // Compares a copy with its original: the same entries, for every file the same size and
    // last write, and for every folder (the root too) the same last write, mode, owner and
    // extended attributes (Windows: attributes), each as far as the copy's volume keeps it
    // (sys::CopyKeeps, sys::SameStoredTime). 0 when they match; 14 with the first differing path
    // (original's side, or the copy's for an entry only the copy has); 3 when cancelled; or the
    // code of a failed listing. Reads only; never logs a match.
    int32_t VerifyCopy(std::wstring original, std::wstring copy, std::wstring& difference);
    // As VerifyCopy, but the copy may hold entries the original lacks: 0 when everything the
    // original holds is in the copy, the same. So a half-deleted original is proved a duplicate.
    // Folders' own metadata is not compared: making or deleting entries changes it.
    int32_t VerifyHeldIn(std::wstring original, std::wstring copy, std::wstring& difference);
    // A copy against its original by the bytes of every file, where sizes and times cannot
    // tell (a power cut leaves a copy's files full of zeros with their size and time kept).
    // lacking: the first path whose entry or bytes the copy lacks (missing, cut short, zeros
    // where the original has data); own: the first path of an entry or bytes that the copy
    // holds and the original does not (added, longer, other bytes). A file with other bytes is
    // both. Both empty: the same. 0, 3 when cancelled, or the code of a failed listing or read.
    // extra: the first entry that the copy holds and the original lacks, or holds as another
    // kind (also in own).
    struct ContentDifference {
        std::wstring lacking;
        std::wstring own;
        std::wstring extra;
    };
    int32_t CompareContent(std::wstring original, std::wstring copy, ContentDifference& found);
    // By names and kinds alone: the first entry below copy that original lacks, or that is a
    // folder where the original has none (or none where it has one), in extra; empty when none.
    // 0, 3 when cancelled, or the code of a failed listing.
    int32_t FindEntryOfItsOwn(const std::wstring& original, const std::wstring& copy,
                              std::wstring& extra);
    // Whether path (an existing folder) is folder itself or lies below it, whatever the spelling,
    // link or bind mount that reaches either: by identity, path or any folder it lies in is
    // folder or a folder below it. 0 with the answer, or the code of a failed query.
    int32_t LiesInside(std::wstring path, std::wstring folder, bool& inside);
    // The names of the entries of one folder (not of its sub-folders), "." and ".." left out.
    int32_t ListNames(std::wstring folder, std::vector<std::wstring>& names);
    int32_t CopyOneFile(std::wstring source, std::wstring target);
    int32_t DeleteOneFile(std::wstring path);
    int32_t RemoveOneDir(std::wstring path);
    int32_t MoveOne(std::wstring from, std::wstring to);
    int32_t RenameUnique(std::wstring from, std::wstring wished, std::wstring& used);

    int32_t MakeDirLink(std::wstring link, std::wstring target);
    // Points the link at link (or nothing there) at target (sys::ReplaceDirectoryLinkW), and
    // checks that it leads there.
    int32_t RepointDirLink(const std::wstring& link, const std::wstring& target);
    int32_t GetFinalPath(std::wstring path, std::wstring& finalPath);

    uint64_t TotalBytes() const { return totalBytes; }
    // The longest path below the root of the last CountFiles (or of the sources of the last
    // CheckTarget), in PathUnits, separator before it included: for a file and for a folder.
    size_t LongestFileBelow() const { return longestFile_; }
    size_t LongestFolderBelow() const { return longestFolder_; }

  private:
    int32_t CountInner(const std::wstring& folder, sys::FindLevel level);
    int32_t SizeInner(const std::wstring& folder);
    int32_t CopyInner(const std::wstring& source, const std::wstring& target,
                      CCopyPool::Group* parent);
    int32_t CopyEntry(const CDirFinder& finder, EntryKind kind, const std::wstring& to,
                      CCopyPool::Group* group);
    int32_t CopyFileContent(const std::wstring& from, const std::wstring& to, uint64_t size,
                            ManifestFile* listed = nullptr);
    void List(const std::wstring& to, ManifestFile file, bool toLog = true);
    int32_t ClearForCopy(const std::wstring& to);
    void FileCopied(uint64_t bytesNotYetCounted);
    int32_t DeleteInner(const std::wstring& folder, bool keepRoot);
    int32_t VerifyTree(const std::wstring& original, const std::wstring& copy,
                       std::wstring& difference, bool copyMayHoldMore);
    int32_t VerifyInner(const std::wstring& original, const std::wstring& copy,
                        std::wstring& difference, bool copyMayHoldMore);
    int32_t CompareFolder(const std::wstring& original, const std::wstring& copy,
                          std::wstring& difference);
    // The longest paths below one source folder, which the move copies into a folder of the
    // same name.
    struct Longest {
        std::wstring folderName;
        size_t file = 0;
        size_t folder = 0;
    };
    int32_t CheckTargetRoom(const std::wstring& target, const std::vector<Longest>& sources);
    int32_t CompareContentInner(const std::wstring& original, const std::wstring& copy,
                                ContentDifference& found);
    int32_t Classify(const CDirFinder& finder, const std::wstring& folder, EntryKind& kind);
    void StartMeasure(const std::wstring& root);
    void Measure(const std::wstring& path, bool isFolder);

    std::atomic<bool> cancelFlag{false};
    int32_t countedFiles = 0;
    std::atomic<int32_t> doneFiles{0};
    uint64_t totalBytes = 0;
    uint64_t totalHoleBytes_ = 0;
    std::vector<uint64_t> sourceBytes_;
    std::vector<uint64_t> sourceHoleBytes_;
    uint64_t countingBytes_ = 0;
    uint64_t countingHoleBytes_ = 0;
    uint64_t countedBytes_ = 0;
    uint64_t countedHoleBytes_ = 0;
    std::atomic<uint64_t> copiedBytes_{0};
    std::atomic<uint64_t> holeBytes_{0};
    std::atomic<int32_t> copiedFiles_{0};
    std::atomic<int32_t> deletedFiles_{0};

    size_t measureRoot_ = 0;
    size_t longestFile_ = 0;
    size_t longestFolder_ = 0;
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
    std::atomic<uint64_t> verifiedBytes_{0};
    sys::CopyKeeps keeps_;  // the copy's volume, while a verification runs
};
