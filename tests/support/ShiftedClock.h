#pragma once

#include <atomic>
#include <chrono>

#include "platform/Clock.h"

namespace vantrel::testsupport {

// The system's clocks moved by an offset the test sets, so a rule about age or time passing
// can be tried without waiting.
class ShiftedClock final : public platform::Clock {
  public:
    explicit ShiftedClock(std::chrono::seconds offset = {}) : offset_(offset) {}

    void setOffset(std::chrono::seconds offset) { offset_ = offset; }

    std::chrono::system_clock::time_point now() const override {
        return std::chrono::system_clock::now() + offset_.load();
    }
    std::chrono::steady_clock::time_point steadyNow() const override {
        return std::chrono::steady_clock::now() + offset_.load();
    }

  private:
    std::atomic<std::chrono::seconds> offset_;
};

}  // namespace vantrel::testsupport
