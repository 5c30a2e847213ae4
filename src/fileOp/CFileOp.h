// File-tree operations of a move: count, size, copy, delete, rename to a free name, directory
// links and final paths. Walks can be cancelled from another thread between entries and count
// the files they process for the progress reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "platform/fs.h"

// The directory enumerator of one folder level, with one entry of look-ahead.
class CDirFinder {
  public:
    CDirFinder() = default;
    ~CDirFinder();
    CDirFinder(const CDirFinder&) = delete;
    CDirFinder& operator=(const CDirFinder&) = delete;

    bool Open(const std::wstring& pattern);
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

// CheckTarget's nesting test: the target's text holds the source folder's final path, anywhere
// and exactly. It judges spellings, not where a path resolves to.
bool TargetHoldsSourcePath(const std::wstring& target, const std::wstring& sourceFinalPath);

class CFileOp {
  public:
    int32_t Cancel();
    int32_t ResetCancel();
    int32_t TakeDoneCount();  // the files done since the last call; one exchange, nothing lost

    int32_t CountFiles(std::wstring folder, int32_t& count);
    int32_t SizeTree(std::wstring folder);
    int32_t GetDiskFree(std::wstring path, uint64_t& bytes);
    int32_t CheckTarget(std::list<std::wstring> sources, std::wstring target);
    int32_t CopyTree(std::wstring source, std::wstring target);
    int32_t DeleteTree(std::wstring folder, bool keepRoot);
    int32_t CopyOneFile(std::wstring source, std::wstring target);
    int32_t DeleteOneFile(std::wstring path);
    int32_t RemoveOneDir(std::wstring path);
    int32_t MoveOne(std::wstring from, std::wstring to);
    int32_t RenameUnique(std::wstring from, std::wstring wished, std::wstring& used);

    int32_t MakeDirLink(std::wstring link, std::wstring target);
    int32_t GetFinalPath(std::wstring path, std::wstring& finalPath);

    uint64_t TotalBytes() const { return totalBytes; }

  private:
    int32_t CountInner(const std::wstring& folder);

    std::atomic<bool> cancelFlag{false};
    int32_t countedFiles = 0;
    std::atomic<int32_t> doneFiles{0};
    uint64_t totalBytes = 0;
};
