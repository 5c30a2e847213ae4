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

#include "fileOp/CCopyEngine.h"
#include "fileOp/CCopyPool.h"
#include "fileOp/CTreeCompare.h"
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
    // Copies into an existing folder by the copy engine (CCopyEngine::CopyTree).
    int32_t CopyTree(std::wstring source, std::wstring target);
    // The copy engine behind CopyTree: its manifest, copy log and continue, and the read-back.
    CCopyEngine& Copier() { return copier_; }
    // Copies held against their originals, cancelled by Cancel as the walks are.
    CTreeCompare& Compare() { return compare_; }
    // Deletes a tree this move parked or made: read-only entries are made deletable first, and
    // a mount point inside is never entered (10032, logged with its path). Files are deleted on
    // CCopyEngine::Threads() threads, each folder by the walker once its files are gone.
    int32_t DeleteTree(std::wstring folder, bool keepRoot);
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
    int32_t DeleteInner(const std::wstring& folder, bool keepRoot);
    // The longest paths below one source folder, which the move copies into a folder of the
    // same name.
    struct Longest {
        std::wstring folderName;
        size_t file = 0;
        size_t folder = 0;
    };
    int32_t CheckTargetRoom(const std::wstring& target, const std::vector<Longest>& sources);
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
    std::atomic<int32_t> deletedFiles_{0};

    size_t measureRoot_ = 0;
    size_t longestFile_ = 0;
    size_t longestFolder_ = 0;
    CCopyPool* pool_ = nullptr;  // the deletion's, while DeleteTree runs
    // Last, as they hear cancelFlag and count in doneFiles.
    CCopyEngine copier_{cancelFlag, doneFiles};
    CTreeCompare compare_{cancelFlag};
};
