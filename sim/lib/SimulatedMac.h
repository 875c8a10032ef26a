#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vantrel::sim {

// What a simulated Mac answers about itself. The defaults describe an ordinary Mac (not a
// virtual machine) running macOS 10.15.7 with nobody logged in at the console.
struct MacSpec {
    std::string osVersion = "10.15.7";
    std::string osBuild = "19H2";
    std::string boardId = "Mac-A1B2C3D4E5F60718";
    std::string model = "MacBookPro16,1";
    bool virtualMachine = false;
    std::optional<std::string> consoleUser;    // absent: nobody at the console
    std::optional<std::string> userName;       // absent: the real effective user
    std::optional<std::string> catalogServer;  // scheme, host and port; absent: the default
    std::optional<std::filesystem::path> trustedCertificate;  // PEM copied to etc/ssl/cert.pem
};

// Where the program lives inside every simulated Mac.
inline constexpr const char* kAppInMac = "/usr/local/vantrel/Vantrel.app";

// Makes a simulated Mac in `root` (created when missing; it must be empty): the Mac's
// folders, SystemVersion.plist, SimulatedMac.plist, and copies of the stand-in tools and the
// built Vantrel.app, so nothing done inside the Mac reaches the build or another Mac. Made by
// root, the Mac is root's throughout, and only /private/tmp is writable by others. Returns
// the host path of the program to run.
// Throws std::runtime_error with a description fit for the user on bad input or failure.
std::filesystem::path createSimulatedMac(const std::filesystem::path& root, const MacSpec& spec);

// Host path of the program inside the simulated Mac at `root`.
std::filesystem::path programInMac(const std::filesystem::path& root);

// `path` made absolute, once it is known to be a simulated Mac's folder; throws
// std::runtime_error with a hint when it is not.
std::filesystem::path findSimulatedMac(const std::filesystem::path& path);

}  // namespace vantrel::sim
