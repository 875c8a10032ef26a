#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace vantrel::platform {

namespace {
std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
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
    std::fflush(stdout);  // keep order with anything a library printed through stdio
    writeAll(STDOUT_FILENO, buffer.data(), buffer.size());
}

void exitProcess(int status) {
    {
        std::lock_guard<std::mutex> guard(outputLock());
        std::fflush(stdout);
    }
    std::_Exit(status);
}

}  // namespace vantrel::platform
