#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace vantrel::platform {

void fillRandomBytes(void* buffer, std::size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t n = ::getrandom(bytes, length, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::abort();  // without randomness there is no safe challenge to show
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace vantrel::platform
