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

void LoopMainQueue::serve() {
    while (true) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> guard(lock_);
            ready_.wait(guard, [&] { return !work_.empty(); });
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
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
    while (true) {
        std::function<void()> next;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (work_.empty()) {
                return;
            }
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

}  // namespace vantrel::platform
