// Windows backend of errors and the system clock: the real calls.
#include <windows.h>

#include "platform/sys.h"

namespace sys {

uint32_t GetLastError() {
    return ::GetLastError();
}
void SetLastError(uint32_t error) {
    ::SetLastError(error);
}
int LastUnmappedErrno() {
    return 0;
}

namespace {
class WindowsClock final : public Clock {
  public:
    int64_t Time64() override { return _time64(nullptr); }
    uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(uint32_t ms) override { ::Sleep(ms); }
};
}  // namespace

Clock& SystemClock() {
    static WindowsClock clock;
    return clock;
}

}  // namespace sys
