// Every result code of the program, in one place. The engine, the task, the file-tree operations
// and the platform access return 32-bit codes: 0 for success, 10000 + n for a system call that
// failed with Windows error n, and the small codes below. The interfaces keep returning int32_t;
// these names are what code returns and compares. 0 stays 0 in code ("r != 0"): it means success
// everywhere, and kCodeOk names it only where it stands among the other codes.
//
// To add a code: one row in the table of its group, one constant in the same order below.
//
// Move results: what CVr::MoveInstallation and CTaskMgr::Execute return, so what the worker hands
// to the progress page, which shows one message for each. 9, 10 and 10000 + n also come from the
// operations named, and pass through the move unchanged.
//   kCodeOk (0)                    moved, linked, old data removed, services running.
//   kCodeEmptyPath (2)             a source or target path was empty (CVr, CTaskMgr::SetPairs),
//                                  or not a full path ("Games", "C:Games"; logged with it).
//   kCodeCancelled (3)             cancelled by the user: a tree walk or a file's copy met the
//                                  cancel flag (CFileOp's walks, CTaskMgr). Not the task phase
//                                  kCancelled (8).
//   kCodeServicesNotStarted (6)    moved, but the services did not start again (CTaskMgr).
//   kCodeNotInstalled (7)          no "Oculus VR, LLC" key: the platform is not installed
//                                  (COculusMgr::DetectBase, passed on by CVr's detection).
//   kCodeFinalPathTooLong (9)      a final path needs 512 characters or more (CFileOp).
//   kCodeLinkFacilityMissing (10)  the system's link calls are missing (CFileOp).
//   kCodeOldDataLeft (12)          moved and linked, but the parked old data could not all be
//                                  removed; the services stay stopped (CTaskMgr).
//   kCodeRecoveryPending (16)      refused before anything changed: an interrupted move (a journal
//                                  or a parked folder) waits to be finished or put back (CVr).
//   kCodeTargetUnfit (23)          refused before anything changed: the checked target is gone
//                                  or no longer a folder when the move begins (CVr; the failure
//                                  note names the target).
//   SystemCode(n) (10000 + n)      a system call failed with Windows error n, at any step (every
//                                  level). 10001 (error 1) also carries an errno that has no
//                                  Windows counterpart; the log record names it (logging).
//
// Other answers of the engine:
//   kCodeNoTotal (5)               progress asked before the task has counted its files
//                                  (CTaskMgr::GetProgress, passed on by CVr::GetProgress).
//   kCodeNothingParked (13)        parked paths asked while nothing is parked (CTaskMgr, CVr).
//   kCodeCopyDiffers (14)          a copy is not its original: an entry, a size or a write time
//                                  differs (CTreeCompare::VerifyCopy); the move rolls back as
//                                  after a failed copy.
//   kCodeMountPointInside (15)     a source folder holds a mount point, which its deletion would
//                                  reach into (movecheck, before anything is parked).
//   kCodeNameTaken (10183)         an entry the copy makes is there already: on a volume that
//                                  ignores letter case, two names of the source that differ only
//                                  in case (CFileOp::CopyTree).
//   kCodeInUse (10032)             another process uses a source folder, or a file in it
//                                  (movecheck before parking; the system's rename refusal).
//   kCodePathTooLong (10206)       a path the move would make does not fit (movecheck).
//   kCodeRecoveryRefused (17)      a recovery found the folders in a state it may not finish or
//                                  undo, or in another state than the action asked for; it changed
//                                  nothing (CRecovery). A recovery also answers kCodeOk when done,
//                                  kCodeServicesNotStarted when only the services would not start,
//                                  or the failing step's code; the journal stays for another try
//                                  unless it answers kCodeOk.
//   kCodeJournalUnreadable (18)    the move journal holds a text this version does not write
//                                  (ReadJournal); the recovery refuses.
//   kCodeCopyLeft (19)             a recovery put the data back, whole, at home, but something
//                                  is left in the copies' folder, which it names (CRecovery).
//   kCodeCopyCorrupt (20)          a copy read back from the target drive gave other bytes than
//                                  were written: the drive may be failing or fake. The move
//                                  rolls back, keeping the original; a recovery does not finish
//                                  (CCopyEngine::VerifyFromMedia, CTaskMgr, CRecovery).
//   kCodeManifestUnreadable (21)   a manifest holds a text this version does not write
//                                  (ReadManifest).
//   kCodeNoManifest (22)           the moved library has no manifest to be checked against: it
//                                  was moved by an earlier version, or is not moved (CVr).
//   kCodeNoRoomAtHome (24)         moving back: the installation's drive has too little free
//                                  space for the moved folders; nothing was changed (CTaskMgr).
//   kCodeNotMoved (25)             moving back: the library is not moved (both folders links to
//                                  one folder, on the drive they were moved to) (CVr).
//   kCodeWorkerFailed (-1)         the worker's result for an unknown operation, or for a back-up
//                                  whose folder could not be made (CExeThread).
//
// Target check: what CFileOp::CheckTarget and CVr::CheckTargetDir answer (CVr turns every other
// code into kTargetRefused); the source/target page shows one message for each refusal.
//   kTargetFits (0)                enough free space, and apart from the source folders.
//   kTargetTooSmall (1)            the free space does not exceed the size of both folders.
//   kTargetInsideSource (2)        the target is a source folder or lies inside one: its text
//                                  holds the final path, or it resolves there (links, mounts,
//                                  case).
//   kTargetRefused (3)             any other reason, a target that is not a full path among
//                                  them (logged with it) (only CVr gives it).
//   kTargetQueryFailed (4)         sizing a source, the free space or a final path failed.
//   kTargetPathTooLong (5)         the paths the move would make there would not fit
//                                  (CheckTarget only: CVr answers kTargetRefused for it).
// The whole check of a target (IArSet::CheckMoveTarget) runs these first, in this order, and the
// source's checks after CheckTargetDir's; the window shows one message for each:
//   kTargetNotGiven (6)            no target was given.
//   kTargetMissing (7)             not a full path, or nothing is there.
//   kTargetNotFolder (8)           there is something, but not a folder (a file).
//   kTargetWrongDrive (9)          not on a hard disk or flash drive (network, optical, RAM).
//   kTargetWrongFileSystem (10)    a file system that cannot hold the move (FAT32, FAT, ...).
//   kTargetNoSource (11)           the installation is not detected (after CheckTargetDir).
//   kTargetIsInstallFolder (12)    the folder that holds the installation, or its text holds the
//                                  installation's, in any letter case.
//   kTargetInsideBase (13)         the installation's base folder, or inside it, however spelled.
//   kTargetInsideData (14)         a moved library's own folder ("Oculus game"), or inside it,
//                                  however reached: moving on goes to another folder.
//
// Cancel: what CTaskMgr::Cancel, CVr::CancelMove and CExeThread::RequestCancel answer.
//   kCancelAccepted (0)            the move was copying or checking its copies (from the first
//                                  copy until linking); it stops and rolls back.
//   kCancelRefused (4)             any other moment; nothing changes (the worker tells the user).
//
// Worker operations: what the page sets with CExeThread::SetOperation (always kOpMove) and what
// the progress page chooses its opening lines by.
//   kOpMove (1)                    the move.
//   kOpBackUpGames (2)             make the target folder for a back-up of games.
//   kOpBackUpInstallDir (3)        make the target folder for a back-up of the installation.
//   kOpRestoreGames (4)            end the source path with a separator.
//   kOpRestoreInstallDir (5)       end the target and the source path with a separator.
//   kOpFinishMove (6)              finish an interrupted move (start-up's offer).
//   kOpPutBack (7)                 put an interrupted move back (start-up's offer).
//   kOpRepoint (8)                 point links that lead nowhere at their volume's new place.
//   kOpCheck (9)                   read the moved library back against its move's manifest.
//   kOpMoveBack (10)               bring the moved library home.
//   kOpContinue (11)               continue an interrupted move from its copies (start-up's offer).
#pragma once

#include <cstdint>

// Move results and other answers of the engine.
inline constexpr int32_t kCodeOk = 0;
inline constexpr int32_t kCodeEmptyPath = 2;
inline constexpr int32_t kCodeCancelled = 3;
inline constexpr int32_t kCodeNoTotal = 5;
inline constexpr int32_t kCodeServicesNotStarted = 6;
inline constexpr int32_t kCodeNotInstalled = 7;
inline constexpr int32_t kCodeFinalPathTooLong = 9;
inline constexpr int32_t kCodeLinkFacilityMissing = 10;
inline constexpr int32_t kCodeOldDataLeft = 12;
inline constexpr int32_t kCodeNothingParked = 13;
inline constexpr int32_t kCodeCopyDiffers = 14;
inline constexpr int32_t kCodeMountPointInside = 15;
inline constexpr int32_t kCodeRecoveryPending = 16;
inline constexpr int32_t kCodeRecoveryRefused = 17;
inline constexpr int32_t kCodeJournalUnreadable = 18;
inline constexpr int32_t kCodeCopyLeft = 19;
inline constexpr int32_t kCodeCopyCorrupt = 20;
inline constexpr int32_t kCodeManifestUnreadable = 21;
inline constexpr int32_t kCodeNoManifest = 22;
inline constexpr int32_t kCodeTargetUnfit = 23;
inline constexpr int32_t kCodeNoRoomAtHome = 24;
inline constexpr int32_t kCodeNotMoved = 25;
inline constexpr int32_t kCodeInUse = 10032;
inline constexpr int32_t kCodeNameTaken = 10183;
inline constexpr int32_t kCodePathTooLong = 10206;
inline constexpr int32_t kCodeWorkerFailed = -1;

// The result code of a failed system call: 10000 + its Windows error number.
inline constexpr int32_t kCodeSystemBase = 10000;
constexpr int32_t SystemCode(uint32_t error) {
    return kCodeSystemBase + static_cast<int32_t>(error);
}
// The code of a call that failed: one that left no error number has failed all the same, and
// counts as an invalid function (Windows error 1), never as 10000 + 0.
constexpr int32_t FailedCallCode(uint32_t error) {
    return SystemCode(error == 0 ? 1 : error);
}

// Target check.
inline constexpr int32_t kTargetFits = 0;
inline constexpr int32_t kTargetTooSmall = 1;
inline constexpr int32_t kTargetInsideSource = 2;
inline constexpr int32_t kTargetRefused = 3;
inline constexpr int32_t kTargetQueryFailed = 4;
inline constexpr int32_t kTargetPathTooLong = 5;
inline constexpr int32_t kTargetNotGiven = 6;
inline constexpr int32_t kTargetMissing = 7;
inline constexpr int32_t kTargetNotFolder = 8;
inline constexpr int32_t kTargetWrongDrive = 9;
inline constexpr int32_t kTargetWrongFileSystem = 10;
inline constexpr int32_t kTargetNoSource = 11;
inline constexpr int32_t kTargetIsInstallFolder = 12;
inline constexpr int32_t kTargetInsideBase = 13;
inline constexpr int32_t kTargetInsideData = 14;

// Cancel.
inline constexpr int32_t kCancelAccepted = 0;
inline constexpr int32_t kCancelRefused = 4;

// Worker operations.
inline constexpr int32_t kOpMove = 1;
inline constexpr int32_t kOpBackUpGames = 2;
inline constexpr int32_t kOpBackUpInstallDir = 3;
inline constexpr int32_t kOpRestoreGames = 4;
inline constexpr int32_t kOpRestoreInstallDir = 5;
inline constexpr int32_t kOpFinishMove = 6;
inline constexpr int32_t kOpPutBack = 7;
inline constexpr int32_t kOpRepoint = 8;
inline constexpr int32_t kOpCheck = 9;
inline constexpr int32_t kOpMoveBack = 10;
inline constexpr int32_t kOpContinue = 11;
