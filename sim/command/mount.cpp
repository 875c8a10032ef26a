#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "platform/MacRoot.h"
#include "platform/simmac/MountTable.h"
#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/SimulatedMac.h"

namespace vantrel::sim {

namespace {

int mount(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Mounts a volume at a Mac path of a simulated Mac, as if some disk were attached "
        "there.",
        "mount"};
    std::string folder;
    std::string mountPoint;
    bool busy = false;
    app.add_option("DIR", folder, "Folder of the simulated Mac")->required();
    app.add_option("PATH", mountPoint, "Mac path of the mount point, e.g. /Volumes/InstallESD")
        ->required();
    app.add_flag("--busy", busy, "The volume is in use and cannot be unmounted");
    return runCommand(app, arguments, [&] {
        const platform::MacRoot root(findSimulatedMac(folder));
        if (mountPoint.empty() || mountPoint.front() != '/' || mountPoint == "/") {
            throw std::runtime_error("PATH must be a Mac path below /, not '" + mountPoint + "'");
        }
        std::filesystem::create_directories(root.host(mountPoint));
        simmac::MountTable(root).add({mountPoint, "", busy});
        return 0;
    });
}

int volumes(const std::vector<std::string>& arguments) {
    CLI::App app{"Lists the mounted volumes of a simulated Mac, one mount point a line.",
                 "volumes"};
    std::string folder;
    app.add_option("DIR", folder, "Folder of the simulated Mac")->required();
    return runCommand(app, arguments, [&] {
        const platform::MacRoot root(findSimulatedMac(folder));
        for (const auto& volume : simmac::MountTable(root).list()) {
            std::printf("%s%s%s\n", volume.mountPoint.c_str(), volume.busy ? " (busy)" : "",
                        volume.image.empty() ? "" : ("\t" + volume.image).c_str());
        }
        return 0;
    });
}

const CommandRegistration mountRegistration{
    "mount", {"mount a volume in a simulated Mac (--busy: it cannot be unmounted)", mount}};
const CommandRegistration volumesRegistration{
    "volumes", {"list the mounted volumes of a simulated Mac", volumes}};

}  // namespace

}  // namespace vantrel::sim
