#include "caching/CacheOSInstaller.h"

#include "base/InstallerLock.h"
#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "caching/Catalog.h"
#include "caching/ProductSelection.h"
#include "caching/SessionRequestManager.h"
#include "platform/Console.h"
#include "platform/Files.h"

namespace vantrel {

namespace {

// A caching run that cannot go on. Headless, the management system learns it from the exit
// status; with a window, the window shows the line as an error and stays until closed.
void endRunWithFailure(const std::string& line) {
    platform::printLine(line);
    if (SharedData::shared().hasGUI) {
        NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                                 progressReport(line, -1.0));
        return;
    }
    platform::exitProcess(3);
}

}  // namespace

CacheOSInstaller::CacheOSInstaller(SessionRequestManager* manager)
    : requestManager(manager ? manager : &SessionRequestManager::shared()) {}

void CacheOSInstaller::cacheOS() {
    cachingLog().debug("Caching");
    // Held until the process ends (InstallerLock.h).
    if (const auto refusal = installerlock::holdForCaching()) {
        endRunWithFailure(*refusal);
        return;
    }
    clearPlacementLeftovers();
    const CatalogResult catalog = fetchInstallerProducts();
    if (!catalog.candidates) {
        endRunWithFailure(catalog.failure);
        return;
    }
    if (catalog.candidates->empty()) {
        cachingLog().debug("No Product dictionary available.");
        platform::exitProcess(0);
    }
    auto& shared = SharedData::shared();
    const auto urls =
        selectProductURLs(*catalog.candidates, {shared.osNamed, shared.osInstallerAppBundlePath},
                          platformSelectionServices());
    if (!urls.empty()) {
        if (!prepareDownloadDirectory()) {
            endRunWithFailure("The download folder could not be prepared; nothing was downloaded.");
            return;
        }
        requestManager->downloadPackages(urls, packageExpectations(*catalog.candidates));
        return;
    }
    if (!shared.osInstallerAppBundlePath) {
        cachingLog().debug("No OS found.");
        platform::printLine("No OS found");
        platform::exitProcess(0);
    }
    if (shared.install) {
        shared.finishedCaching = true;
        NotificationCenter::defaultCenter().post(shared.presentChallenge
                                                     ? notificationnames::willPresentChallenge()
                                                     : notificationnames::wonChallenge());
        return;
    }
    cachingLog().debug("Not installing cached OS, did not pass --action install.");
    platform::exitProcess(0);
}

}  // namespace vantrel
