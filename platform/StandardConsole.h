#pragma once

#include <mutex>
#include <optional>
#include <thread>

#include "platform/Console.h"

namespace vantrel::platform {

// The process's standard output (file descriptor 1) and _Exit. One per process: two would
// not keep each other's lines and ends in order.
class StandardConsole final : public Console {
  public:
    StandardConsole() = default;
    StandardConsole(const StandardConsole&) = delete;
    StandardConsole& operator=(const StandardConsole&) = delete;

    void printLine(std::string_view line) override;
    bool takeProcessEnd() override;

  private:
    [[noreturn]] void endProcess(int status) override;
    bool endTakenByAnother() const;

    std::mutex lock_;
    // The thread that ends the process, once one has taken the end; guarded by lock_.
    std::optional<std::thread::id> ender_;
};

}  // namespace vantrel::platform
