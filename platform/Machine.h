#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::platform {

struct OSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    friend bool operator==(const OSVersion&, const OSVersion&) = default;
};

// What a Mac answers about itself from its system files, firmware and kernel.
class Machine {
  public:
    virtual ~Machine() = default;

    // ProductVersion of the running system, "10.15.7" -> {10, 15, 7}; missing parts are 0.
    virtual OSVersion operatingSystemVersion() const = 0;
    // CFBundleIdentifier of the application bundle this process runs as.
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    // The effective user's name.
    virtual std::string currentUserName() const = 0;
    // The user logged in at the console; absent when nobody is.
    virtual std::optional<std::string> consoleUser() const = 0;
    // The per-user temporary folder (a Mac path ending in "/"), created private (0700) if
    // missing.
    virtual std::string temporaryDirectory() const = 0;
    // Raw bytes of a property of the platform expert device ("board-id", "compatible").
    virtual std::vector<std::uint8_t> platformExpertProperty(std::string_view name) const = 0;
    // A kernel value by name ("machdep.cpu.features"); empty when unknown.
    virtual std::string sysctlValue(std::string_view name) const = 0;
    // Scheme, host and port of the software-update catalog server, e.g. "https://host:8443".
    virtual std::string catalogServer() const = 0;
    // Host path of the only certificates trusted for HTTPS.
    virtual std::filesystem::path trustedCertificates() const = 0;
};

}  // namespace vantrel::platform
