#pragma once

#include <filesystem>
#include <string>

namespace vantrel::sim {

struct InstallerSpec {
    std::string release;  // "Catalina", "Mojave", "HighSierra"
    std::string build;    // "19H15"
    std::string version;  // "10.15.7"
};

// Writes "Install macOS <release>.app" into `parentFolder` (a host path): Contents/Info.plist
// with CFBundleIdentifier "com.apple.InstallAssistant.<release>", Contents/SharedSupport/
// BaseSystem.dmg (a disk image whose System/Library/CoreServices/SystemVersion.plist carries
// the build and version) and Contents/Resources/startosinstall (the stand-in tool). Returns
// the bundle's host path. An existing bundle of that name is replaced (the new one is built
// aside and swapped in). Throws std::runtime_error or std::filesystem::filesystem_error when
// the bundle cannot be written or the stand-in tool is not built.
std::filesystem::path writeInstallerApp(const std::filesystem::path& parentFolder,
                                        const InstallerSpec& spec);

// Host path of a built stand-in tool ("hdiutil", "installer", "startosinstall").
std::filesystem::path standInTool(const std::string& name);

}  // namespace vantrel::sim
