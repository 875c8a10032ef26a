#include "sim/lib/ReaderPace.h"

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
    int pending = 0;
    while (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace vantrel::sim
