#pragma once

#include <string_view>

namespace vantrel::platform {

enum class LogLevel { Debug, Default, Error };

// Appends one message to the simulated Mac's unified log (private/var/log/vantrel.log):
// one line of time, subsystem, category, level and message. One write per line, so lines
// from several threads and processes never interleave. Line ends inside the message are
// written as "\n" to keep one message per line.
void writeLog(std::string_view subsystem, std::string_view category, LogLevel level,
              std::string_view message);

}  // namespace vantrel::platform
