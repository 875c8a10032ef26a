#include "platform/ThreadBackgroundQueue.h"

#include <thread>

namespace vantrel::platform {

void ThreadBackgroundQueue::async(std::function<void()> work) {
    std::thread(std::move(work)).detach();
}

}  // namespace vantrel::platform
