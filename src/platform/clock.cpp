// The clock switch and the virtual clock of the tests; the system clock is the backend's.
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/sys.h"

namespace sys {

namespace {
std::atomic<Clock*> g_activeClock{nullptr};
}

Clock& ActiveClock() {
    Clock* clock = g_activeClock.load(std::memory_order_acquire);
    return clock ? *clock : SystemClock();
}

void UseClock(Clock* clock) {
    g_activeClock.store(clock, std::memory_order_release);
}

VirtualClock::VirtualClock(int64_t time64, uint32_t tick) : wallMs_(time64 * 1000), tick_(tick) {}

int64_t VirtualClock::Time64() {
    return wallMs_.load() / 1000;
}
uint32_t VirtualClock::GetTickCount() {
    return tick_.load();
}

void VirtualClock::Sleep(uint32_t ms) {
    {
        std::lock_guard<std::mutex> guard(sleepsLock_);
        sleeps_.push_back(ms);
        slept_ += ms == 0 ? 1 : ms;
    }
    Advance(ms == 0 ? 1 : ms);
}

void VirtualClock::Advance(uint32_t ms) {
    tick_.fetch_add(ms);
    wallMs_.fetch_add(ms);
}

void VirtualClock::SetTime64(int64_t seconds) {
    wallMs_.store(seconds * 1000);
}

std::vector<uint32_t> VirtualClock::Sleeps() {
    std::lock_guard<std::mutex> guard(sleepsLock_);
    return sleeps_;
}

uint64_t VirtualClock::SleptMs() {
    std::lock_guard<std::mutex> guard(sleepsLock_);
    return slept_;
}

}  // namespace sys
