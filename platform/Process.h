#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace vantrel::platform {

// A child process of the simulated Mac.
struct ProcessSpec {
    std::string executable;  // Mac path
    std::vector<std::string> arguments;
    // The child's whole environment; absent means it inherits the program's.
    std::optional<std::vector<std::pair<std::string, std::string>>> environment;
};

// Receives one chunk: whatever bytes one read of a pipe returned. Never called with an
// empty chunk; the end of a stream is not reported as a chunk.
using ChunkReader = std::function<void(std::string_view chunk)>;

// Starts the child with standard output and standard error on two fresh pipes, then serves
// both pipes on the calling thread, handing each chunk to its reader as soon as it is read,
// until both streams have ended; then waits for the child. Blocks for the child's whole
// life. Returns an error, and runs nothing, when the child cannot be started.
std::optional<Error> runWithPipes(const ProcessSpec& spec, const ChunkReader& onStandardOutput,
                                  const ChunkReader& onStandardError, int* exitStatus = nullptr);

// Starts the child with the program's own standard streams and waits for it.
std::optional<Error> runInheritingStreams(const ProcessSpec& spec, int* exitStatus = nullptr);

}  // namespace vantrel::platform
