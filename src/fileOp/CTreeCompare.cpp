#include "fileOp/CTreeCompare.h"

#include <cstring>
#include <map>
#include <vector>

#include "fileOp/TreeWalk.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/sys.h"

// ---- By entries, sizes and times ---------------------------------------------------------------

int32_t CTreeCompare::VerifyCopy(const std::wstring& original, const std::wstring& copy,
                                 std::wstring& difference) {
    return VerifyTree(original, copy, difference, false);
}

int32_t CTreeCompare::VerifyHeldIn(const std::wstring& original, const std::wstring& copy,
                                   std::wstring& difference) {
    return VerifyTree(original, copy, difference, true);
}

// Times are judged as the copy's volume keeps them, by one rule (sys::SameStoredTime), so that a
// move's check and a later recovery's, after the volume was mounted again, judge alike.
int32_t CTreeCompare::VerifyTree(const std::wstring& original, const std::wstring& copy,
                                 std::wstring& difference, bool copyMayHoldMore) {
    if (!sys::GetCopyKeeps(copy, keeps_)) return HX_LOG.FailedCall();
    if (const int32_t r = VerifyInner(original, copy, difference, copyMayHoldMore); r != 0) {
        return r;
    }
    return copyMayHoldMore ? 0 : CompareFolder(original, copy, difference);
}

// A folder's own metadata, as CopyFolderMetadata gives it, as far as the copy's volume keeps it.
int32_t CTreeCompare::CompareFolder(const std::wstring& original, const std::wstring& copy,
                                    std::wstring& difference) {
    sys::FolderMetadata here, there;
    if (!sys::GetFolderMetadata(original, here) || !sys::GetFolderMetadata(copy, there)) {
        return HX_LOG.FailedCall();
    }
    bool same = sys::SameStoredTime(here.writeTime, there.writeTime, keeps_);
    if (keeps_.metadata) same = same && here.mode == there.mode && here.xattrs == there.xattrs;
    if (keeps_.owners) same = same && here.owner == there.owner && here.group == there.group;
    if (same) return 0;
    difference = original;
    return kCodeCopyDiffers;
}

int32_t CTreeCompare::VerifyInner(const std::wstring& original, const std::wstring& copy,
                                  std::wstring& difference, bool copyMayHoldMore) {
    std::map<std::wstring, sys::FindData> copied;
    const WalkResult listed = WalkFolder(copy, cancel_, [&copied](const CDirFinder& f, bool) {
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
        if (const int32_t r = ClassifyEntry(finder, original, kind); r != 0) return r;
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
            return HX_LOG.FailedCall();
        }
        const bool same = SizeOf(here) == SizeOf(there) &&
                          sys::SameStoredTime(here.writeTime, there.writeTime, keeps_);
        return same ? 0 : differs(path);
    };
    const WalkResult walked = WalkFolder(original, cancel_, visit);
    if (walked.code != 0) return walked.code;
    if (!copied.empty() && !copyMayHoldMore)
        return differs(copy + sys::kSep + copied.begin()->first);
    return 0;
}

// ---- By content --------------------------------------------------------------------------------

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
    if (a == nullptr) return FailedCallCode(sys::GetLastError());
    sys::ReadHandle b = sys::OpenForReading(copy);
    if (b == nullptr) {
        const int32_t r = FailedCallCode(sys::GetLastError());
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
            code = FailedCallCode(sys::GetLastError());
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

int32_t CTreeCompare::CompareContent(const std::wstring& original, const std::wstring& copy,
                                     ContentDifference& found) {
    found = {};
    return CompareContentInner(original, copy, found);
}

int32_t CTreeCompare::CompareContentInner(const std::wstring& original, const std::wstring& copy,
                                          ContentDifference& found) {
    std::map<std::wstring, sys::FindData> copied;
    const WalkResult listed = WalkFolder(copy, cancel_, [&copied](const CDirFinder& f, bool) {
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
        if (const int32_t r = ClassifyEntry(finder, original, kind); r != 0) return r;
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
        if (const int32_t r = CompareBytes(path, there, cancel_, lacking, own); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        if (lacking) lacks(path);
        if (own) owns(there);
        return 0;
    };
    const WalkResult walked = WalkFolder(original, cancel_, visit);
    if (walked.code != 0) return walked.code;
    if (!copied.empty()) {
        owns(copy + sys::kSep + copied.begin()->first);
        if (found.extra.empty()) found.extra = copy + sys::kSep + copied.begin()->first;
    }
    return 0;
}

int32_t CTreeCompare::FindEntryOfItsOwn(const std::wstring& original, const std::wstring& copy,
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
    return WalkFolder(copy, cancel_, visit, sys::FindLevel::kKinds).code;
}
