#include "Vr/MoveMonitor.h"

#include <algorithm>

float CMoveMonitor::Fraction() {
    float value = 0.0f;
    engine_->GetProgress(value);  // its code is not looked at: without a total the value stays 0
    float reported = value;
    if (value < lastFraction_.load()) {
        reported = 1.0f;  // a falling fraction shows a full bar
    } else {
        lastFraction_.store(value);
    }
    if (finishedMarker_.load() == 1.0f) reported = 1.0f;
    return reported;
}

std::wstring CMoveMonitor::Status(uint32_t tickMs) {
    MoveSnapshot snapshot = engine_->GetMoveSnapshot();
    if (work_.load() != Work::kMove) {
        snapshot.recovering = true;
        snapshot.repointing = work_.load() == Work::kRepoint;
        snapshot.cancellable = false;
    }
    canCancel_.store(snapshot.cancellable && !HasReturned());
    const bool copying = snapshot.step == MoveStep::kCopying;
    const bool checking = snapshot.step == MoveStep::kCheckingCopies;
    const bool checkingKept = snapshot.step == MoveStep::kCheckingCopied;
    if (snapshot.step != meteredStep_) meter_.Reset();  // a speed belongs to what it measured
    meteredStep_ = snapshot.step;
    if (copying) {
        // Holes take no time: the time left goes by the bytes still to be written.
        meter_.Sample(tickMs,
                      snapshot.bytesDone - std::min(snapshot.holeBytesDone, snapshot.bytesDone),
                      snapshot.bytesTotal - std::min(snapshot.holeBytesTotal, snapshot.bytesTotal));
    } else if (checking) {
        meter_.Sample(tickMs, snapshot.verifiedBytes, snapshot.bytesTotal);
    } else if (checkingKept) {
        meter_.Sample(tickMs, snapshot.verifiedBytes, snapshot.treeBytesTotal);
    }
    return StatusText(snapshot, copying || checking || checkingKept ? &meter_ : nullptr);
}
