#pragma once

#include <string_view>

namespace vantrel::platform {

enum class LogLevel { Debug, Default, Error };

// Appends one message to the simulated Mac's unified log (private/var/log/vantrel.log):
// one line of time, subsystem, category, level and message. One write per line, so lines
// from several threads and processes never interleave. Line ends inside the message
// and other control characters are written escaped as printableText does (a backslash is left
// as it is, since messages may hold escaped text already), so one message is always one line.
void writeLog(std::string_view subsystem, std::string_view category, LogLevel level,
              std::string_view message);

}  // namespace vantrel::platform
