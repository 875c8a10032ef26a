#include "platform/LoopMainQueue.h"

namespace vantrel::platform {

void LoopMainQueue::async(std::function<void()> work) {
    std::unique_lock<std::mutex> guard(lock_);
    if (dispatcher_) {
        auto dispatcher = dispatcher_;
        guard.unlock();
        dispatcher(std::move(work));
        return;
    }
    work_.push_back(std::move(work));
    ready_.notify_one();
}

std::function<void()> LoopMainQueue::takeNext(bool wait) {
    std::unique_lock<std::mutex> guard(lock_);
    if (wait) {
        ready_.wait(guard, [&] { return !work_.empty(); });
    } else if (work_.empty()) {
        return nullptr;
    }
    std::function<void()> next = std::move(work_.front());
    work_.pop_front();
    return next;
}

void LoopMainQueue::serve() {
    while (true) {
        takeNext(true)();
    }
}

void LoopMainQueue::setDispatcher(Dispatcher dispatcher) {
    std::deque<std::function<void()>> pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        dispatcher_ = dispatcher;
        if (!dispatcher_) {
            return;
        }
        pending.swap(work_);
    }
    for (auto& work : pending) {
        dispatcher(std::move(work));
    }
}

void LoopMainQueue::runQueuedWork() {
    while (auto next = takeNext(false)) {
        next();
    }
}

}  // namespace vantrel::platform
