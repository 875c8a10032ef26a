#pragma once

#include <chrono>

namespace vantrel::platform {

// Time as the logic reads it: the wall time for what is stamped or compared with file times,
// the steady time for pauses and intervals. Tests hand in a clock of their own to move time.
class Clock {
  public:
    virtual ~Clock() = default;
    // The calendar time: log stamps, the age of files kept between runs.
    virtual std::chrono::system_clock::time_point now() const = 0;
    // Time that only moves forward, for pauses and intervals within the run.
    virtual std::chrono::steady_clock::time_point steadyNow() const = 0;
};

}  // namespace vantrel::platform
