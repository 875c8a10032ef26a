#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/Queues.h"

namespace vantrel::platform {

// The main queue of a process: a locked list of work, served by runLoop or runQueuedWork on
// the main thread, or handed to the dispatcher of the toolkit's loop once one is set.
class LoopMainQueue final : public MainQueue {
  public:
    LoopMainQueue() = default;
    LoopMainQueue(const LoopMainQueue&) = delete;
    LoopMainQueue& operator=(const LoopMainQueue&) = delete;

    void async(std::function<void()> work) override;
    void setDispatcher(Dispatcher dispatcher) override;
    void runQueuedWork() override;

  private:
    [[noreturn]] void serve() override;
    // The oldest queued work, taken off the queue; with `wait`, waits for some, otherwise
    // answers empty when there is none.
    std::function<void()> takeNext(bool wait);

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> work_;
    Dispatcher dispatcher_;
};

}  // namespace vantrel::platform
