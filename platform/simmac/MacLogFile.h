#pragma once

#include <mutex>

#include "platform/Log.h"
#include "platform/MacRoot.h"

namespace vantrel::simmac {

// The simulated Mac's unified log: one line per message appended to
// private/var/log/vantrel.log, "<time> <subsystem> [<category>] <<level>> <message>".
// One write per line, so lines of several threads and processes never interleave.
class MacLogFile : public platform::LogSink {
  public:
    explicit MacLogFile(const platform::MacRoot& root) : root_(root) {}
    ~MacLogFile() override;
    MacLogFile(const MacLogFile&) = delete;
    MacLogFile& operator=(const MacLogFile&) = delete;

    void write(std::string_view subsystem, std::string_view category, platform::LogLevel level,
               std::string_view message) override;

  private:
    const platform::MacRoot& root_;
    std::mutex lock_;
    int fd_ = -1;  // opened on the first message
};

}  // namespace vantrel::simmac
