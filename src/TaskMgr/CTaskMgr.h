// One relocation of the Oculus data folders and, when it fails or is cancelled, its rollback.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "OculusMgr/COculusMgr.h"
#include "TaskMgr/MoveJournal.h"
#include "TaskMgr/TaskPhase.h"
#include "fileOp/CFileOp.h"
#include "ground/MoveReport.h"

// The move journal (MoveJournal.h) is written before the services are stopped, before the
// folders are parked and before each link, and rewritten at every phase change; kFinished removes
// it. A journal that cannot be written first fails the move in kStopping, before anything changed.
//
// Rollback by phase: a failed copy (2, 3, or a late failure after a cancel, 8) and an accepted
// cancel (8) delete the copies and give the parked folders their old names back; a failed link
// or a parked file found held (6) removes the links this move made, deletes the copies that
// still match their originals and gives the parked folders their old names back; a
// failure while checking or parking (0) gives the folders parked so far their old names back.
// Each of these, and a failed stop (1), starts again the services this move stopped once every
// folder is back; a service that will not start is logged and leaves the rollback clean, which
// speaks only of the data. Failures at 4/5 (kCodeOldDataLeft) and 12 (kCodeServicesNotStarted)
// undo nothing: the data already lives at the target and is reachable through the links.

// Removes a parked folder that its move has emptied: the folder, and when it was a link left by
// an earlier move, that move's folder behind it (and, after the second such link, their common
// parent when it is empty by then, noted in oldParentDir). The recovery finishes a move with it.
int32_t RemoveEmptiedParkedFolder(CFileOp& fileOp, const std::wstring& parkedFolder,
                                  bool& seenLinked, std::wstring& oldParentDir);

// The free name a move back makes the home copy of link under: "SoftwareBack", then with "(1)"
// added as often as the name is taken.
std::wstring HomeCopyNameFor(const std::wstring& link);

// Tests and the move harness watch the phases (and the steps the status line names) go by;
// null in the product.
class TaskPhaseObserver {
  public:
    virtual void OnPhase(int32_t phase) = 0;
    virtual void OnStep(MoveStep) {}

  protected:
    ~TaskPhaseObserver() = default;
};

class CTaskMgr {
  public:
    using PathMap = std::map<std::wstring, std::wstring>;

    int32_t SetPairs(PathMap pairs);
    // The next Execute brings a moved library home instead of moving it: each pair is then a
    // link (source) and the moved folder it leads to (target). See MoveBack.cpp.
    void SetMovingBack(bool back) { back_.store(back); }
    // The next Execute continues the move that record journals, stopped while it copied (its
    // pairs must be set too): its folders are parked already, and each file of log (the copy
    // log it left) whose copy is still whole is kept rather than copied again. Used once.
    void SetContinuing(const JournalRecord& record, Manifest log);
    // What the last continued move found copied whole before it began: kept, not copied again.
    uint64_t BytesKept() const { return bytesKept_.load(); }
    bool Continued() const { return continued_; }
    // The last run was a continue that its first checks refused (a service that would not stop,
    // a program holding a file): nothing changed, and the stopped move still waits.
    bool LeftWaiting() const { return leftWaiting_; }
    // The bytes of each source, as the target check sized them just before: the count of the
    // next move then only lists names. Used once.
    struct SourceSize {
        uint64_t bytes = 0;
        uint64_t holeBytes = 0;  // of bytes, the holes of sparse files
    };
    void KnowBytes(std::map<std::wstring, SourceSize> sizes) { knownBytes_ = std::move(sizes); }
    int32_t Execute();
    int32_t Cancel();  // user-interface thread
    // The bar's fraction: the copy weighted by its bytes, each fixed step by a small share. It
    // never falls (a rollback holds it) and stays below 1 until the move has returned.
    int32_t GetProgress(float& fraction);  // user-interface thread
    MoveSnapshot Snapshot() const;         // user-interface thread
    void Reset();
    // Keeps the first failure of a move: its code, the step, and the path concerned (given, or
    // the one the failing system call left). Reset forgets it.
    void NoteFailure(int32_t code, const std::wstring& path = {});
    const FailureNote& FirstFailure() const { return failure_; }
    bool CancelAccepted() const { return cancelAccepted_.load(); }
    uint64_t BytesToMove() const;
    // True when every folder is back whole under its old name (or the move did not need it).
    bool IsRollbackClean() const { return rollbackClean; }
    // False when the last run's rollback could not start again the services it had stopped.
    bool ServicesRestarted() const { return servicesRestarted_; }
    int32_t GetParkedPaths(std::wstring& second, std::wstring& first);

    int32_t Phase() const { return phase.load(); }
    void SetPhaseObserver(TaskPhaseObserver* observer) { observer_ = observer; }
    int32_t TotalUnits() const { return totalUnits.load(); }
    int32_t DoneUnits() const { return doneUnits.load(); }
    uint32_t VerifyMs() const { return verifyMs_.load(); }  // the last verification's time

  private:
    std::map<std::wstring, SourceSize> knownBytes_;
    int32_t MoveForward();
    int32_t MakeTargetFolders();
    int32_t ResumeJournal();  // continuing: the stopped move's journal, as this one's
    int32_t AdoptParked();    // continuing: the folders the stopped move parked
    void RemoveMadeFolders();
    int32_t ParkSources();
    int32_t CopyParked();
    struct CopyJob {
        std::wstring from, to, name;  // name: the tree's, as the manifest lists it
    };
    std::vector<ManifestTree> kept_;  // continuing: per job, what is kept
    // Copies each job, flushes the copies, compares them with their originals, reads them back
    // from the media and records them checked; writeManifest keeps the hashes for a recovery.
    int32_t CopyAndCheck(const std::vector<CopyJob>& jobs, bool writeManifest);
    // Continuing: finds which files of the stopped move's copies are whole (kept_).
    int32_t KeepWhatWasCopied(const std::vector<CopyJob>& jobs);

    // Moving back (MoveBack.cpp).
    int32_t MoveBackward();
    int32_t CountBackAndCheckRoom();
    int32_t MakeHomeCopies();
    int32_t PlaceHomeCopies();
    int32_t RemoveMovedData();
    int32_t RollBackMoveBack(int32_t phase, bool cancelled, int32_t& result);
    int32_t UnplaceHomeCopies();
    void RemoveHomeCopies();
    // Each 0, or the code of the failure, noted and logged.
    int32_t BeginJournal(JournalWork work);  // before anything is stopped or changed
    int32_t JournalWritten(int32_t result);  // a failed write of the journal, noted and logged
    int32_t StopServices();                  // the services stopped are journaled either way
    // A program holding something below folders, or the query that failed.
    int32_t NotHeldBeforeDeleting(const std::vector<std::wstring>& folders);
    int32_t StartServicesAtTheEnd();  // the last step of a move and of a move back
    int32_t LinkSources();
    int32_t RemoveParked();
    int32_t RemoveEmptiedFolder(const std::wstring& parkedFolder, bool& seenLinked);

    // What a rollback clears away before the parked folders get their names back.
    enum class Clear { kNothing, kFirstCopy, kCopies, kOwnLinksAndCopies };
    int32_t RestoreParked(Clear clear);
    void DeleteCopyIfUnchanged(const std::wstring& parkedFolder, const std::wstring& copy);
    int32_t RenameBack(const std::wstring& parkedFolder, const std::wstring& source);
    void RestartServicesAfterRollback();
    int32_t CheckBeforeParking(const std::wstring& source, const std::wstring& target,
                               size_t longestFile, size_t longestFolder);

    void SetPhase(int32_t value);
    // Leaves the cancel window's phases for to, unless a cancel has taken the phase already.
    bool AdvanceUnlessCancelled(int32_t to);
    void SetStep(MoveStep step);
    float ForwardFraction() const;
    const std::wstring& SourceOf(const std::wstring& target) const;

    std::atomic<int32_t> phase{kParking};
    std::atomic<int32_t> direction{0};
    CFileOp fileOp;
    COculusMgr oculus;
    PathMap pairs;   // source folder -> target folder
    PathMap parked;  // parked source folder -> target folder
    std::atomic<int32_t> totalUnits{0};
    std::atomic<int32_t> doneUnits{0};
    bool rollbackClean = true;
    std::wstring oldParentDir;

    bool servicesRestarted_ = true;
    std::atomic<uint32_t> verifyMs_{0};

    // What the status line and the bar read while the move runs.
    static constexpr size_t kTrees = 2;  // Downloads and Software
    struct Tree {
        std::wstring name;  // written before the copy starts, read only while it runs
        std::atomic<uint64_t> bytes{0};
        std::atomic<uint64_t> holeBytes{0};
        std::atomic<int32_t> files{0};
    };
    std::array<Tree, kTrees> trees_;
    std::atomic<int32_t> step_{static_cast<int32_t>(MoveStep::kIdle)};
    std::atomic<int32_t> copyTree_{0};             // the tree being copied
    std::atomic<uint64_t> copyTreeStartBytes_{0};  // the copied bytes when it began
    std::atomic<float> heldFraction_{0.0f};        // the highest fraction reported
    std::atomic<bool> cancelAccepted_{false};
    FailureNote failure_;  // the worker's; read after the move

    std::vector<std::wstring> madeFolders_;    // by this run, the copies' container first
    PathMap linksTried_;                       // source -> target, the links this run tried to make
    std::atomic<int32_t> cancelsInFlight_{0};  // a Cancel between accepting and flagging
    TaskPhaseObserver* observer_ = nullptr;
    std::atomic<bool> back_{false};
    PathMap homeCopies_;  // moving back: link -> the home copy's name beside it
    // Continuing a stopped move: its journal and its copy log; what was kept, in bytes.
    bool continuing_ = false;
    bool continued_ = false;
    bool leftWaiting_ = false;
    JournalRecord continueRecord_;
    Manifest continueLog_;
    std::atomic<uint64_t> bytesKept_{0};
    std::atomic<uint64_t> bytesLogged_{0};  // what the log lists, which the check reads
    CopyLog copyLog_;
    MoveJournal journal_;  // on disk from the first step until the end; see MoveJournal.h
};
