#pragma once

// Test fixtures on a simulated Mac.
//
//   TempMac mac;                                   // `vantrel-sim create` in a fresh temp folder
//   mac.addInstaller("Catalina", "19H15");         // `vantrel-sim add-installer`
//   RunResult run = mac.run({"--action", "status", "--osname", "Catalina"});  // the real Vantrel
//   EXPECT_EQ(run.outputLines(), std::vector<std::string>{"true"});
//   EXPECT_TRUE(mac.logged("main", "Default", "Vantrel launched"));
//
// For in-process tests of the program's classes, `mac.useInProcess()` makes the Mac the test
// process's own (platform::useMac) with fresh SharedData, no observers and an empty main
// queue. The folder is removed when the TempMac goes away.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/lib/SimState.h"
#include "tests/support/ProgramRun.h"

namespace vantrel::testsupport {

// One line of the Mac's unified log.
struct LogEntry {
    std::string subsystem;
    std::string category;
    std::string level;  // "Debug", "Default" or "Error"
    std::string message;
    friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

class TempMac {
  public:
    // Runs `vantrel-sim create <folder> <createOptions...>`; throws when that fails.
    explicit TempMac(const std::vector<std::string>& createOptions = {});
    ~TempMac();
    TempMac(const TempMac&) = delete;
    TempMac& operator=(const TempMac&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path host(std::string_view macPath) const;
    // The Vantrel program inside this Mac.
    const std::filesystem::path& program() const { return program_; }

    // `vantrel-sim <command> <root> <arguments...>`; throws with its error output when it
    // fails; returns its standard output.
    std::string sim(const std::string& command,
                    const std::vector<std::string>& arguments = {}) const;
    // `vantrel-sim add-installer`; returns the installer's Mac path.
    std::string addInstaller(const std::string& release, const std::string& build,
                             const std::string& folder = "/Applications") const;

    // Runs this Mac's Vantrel with `arguments`.
    RunResult run(const std::vector<std::string>& arguments,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

    std::vector<LogEntry> log() const;
    // Whether the log holds this message of the program's subsystem, category and level.
    bool logged(const std::string& category, const std::string& level,
                const std::string& message) const;
    // The installation the stand-in startosinstall recorded, if any.
    std::optional<sim::InstallationRecord> installation() const;

    void useInProcess() const;

  private:
    std::filesystem::path root_;
    std::filesystem::path program_;
};

// Serves the main queue on the calling thread until `condition` holds or `timeout` passes;
// returns whether it held. For in-process tests whose work ends on the main queue.
bool serveMainQueueUntil(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace vantrel::testsupport
