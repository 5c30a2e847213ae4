#include "fileOp/TreeWalk.h"

#include <vector>

#include "platform/paths.h"
#include "platform/volume.h"

int32_t FinalPathText(const std::wstring& path, std::wstring& text, uint32_t& error,
                      uint32_t room) {
    const sys::FileHandle file = sys::OpenForQuery(path);
    if (file == nullptr) {
        error = sys::GetLastError();
        return FailedCallCode(error);
    }
    std::vector<wchar_t> buffer(room);
    const uint32_t length = sys::GetFinalPathNameByHandleW(file, buffer.data(), room);
    error = sys::GetLastError();
    sys::CloseFile(file);
    if (length == 0) return FailedCallCode(error);  // the query failed: the buffer holds nothing
    if (length >= room) return kCodeFinalPathTooLong;
    text.assign(buffer.data(), length);
    return 0;
}

bool SpelledAtOrBelow(const std::wstring& path, const std::wstring& root) {
    if (root.empty() || path.size() < root.size()) return false;
    if (!sys::SamePathSpelling(path.substr(0, root.size()), root)) return false;
    return path.size() == root.size() || path[root.size()] == sys::kSep || root.back() == sys::kSep;
}

int32_t ClassifyEntry(const CDirFinder& finder, const std::wstring& folder, EntryKind& kind) {
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

int32_t NameTaken(const CLogSite& site, const std::wstring& path) {
    site.Detail("name taken in the copy: ", path);
    site.Err(kCodeNameTaken);
    return kCodeNameTaken;
}

bool IsTakenError(uint32_t error) {
    return error == sys::kErrAlreadyExists || error == sys::kErrFileExists;
}
