#include "base/InstallerLock.h"
#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "caching/CacheOSInstaller.h"
#include "caching/SessionRequestManager.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Placement.h"
#include "platform/Queues.h"
#include "platform/TrustedPath.h"

namespace vantrel {

namespace {

// Placement that did not happen ends the run: reporting success with nothing filed away
// would leave the management system believing in an installer that is not where it looks.
// Headless the process ends with status 3 (from the main queue: this may run on the
// package installer's thread); with a window, the window shows the line and stays.
void placementFailed(const std::string& line) {
    platform::printLine(line);
    if (SharedData::shared().hasGUI) {
        NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                                 progressReport(line, -1.0));
        return;
    }
    platform::mainqueue::async([] { platform::exitProcess(3); });
}

}  // namespace

void CacheOSInstaller::clearPlacementLeftovers() {
    platform::removePlacementLeftovers(SharedData::shared().workingDir);
    platform::removePlacementLeftovers("/Applications");
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
    if (const auto refusal = installerlock::holdForCaching()) {
        placementFailed(*refusal);
        return false;
    }
    clearPlacementLeftovers();
    const std::string filedAway = shared.workingDir + "/" + installerName;
    if (const auto reason = platform::whyNotRootOnlyApplication(inApplications)) {
        installerLog().error("%{public}s", *reason);
        placementFailed("The macOS Installer was not moved to " + filedAway + ": " + *reason);
        return false;
    }
    if (const auto error = platform::placeItem(inApplications, filedAway)) {
        installerLog().error("%{public}s", error->description);
        shared.osInstallerAppBundlePath = inApplications;
        placementFailed("The macOS Installer could not be moved to " + filedAway + ": " +
                        error->description);
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
        platform::mainqueue::async([] { platform::exitProcess(3); });
        return;
    }
    if (!placeInstaller()) {
        return;
    }
    // The packages are in the installer now; a later run has nothing to continue.
    requestManager->clearResumeStore();
    if (shared.install) {
        installerLog().debug("Posting notification for startosinstall");
        NotificationCenter::defaultCenter().post(shared.presentChallenge
                                                     ? notificationnames::willPresentChallenge()
                                                     : notificationnames::wonChallenge());
        return;
    }
    installerLog().debug("Caching complete, not installing");
    platform::mainqueue::async([] { platform::exitProcess(0); });
}

}  // namespace vantrel
