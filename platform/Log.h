#pragma once

#include <string_view>

namespace vantrel::platform {

enum class LogLevel { Debug, Default, Error };

// The Mac's unified log: one message per call, written whole, so messages from several
// threads and processes never interleave. Line ends and other control characters inside a
// message are written escaped as printableText does (a backslash is left as it is, since
// messages may hold escaped text already), so one message is always one line.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void write(std::string_view subsystem, std::string_view category, LogLevel level,
                       std::string_view message) = 0;
};

}  // namespace vantrel::platform
