#include "sim/lib/ReaderPace.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <thread>

namespace vantrel::sim {

void waitUntilReaderTookAll(int fd, std::chrono::milliseconds limit) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int pending = 0;
        if (::ioctl(fd, FIONREAD, &pending) != 0 || pending == 0) {
            return;
        }
        // With the reader gone, what is in the pipe is never taken.
        pollfd writeEnd{fd, POLLOUT, 0};
        if (::poll(&writeEnd, 1, 0) < 0 || (writeEnd.revents & (POLLERR | POLLHUP)) != 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace vantrel::sim
