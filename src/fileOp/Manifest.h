// The manifest of a move: every copied file with its size, its last write and the hash of the
// bytes the copy read (XXH3, 128 bits). Written, and flushed, before the journal records the
// copies as checked; kept after the move beside moved.record, so that a recovery and a later
// check of the moved library read only the copy.
//
// The file is UTF-8 text of lines, in the state folder (move.manifest while a move runs,
// moved.manifest once it is done):
//
//   version=1                            always first
//   tree=Downloads                       opens one copied folder, by its name
//   file=<hash> <size> <time> <path>     a file: the hash as 32 hex digits, the size in bytes and
//                                        the last write in the system's units (FindData's), in
//                                        decimal, and its path below the folder (values escaped
//                                        as the journal's, ground/LineText.h)
//   end=1                                always last: the text is whole
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/contenthash.h"

struct ManifestFile {
    std::wstring path;  // below its folder, with the system's separator
    uint64_t size = 0;
    uint64_t writeTime = 0;
    sys::ContentHash hash;
    bool operator==(const ManifestFile&) const = default;
};

struct ManifestTree {
    std::wstring name;  // "Software" or "Downloads"
    std::vector<ManifestFile> files;
    bool operator==(const ManifestTree&) const = default;
};

struct Manifest {
    std::vector<ManifestTree> trees;
    const ManifestTree* Tree(const std::wstring& name) const;
    bool operator==(const Manifest&) const = default;
};

// The text of a manifest, and the manifest of a text: ParseManifest accepts only what
// SerializeManifest writes, whole, so that what it reads it writes back the same.
std::string SerializeManifest(const Manifest& manifest);
bool ParseManifest(std::string_view text, Manifest& manifest);

// The manifest files of the state folder. 0, or the code of the failure (logged). Writing
// replaces the file whole and durably; reading gives found false when there is none, and
// kCodeManifestUnreadable for a text that is none.
enum class ManifestFileName { kMoving, kMoved, kCopied };
int32_t WriteManifest(ManifestFileName which, const Manifest& manifest);
int32_t ReadManifest(ManifestFileName which, Manifest& manifest, bool& found);
int32_t RemoveManifest(ManifestFileName which);  // 0 also when there is none
// The manifest of the move just done becomes the moved library's.
int32_t KeepManifestOfTheMove();

// The copy log (move.copied): while a move copies, each file is added as its copy ends, in a
// manifest's lines without the "end" line. A move stopped halfway continues from it: a listed file
// whose copy still reads back to its hash, and whose original still has its size and last write,
// is kept; everything else is copied again. So the log need never be flushed: what a cut takes of
// it, or of the copies it lists, only costs a copy.
class CopyLog {
  public:
    CopyLog() = default;
    ~CopyLog() { Close(); }
    CopyLog(const CopyLog&) = delete;
    CopyLog& operator=(const CopyLog&) = delete;

    // A fresh log, or (fresh false) the one there, added to. 0, or the code of the failure.
    int32_t Open(bool fresh);
    void Tree(const std::wstring& name);  // the files added next are of this folder
    void Add(const ManifestFile& file);   // one caller at a time
    void Close();

  private:
    std::FILE* file_ = nullptr;
};
// The log as far as its lines are whole (a cut may end it anywhere); a later line of a path
// replaces an earlier one. False when it does not even begin as a log.
bool ParseCopyLog(std::string_view text, Manifest& log);
int32_t ReadCopyLog(Manifest& log, bool& found);  // as ReadManifest
