#pragma once

#include <string_view>

namespace vantrel::platform {

// Writes one whole line to standard output and flushes it, so a management system reading
// the pipe sees each line at once and none is lost when the process ends or is signalled.
// Safe from any thread; lines never interleave.
void printLine(std::string_view line);

// Ends the process with `status` at once, from any thread, after standard output is flushed.
// No destructors or exit handlers run, as for a Mac application's exit().
[[noreturn]] void exitProcess(int status);

}  // namespace vantrel::platform
