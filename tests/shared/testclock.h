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

// The clock of a test whose move stops and starts the services: virtual where they are the
// POSIX stand-in, which reads that same clock; the real one under Wine, whose service manager
// and fake services take real time, so a virtual wait would run out before they answer.
#ifdef _WIN32
struct ScopedServiceClock {
    ScopedServiceClock() { sys::UseClock(nullptr); }
};
#else
using ScopedServiceClock = ScopedVirtualClock;
#endif

}  // namespace testsupport
