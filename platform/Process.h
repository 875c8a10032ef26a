#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/MacRoot.h"

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

// Every child starts with standard input, output and error as its only open descriptors,
// every signal at its default disposition and an empty signal mask, whatever this process
// holds, ignores or blocks; the one exception is keepJobSignalsIgnoredByCaller's.

// Call once at start-up, before any signal is changed: SIGHUP, SIGINT and SIGQUIT that the
// caller started the program with ignored (nohup, a background job of a script) stay ignored
// in the children too, since the caller meant that for the whole job.
void keepJobSignalsIgnoredByCaller();

// Starts the child with standard output and standard error on two fresh pipes, then serves
// both pipes on the calling thread, handing each chunk to its reader as soon as it is read,
// until the child has exited. What the child wrote before it exited is still handed on; a
// helper of the child that keeps a pipe open does not hold the run up. Returns an error, and
// runs nothing, when the child cannot be started.
std::optional<Error> runWithPipes(const MacRoot& root, const ProcessSpec& spec,
                                  const ChunkReader& onStandardOutput,
                                  const ChunkReader& onStandardError, int* exitStatus = nullptr);

// Starts the child with the program's own standard streams and waits for it.
std::optional<Error> runInheritingStreams(const MacRoot& root, const ProcessSpec& spec,
                                          int* exitStatus = nullptr);

// For the end of the process: from now on no child is started (a start fails with an error),
// every child still running gets `signal`, and the call waits until they have all exited or
// `grace` has passed. Returns whether they all exited.
bool stopChildProcesses(int signal, std::chrono::milliseconds grace);

}  // namespace vantrel::platform
