#pragma once

#include <filesystem>

#include "platform/MacRoot.h"
#include "platform/Machine.h"

namespace vantrel::simmac {

// The machine's answers on the simulated Mac: the OS version from
// System/Library/CoreServices/SystemVersion.plist, the bundle identifier from the bundle's
// Info.plist, and the firmware, kernel, console and server facts from SimulatedMac.plist.
class SimulatedMachine : public platform::Machine {
  public:
    SimulatedMachine(const platform::MacRoot& root, const std::filesystem::path& appBundle)
        : root_(root), appBundle_(appBundle) {}

    platform::OSVersion operatingSystemVersion() const override;
    std::optional<std::string> bundleIdentifier() const override;
    // The effective user, unless the simulated Mac names another ("UserName").
    std::string currentUserName() const override;
    std::optional<std::string> consoleUser() const override;
    std::string temporaryDirectory() const override;
    std::vector<std::uint8_t> platformExpertProperty(std::string_view name) const override;
    std::string sysctlValue(std::string_view name) const override;
    std::string catalogServer() const override;
    std::filesystem::path trustedCertificates() const override;

  private:
    const platform::MacRoot& root_;
    const std::filesystem::path& appBundle_;
};

}  // namespace vantrel::simmac
