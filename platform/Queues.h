#pragma once

#include <cstdlib>
#include <functional>

namespace vantrel::platform {

// The main queue: work that must run on the main thread, in the order queued. Without a
// window the main thread serves it in a plain loop (runLoop); when the toolkit's event loop
// takes over, it installs a dispatcher and the queue's work runs inside that loop.
class MainQueue {
  public:
    using Dispatcher = std::function<void(std::function<void()>)>;

    virtual ~MainQueue() = default;
    // Queues `work` for the main thread; any thread.
    virtual void async(std::function<void()> work) = 0;
    // Serves the queue on the calling thread until the process ends.
    [[noreturn]] void runLoop() {
        serve();
        std::abort();  // a loop that returned: the process has nothing left to run
    }
    // Hands queued and future work to another loop (the toolkit's); null takes it back. Work
    // already queued is passed on first, in order.
    virtual void setDispatcher(Dispatcher dispatcher) = 0;
    // Runs queued work on the calling thread until the queue is empty, for a main thread that
    // is driven by hand rather than by runLoop.
    virtual void runQueuedWork() = 0;

  protected:
    // runLoop; does not return.
    virtual void serve() = 0;
};

// The background queue: each item runs on a worker thread of its own, so a worker that blocks
// while a child process runs holds up nothing else.
class BackgroundQueue {
  public:
    virtual ~BackgroundQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

}  // namespace vantrel::platform
