#include "app/Logging.h"
#include "app/Notifications.h"
#include "app/SharedData.h"
#include "caching/CacheOSInstaller.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Queues.h"

namespace vantrel {

void CacheOSInstaller::placeInstaller() {
    auto& shared = SharedData::shared();
    const std::string installerName = "Install macOS " + shared.osNamed + ".app";
    const std::string inApplications = "/Applications/" + installerName;
    if (!shared.fileAway) {
        installerLog().debug(
            "Installed to /Applications. Use --appsupport to move the installer to our "
            "/Library/Application Support directory");
        shared.osInstallerAppBundlePath = inApplications;
        return;
    }
    const std::string filedAway = shared.workingDir + "/" + installerName;
    shared.osInstallerAppBundlePath = filedAway;
    const auto error = platform::fileExists(filedAway)
                           ? platform::replaceItem(filedAway, inApplications)
                           : platform::moveItem(inApplications, filedAway);
    if (error) {
        installerLog().error("%{public}s", error->description);
    }
    installerLog().debug("macOS Installer moved to our /Library/Application Support folder");
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
    placeInstaller();
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
