#pragma once

#include <string>
#include <vector>

#include "net/Http.h"
#include "platform/Process.h"
#include "platform/Services.h"

namespace vantrel {

class SessionRequestManager;

// The caching driver: catalog, product selection, downloads, assembly and placement of the
// installer application. One instance, owned by the application delegate.
class CacheOSInstaller {
  public:
    // Runs on the Mac of `services`; documents come through `network` under `documentLimits`,
    // downloads through `manager`. All three outlive the driver.
    CacheOSInstaller(const platform::Services& services, net::NetworkPlugIn& network,
                     SessionRequestManager& manager, net::NetworkLimits documentLimits = {});

    // The caching run, on the main thread: catalog, selection, then the downloads (the run
    // goes on with "downloadsDone"), or the end of the run when there is nothing to download.
    void cacheOS();
    // Observer of "downloadsDone": assembles the installer on a background queue.
    void installProduct();
    // Moves the installer out of /Applications into the working directory (unless the run
    // leaves it there) and records where it is now. False when it could not be moved: the
    // run has been ended (or, with a window, the failure shown) and must not go on.
    bool placeInstaller();
    // Called when the package installer has ended: files the installer away and hands over
    // to the installation, or ends the run.
    void installerDidTerminate();

    // Runs the package installer on every downloaded distribution file, one after another,
    // then ends the assembly through installerDidTerminate. Blocks while a child runs.
    void runInstaller();

    // How "/usr/sbin/installer" is run for one distribution file.
    static platform::ProcessSpec installerProcess(const std::string& distributionPath);

  private:
    // Removes what a placement killed halfway left behind. Only with the lock held
    // exclusive: another run's placement may be under way otherwise.
    void clearPlacementLeftovers();

    // An assembly that cannot happen or go on: a line, the failure report for the window,
    // and the end of a failed assembly.
    void assemblyFailed(const std::string& line);

    std::vector<std::string> productPackages;
    std::string distributionFileToInstall;
    const platform::Services services;
    net::NetworkPlugIn& network;
    // The catalog, distribution and metadata fetches, over one connection kept open.
    net::HttpClient documents;
    SessionRequestManager& requestManager;
};

}  // namespace vantrel
