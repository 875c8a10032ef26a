#include <filesystem>

#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "caching/CacheOSInstaller.h"
#include "caching/InstallerOutput.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"
#include "platform/Process.h"
#include "platform/Queues.h"

namespace vantrel {

namespace {

bool isDistributionFile(const std::string& name) {
    return std::filesystem::path(name).extension() == ".dist";
}

}  // namespace

platform::ProcessSpec CacheOSInstaller::installerProcess(const std::string& distributionPath) {
    platform::ProcessSpec spec;
    spec.executable = "/usr/sbin/installer";
    spec.arguments = {"-pkg", distributionPath, "-target", "/", "-verboseR"};
    spec.environment = std::vector<std::pair<std::string, std::string>>{{"NSUnbufferedIO", "YES"}};
    return spec;
}

void CacheOSInstaller::installProduct() {
    platform::backgroundqueue::async([this] { runInstaller(); });
}

void CacheOSInstaller::assemblyFailed(const std::string& line) {
    platform::printLine(line);
    installerLog().error("%{public}s", line);
    SharedData::shared().installerFailed = true;
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             progressReport("InstallerFailed", -1.0));
    installerDidTerminate();
}

void CacheOSInstaller::runInstaller() {
    const auto folder = SharedData::shared().tmpDir;
    if (!folder) {
        installerLog().error("Could not find installer distribution file");
        assemblyFailed("No download folder to assemble the installer from.");
        return;
    }
    platform::Error error;
    const auto names = platform::listDirectory(services.root, *folder, &error);
    if (!names) {
        installerLog().error("Could not find installer distribution file");
        assemblyFailed(error.description);
        return;
    }
    std::vector<std::string> distributions;
    for (const auto& name : *names) {
        if (isDistributionFile(name)) {
            distributions.push_back(*folder + "/" + name);
        }
    }
    if (distributions.empty()) {
        assemblyFailed("No distribution file (.dist) was downloaded to " + *folder + ".");
        return;
    }
    for (std::size_t i = 0; i < distributions.size(); ++i) {
        const std::string& path = distributions[i];
        // The file name is the one the server offered.
        installerLog().debug("Installing componenets located in %{public}s.",
                             platform::printableText(path));
        ChunkDecoder outputDecoder;
        ChunkDecoder errorDecoder;
        const auto launchError = platform::runWithPipes(
            services.root, installerProcess(path),
            [&](std::string_view chunk) { readInstallerOutput(outputDecoder.decode(chunk)); },
            [&](std::string_view chunk) {
                if (const std::string text = errorDecoder.decode(chunk); !text.empty()) {
                    readInstallerErrors(text);
                }
            });
        if (launchError) {
            platform::printLine("Error running installer");
            assemblyFailed(launchError->description);
            return;
        }
        readInstallerOutput(outputDecoder.finish());
        if (const std::string rest = errorDecoder.finish(); !rest.empty()) {
            readInstallerErrors(rest);
        }
        // The run's outcome comes once, after the last installer: a hand-off or an exit after
        // an earlier one would leave the later ones running unseen.
        if (SharedData::shared().installerFailed || i + 1 == distributions.size()) {
            installerDidTerminate();
            return;
        }
        // Clears /Applications for the next one; the last placement replaces this copy.
        if (!placeInstaller()) {
            return;
        }
    }
}

}  // namespace vantrel
