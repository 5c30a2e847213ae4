#include "Vr/MoveStatus.h"

#include <algorithm>
#include <cmath>

#include "fileOp/LibraryCheck.h"
#include "ground/ResultCodes.h"
#include "platform/sys.h"
#include "platform/units.h"

namespace {

constexpr uint32_t kWindowMs = 5000;
constexpr uint32_t kFirstSpeedMs = 1500;
constexpr double kSmoothingMs = 5000.0;
constexpr uint32_t kRecentMs = 2000;
constexpr double kMostOff = 2.0;     // the time left never strays further from the current speed
constexpr size_t kLongestPath = 64;  // longer paths are shortened in the middle

const std::wstring kDot = L" \u00b7 ";
const std::wstring kEllipsis = L"\u2026";
const std::wstring kServices = L"\"OVRService\" and \"OVRLibraryService\"";

// The start (the drive) and the end (the name) of a path tell a person most.
std::wstring Shortened(const std::wstring& path) {
    if (path.size() <= kLongestPath) return path;
    const size_t head = kLongestPath / 3;
    const size_t tail = kLongestPath - head - 1;
    return path.substr(0, head) + kEllipsis + path.substr(path.size() - tail);
}

// "... · 85.0 MB/s · about 30 s left", as far as the meter knows.
std::wstring WithSpeed(std::wstring text, const CSpeedMeter* meter) {
    if (meter && meter->HasSpeed()) {
        text += kDot + sys::FormatBytes(static_cast<uint64_t>(meter->BytesPerSecond())) + L"/s";
    }
    if (meter && meter->HasTimeLeft()) text += kDot + TimeLeftText(meter->SecondsLeft());
    return text;
}

std::wstring StepWords(const MoveSnapshot& snapshot, const CSpeedMeter* meter) {
    const std::wstring undo = snapshot.cancelled ? L"Cancelling: "
                              : snapshot.back    ? L"Undoing the move back: "
                                                 : L"Undoing the move: ";
    // A cancel ends the copy (or its check) before the rollback names its first step: the
    // copy's numbers would tell of a move that no longer goes on.
    const bool copyEnding = snapshot.step == MoveStep::kCopying ||
                            snapshot.step == MoveStep::kCheckingCopies ||
                            snapshot.step == MoveStep::kCheckingCopied;
    if (snapshot.cancelled && copyEnding) return undo + L"removing the copies" + kEllipsis;
    switch (snapshot.step) {
        case MoveStep::kIdle:
            return L"Getting ready" + kEllipsis;
        case MoveStep::kStoppingServices:
            return L"Stopping the Oculus services" + kEllipsis;
        case MoveStep::kPreparing:
            return L"Checking and preparing the folders" + kEllipsis;
        case MoveStep::kCopying: {
            // The folder being copied, and the whole move where it holds more.
            std::wstring text = L"Copying " + snapshot.treeName + L": " +
                                sys::FormatBytes(snapshot.treeBytesDone) + L" of " +
                                sys::FormatBytes(snapshot.treeBytesTotal);
            if (snapshot.bytesTotal > snapshot.treeBytesTotal) {
                text += L" (" + sys::FormatBytes(snapshot.bytesDone) + L" of " +
                        sys::FormatBytes(snapshot.bytesTotal) + L" in all)";
            }
            return WithSpeed(text, meter);
        }
        case MoveStep::kCheckingCopied:
            // Continuing: what the stopped move copied, read back before it is kept.
            return WithSpeed(L"Checking what was already copied: " +
                                 sys::FormatBytes(snapshot.verifiedBytes) + L" of " +
                                 sys::FormatBytes(snapshot.treeBytesTotal),
                             meter);
        case MoveStep::kCheckingCopies:
            // The copies read back from the target's drive: as long as a copy of the bytes.
            return WithSpeed(L"Checking the copies: " + sys::FormatBytes(snapshot.verifiedBytes) +
                                 L" of " + sys::FormatBytes(snapshot.bytesTotal),
                             meter);
        case MoveStep::kCreatingLinks:
            return L"Creating links" + kEllipsis;
        case MoveStep::kRemovingOld:
            if (snapshot.back) return L"Removing the moved folders" + kEllipsis;
            return L"Removing the old folders" + kEllipsis;
        case MoveStep::kPlacingFolders:
            return L"Putting the folders in place of the links" + kEllipsis;
        case MoveStep::kStartingServices:
            return L"Starting the Oculus services" + kEllipsis;
        case MoveStep::kFinishing:
            return L"Finishing" + kEllipsis;
        case MoveStep::kUndoingCopies:
            return undo + L"removing the copies" + kEllipsis;
        case MoveStep::kUndoingLinks:
            return undo + L"removing the links" + kEllipsis;
        case MoveStep::kRestoringNames:
            return undo + L"giving the folders their names back" + kEllipsis;
        case MoveStep::kRestartingServices:
            return undo + L"starting the Oculus services" + kEllipsis;
        case MoveStep::kRestoringLinks:
            return undo + L"putting the links back" + kEllipsis;
    }
    return {};
}

// Why the button is disabled, where the move cannot be cancelled now; empty elsewhere.
std::wstring CancelNote(const MoveSnapshot& snapshot) {
    if (snapshot.repointing) {
        return L"Halvex is re-pointing the links: stopping now could leave the Oculus app "
               L"without its games, so it cannot be cancelled.";
    }
    if (snapshot.recovering) {
        return L"Halvex is putting the stopped move in order: stopping now would leave it "
               L"half done, so it cannot be cancelled.";
    }
    if (snapshot.cancellable || snapshot.cancelled) return {};
    switch (snapshot.step) {
        case MoveStep::kIdle:
        case MoveStep::kStoppingServices:
        case MoveStep::kPreparing:
            return L"Cancel becomes possible once copying starts.";
        case MoveStep::kCopying:  // only for the moment the copy's window opens
        case MoveStep::kCheckingCopied:
            return {};
        case MoveStep::kCheckingCopies:  // the window has just closed behind the check
        case MoveStep::kCreatingLinks:
        case MoveStep::kPlacingFolders:
        case MoveStep::kRemovingOld:
        case MoveStep::kStartingServices:
        case MoveStep::kFinishing:
            if (snapshot.back) {
                return L"The copies are in place: moving back can no longer be cancelled.";
            }
            return L"The copies are in place: the move can no longer be cancelled.";
        default:  // undoing a failed move: that is the reason itself
            return {};
    }
}

// What a failure code means where the system has no words of its own for it.
std::wstring WordsForCode(int32_t code) {
    switch (code) {
        case kCodeEmptyPath:
            return L"No checked target folder";
        case kCodeFinalPathTooLong:
        case kCodePathTooLong:
            return L"A path is too long";
        case kCodeLinkFacilityMissing:
            return L"The system cannot make links";
        case kCodeCopyDiffers:
            return L"A copy differs from its original";
        case kCodeCopyCorrupt:
            return L"The target drive gave back other data than was written";
        case kCodeMountPointInside:
            return L"Another drive is mounted inside the folder";
        case kCodeTargetUnfit:
            return L"The target folder is gone, or no longer a folder";
        case kCodeNoRoomAtHome:
            return L"Too little free space for the games";
        case kCodeNotMoved:
            return L"The games are not moved";
        default:
            return code > kCodeSystemBase
                       ? sys::ErrorText(static_cast<uint32_t>(code - kCodeSystemBase))
                       : L"Error " + std::to_wstring(code);
    }
}

std::wstring Cause(const FailureNote& failure, int32_t result) {
    const int32_t code = failure.code != 0 ? failure.code : result;
    const std::wstring words = !failure.systemText.empty() && code != kCodePathTooLong
                                   ? failure.systemText
                                   : WordsForCode(code);
    if (failure.path.empty()) return words;
    if (failure.step == MoveStep::kStoppingServices) {
        return L"the service \"" + failure.path + L"\" could not be stopped (" + words + L")";
    }
    if (failure.step == MoveStep::kStartingServices) {
        return L"the service \"" + failure.path + L"\" did not start (" + words + L")";
    }
    return words + L": " + Shortened(failure.path);
}

// What a person can do about a failure, by what it was.
std::wstring Advice(const FailureNote& failure, int32_t result) {
    const int32_t code = failure.code != 0 ? failure.code : result;
    if (failure.step == MoveStep::kStoppingServices) {
        return L"Close the Oculus app and try again, or restart the computer first.";
    }
    switch (code) {
        case SystemCode(sys::kErrDiskFull):
            return L"Free space on the target drive, or choose another target.";
        case SystemCode(sys::kErrAccessDenied):
        case SystemCode(sys::kErrWriteProtect):
            return L"Choose a target folder that you may write to.";
        case kCodeInUse:
        case SystemCode(33):  // a lock violation
            return L"Close the programs that use the Oculus folders, then try again.";
        case kCodeCopyDiffers:
            return L"Something changed the files during the move: close the programs that use "
                   L"them and try again.";
        case kCodeCopyCorrupt:
            return L"The original is kept. The target drive may be failing, or be a fake that "
                   L"holds less than it claims: check it, or choose another drive.";
        case kCodeMountPointInside:
            return L"Unmount what is mounted inside the Oculus folders, then try again.";
        case kCodePathTooLong:
        case kCodeFinalPathTooLong:
            return L"Choose a target folder with a shorter path.";
        case kCodeTargetUnfit:
            return L"Choose the target folder again, or another one.";
        case kCodeNoRoomAtHome:
            return L"Free space on the installation's drive, then try again.";
        default:
            return L"Try again; if it fails again, restart the computer first.";
    }
}

std::wstring LogWords(const MoveOutcome& outcome) {
    return outcome.logPath.empty() ? std::wstring()
                                   : L" The log is " + Shortened(outcome.logPath) + L".";
}

std::wstring ServicesStoppedWords() {
    return L"The Oculus services " + kServices +
           L" are not running: start them in Task Manager (\"Services\" tab), or restart the "
           L"computer.";
}

std::wstring Moved(const MoveOutcome& outcome) {
    return L"Moved " + sys::FormatBytes(outcome.bytesMoved) + L" to " + Shortened(outcome.movedTo);
}

std::wstring MovedBack(const MoveOutcome& outcome) {
    return L"Moved " + sys::FormatBytes(outcome.bytesMoved) + L" back to " +
           Shortened(outcome.baseFolder);
}

// A move back's words: where the games are now, and what became of the space.
std::wstring BackClosingWords(const MoveOutcome& outcome) {
    const std::wstring services =
        outcome.servicesRunning ? std::wstring() : L" " + ServicesStoppedWords();
    const std::wstring stillThere =
        L" The games are still in " + Shortened(outcome.movedTo) + L", where the links lead.";
    const std::wstring again = L" start Halvex again to put it in order.";
    switch (outcome.result) {
        case kCodeOk: {
            if (outcome.sameVolume) {
                return MovedBack(outcome) + L". The games lay on " + outcome.sourceVolume +
                       L" already, so its free space is as before.";
            }
            const std::wstring bytes = sys::FormatBytes(outcome.bytesMoved);
            std::wstring text =
                MovedBack(outcome) + L". " + bytes + L" used on " + outcome.sourceVolume;
            if (!outcome.targetVolume.empty()) text += L" and freed on " + outcome.targetVolume;
            return text + L".";
        }
        case kCodeServicesNotStarted:
            return MovedBack(outcome) + L", but the Oculus services " + kServices +
                   L" did not start again: start them in Task Manager (\"Services\" tab), or "
                   L"restart the computer.";
        case kCodeOldDataLeft:
            return MovedBack(outcome) + L", but the moved folders in " +
                   Shortened(outcome.movedTo) + L" could not all be removed (" +
                   Cause(outcome.failure, outcome.result) +
                   L"). Start Halvex again to remove them. Until then the Oculus services " +
                   kServices +
                   L" stay stopped: start them afterwards in Task Manager (\"Services\" tab), "
                   L"or restart the computer." +
                   LogWords(outcome);
        case kCodeNotMoved:
            return L"The games are not moved, so there is nothing to move back.";
        case kCodeNoRoomAtHome:
            return L"Moving back needs " + sys::FormatBytes(outcome.bytesMoved) +
                   L" of free space on " + outcome.sourceVolume + L", and it has less." +
                   stillThere + L" Free space there, then try again.";
        default:
            break;
    }
    if (outcome.result == kCodeCancelled && outcome.cancelled) {
        if (!outcome.rollbackClean) {
            return L"Moving back cancelled, but not every link could be put back:" + again +
                   services + LogWords(outcome);
        }
        return L"Moving back cancelled." + stillThere +
               (outcome.servicesRunning ? L" The Oculus services are running again." : services);
    }
    std::wstring text = L"Moving back failed: " + Cause(outcome.failure, outcome.result) + L".";
    if (outcome.rollbackClean) {
        text += stillThere + L" " + Advice(outcome.failure, outcome.result);
    } else {
        text += L" Not every link could be put back:" + again;
    }
    return text + services + LogWords(outcome);
}

}  // namespace

void CSpeedMeter::Reset() {
    window_.clear();
    hasSpeed_ = false;
    speed_ = 0.0;
    secondsLeft_ = -1.0;
}

void CSpeedMeter::Sample(uint32_t tickMs, uint64_t bytesDone, uint64_t bytesTotal) {
    if (!window_.empty() && bytesDone < window_.back().second) Reset();  // another copy began
    window_.emplace_back(tickMs, bytesDone);
    // The oldest sample goes once the next one alone still spans the window.
    while (window_.size() > 2 && tickMs - window_[1].first >= kWindowMs)
        window_.pop_front();
    const uint32_t span = tickMs - window_.front().first;
    if (span < kFirstSpeedMs) return;
    hasSpeed_ = true;
    speed_ = static_cast<double>(bytesDone - window_.front().second) * 1000.0 / span;
    if (speed_ <= 0.0) return;

    const double speed = std::max(speed_, RecentSpeed());
    const double measured =
        static_cast<double>(bytesTotal - std::min(bytesDone, bytesTotal)) / speed;
    if (secondsLeft_ < 0.0) {
        secondsLeft_ = measured;
    } else {
        const double passed = static_cast<double>(tickMs - lastTick_);
        const double counted = std::max(0.0, secondsLeft_ - passed / 1000.0);
        const double weight = std::min(1.0, passed / kSmoothingMs);
        secondsLeft_ = measured <= counted ? measured : counted + (measured - counted) * weight;
    }
    secondsLeft_ = std::clamp(secondsLeft_, measured / kMostOff, measured * kMostOff);
    lastTick_ = tickMs;
}

double CSpeedMeter::RecentSpeed() const {
    const auto& newest = window_.back();
    for (auto it = window_.rbegin() + 1; it != window_.rend(); ++it) {
        const uint32_t span = newest.first - it->first;
        if (span >= kRecentMs) {
            return static_cast<double>(newest.second - it->second) * 1000.0 / span;
        }
    }
    return 0.0;
}

std::wstring TimeLeftText(double seconds) {
    const auto s = static_cast<long>(std::lround(std::max(0.0, seconds)));
    if (s < 10) return L"a few seconds left";
    if (s < 60) return L"about " + std::to_wstring((s + 2) / 5 * 5) + L" s left";
    const long minutes = (s + 30) / 60;
    if (minutes < 90) return L"about " + std::to_wstring(minutes) + L" min left";
    return L"about " + std::to_wstring(minutes / 60) + L" h " + std::to_wstring(minutes % 60) +
           L" min left";
}

std::wstring StatusText(const MoveSnapshot& snapshot, const CSpeedMeter* meter) {
    const std::wstring note = CancelNote(snapshot);
    const std::wstring step = StepWords(snapshot, meter);
    return note.empty() ? step : step + L"\n" + note;
}

namespace {

// A continued move: how much its stopped copy held whole, and how much was copied now.
std::wstring ContinuedWords(const MoveOutcome& outcome) {
    if (!outcome.continued) return {};
    const uint64_t kept = std::min(outcome.bytesKept, outcome.bytesMoved);
    return L" " + sys::FormatBytes(kept) + L" had been copied before the move was stopped; " +
           sys::FormatBytes(outcome.bytesMoved - kept) + L" was copied now.";
}

}  // namespace

std::wstring ClosingWords(const MoveOutcome& outcome) {
    if (outcome.back) return BackClosingWords(outcome);
    const std::wstring services =
        outcome.servicesRunning ? std::wstring() : L" " + ServicesStoppedWords();
    switch (outcome.result) {
        case kCodeOk: {
            // A moved library moved on left another drive than the installation's.
            const bool movedOn = !outcome.dataVolume.empty();
            const std::wstring& left = movedOn ? outcome.dataVolume : outcome.sourceVolume;
            if (outcome.sameVolume) {
                return Moved(outcome) + L". It lies on " + left +
                       L" too, so no space was freed there." + ContinuedWords(outcome);
            }
            const std::wstring bytes = sys::FormatBytes(outcome.bytesMoved);
            std::wstring text = Moved(outcome) + L". " + bytes + L" freed on " + left;
            if (movedOn && !outcome.targetVolume.empty()) {
                text += L" and used on " + outcome.targetVolume;
            }
            return text + L"." + ContinuedWords(outcome);
        }
        case kCodeServicesNotStarted: {
            const FailureNote& failure = outcome.failure;
            const std::wstring why = failure.path.empty() || failure.systemText.empty()
                                         ? std::wstring()
                                         : L" (" + failure.path + L": " + failure.systemText + L")";
            return Moved(outcome) + L", but the Oculus services " + kServices +
                   L" did not start again" + why +
                   L": start them in Task Manager (\"Services\" tab), or restart the computer.";
        }
        case kCodeOldDataLeft:
            return Moved(outcome) + L", but the old folders could not all be removed (" +
                   Cause(outcome.failure, outcome.result) +
                   L"). Delete the folders named above. Until then the Oculus services " +
                   kServices +
                   L" stay stopped: start them afterwards in Task Manager "
                   L"(\"Services\" tab), or restart the computer." +
                   LogWords(outcome);
        default:
            break;
    }
    if (outcome.stillWaiting) {
        return L"The move could not go on: " + Cause(outcome.failure, outcome.result) +
               L". Nothing was changed: the stopped move still waits, with its copies, to be "
               L"continued or put back." +
               services + LogWords(outcome);
    }
    if (outcome.result == kCodeCancelled && outcome.cancelled) {
        if (!outcome.rollbackClean) {
            return L"Move cancelled, but not every folder could be given its name back: "
                   L"rename them as the message above says." +
                   services + LogWords(outcome);
        }
        return L"Move cancelled. Everything is back in " + Shortened(outcome.baseFolder) + L"." +
               (outcome.servicesRunning ? L" The Oculus services are running again." : services);
    }
    std::wstring text = L"The move failed: " + Cause(outcome.failure, outcome.result) + L".";
    if (outcome.rollbackClean) {
        text += L" Everything is back in " + Shortened(outcome.baseFolder) + L". " +
                Advice(outcome.failure, outcome.result);
    } else {
        text +=
            L" Not every folder could be given its name back: rename them as the message "
            L"above says.";
    }
    return text + services + LogWords(outcome);
}

std::wstring CheckWords(int32_t result, const LibraryReport& report) {
    if (result == kCodeNoManifest) {
        return L"There is nothing to check against: the games were moved by an earlier version "
               L"of Halvex, which kept no record of their bytes.";
    }
    if (result == kCodeCancelled) return L"Check cancelled.";
    if (result != 0) {
        return L"The check could not read every file (" + WordsForCode(result) +
               L"). The log names the file.";
    }
    const auto first = [](const std::vector<std::wstring>& list) {
        return list.empty() ? std::wstring() : L" (" + Shortened(list.front()) + L")";
    };
    const auto count = [](size_t n, const wchar_t* one, const wchar_t* many) {
        return std::to_wstring(n) + L" " + (n == 1 ? one : many);
    };
    std::wstring text;
    if (report.Faulty()) {
        text = L"The games' drive does not hold what was copied: ";
        std::vector<std::wstring> faults;
        if (!report.differs.empty()) {
            faults.push_back(count(report.differs.size(), L"file has", L"files have") +
                             L" other bytes with the same size and time" + first(report.differs));
        }
        if (!report.changed.empty()) {
            faults.push_back(count(report.changed.size(), L"file was", L"files were") +
                             L" changed without a newer time" + first(report.changed));
        }
        if (!report.missing.empty()) {
            faults.push_back(count(report.missing.size(), L"file is", L"files are") + L" missing" +
                             first(report.missing));
        }
        for (size_t i = 0; i < faults.size(); ++i)
            text += (i == 0 ? L"" : L"; ") + faults[i];
        text += L". The drive may be failing: copy what you can elsewhere, and check the drive.";
    } else {
        text = L"All " + count(report.files, L"file", L"files") +
               L" of the move read back as they were copied.";
    }
    if (!report.updated.empty() || !report.added.empty()) {
        text += L" Since the move the Oculus app updated " +
                count(report.updated.size(), L"file", L"files") + L" and added " +
                count(report.added.size(), L"file", L"files") + L", which is as it should be.";
    }
    return text;
}
