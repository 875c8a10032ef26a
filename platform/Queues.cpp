#include "platform/Queues.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vantrel::platform {

namespace {

struct MainQueueState {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<std::function<void()>> work;
    std::function<void(std::function<void()>)> dispatcher;
};

MainQueueState& mainState() {
    static MainQueueState state;
    return state;
}

}  // namespace

namespace mainqueue {

void async(std::function<void()> work) {
    auto& state = mainState();
    std::unique_lock<std::mutex> guard(state.lock);
    if (state.dispatcher) {
        auto dispatcher = state.dispatcher;
        guard.unlock();
        dispatcher(std::move(work));
        return;
    }
    state.work.push_back(std::move(work));
    state.ready.notify_one();
}

void runMainLoop() {
    auto& state = mainState();
    while (true) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> guard(state.lock);
            state.ready.wait(guard, [&] { return !state.work.empty(); });
            next = std::move(state.work.front());
            state.work.pop_front();
        }
        next();
    }
}

void setDispatcher(std::function<void(std::function<void()>)> dispatcher) {
    auto& state = mainState();
    std::deque<std::function<void()>> pending;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.dispatcher = dispatcher;
        pending.swap(state.work);
    }
    for (auto& work : pending) {
        dispatcher(std::move(work));
    }
}

void runQueuedWork() {
    auto& state = mainState();
    while (true) {
        std::function<void()> next;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.work.empty()) {
                return;
            }
            next = std::move(state.work.front());
            state.work.pop_front();
        }
        next();
    }
}

}  // namespace mainqueue

namespace backgroundqueue {
void async(std::function<void()> work) {
    std::thread(std::move(work)).detach();
}
}  // namespace backgroundqueue

}  // namespace vantrel::platform
