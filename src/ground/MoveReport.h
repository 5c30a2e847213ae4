// What the engine tells a watcher about a move: the step it is at with its numbers while it
// runs, and afterwards the outcome in the terms a person needs. Plain data, free of the windows.
#pragma once

#include <cstdint>
#include <string>

// What a move is doing now, as a person would name it. The phase word of the task says where a
// rollback must start; this says what the status line shows.
enum class MoveStep : int32_t {
    kIdle = 0,            // no move runs, or it has not begun
    kStoppingServices,    // stopping the two Oculus services
    kPreparing,           // counting, checking and parking the folders
    kCopying,             // copying a parked folder to the target
    kCheckingCopies,      // flushing the copies to disk and comparing them with the originals
    kCreatingLinks,       // putting links at the old paths
    kRemovingOld,         // deleting the parked originals
    kStartingServices,    // starting the services again
    kFinishing,           // done; the last pause before the move returns
    kUndoingCopies,       // a rollback: deleting the copies
    kUndoingLinks,        // a rollback: removing the links this move made
    kRestoringNames,      // a rollback: giving the folders their old names back
    kRestartingServices,  // a rollback: starting the services it had stopped
    kPlacingFolders,      // moving back: the home copies take the links' places
    kRestoringLinks,      // moving back, a rollback: the links are put back
    kCheckingCopied,      // continuing: reading back what the stopped move had copied
};

// One look at a running move, for the status line.
struct MoveSnapshot {
    MoveStep step = MoveStep::kIdle;
    bool cancellable = false;  // a cancel would be accepted now: from the first copy to the links
    bool cancelled = false;    // a cancel has been accepted
    bool recovering = false;   // a stopped move is being finished or put back: no cancel
    bool repointing = false;   // the links are being re-pointed: no cancel either
    bool back = false;         // the library is being moved back home
    std::wstring treeName;     // the folder being copied ("Software", "Downloads")
    uint64_t treeBytesDone = 0;
    uint64_t treeBytesTotal = 0;
    uint64_t bytesDone = 0;  // of the whole copy, every folder
    uint64_t bytesKept = 0;  // continuing: of bytesDone, what the stopped move had copied
    uint64_t bytesTotal = 0;
    uint64_t verifiedBytes = 0;  // of the copy, read back from the target's drive and checked
    // Of those, the holes of sparse files, which the copy passes over at once: the time left
    // goes by the rest, the bytes that must really be written.
    uint64_t holeBytesDone = 0;
    uint64_t holeBytesTotal = 0;
};

// The first failure of a move, as it was met.
struct FailureNote {
    int32_t code = 0;                 // 0: nothing failed
    MoveStep step = MoveStep::kIdle;  // what the move was doing
    std::wstring path;                // the file, folder or service concerned; may be empty
    std::wstring systemText;          // the system's words for a system code; may be empty
};

// How a move ended, for the closing words.
struct MoveOutcome {
    int32_t result = 0;           // the move result (ResultCodes.h)
    bool rollbackClean = true;    // every folder back under its own name
    bool servicesRunning = true;  // false: the services stayed stopped
    bool cancelled = false;       // the user's cancel was accepted
    FailureNote failure;
    uint64_t bytesMoved = 0;    // the bytes of both folders
    std::wstring baseFolder;    // the installation's base folder
    std::wstring movedTo;       // the "Oculus game" folder the data went to
    std::wstring sourceVolume;  // the installation's drive as a person names it ("C:")
    // Where the data lay before the move, when that was another drive than the installation's
    // (a moved library moved on); empty for a first move.
    std::wstring dataVolume;
    std::wstring targetVolume;  // the drive of movedTo
    bool sameVolume = false;    // the target lies on the drive the data left: nothing was freed
    // A move back: the games came from movedTo (on targetVolume) to baseFolder (on
    // sourceVolume).
    bool back = false;
    // A stopped move continued: of bytesMoved, what its copies already held whole.
    bool continued = false;
    uint64_t bytesKept = 0;
    bool stillWaiting = false;  // a continue refused before it changed anything
    std::wstring logPath;       // the run's log file; empty when there is none
};
