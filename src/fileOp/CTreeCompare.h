// A copy held against its original: by entries, sizes and times as the copy's volume keeps
// them, or by the bytes of every file where those cannot tell.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/volume.h"

class CTreeCompare {
  public:
    // cancel is heard between entries and between the pieces of a file.
    explicit CTreeCompare(const std::atomic<bool>& cancel) : cancel_(cancel) {}
    CTreeCompare(const CTreeCompare&) = delete;
    CTreeCompare& operator=(const CTreeCompare&) = delete;

    // Compares a copy with its original: the same entries, for every file the same size and
    // last write, and for every folder (the root too) the same last write, mode, owner and
    // extended attributes (Windows: attributes), each as far as the copy's volume keeps it
    // (sys::CopyKeeps, sys::SameStoredTime). 0 when they match; 14 with the first differing path
    // (original's side, or the copy's for an entry only the copy has); 3 when cancelled; or the
    // code of a failed listing. Reads only; never logs a match.
    int32_t VerifyCopy(const std::wstring& original, const std::wstring& copy,
                       std::wstring& difference);
    // As VerifyCopy, but the copy may hold entries the original lacks: 0 when everything the
    // original holds is in the copy, the same. So a half-deleted original is proved a duplicate.
    // Folders' own metadata is not compared: making or deleting entries changes it.
    int32_t VerifyHeldIn(const std::wstring& original, const std::wstring& copy,
                         std::wstring& difference);
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
    int32_t CompareContent(const std::wstring& original, const std::wstring& copy,
                           ContentDifference& found);
    // By names and kinds alone: the first entry below copy that original lacks, or that is a
    // folder where the original has none (or none where it has one), in extra; empty when none.
    // 0, 3 when cancelled, or the code of a failed listing.
    int32_t FindEntryOfItsOwn(const std::wstring& original, const std::wstring& copy,
                              std::wstring& extra);

  private:
    int32_t VerifyTree(const std::wstring& original, const std::wstring& copy,
                       std::wstring& difference, bool copyMayHoldMore);
    int32_t VerifyInner(const std::wstring& original, const std::wstring& copy,
                        std::wstring& difference, bool copyMayHoldMore);
    int32_t CompareFolder(const std::wstring& original, const std::wstring& copy,
                          std::wstring& difference);
    int32_t CompareContentInner(const std::wstring& original, const std::wstring& copy,
                                ContentDifference& found);

    const std::atomic<bool>& cancel_;
    sys::CopyKeeps keeps_;  // the copy's volume, while a verification runs
};
