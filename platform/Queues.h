#pragma once

#include <functional>

namespace vantrel::platform {

// The main queue: work that must run on the main thread, in the order queued. Without a
// window the main thread serves it in a plain loop (runMainLoop); when the toolkit's event
// loop takes over, it installs a dispatcher and the queue's work runs inside that loop.
namespace mainqueue {

void async(std::function<void()> work);
// Serves the main queue on the calling thread until the process ends.
[[noreturn]] void runMainLoop();
// Hands queued and future work to another loop (the toolkit's). Work already queued is
// passed on first, in order.
void setDispatcher(std::function<void(std::function<void()>)> dispatcher);
// Runs queued work on the calling thread until the queue is empty, for a main thread that
// is driven by hand rather than by runMainLoop.
void runQueuedWork();

}  // namespace mainqueue

// A global background queue: each item runs on a worker thread of its own, so a worker that
// blocks while a child process runs holds up nothing else.
namespace backgroundqueue {
void async(std::function<void()> work);
}

}  // namespace vantrel::platform
