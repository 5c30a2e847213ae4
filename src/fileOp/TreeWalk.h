// What the tree walks of the file operations share: the walk of one folder level, the kind of
// an entry, and the codes of the failures every walk meets.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "fileOp/CFileOp.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/sys.h"

constexpr uint32_t kFinalPathRoom = 512;   // GetFinalPath's buffer, terminator included
constexpr uint32_t kWalkPathRoom = 32768;  // the longest path any system call takes

inline uint64_t SizeOf(const sys::FindData& entry) {
    return (static_cast<uint64_t>(entry.sizeHigh) << 32) + entry.sizeLow;
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

// The final path's text as the system gives it. 0, or the code of what failed; the callers
// decide whether that is worth a record.
int32_t FinalPathText(const std::wstring& path, std::wstring& text, uint32_t& error,
                      uint32_t room = kFinalPathRoom);

// True when path is root or lies below it, spelled as the system compares names.
bool SpelledAtOrBelow(const std::wstring& path, const std::wstring& root);

// The kind a walk treats the finder's current entry as; folder is the folder being walked.
int32_t ClassifyEntry(const CDirFinder& finder, const std::wstring& folder, EntryKind& kind);

// A name that a copy finds taken inside the tree it is making can only be a collision, such as
// two names that differ only in case on a volume that ignores case: logged, and kCodeNameTaken.
int32_t NameTaken(const CLogSite& site, const std::wstring& path);
bool IsTakenError(uint32_t error);
