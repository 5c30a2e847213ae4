#include "TaskMgr/CTaskMgr.h"

#include <thread>

#include "Vr/ResultCodes.h"
#include "fileOp/MoveChecks.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/sys.h"

void CTaskMgr::SetPhase(int32_t value) {
    phase.store(value);
    journal_.Phase(value);
    if (observer_) observer_->OnPhase(value);
}

const std::wstring& CTaskMgr::SourceOf(const std::wstring& target) const {
    static const std::wstring kNone;
    for (const auto& [source, pairTarget] : pairs) {
        if (pairTarget == target) return source;
    }
    return kNone;
}

int32_t CTaskMgr::SetPairs(PathMap newPairs) {
    for (const auto& [source, target] : newPairs) {
        if (source.empty() || target.empty()) {
            HX_LOG.Err(kCodeEmptyPath);
            return kCodeEmptyPath;
        }
        pairs.emplace(source, target);
        HX_LOG.Pair(source, target);
    }
    return 0;
}

// ---- Forward move ------------------------------------------------------------------------------

int32_t CTaskMgr::MoveForward() {
    SetPhase(kStopping);
    // Nothing is stopped or changed before the journal is on disk.
    if (const int32_t r = journal_.Begin(pairs, kStopping); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    const int32_t stopResult = oculus.StopServices();
    journal_.SetServices(oculus.StoppedServices());
    if (stopResult != 0) {
        HX_LOG.Err(stopResult);
        return stopResult;
    }

    SetPhase(kParking);
    const int32_t parkResult = ParkSources();
    totalUnits.store(2 * totalUnits.load() + 10);
    if (parkResult != 0) {
        HX_LOG.Err(parkResult);
        return parkResult;
    }

    SetPhase(kCopyFirst);
    if (const int32_t r = CopyParked(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    SetPhase(kLinking);
    if (const int32_t r = LinkSources(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    doneUnits.fetch_add(9);

    SetPhase(kEmptying);
    if (const int32_t r = RemoveParked(); r != 0) {
        HX_LOG.Err(r);
        return r;
    }

    SetPhase(kStarting);
    const int32_t startResult = oculus.StartServices();
    doneUnits.fetch_add(1);
    if (startResult != 0) {
        HX_LOG.Err(startResult);
        return startResult;
    }
    doneUnits.store(totalUnits.load());
    return 0;
}

int32_t CTaskMgr::ParkSources() {
    // Everything is counted and checked before the first folder is parked.
    std::map<std::wstring, std::pair<size_t, size_t>> longest;  // source -> file, folder
    for (const auto& [source, target] : pairs) {
        int32_t count = 0;
        if (const int32_t r = fileOp.CountFiles(source, count); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        totalUnits.fetch_add(count);
        longest[source] = {fileOp.LongestFileBelow(), fileOp.LongestFolderBelow()};
    }
    for (const auto& [source, target] : pairs) {
        const auto [file, folder] = longest[source];
        if (const int32_t r = CheckBeforeParking(source, target, file, folder); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
    }
    // The journal names the parked folders before they exist, so that no kill can hide them.
    PathMap parkedNames;
    for (const auto& [source, target] : pairs)
        parkedNames.emplace(source, movecheck::ParkedNameFor(source));
    if (const int32_t r = journal_.PlanParking(parkedNames); r != 0) {
        HX_LOG.Err(r);
        return r;
    }
    for (const auto& [source, target] : pairs) {
        std::wstring parkedName;
        if (const int32_t r = fileOp.RenameUnique(source, source + L"Varko", parkedName); r != 0) {
            if (r == kCodeInUse || r == SystemCode(sys::kErrAccessDenied)) {
                movecheck::LogHolders(source);
            }
            HX_LOG.Err(r);
            return r;
        }
        parked.emplace(parkedName, target);
        journal_.Parked(source, parkedName);
    }
    return 0;
}

// The checks of a source and its target before anything is parked; see MoveChecks.h.
int32_t CTaskMgr::CheckBeforeParking(const std::wstring& source, const std::wstring& target,
                                     size_t longestFile, size_t longestFolder) {
    if (const int32_t r = movecheck::NoMountPointsBelow(source); r != 0) return r;
    if (const int32_t r = movecheck::NotInUse(source); r != 0) return r;
    return movecheck::PathsFit(fileOp, source, target, longestFile, longestFolder);
}

int32_t CTaskMgr::CopyParked() {
    for (const auto& [folder, target] : parked) {
        if (const int32_t r = fileOp.CopyTree(folder, target); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        // A cancel accepted while this copy finished its last entry still counts: the phase
        // moves on only if no cancel took it first.
        int32_t expected = kCopyFirst;
        if (!phase.compare_exchange_strong(expected, kCopied) && expected == kCancelled) {
            HX_LOG.Err(kCodeCancelled);
            return kCodeCancelled;
        }
        SetPhase(kCopied);
    }
    // The parked originals are deleted next: the copies must be on disk, not only in a cache.
    for (const auto& [folder, target] : parked) {
        if (!sys::FlushToDisk(target)) {
            const int32_t r = SystemCode(sys::GetLastError());
            HX_LOG.Err(r);
            return r;
        }
    }
    // And they must be the originals: a writer the in-use check missed shows up here.
    const uint32_t verifyStart = sys::GetTickCount();
    const auto noteTime = [&] { verifyMs_.store(sys::GetTickCount() - verifyStart); };
    for (const auto& [folder, target] : parked) {
        std::wstring difference;
        if (const int32_t r = fileOp.VerifyCopy(folder, target, difference); r != 0) {
            if (r == kCodeCopyDiffers)
                HX_LOG.Detail("copy differs from its original at: ", difference);
            HX_LOG.Err(r);
            noteTime();
            return r;
        }
    }
    noteTime();
    return 0;
}

int32_t CTaskMgr::LinkSources() {
    for (const auto& [source, target] : pairs) {
        // Noted before the call: a link may exist even when the call reports a failure
        // (its check of the new link can fail after the link was made).
        linksTried_.emplace(source, target);
        journal_.Linking(source);
        if (const int32_t r = fileOp.MakeDirLink(source, target); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::RemoveParked() {
    for (const auto& entry : parked) {
        if (const int32_t r = fileOp.DeleteTree(entry.first, true); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
        SetPhase(kEmptied);
    }
    bool seenLinked = false;
    for (const auto& entry : parked) {
        if (const int32_t r = RemoveEmptiedFolder(entry.first, seenLinked); r != 0) {
            HX_LOG.Err(r);
            return r;
        }
    }
    return 0;
}

int32_t CTaskMgr::RemoveEmptiedFolder(const std::wstring& parkedFolder, bool& seenLinked) {
    return RemoveEmptiedParkedFolder(fileOp, parkedFolder, seenLinked, oldParentDir);
}

// Removes an emptied parked folder. When it was a link left by an earlier move, the earlier
// move's target folder behind it goes too, and after the second such link their common parent
// (that move's "Oculus game" folder) if it is empty by now.
int32_t RemoveEmptiedParkedFolder(CFileOp& fileOp, const std::wstring& parkedFolder,
                                  bool& seenLinked, std::wstring& oldParentDir) {
    std::wstring finalPath;
    if (const int32_t r = fileOp.GetFinalPath(parkedFolder, finalPath); r != 0) return r;
    // Ask the file system, not the spelling: a base folder spelled in another letter case is
    // no link. A reparse point that leads nowhere else (a mount or cloud placeholder) is none
    // either.
    const bool wasLink =
        sys::IsLinkOrReparsePoint(parkedFolder) && !sys::SamePathSpelling(finalPath, parkedFolder);
    if (const int32_t r = fileOp.DeleteTree(parkedFolder, false); r != 0) return r;
    if (!wasLink) return 0;

    if (const int32_t r = fileOp.DeleteTree(finalPath, false); r != 0) return r;
    if (seenLinked) {
        const auto cut = finalPath.rfind(sys::kSep);
        if (cut != std::wstring::npos) {
            oldParentDir = finalPath.substr(0, cut);
            // Only an empty folder goes, and nothing with it: the parent of a link made by
            // other means may hold other data, or the data just moved.
            fileOp.RemoveOneDir(oldParentDir);
        }
    }
    seenLinked = true;
    return 0;
}

// ---- The whole run -----------------------------------------------------------------------------

int32_t CTaskMgr::Execute() {
    doneUnits.store(0);
    fileOp.ResetCancel();
    direction.store(0);
    linksTried_.clear();
    servicesRestarted_ = true;
    int32_t rr = 0;

    int32_t result = MoveForward();
    if (result != 0) {
        HX_LOG.Err(result);
        direction.store(1);
        // A Cancel that took phase 2 may still be about to raise the walker's flag.
        while (cancelsInFlight_.load() != 0)
            std::this_thread::yield();
        fileOp.ResetCancel();

        const int32_t p = phase.load();
        if (result == kCodeCancelled && p == kCancelled) {
            rr = RestoreParked(Clear::kCopies);
            if (rr != 0) {
                HX_LOG.Err(rr);
            } else {
                doneUnits.store(0);
                RestartServicesAfterRollback();
            }
        } else {
            SetPhase(kFailed);
            switch (p) {
                case kCopyFirst:
                case kCopied:
                case kCancelled:  // a copy failed after a cancel was accepted
                    rr = RestoreParked(p == kCopyFirst ? Clear::kFirstCopy : Clear::kCopies);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
                case kLinking:
                    rr = RestoreParked(Clear::kOwnLinks);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
                case kStopping:
                    // Nothing moved; a service stopped before the refusal must not stay so.
                    RestartServicesAfterRollback();
                    break;
                case kEmptying:
                case kEmptied:
                    result = kCodeOldDataLeft;
                    break;
                case kStarting:
                    result = kCodeServicesNotStarted;
                    break;
                default:  // counting, checking or parking failed
                    rr = RestoreParked(Clear::kNothing);
                    if (rr == 0) RestartServicesAfterRollback();
                    break;
            }
            if (rr != 0) HX_LOG.Err(rr);
        }
    }

    SetPhase(kFinished);
    if (rr != 0) rollbackClean = false;
    sys::Sleep(1000);  // lets the polling page see the finished state
    return result;
}

// ---- Rollback ----------------------------------------------------------------------------------

// Back under its own name exactly. Under a free variant ("Downloads(1)") the platform would
// find an empty name while the rollback counted as clean; a taken name instead leaves the
// folder parked, where the message for an unclean rollback sends the user.
int32_t CTaskMgr::RenameBack(const std::wstring& parkedFolder, const std::wstring& source) {
    const int32_t r = fileOp.MoveOne(parkedFolder, source);
    if (r != 0) HX_LOG.Err(r);
    return r;
}

// The data is back whole whatever this gives: a failure is logged and noted, and does not make
// the rollback unclean (the user's folders are where they were).
void CTaskMgr::RestartServicesAfterRollback() {
    if (const int32_t r = oculus.RestartStoppedServices(); r != 0) {
        servicesRestarted_ = false;
        HX_LOG.Detail("services not started again after the rollback: ", r);
        HX_LOG.Err(r);
    }
}

// Gives every parked folder its old name back, after clearing away what the move put in its
// way. A copy that cannot be deleted stays behind: the original still gets its name, and the
// result follows the renames alone.
int32_t CTaskMgr::RestoreParked(Clear clear) {
    bool first = true;
    for (const auto& [folder, target] : parked) {
        const std::wstring& source = SourceOf(target);
        if (clear == Clear::kCopies || (clear == Clear::kFirstCopy && first)) {
            if (const int32_t r = fileOp.DeleteTree(target, false); r != 0) HX_LOG.Err(r);
        } else if (clear == Clear::kOwnLinks && linksTried_.count(source) != 0 &&
                   sys::IsLinkOrReparsePoint(source)) {
            // The old name was free (its folder was parked) when the link was tried, so a link
            // found there now is this run's, even if the link step reported a failure.
            if (const int32_t r = fileOp.RemoveOneDir(source); r != 0) {
                HX_LOG.Err(r);
                return r;
            }
        }
        first = false;
        if (const int32_t r = RenameBack(folder, source); r != 0) return r;
    }
    return 0;
}

// ---- Requests from the user-interface thread ---------------------------------------------------

int32_t CTaskMgr::Cancel() {
    cancelsInFlight_.fetch_add(1);
    int32_t expected = kCopyFirst;
    const bool accepted = phase.compare_exchange_strong(expected, kCancelled);
    if (accepted) fileOp.Cancel();
    cancelsInFlight_.fetch_sub(1);
    if (!accepted) return kCancelRefused;
    if (observer_) observer_->OnPhase(kCancelled);
    return kCancelAccepted;
}

int32_t CTaskMgr::GetProgress(float& fraction) {
    const int32_t done = fileOp.TakeDoneCount();
    if (direction.load() == 0) {
        doneUnits.fetch_add(done);
    } else {
        doneUnits.fetch_sub(done);
    }
    const int32_t total = totalUnits.load();
    if (total == 0) {
        HX_LOG.Err(kCodeNoTotal);
        return kCodeNoTotal;
    }
    fraction = static_cast<float>(static_cast<double>(doneUnits.load()) / total);
    return 0;
}

void CTaskMgr::Reset() {
    totalUnits.store(0);
    doneUnits.store(0);
    pairs.clear();
    parked.clear();
    rollbackClean = true;
}

int32_t CTaskMgr::GetParkedPaths(std::wstring& second, std::wstring& first) {
    if (parked.empty()) {
        HX_LOG.Err(kCodeNothingParked);
        return kCodeNothingParked;
    }
    auto it = parked.begin();
    first = it->first;
    ++it;
    second = it != parked.end() ? it->first : std::wstring();
    return 0;
}
