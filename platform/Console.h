#pragma once

#include <string_view>

namespace vantrel::platform {

// Writes one whole line to standard output and flushes it, so a management system reading
// the pipe sees each line at once and none is lost when the process ends or is signalled.
// Safe from any thread; lines never interleave.
void printLine(std::string_view line);

// Ends the process with `status` at once, from any thread, after standard output is flushed.
// No destructors or exit handlers run, as for a Mac application's exit(). Once another thread
// has taken the end (takeProcessEnd), the call waits for that end instead.
[[noreturn]] void exitProcess(int status);

// Makes the calling thread the one that ends the process: from now on other threads' lines are
// dropped and their exitProcess waits, so the run's ending says and returns what this thread
// decides. Returns false, having taken nothing, when another thread has taken it already.
bool takeProcessEnd();

}  // namespace vantrel::platform
