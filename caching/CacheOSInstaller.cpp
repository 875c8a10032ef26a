#include "caching/CacheOSInstaller.h"

#include <filesystem>

#include "base/InstallerLock.h"
#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "caching/Catalog.h"
#include "caching/InstallerOutput.h"
#include "caching/ProductSelection.h"
#include "caching/SessionRequestManager.h"
#include "platform/Files.h"
#include "platform/Placement.h"
#include "platform/PrintableText.h"
#include "platform/Process.h"
#include "platform/TrustedPath.h"

namespace vantrel {

namespace {

// Ends the process with `status` from the main queue, after the work queued before.
void exitFromMainQueue(const platform::Services& services, int status) {
    services.mainQueue.async(
        [&console = services.console, status] { console.exitProcess(status); });
}

// A caching run that cannot go on, before or after its downloads. Reporting success with
// nothing filed away would leave the management system believing in an installer that is not
// where it looks. Headless, the process ends with status 3, from the main queue (this may run
// on the package installer's worker); with a window, the window shows the line as an error and
// stays until closed.
void endRunWithFailure(const platform::Services& services, const std::string& line) {
    services.console.printLine(line);
    if (SharedData::shared().hasGUI) {
        NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                                 progressReport(line, -1.0));
        return;
    }
    exitFromMainQueue(services, 3);
}

std::function<void(std::string_view)> printingTo(platform::Console& console) {
    return [&console](std::string_view line) { console.printLine(line); };
}

bool isDistributionFile(const std::string& name) {
    return std::filesystem::path(name).extension() == ".dist";
}

}  // namespace

CacheOSInstaller::CacheOSInstaller(const platform::Services& services, net::NetworkPlugIn& network,
                                   SessionRequestManager& manager,
                                   net::NetworkLimits documentLimits)
    : services(services),
      network(network),
      documents(network, services.machine.trustedCertificates(), documentLimits),
      requestManager(manager) {}

void CacheOSInstaller::cacheOS() {
    cachingLog().debug("Caching");
    // Held until the process ends (InstallerLock.h).
    if (const auto refusal = installerlock::holdForCaching(services)) {
        endRunWithFailure(services, *refusal);
        return;
    }
    clearPlacementLeftovers();
    const CatalogResult catalog =
        fetchInstallerProducts(services.machine, documents, printingTo(services.console));
    if (!catalog.candidates) {
        endRunWithFailure(services, catalog.failure);
        return;
    }
    if (catalog.candidates->empty()) {
        cachingLog().debug("No Product dictionary available.");
        services.console.exitProcess(0);
    }
    auto& shared = SharedData::shared();
    const auto urls =
        selectProductURLs(*catalog.candidates, {shared.osNamed, shared.osInstallerAppBundlePath},
                          platformSelectionServices(services, network, documents));
    if (!urls.empty()) {
        if (!prepareDownloadDirectory(services)) {
            endRunWithFailure(services,
                              "The download folder could not be prepared; nothing was downloaded.");
            return;
        }
        requestManager.downloadPackages(urls, packageExpectations(*catalog.candidates));
        return;
    }
    if (!shared.osInstallerAppBundlePath) {
        cachingLog().debug("No OS found.");
        services.console.printLine("No OS found");
        services.console.exitProcess(0);
    }
    if (shared.install) {
        shared.finishedCaching = true;
        NotificationCenter::defaultCenter().post(shared.presentChallenge
                                                     ? notificationnames::willPresentChallenge()
                                                     : notificationnames::wonChallenge());
        return;
    }
    cachingLog().debug("Not installing cached OS, did not pass --action install.");
    services.console.exitProcess(0);
}

// Assembly: the package installer on the downloaded distribution files.
platform::ProcessSpec CacheOSInstaller::installerProcess(const std::string& distributionPath) {
    platform::ProcessSpec spec;
    spec.executable = "/usr/sbin/installer";
    spec.arguments = {"-pkg", distributionPath, "-target", "/", "-verboseR"};
    spec.environment = std::vector<std::pair<std::string, std::string>>{{"NSUnbufferedIO", "YES"}};
    return spec;
}

void CacheOSInstaller::installProduct() {
    services.backgroundQueue.async([this] { runInstaller(); });
}

void CacheOSInstaller::assemblyFailed(const std::string& line) {
    services.console.printLine(line);
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
            [&](std::string_view chunk) {
                readInstallerOutput(outputDecoder.decode(chunk), services.console);
            },
            [&](std::string_view chunk) {
                if (const std::string text = errorDecoder.decode(chunk); !text.empty()) {
                    readInstallerErrors(text, services.console);
                }
            });
        if (launchError) {
            services.console.printLine("Error running installer");
            assemblyFailed(launchError->description);
            return;
        }
        readInstallerOutput(outputDecoder.finish(), services.console);
        if (const std::string rest = errorDecoder.finish(); !rest.empty()) {
            readInstallerErrors(rest, services.console);
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

// Placement: the installer filed away where the next run finds it.
void CacheOSInstaller::clearPlacementLeftovers() {
    platform::removePlacementLeftovers(services.root, SharedData::shared().workingDir);
    platform::removePlacementLeftovers(services.root, "/Applications");
}

bool CacheOSInstaller::placeInstaller() {
    auto& shared = SharedData::shared();
    const std::string installerName = "Install macOS " + shared.osNamed + ".app";
    const std::string inApplications = "/Applications/" + installerName;
    if (!shared.fileAway) {
        installerLog().debug(
            "Installed to /Applications. Use --appsupport to move the installer to our "
            "/Library/Application Support directory");
        shared.osInstallerAppBundlePath = inApplications;
        return true;
    }
    // Replacing the filed-away installer must wait for no installation that runs from it.
    if (const auto refusal = installerlock::holdForCaching(services)) {
        endRunWithFailure(services, *refusal);
        return false;
    }
    clearPlacementLeftovers();
    const std::string filedAway = shared.workingDir + "/" + installerName;
    if (const auto reason = platform::whyNotRootOnlyApplication(services.root, inApplications)) {
        installerLog().error("%{public}s", *reason);
        endRunWithFailure(services,
                          "The macOS Installer was not moved to " + filedAway + ": " + *reason);
        return false;
    }
    if (const auto error = platform::placeItem(services.root, inApplications, filedAway)) {
        installerLog().error("%{public}s", error->description);
        shared.osInstallerAppBundlePath = inApplications;
        endRunWithFailure(services, "The macOS Installer could not be moved to " + filedAway +
                                        ": " + error->description);
        return false;
    }
    shared.osInstallerAppBundlePath = filedAway;
    installerLog().debug("macOS Installer moved to our /Library/Application Support folder");
    return true;
}

void CacheOSInstaller::installerDidTerminate() {
    auto& shared = SharedData::shared();
    if (shared.installerFailed) {
        installerLog().error("Exiting due to failed installer");
        if (shared.hasGUI) {
            return;  // the window stays and shows the failure
        }
        // A failed assembly must not look like success to the management system.
        exitFromMainQueue(services, 3);
        return;
    }
    if (!placeInstaller()) {
        return;
    }
    // The packages are in the installer now; a later run has nothing to continue.
    requestManager.clearResumeStore();
    if (shared.install) {
        installerLog().debug("Posting notification for startosinstall");
        NotificationCenter::defaultCenter().post(shared.presentChallenge
                                                     ? notificationnames::willPresentChallenge()
                                                     : notificationnames::wonChallenge());
        return;
    }
    installerLog().debug("Caching complete, not installing");
    exitFromMainQueue(services, 0);
}

}  // namespace vantrel
