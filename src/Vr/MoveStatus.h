// The words of the progress page's status line, composed here, free of the windows, so that the
// page and the move harness say the same: the step a move is at, the bytes, speed and time left
// of its copy, why Cancel is unavailable, and the closing words about how the move ended.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "ground/MoveReport.h"

// Speed and time left of the copy.
//
// Speed: every sample (tick, bytes copied so far) is kept for a sliding window of 5 s; the speed
// is the bytes between the oldest and the newest sample over the time between them. None is
// shown until the samples span 1.5 s. A stall shows within the window, and a burst of the cache
// does not make the figure alone.
// Time left: the bytes still to copy over the recent speed: the speed of the last two seconds
// where that is higher than the window's, so that a copy that has become faster (small files done,
// a large file begun) says so at once. Between two samples the time left counts down by the time
// that passed. A newly measured figure below that is taken at once; one above it is approached
// by dt / 5 s of the gap (an exponential average with a time constant of 5 s), so that a slow
// step does not make the figure jump up. Whatever the smoothing holds, the figure stays within
// a factor of two of what the current speed says. It is shown rounded (TimeLeftText).
// The bytes given are those that take time to copy: a caller leaves out sparse files' holes.
class CSpeedMeter {
  public:
    void Sample(uint32_t tickMs, uint64_t bytesDone, uint64_t bytesTotal);
    void Reset();

    bool HasSpeed() const { return hasSpeed_ && speed_ > 0.0; }
    double BytesPerSecond() const { return speed_; }
    bool HasTimeLeft() const { return HasSpeed() && secondsLeft_ >= 0.0; }
    double SecondsLeft() const { return secondsLeft_; }

  private:
    double RecentSpeed() const;  // over the newest samples that span 2 s; 0 if none do

    std::deque<std::pair<uint32_t, uint64_t>> window_;  // tick, bytes done
    bool hasSpeed_ = false;
    double speed_ = 0.0;
    double secondsLeft_ = -1.0;
    uint32_t lastTick_ = 0;
};

// "a few seconds left", "about 30 s left", "about 4 min left", "about 2 h 5 min left": 5 s steps
// below a minute, whole minutes below 90 minutes.
std::wstring TimeLeftText(double seconds);

// The status line while a move runs: the step ("Copying Software: 1.2 GB of 3.4 GB · 85.0 MB/s
// · about 30 s left"), and on a second line why Cancel is unavailable, where it is. meter may
// be null (no speed known).
std::wstring StatusText(const MoveSnapshot& snapshot, const CSpeedMeter* meter);

// The words under the move's message once it has returned: what was moved where and what it
// freed; that a cancel put everything back; the cause of a failure with its path and the
// system's words, where the log is and what to do; services that stayed stopped, by name.
std::wstring ClosingWords(const MoveOutcome& outcome);

// The words at the end of a check of the moved library: what is amiss, by name, and what the
// platform changed since the move, which is no fault.
struct LibraryReport;
std::wstring CheckWords(int32_t result, const LibraryReport& report);
