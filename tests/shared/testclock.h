// The virtual clock for both test suites: time moves only when someone sleeps, so the worker's
// and the task's pauses and the services' wait loops take no real time.
#pragma once

#include <cstdint>

#include "platform/sys.h"

namespace testsupport {

// Installs a virtual clock for the life of the object.
class ScopedVirtualClock {
  public:
    explicit ScopedVirtualClock(int64_t time64 = 1772845502) : clock_(time64) {
        sys::UseClock(&clock_);
    }
    ~ScopedVirtualClock() { sys::UseClock(nullptr); }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;

    sys::VirtualClock& operator*() { return clock_; }
    sys::VirtualClock* operator->() { return &clock_; }

  private:
    sys::VirtualClock clock_;
};

}  // namespace testsupport
