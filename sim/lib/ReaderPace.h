#pragma once

#include <chrono>

namespace vantrel::sim {

// Waits, at most `limit`, until the process reading the pipe `fd` has taken everything written
// to it, so that the next line written reaches the reader as a read of its own, as a real
// tool's lines written seconds apart do. Returns at once when `fd` is not a pipe or nobody
// reads it any more.
void waitUntilReaderTookAll(int fd,
                            std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace vantrel::sim
