#include "platform/StandardConsole.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vantrel::platform {

namespace {

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

bool StandardConsole::endTakenByAnother() const {
    return ender_ && *ender_ != std::this_thread::get_id();
}

void StandardConsole::printLine(std::string_view line) {
    std::string buffer;
    buffer.reserve(line.size() + 1);
    buffer.append(line);
    buffer.push_back('\n');
    std::lock_guard<std::mutex> guard(lock_);
    if (endTakenByAnother()) {
        return;
    }
    std::fflush(stdout);  // keep order with anything a library printed through stdio
    writeAll(STDOUT_FILENO, buffer.data(), buffer.size());
}

void StandardConsole::endProcess(int status) {
    std::unique_lock<std::mutex> guard(lock_);
    if (endTakenByAnother()) {
        guard.unlock();
        waitForTheEnd();
    }
    std::fflush(stdout);
    std::_Exit(status);  // with the lock held: no line can follow
}

bool StandardConsole::takeProcessEnd() {
    std::lock_guard<std::mutex> guard(lock_);
    if (endTakenByAnother()) {
        return false;
    }
    ender_ = std::this_thread::get_id();
    return true;
}

}  // namespace vantrel::platform
