#pragma once

#include <mutex>

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/MacRoot.h"

namespace vantrel::simmac {

// The simulated Mac's unified log: one line per message appended to
// private/var/log/vantrel.log, "<time> <subsystem> [<category>] <<level>> <message>".
// One write per line, so lines of several threads and processes never interleave. Each line
// is stamped with the wall time of `clock`.
class MacLogFile : public platform::LogSink {
  public:
    MacLogFile(const platform::MacRoot& root, const platform::Clock& clock)
        : root_(root), clock_(clock) {}
    ~MacLogFile() override;
    MacLogFile(const MacLogFile&) = delete;
    MacLogFile& operator=(const MacLogFile&) = delete;

    void write(std::string_view subsystem, std::string_view category, platform::LogLevel level,
               std::string_view message) override;

  private:
    const platform::MacRoot& root_;
    const platform::Clock& clock_;
    std::mutex lock_;
    int fd_ = -1;  // opened on the first message
};

}  // namespace vantrel::simmac
