#include "fileOp/LibraryCheck.h"

#include <unordered_map>

#include "fileOp/CFileOp.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

struct Walk {
    const std::wstring& root;
    std::unordered_map<std::wstring, const ManifestFile*> listed;  // by path below root
    bool readBytes;
    const std::atomic<bool>& cancel;
    std::atomic<uint64_t>* bytesRead;
    sys::CopyKeeps keeps;
    LibraryReport& report;

    int32_t Folder(const std::wstring& folder) {
        CDirFinder finder;
        if (!finder.Open(folder + sys::kSep + L'*')) {
            const uint32_t error = sys::GetLastError();
            if (sys::IsBenignError(error)) return 0;
            HX_LOG.Err(SystemCode(error));
            return SystemCode(error);
        }
        for (bool more = true; more;) {
            if (cancel.load(std::memory_order_relaxed)) return kCodeCancelled;
            more = finder.Next();
            if (!more && !sys::IsBenignError(sys::GetLastError())) {
                HX_LOG.Err(SystemCode(sys::GetLastError()));
                return SystemCode(sys::GetLastError());
            }
            const sys::FindData& entry = finder.Current();
            if (entry.name == L"." || entry.name == L"..") continue;
            // Links are the library's own entries, not files its manifest lists.
            if (entry.attributes & sys::kAttrReparsePoint) continue;
            const int32_t r =
                finder.IsDirectory() ? Folder(finder.CurrentPath()) : File(finder.CurrentPath());
            if (r != 0) return r;
        }
        return 0;
    }

    int32_t File(const std::wstring& path) {
        const auto it = listed.find(path.substr(root.size() + 1));
        if (it == listed.end()) {
            report.added.push_back(path);
            return 0;
        }
        const ManifestFile& file = *it->second;
        listed.erase(it);
        ++report.files;
        sys::FindData now;
        if (!sys::GetFileInfoFollowed(path, now)) {
            HX_LOG.Err(SystemCode(sys::GetLastError()));
            return SystemCode(sys::GetLastError());
        }
        const uint64_t size = (uint64_t{now.sizeHigh} << 32) | now.sizeLow;
        const bool sameTime = sys::SameStoredTime(file.writeTime, now.writeTime, keeps);
        if (!sameTime && now.writeTime > file.writeTime) {
            report.updated.push_back(path);
            return 0;
        }
        if (!sameTime || size != file.size) {
            report.changed.push_back(path);
            return 0;
        }
        if (!readBytes) return 0;
        const sys::ReadProgress progress = [this](uint64_t n) {
            if (bytesRead) bytesRead->fetch_add(n, std::memory_order_relaxed);
            return !cancel.load(std::memory_order_relaxed);
        };
        sys::ContentHash read;
        if (!sys::HashFromMedia(path, read, progress)) {
            if (sys::GetLastError() == sys::kErrRequestAborted) return kCodeCancelled;
            HX_LOG.Err(SystemCode(sys::GetLastError()));
            return SystemCode(sys::GetLastError());
        }
        if (!(read == file.hash)) {
            HX_LOG.Detail("other bytes than were copied: ", path);
            report.differs.push_back(path);
        }
        return 0;
    }
};

}  // namespace

int32_t CheckAgainstManifest(const std::wstring& folder, const ManifestTree& tree, bool readBytes,
                             const std::atomic<bool>& cancel, std::atomic<uint64_t>* bytesRead,
                             LibraryReport& report) {
    Walk walk{folder, {}, readBytes, cancel, bytesRead, {}, report};
    for (const ManifestFile& file : tree.files)
        walk.listed.emplace(file.path, &file);
    if (!sys::GetCopyKeeps(folder, walk.keeps)) walk.keeps = sys::CopyKeeps{};
    if (const int32_t r = walk.Folder(folder); r != 0) return r;
    for (const auto& [path, file] : walk.listed)
        report.missing.push_back(folder + sys::kSep + path);
    return 0;
}
