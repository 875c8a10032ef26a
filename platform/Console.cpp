#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vantrel::platform {

namespace {
std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

// The thread that ends the process, once one has taken the end; guarded by outputLock.
std::optional<std::thread::id>& ender() {
    static std::optional<std::thread::id> thread;
    return thread;
}

bool endTakenByAnother() {
    return ender() && *ender() != std::this_thread::get_id();
}

[[noreturn]] void waitForTheEnd() {
    for (;;) {
        ::pause();
    }
}

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}
}  // namespace

void printLine(std::string_view line) {
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line);
    buffer.push_back('\n');
    std::lock_guard<std::mutex> guard(outputLock());
    if (endTakenByAnother()) {
        return;
    }
    std::fflush(stdout);  // keep order with anything a library printed through stdio
    writeAll(STDOUT_FILENO, buffer.data(), buffer.size());
}

void exitProcess(int status) {
    std::unique_lock<std::mutex> guard(outputLock());
    if (endTakenByAnother()) {
        guard.unlock();
        waitForTheEnd();
    }
    std::fflush(stdout);
    std::_Exit(status);  // with the lock held: no line can follow
}

bool takeProcessEnd() {
    std::lock_guard<std::mutex> guard(outputLock());
    if (endTakenByAnother()) {
        return false;
    }
    ender() = std::this_thread::get_id();
    return true;
}

}  // namespace vantrel::platform
