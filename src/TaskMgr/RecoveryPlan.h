// What a recovery found on the disk and what it will do about it (CRecovery.h has the decision
// table). Plain data, for the engine's callers: start-up's question and the headless harness.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TaskMgr/MoveJournal.h"
#include "fileOp/Manifest.h"

// kContinue: a move stopped while it copied goes on from the copies it made (CTaskMgr continues
// it). Offered beside Put back (RecoveryPlan::canContinue), or alone where Put back would delete
// a copy that holds other bytes than its data.
enum class RecoveryAction : int32_t { kNothing, kFinish, kPutBack, kRefuse, kContinue };

// One of the platform's folders ("Software", "Downloads") as the disk shows it.
struct FolderFinding {
    enum class Place { kHome, kParked, kLinked, kDone, kUnclear };
    // The copy against the data it was made from: none (or unknown), partial (the data holds
    // something the copy lacks), the same, or more (the copy holds all of it, and more).
    enum class Copy { kNone, kPartial, kSame, kMore };

    std::wstring source;  // the old path
    std::wstring parked;  // empty when there is none
    std::wstring target;  // the copy's folder; empty when unknown
    bool sourceExists = false;
    bool sourceIsLink = false;
    bool parkedExists = false;
    bool targetExists = false;
    Place place = Place::kUnclear;
    Copy copy = Copy::kNone;
    // By the bytes (CTreeCompare::CompareContent), where sizes and times cannot decide: whether
    // they were compared, the first path the copy lacks, and the first it holds of its own.
    bool contentKnown = false;
    std::wstring lacking;
    std::wstring own;
    std::wstring extra;  // of own, an entry the data lacks, or holds as another kind
    std::wstring odd;    // for kUnclear: what does not fit
    // The copy is missing because the drive that holds it is not connected (the journal names
    // its volume, and no attached volume is it).
    bool driveMissing = false;
};

struct RecoveryPlan {
    RecoveryAction action = RecoveryAction::kNothing;
    bool journalFound = false;
    std::wstring journalPath;
    JournalRecord record;  // the journal, or what the disk shows when there is none
    std::vector<FolderFinding> folders;
    std::wstring why;  // for kRefuse: what was found, folder by folder, in one line
    // The move's manifest, where the journal records the copies checked and it could be read:
    // Finish reads the copies back against it before anything changes.
    bool manifestFound = false;
    Manifest manifest;
    // A move stopped while it copied, each folder parked, and no copy holding an entry of its
    // own: it may go on from its copies. The copy log it left (empty without one); the bytes of
    // the parked folders, and of them, about how many the log lists as copied (a continue
    // reads those back before it keeps them).
    bool canContinue = false;
    Manifest copyLog;
    uint64_t bytesInAll = 0;
    uint64_t bytesCopied = 0;

    // The folder that holds the copies ("Oculus game"), from the first copy; empty when unknown.
    std::wstring CopiesFolder() const;
    std::vector<std::wstring> ParkedFolders() const;  // those that exist
};
