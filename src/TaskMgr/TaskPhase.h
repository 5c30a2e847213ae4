// The phases of one move, shared by the move, its journal and its recovery.
#pragma once

#include <cstdint>

// The phases of a move. Forward, a move runs 1, 0, 2, 3 (once per copied tree), 6, 4, 5 (once
// per emptied folder), 12 and ends in 13 whatever happened.
//
//   kStopping (1)    stop both services; either one refusing ends the move here, and a
//                    service already stopped is started again. Nothing on disk has changed.
//   kParking (0)     count each source folder's files, check everything the move will need
//                    (no mount point inside, no other process using it, every path it will
//                    make fits: see MoveChecks.h), then give each a free new name next to
//                    itself ("SoftwareVarko"). From here until kEmptying the old data exists,
//                    whole, under the parked names.
//   kCopyFirst (2)   copy the first parked tree into its target.
//   kCopied (3)      a tree has been copied; after the last one both are flushed to disk and
//                    compared with their originals (a difference fails the copy). From the first
//                    byte of the first copy until linking starts (2 and 3) the user may cancel:
//                    an accepted cancel turns the phase into kCancelled (8), and every step that
//                    leaves 2 or 3 first looks whether a cancel took it.
//   kLinking (6)     put a directory link at each old path, pointing at its copy; then look
//                    once more that no process holds anything in the parked folders.
//   kEmptying (4)    empty the parked folders; kEmptied (5) after each one, and while the
//                    emptied folders (and an earlier move's target behind a link) are removed.
//   kStarting (12)   start both services again.
//   kFailed (11)     a forward step failed; the rollback for the phase it reached runs.
//   kFinished (13)   the end of every run.
//
// Declared in the order a move goes through them. The numbers are written into move journals
// and read back by later versions of this program: they never change, and a new phase takes a
// new number.
enum TaskPhase : int32_t {
    kStopping = 1,
    kParking = 0,
    kCopyFirst = 2,
    kCopied = 3,
    kLinking = 6,
    kEmptying = 4,
    kEmptied = 5,
    kStarting = 12,
    kFinished = 13,
    // Off the forward path.
    kCancelled = 8,
    kFailed = 11,
};
