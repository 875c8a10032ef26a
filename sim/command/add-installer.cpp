#include <cstdio>
#include <stdexcept>

#include "platform/MacRoot.h"
#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/InstallerApp.h"
#include "sim/lib/SimulatedMac.h"

namespace vantrel::sim {

namespace {

std::string defaultVersion(const std::string& release) {
    if (release == "Catalina") {
        return "10.15.7";
    }
    if (release == "Mojave") {
        return "10.14.6";
    }
    if (release == "HighSierra") {
        return "10.13.6";
    }
    throw std::runtime_error("--version is needed for the release '" + release + "'");
}

void checkFolder(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') {
        throw std::runtime_error("--in needs a Mac path such as /Applications, not '" + folder +
                                 "'");
    }
    for (const auto& part : std::filesystem::path(folder)) {
        if (part == "..") {
            throw std::runtime_error("--in must not climb out with '..': " + folder);
        }
    }
}

int addInstaller(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Puts a stand-in installer application (\"Install macOS <release>.app\", with its "
        "base-system image and startosinstall) into a simulated Mac and prints its path.",
        "add-installer"};
    std::string folder;
    InstallerSpec spec;
    std::string in = "/Applications";
    app.add_option("DIR", folder, "Folder of the simulated Mac")->required();
    app.add_option("--release", spec.release, "Release name, e.g. Catalina")->required();
    app.add_option("--build", spec.build, "Build its base system carries, e.g. 19H15")->required();
    app.add_option("--version", spec.version, "Version it installs (default: by release)");
    app.add_option("--in", in,
                   "Mac folder to put it in: /Applications or a folder under /Library/Application "
                   "Support")
        ->capture_default_str();
    return runCommand(app, arguments, [&] {
        const platform::MacRoot root(findSimulatedMac(folder));
        checkFolder(in);
        if (spec.version.empty()) {
            spec.version = defaultVersion(spec.release);
        }
        const auto bundle = writeInstallerApp(root.host(in), spec);
        std::printf("%s\n", root.mac(bundle).c_str());
        return 0;
    });
}

const CommandRegistration registration{
    "add-installer",
    {"put a stand-in macOS installer application into a simulated Mac", addInstaller}};

}  // namespace

}  // namespace vantrel::sim
