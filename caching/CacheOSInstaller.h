#pragma once

#include <string>
#include <vector>

namespace vantrel {

class SessionRequestManager;

// The caching driver: catalog, product selection, downloads, assembly and placement of the
// installer application. One instance, owned by the application delegate.
class CacheOSInstaller {
public:
    CacheOSInstaller();

    // The caching run, on the main thread: catalog, selection, then the downloads (the run
    // goes on with "downloadsDone"), or the end of the run when there is nothing to download.
    void cacheOS();
    // Observer of "downloadsDone": assembles the installer on a background queue.
    void installProduct();
    // Moves the installer out of /Applications into the working directory (unless the run
    // leaves it there) and records where it is now.
    void placeInstaller();
    // Called when the package installer has ended: files the installer away and hands over
    // to the installation, or ends the run.
    void installerDidTerminate();

private:
    void runInstaller();

    std::vector<std::string> productPackages;
    std::string distributionFileToInstall;
    SessionRequestManager* requestManager;
};

}  // namespace vantrel
