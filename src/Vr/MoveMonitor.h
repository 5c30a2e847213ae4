// What a person watching a move sees, read from the engine: the bar's fraction and the status
// line. Polled from one thread (the progress page's timer, or the harness's sampler); the move's
// own thread only says when the move has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Vr/IArSet.h"
#include "Vr/MoveStatus.h"

class CMoveMonitor {
  public:
    explicit CMoveMonitor(IArSet* engine) : engine_(engine) {}

    // The bar: the engine's fraction (0 before it has one). A fraction lower than the highest
    // seen shows a full bar and leaves the highest as it was; once the move has returned, the
    // bar is full whatever the engine says.
    float Fraction();
    // The status line now, and whether a cancel would be accepted now (as of this look).
    std::wstring Status(uint32_t tickMs);
    bool CanCancel() const { return canCancel_.load(); }

    // What is watched, told before the work starts: a first look may come before the engine
    // itself has begun, and must not speak of a move's cancel during a recovery.
    enum class Work { kMove, kRecovery, kRepoint };
    void Watch(Work work) { work_.store(work); }
    void MoveStarting() { finishedMarker_.store(0.0f); }
    void MoveReturned() { finishedMarker_.store(1.0f); }  // the move's thread
    bool HasReturned() const { return finishedMarker_.load() == 1.0f; }

  private:
    IArSet* const engine_;
    std::atomic<float> lastFraction_{0.0f};    // written only by the polling thread
    std::atomic<float> finishedMarker_{0.0f};  // 1.0 once the move has returned
    std::atomic<bool> canCancel_{false};
    std::atomic<Work> work_{Work::kMove};
    CSpeedMeter meter_;
    MoveStep meteredStep_ = MoveStep::kIdle;  // the polling thread's
};
