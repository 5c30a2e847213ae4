// Which folders lie inside a folder, by identity rather than by spelling: the same on every
// system, built on the backend's listing and its file identities.
#include <unordered_set>

#include "platform/fs.h"
#include "platform/sys.h"

namespace sys {

namespace {

struct IdentityHash {
    size_t operator()(const FileIdentity& id) const {
        return std::hash<uint64_t>()(id.file * 1000003u ^ id.volume);
    }
};

using IdentitySet = std::unordered_set<FileIdentity, IdentityHash>;

// True once a folder at or below folder is one of asked. Links are not followed; a mount point
// is entered (what is mounted there is reached through folder too), a folder met twice (a bind
// mount of an ancestor) only once. A folder that cannot be listed is passed: nothing can be
// copied out of it either.
bool Holds(const std::wstring& folder, const IdentitySet& asked, IdentitySet& seen) {
    FindData data;
    const FindHandle find = FindFirstFileW(folder + kSep + L"*", data, FindLevel::kKinds);
    if (find == nullptr) return false;
    bool found = false;
    do {
        if (!(data.attributes & kAttrDirectory) || data.name == L"." || data.name == L"..")
            continue;
        if ((data.attributes & kAttrReparsePoint) && !data.mountPoint) continue;
        const std::wstring path = folder + kSep + data.name;
        FileIdentity id;
        if (!GetFileIdentity(path, id) || !seen.insert(id).second) continue;
        found = asked.count(id) != 0 || Holds(path, asked, seen);
    } while (!found && FindNextFileW(find, data));
    FindClose(find);
    return found;
}

}  // namespace

bool FolderHoldsAnyOf(const std::wstring& folder, const std::vector<FileIdentity>& asked,
                      bool& found) {
    found = false;
    FileIdentity own;
    if (!GetFileIdentity(folder, own)) return false;
    // Folders of folder's own volume only (a bind mount keeps its volume's identity; another
    // volume mounted inside a source is refused by the move's own mount check): without one
    // there is nothing to walk for.
    IdentitySet wanted;
    for (const FileIdentity& id : asked) {
        if (id.volume == own.volume) wanted.insert(id);
    }
    if (wanted.empty()) return true;
    IdentitySet seen{own};
    found = wanted.count(own) != 0 || Holds(folder, wanted, seen);
    return true;
}

}  // namespace sys
