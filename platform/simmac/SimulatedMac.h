#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/Services.h"
#include "platform/simmac/ApplicationScan.h"
#include "platform/simmac/MacLogFile.h"
#include "platform/simmac/MountTable.h"
#include "platform/simmac/SimulatedMachine.h"

namespace vantrel::simmac {

// The simulated Mac a process runs on: a host folder R that stands for the Mac's "/", and
// the platform's services over it. A process finds R by walking up from its own executable
// to the first folder holding "SimulatedMac.plist", so a copy of a program inside R runs on
// that Mac; the stand-in tools find it the same way.
class SimulatedMac {
  public:
    static constexpr std::string_view kMarkerFile = "SimulatedMac.plist";

    // `appBundle` is the host path of the application bundle the process runs as; `process`
    // are the process's services, handed on with the Mac's and outliving it.
    SimulatedMac(platform::MacRoot root, std::filesystem::path appBundle,
                 const platform::ProcessServices& process);
    SimulatedMac(const SimulatedMac&) = delete;
    SimulatedMac& operator=(const SimulatedMac&) = delete;

    // The first ancestor folder of `executable` (its real path) that holds the marker file.
    static std::optional<platform::MacRoot> discoverFrom(const std::filesystem::path& executable);
    // The same, for the running process (/proc/self/exe).
    static std::optional<platform::MacRoot> discoverForThisProcess();
    static std::filesystem::path thisExecutable();

    const platform::MacRoot& root() const { return root_; }
    platform::Services services();

  private:
    platform::MacRoot root_;
    std::filesystem::path appBundle_;
    platform::ProcessServices process_;
    SimulatedMachine machine_;
    MountTable volumes_;
    ApplicationScan applications_;
    MacLogFile log_;
};

}  // namespace vantrel::simmac
