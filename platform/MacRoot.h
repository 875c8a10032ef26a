#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::platform {

// The simulated Mac a process runs on: a host folder R that stands for the Mac's "/".
// The program speaks Mac paths ("/Applications/...") and turns them into host paths only
// where it touches the host. A process finds R by walking up from its own executable to the
// first folder holding "SimulatedMac.plist", so a copy of a program inside R runs on that Mac.
class MacRoot {
  public:
    static constexpr std::string_view kMarkerFile = "SimulatedMac.plist";

    explicit MacRoot(std::filesystem::path hostRoot);

    // The first ancestor folder of `executable` (its real path) that holds the marker file.
    static std::optional<MacRoot> discoverFrom(const std::filesystem::path& executable);
    // The same, for the running process (/proc/self/exe).
    static std::optional<MacRoot> discoverForThisProcess();
    static std::filesystem::path thisExecutable();

    const std::filesystem::path& hostRoot() const { return hostRoot_; }
    std::filesystem::path markerFile() const { return hostRoot_ / std::string(kMarkerFile); }

    // "/Applications/X.app" -> R/Applications/X.app. Relative paths are taken as from "/".
    std::filesystem::path host(std::string_view macPath) const;
    // The inverse of host(); a path outside R is returned unchanged.
    std::string mac(const std::filesystem::path& hostPath) const;

  private:
    std::filesystem::path hostRoot_;
};

}  // namespace vantrel::platform
