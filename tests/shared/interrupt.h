// What a move, or a recovery, leaves when it is stopped at a chosen moment (a crash, a kill):
// from that moment on every platform call fails, so nothing more changes on the disk (the
// rollback and the journal's removal fail as well) and the run returns. The state on the disk is
// then the one a kill at that moment leaves. Reset the fault seam before looking at it.
#pragma once

#include <cstdint>
#include <ostream>

#include "TaskMgr/CTaskMgr.h"
#include "TaskMgr/RecoveryPlan.h"
#include "platform/sys.h"

namespace testsupport {

class Interrupter final : public TaskPhaseObserver {
  public:
    // At the first entry into phase, after callsInto more platform calls.
    Interrupter(int32_t phase, uint64_t callsInto) : phase_(phase), callsInto_(callsInto) {}

    void OnPhase(int32_t phase) override {
        if (phase != phase_ || armed_) return;
        armed_ = true;
        const uint64_t nth = sys::fault::Count(sys::Call::kAny) + callsInto_ + 1;
        sys::fault::Arm({sys::Call::kAny, nth, sys::kErrAccessDenied, true, {}});
    }
    bool Interrupted() const { return armed_; }

  private:
    int32_t phase_;
    uint64_t callsInto_;
    bool armed_ = false;
};

// A moment a run may be stopped at (Interrupter's), and what its recovery must then do.
struct Moment {
    int32_t phase;
    uint64_t callsInto;
    RecoveryAction action;
};

inline std::ostream& operator<<(std::ostream& out, const Moment& m) {
    return out << "phase " << m.phase << " + " << m.callsInto << " calls";
}

}  // namespace testsupport
