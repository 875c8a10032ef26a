#include "platform/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace vantrel::platform {

namespace {

constexpr int kWatched[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> firstSignal{0};
int wakeUp[2] = {-1, -1};

// Async-signal-safe: an atomic exchange, write and _exit only.
void onTerminationSignal(int signal) {
    int none = 0;
    if (!firstSignal.compare_exchange_strong(none, signal)) {
        ::_exit(128 + signal);  // asked again while the first one is being handled
    }
    const unsigned char number = static_cast<unsigned char>(signal);
    (void)!::write(wakeUp[1], &number, 1);
}

sigset_t watchedSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kWatched) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

void watchTerminationSignals(std::function<void(int signal)> onSignal) {
    static_assert(std::atomic<int>::is_always_lock_free);
    if (::pipe2(wakeUp, O_CLOEXEC) != 0) {
        return;  // the signals keep their default action: the process ends at once
    }
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    for (const int signal : kWatched) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;  // the caller's choice, as nohup's for SIGHUP
        }
        ::sigaction(signal, &action, nullptr);
    }
    // Threads started from here on inherit the block; only the watcher takes the signals, so
    // no other thread's system calls are interrupted by them.
    const sigset_t watched = watchedSet();
    ::pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    std::thread([onSignal = std::move(onSignal), watched] {
        ::pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
        unsigned char number = 0;
        while (::read(wakeUp[0], &number, 1) != 1) {
            if (errno != EINTR) {
                return;
            }
        }
        onSignal(number);
    }).detach();
}

}  // namespace vantrel::platform
