// Where the Oculus platform's data is now, read in one place for the windows and the harness:
// at home, moved (links to <target>/Oculus game), a stopped move waiting, or a link that leads
// nowhere; for the last, whether the volume it led to is attached elsewhere, so that the links
// can be pointed there again (CRecovery::Repoint).
//
// Once a move's links exist, the move leaves moved.record in the state folder, key=value lines
// as the journal has them:
//
//   version=1
//   folder=E:\Games\Oculus game        the folder that holds the copies, as the links name it
//   root=E:\                           the root of its volume then (drive or mount point)
//   volume=\\?\Volume{...}\            the volume's identity (sys::GetVolumeIdentity)
//
// Only the record can tell which volume a link led to once that volume has gone or moved.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TaskMgr/MoveJournal.h"
#include "TaskMgr/RecoveryPlan.h"

class CRecovery;

struct MoveRecord {
    std::wstring folder;
    std::wstring root;
    std::wstring volume;
    bool operator==(const MoveRecord&) const = default;
};

// The record's text, and the record of a text: false for anything SerializeMoveRecord does not
// write (a missing key, a control character, another version).
std::string SerializeMoveRecord(const MoveRecord& record);
bool ParseMoveRecord(std::string_view text, MoveRecord& record);
// Records where the links in base lead now. 0, or the code of the failure (logged).
int32_t RecordMove(const std::wstring& base);
// Removes the record once the library is home again: 0 also when there was none.
int32_t ForgetMove();
// false when there is no record or it cannot be read.
bool ReadMoveRecord(MoveRecord& record);

// One of the platform's folders as the disk shows it.
struct FolderState {
    enum class Where { kHome, kLinked, kBroken, kMissing, kOther };
    std::wstring name;     // "Software" or "Downloads"
    std::wstring path;     // the platform's path for it
    std::wstring leadsTo;  // kLinked: where the link leads; kBroken: the link's own text
    Where where = Where::kMissing;
};

struct InstallState {
    enum class Kind {
        kNotFound,  // no installation detected
        kHome,      // both folders are real folders in the base folder
        kMoved,     // both are links to folders in one folder (movedTo)
        kWaiting,   // a stopped move or re-pointing waits: plan says what fits
        kBroken,    // a link leads nowhere
        kMixed,     // anything else, folder by folder
    };
    // For kBroken: the volume the links led to, by the record.
    enum class Volume {
        kUnknown,    // no record names it
        kAbsent,     // not attached: a drive not connected
        kSamePlace,  // attached where it was: the folder was renamed or moved
        kElsewhere,  // attached under another drive letter or mount point (volumeNowAt)
    };

    Kind kind = Kind::kNotFound;
    std::wstring base;                 // without its closing separator
    std::vector<FolderState> folders;  // "Software", then "Downloads"
    std::wstring movedTo;              // kMoved: the folder that holds both
    std::wstring baseRoot;             // the drives (or mount points), as a person names them
    std::wstring movedRoot;
    bool baseFreeKnown = false;
    uint64_t baseFree = 0;
    bool movedFreeKnown = false;
    uint64_t movedFree = 0;
    RecoveryPlan plan;  // kWaiting

    Volume volume = Volume::kUnknown;
    std::wstring expectedRoot;  // where the volume was when the links were made
    // kMoved: the links lead to a drive other than the one the games were moved to (another
    // volume mounted at the recorded place); expectedRoot names the place. Nothing may be
    // written there: it is not the games' drive.
    bool strangeVolume = false;
    std::wstring volumeNowAt;
    // kSamePlace, or kElsewhere without the folder at its old place on the drive: the folder
    // found on the links' drive under another name or in another folder, holding what the links
    // expect (FindRenamedFolder). Empty when none was found, or more than one fits alike.
    std::wstring renamedTo;
    // Each broken link with the same folder at the volume's new place, or in renamedTo; empty
    // unless every broken link has one. Hand it to CRecovery::Repoint.
    JournalRecord repoint;
};

// Looks, changes nothing. detectedBase empty: kNotFound. 0, or the code of a failed query.
int32_t ReadInstallState(const std::wstring& detectedBase, CRecovery& recovery,
                         InstallState& state);

// Where the folder the broken links name (expected: its path as the links spell it, e.g.
// "E:\Games\Oculus game") is now on its volume, whose root is at root now (root may differ from
// the one recorded: a drive under another letter). Looks only where a listing costs little:
// beside the expected place first, then the volume's top two levels, passing over links and
// mount points. A folder fits when it holds each of names as a real folder and, where manifest
// is given and lists files, at least half of a sample of them with their recorded size (a game
// updated since keeps most of its files). Empty when nothing fits, or two fit alike.
struct Manifest;
std::wstring FindRenamedFolder(const std::wstring& expected, const std::vector<std::wstring>& names,
                               const std::wstring& recordedRoot, const std::wstring& root,
                               const Manifest* manifest);

// path with its leading oldRoot replaced by newRoot; empty when path does not begin with it.
std::wstring Rebased(const std::wstring& path, const std::wstring& oldRoot,
                     const std::wstring& newRoot);
