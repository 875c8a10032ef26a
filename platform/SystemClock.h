#pragma once

#include "platform/Clock.h"

namespace vantrel::platform {

// The system's clocks, as they are.
class SystemClock final : public Clock {
  public:
    std::chrono::system_clock::time_point now() const override;
    std::chrono::steady_clock::time_point steadyNow() const override;
};

}  // namespace vantrel::platform
