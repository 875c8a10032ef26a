#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ProcessArgs.h"
#include "app/WindowHost.h"
#include "caching/CacheOSInstaller.h"
#include "caching/SessionRequestManager.h"
#include "net/NetworkLibrary.h"
#include "platform/Services.h"

namespace vantrel {

// The application delegate: runs the launch flow once and dispatches to the actions; the
// rest of the run is driven by the workers and the notifications that tie them together.
class AppDelegate {
  public:
    // Creates the caching driver and registers it for "downloadsDone". The run uses the Mac
    // of `services` and the network plug-in `network`, which outlive it.
    AppDelegate(const platform::Services& services, net::NetworkPlugIn& network);

    // The launch flow (startRun), on the main thread, before the main loop starts.
    void applicationWillFinishLaunching(const std::vector<std::string>& arguments);
    // Serves the main thread until the process ends: the toolkit's loop when a window is
    // shown, a plain loop otherwise.
    [[noreturn]] void run();

    void didWinChallenge();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  private:
    void startRun(const std::vector<std::string>& arguments);
    void showMainWindow();

    const platform::Services services;
    SessionRequestManager downloads;
    std::unique_ptr<CacheOSInstaller> cacher;
    ProcessArgs args;
    std::unique_ptr<WindowHost> mainStoryboard;
};

}  // namespace vantrel
