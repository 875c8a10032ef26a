#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::platform {

// What a Mac answers from its system files, firmware and kernel. On the simulated Mac the
// answers come from System/Library/CoreServices/SystemVersion.plist and SimulatedMac.plist.

struct OSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
    friend bool operator==(const OSVersion&, const OSVersion&) = default;
};

// ProductVersion of the running system, "10.15.7" -> {10, 15, 7}; missing parts are 0.
OSVersion operatingSystemVersion();
// CFBundleIdentifier of the application bundle this process runs as.
std::optional<std::string> bundleIdentifier();
// The effective user, unless the simulated Mac names another ("UserName").
std::string currentUserName();
// The user logged in at the console; absent when nobody is.
std::optional<std::string> consoleUser();
// The per-user temporary folder (a Mac path ending in "/"), created private (0700) if missing.
std::string temporaryDirectory();
// Raw bytes of a property of the platform expert device ("board-id", "compatible").
std::vector<std::uint8_t> platformExpertProperty(std::string_view name);
// A kernel value by name ("machdep.cpu.features"); empty when unknown.
std::string sysctlValue(std::string_view name);
// Scheme, host and port of the software-update catalog server, e.g. "https://localhost:8443".
std::string catalogServer();
// Host path of the certificates trusted for HTTPS.
std::filesystem::path trustedCertificates();

}  // namespace vantrel::platform
