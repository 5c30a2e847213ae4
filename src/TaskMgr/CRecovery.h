// The recovery of an interrupted move: it looks at the disk, decides, and finishes the move or
// puts it back, journaling itself as a move does.
//
// What the disk shows, for each of "Software" and "Downloads": S its old path, P its parked
// folder, T its copy. The journal names P and T; without a journal (a move of an earlier
// version) P is the one "...Varko" folder next to S, and T is where a link at S leads.
//
//   place     S                P         the copy T, against P (or against S at home)
//   Home      a real folder    absent    none, partial or the same
//   Parked    absent           present   none, partial, the same, or more
//   Linked    a link to T      present   the same or more
//   Done      a link to T      absent    present
//   Unclear   anything else: both S and P, neither, a link elsewhere, a second "...Varko"
//             folder, a copy that overlaps the data it was made from, a journal that names
//             folders no move makes
//
// "The same": the same entries, sizes and write times (CTreeCompare::VerifyCopy). "More": all
// that P holds is in T, the same, and T holds more besides: P was half deleted after the copy
// was verified, or something was added through the link (CTreeCompare::VerifyHeldIn).
// "Partial": P holds something that T lacks. Sizes and times decide only once the journal
// records the copies flushed and checked (checked=1): before that a power cut may have left T's
// files full of zeros with their sizes and times kept. Everywhere else the bytes are read
// (CTreeCompare::CompareContent): what T lacks of its data, and what T holds of its own (an
// entry, or other bytes).
//
// The decision, in this order:
//
//   Nothing    no journal and no parked folder: nothing is touched.
//   Refuse     a folder is Unclear: nothing is touched, and the refusal says where each
//              folder's data is.
//   Finish     every folder is Done, or Parked or Linked with a copy that holds all of its data:
//              same or more after checked=1, else proved by its bytes. Link each Parked S to T,
//              flush the copies, record checked=1, delete every P (CFileOp::DeleteTree, then
//              RemoveEmptiedParkedFolder, as the move does), start the services.
//   Put back   every folder is Home, Parked or Linked, and its copy, if there is one, proved by
//              its bytes to hold nothing of its own: remove the links to T, delete every T, give
//              every P its old name back (exactly), remove the emptied "Oculus game" folder,
//              start the services.
//   Refuse     anything else (a copy holding what its data lacks, one folder Done and the other
//              Home, ...): nothing is touched, and the refusal names both places.
//
//   Refuse     first of all, when a copy is missing because its drive is not connected (the
//              journal names the copies' volume): the refusal says so and names every folder
//              that may hold data, the copies' folder on that drive included.
//
// So a copy holding anything its data lacks is never deleted, and a Done folder's copy (the
// moved library, even where a reinstall made a fresh folder at S) never. A journal that cannot
// be read, or that names folders no move makes, is set aside and the disk decides as for a move
// without one, with the copies the journal's readable lines name; where it cannot, the refusal
// says what to do. Without a journal, a copy that no link names is looked for beside the one a
// link names. Without a journal the services started are both of the platform's; with one,
// those it says the move stopped, and those the recovery stopped itself.
//
// A recovery asks what a move asks: it stops the platform's services before it touches a folder
// (after a power cut they start with the system) and starts them at its end; right before it
// deletes parked data or copies it looks for programs holding them, and a held file stops it
// with nothing lost (CRecovery::HeldFile names it). A put back that finds something left in the
// copies' folder says so (kCodeCopyLeft) instead of success.
//
// A recovery writes its own journal (work=finish or putback) before its first change, and every
// step leaves a state that this table maps to the same decision again: Finish only adds links
// and removes parked data that the copy holds; Put back only removes links and copies and renames.
// So a recovery may be stopped at any moment and run again. The journal goes only when every step
// succeeded.
//
// A move back's journal (work=back) is decided by its own table (CRecovery::AssessBack): the
// recovery finishes it once its home copies are checked, and else deletes them.
//
// A re-pointing's journal (work=repoint) names the links' new place. Where that is not there, the
// volume the links led to is looked for by its identity (moved.record), wherever it is attached
// now, its first place included; each link is replaced without a moment of no link where the
// system allows it (sys::ReplaceDirectoryLinkW).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "OculusMgr/COculusMgr.h"
#include "TaskMgr/CTaskMgr.h"
#include "TaskMgr/RecoveryPlan.h"
#include "fileOp/CFileOp.h"
#include "ground/MoveReport.h"

class CRecovery {
  public:
    // Looks and decides; changes nothing. detectedBase (with or without its separator) is used
    // only when there is no journal; empty when the installation was not found. 0, or the code of
    // a query that failed, when nothing can be decided.
    int32_t Assess(const std::wstring& detectedBase, RecoveryPlan& plan);
    // As Assess, for a continue about to run: a stopped copy is compared with its data by names
    // and kinds only, never read (the continue reads back what it keeps), so Finish and Put
    // back are not weighed.
    int32_t AssessForContinue(const std::wstring& detectedBase, RecoveryPlan& plan);
    // Looks again and carries out expected (kFinish or kPutBack) when the disk still calls for it:
    // 0; kCodeRecoveryRefused when it calls for something else; kCodeServicesNotStarted when only
    // the services would not start; or the code of the failed step.
    int32_t Run(const std::wstring& detectedBase, RecoveryAction expected);
    // 0, kCodeRecoveryPending when a journal or a parked folder waits, or the code of a failed
    // query. Cheap: the journal's name and the base folder's listing.
    int32_t CheckNothingPending(const std::wstring& detectedBase);

    // Points each folder's link (source) at its target, with the services stopped meanwhile,
    // journaled as work=repoint: the re-pointing of links whose volume moved (InstallState.h),
    // and the finish of one that was stopped. Never removes anything but a link. 0, or a code.
    int32_t Repoint(JournalRecord record);

    // After a Run that a program holding a file stopped (kCodeInUse): the file, and the
    // program's name; empty otherwise. After kCodeCopyLeft: the folder left, in held; after
    // kCodeCopyCorrupt: the copied file the drive gave back other bytes of.
    const std::wstring& HeldFile() const { return held_; }
    const std::wstring& HeldBy() const { return holder_; }

    int32_t GetProgress(float& fraction);  // user-interface thread, while Run runs
    // Before a Run: no fraction until it has counted.
    void ResetProgress() {
        totalUnits.store(0);
        doneUnits.store(0);
    }
    // What the running recovery does, for the status line.
    MoveStep CurrentStep() const { return static_cast<MoveStep>(step_.load()); }
    // Tests and the harness watch the steps: kLinking, kEmptying, kStarting (finishing), or
    // kFailed, kStarting (putting back).
    void SetPhaseObserver(TaskPhaseObserver* observer) { observer_ = observer; }

  private:
    int32_t FromJournal(RecoveryPlan& plan);
    // Whether the move may go on from its copies (RecoveryPlan::canContinue), and how far.
    int32_t WeighContinue(RecoveryPlan& plan);
    // A stopped re-pointing: finished when every target is a folder and every old path is a
    // link or nothing.
    int32_t AssessRepoint(RecoveryPlan& plan);
    // A stopped move back (work=back): see CRecovery.cpp.
    int32_t AssessBack(RecoveryPlan& plan);
    int32_t FinishBack(const RecoveryPlan& plan);
    int32_t PutBackBack(const RecoveryPlan& plan);
    // hint: what a damaged journal still names (its copies), or null.
    int32_t OriginalAsChecked(const RecoveryPlan& plan, FolderFinding& folder);
    int32_t FromDisk(const std::wstring& base, RecoveryPlan& plan, bool& anyParked,
                     const JournalRecord* hint);
    int32_t LookAt(FolderFinding& folder, bool journalKnown, bool checked,
                   const std::wstring& targetVolume = {});
    int32_t CompareCopy(const std::wstring& original, FolderFinding& folder, bool checked);
    int32_t Finish(const RecoveryPlan& plan);
    int32_t PutBack(const RecoveryPlan& plan);
    int32_t StartServicesAndClose(JournalRecord& record);
    // Journals the recovery as work and stops the services; on a failure everything is as
    // before (RestartAndRestore). record.services then names every service to start at the end.
    int32_t BeginAndStopServices(JournalRecord& record, JournalWork work, int32_t phase,
                                 const JournalRecord& original);
    // Undoes BeginAndStopServices when the recovery stops before it changed anything.
    void RestartAndRestore(const JournalRecord& original);
    // 0, or kCodeInUse (HeldFile and HeldBy say who) or a failed query's code.
    int32_t NotHeld(const std::vector<std::wstring>& folders);
    // NotHeld of every folder's target that exists; on a refusal, as before the recovery began
    // (RestartAndRestore).
    int32_t TargetsNotHeld(const RecoveryPlan& plan);
    void Step(JournalRecord& record, int32_t phase, bool mustWrite, int32_t& code);
    int32_t CountUnits(const RecoveryPlan& plan, RecoveryAction action);

    CFileOp fileOp;
    COculusMgr oculus;
    bool namesOnly_ = false;  // AssessForContinue's
    std::atomic<int32_t> totalUnits{0};
    std::atomic<int32_t> doneUnits{0};
    std::atomic<int32_t> step_{0};  // MoveStep
    TaskPhaseObserver* observer_ = nullptr;
    std::wstring held_;
    std::wstring holder_;
};
