#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel::platform {

// Where the Mac's "/" is on the host: a folder R. The program speaks Mac paths
// ("/Applications/...") and turns them into host paths only where it touches the host.
class MacRoot {
  public:
    explicit MacRoot(std::filesystem::path hostRoot);

    const std::filesystem::path& hostRoot() const { return hostRoot_; }

    // "/Applications/X.app" -> R/Applications/X.app. Relative paths are taken as from "/".
    std::filesystem::path host(std::string_view macPath) const;
    // The inverse of host(); a path outside R is returned unchanged.
    std::string mac(const std::filesystem::path& hostPath) const;

  private:
    std::filesystem::path hostRoot_;
};

}  // namespace vantrel::platform
