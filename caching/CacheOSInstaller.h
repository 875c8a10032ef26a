#pragma once

#include <string>
#include <vector>

#include "platform/Process.h"

namespace vantrel {

class SessionRequestManager;

// The caching driver: catalog, product selection, downloads, assembly and placement of the
// installer application. One instance, owned by the application delegate.
class CacheOSInstaller {
  public:
    // Downloads go through `manager`; by default the process's shared one.
    explicit CacheOSInstaller(SessionRequestManager* manager = nullptr);

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
    static void clearPlacementLeftovers();

    // An assembly that cannot happen or go on: a line, the failure report for the window,
    // and the end of a failed assembly.
    void assemblyFailed(const std::string& line);

    std::vector<std::string> productPackages;
    std::string distributionFileToInstall;
    SessionRequestManager* requestManager;
};

}  // namespace vantrel
