#pragma once

// Test fixtures on a simulated Mac.
//
//   TempMac mac;                                   // `vantrel-sim create` in a fresh temp folder
//   mac.addInstaller("Catalina", "19H15");         // `vantrel-sim add-installer`
//   RunResult run = mac.run({"--action", "status", "--osname", "Catalina"});  // the real Vantrel
//   EXPECT_EQ(run.outputLines(), std::vector<std::string>{"true"});
//   EXPECT_TRUE(mac.logged("main", "Default", "Vantrel launched"));
//
// For in-process tests of the program's classes, `mac.services()` are the platform's services
// over this Mac, and `mac.useInProcess()` gives the test process fresh SharedData describing
// it, its log, no observers and an empty main queue. The folder is removed when the TempMac goes
// away.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/NetworkLibrary.h"
#include "platform/Services.h"
#include "platform/simmac/SimulatedMac.h"
#include "sim/lib/SimState.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TestProcess.h"

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

    // The platform's services over this Mac, for the program's classes run in process.
    platform::Services services() const;
    // The network plug-in of this Mac's Vantrel.
    net::NetworkPlugIn& network() const;
    // Prepares the test process to run the program's classes on this Mac, as the entry point
    // does: the logs write to this Mac's log, the run settings are fresh and describe this
    // Mac, no observers are left and the main queue is empty.
    void useInProcess() const;

  private:
    std::filesystem::path root_;
    std::filesystem::path program_;
    // Made on first use.
    mutable std::unique_ptr<simmac::SimulatedMac> mac_;
    mutable std::unique_ptr<net::NetworkPlugIn> network_;
};

// Serves the main queue on the calling thread until `condition` holds or `timeout` passes;
// returns whether it held. For in-process tests whose work ends on the main queue.
bool serveMainQueueUntil(const std::function<bool()>& condition,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace vantrel::testsupport
