#pragma once

#include "platform/Queues.h"

namespace vantrel::platform {

// The background queue of a process: a detached thread per item. The work and what it uses
// must outlive the thread; the process ends without joining it.
class ThreadBackgroundQueue final : public BackgroundQueue {
  public:
    void async(std::function<void()> work) override;
};

}  // namespace vantrel::platform
