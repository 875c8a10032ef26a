#pragma once

#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/Services.h"

namespace vantrel {

// Runs the installer application's own startosinstall, as an upgrade or an erase, and turns
// its two output streams into progress and error reports for the window.
class startOSInstall {
  public:
    // Starts a run on a background worker and returns at once. Being called is the
    // permission to run: the caller has settled the erase confirmation.
    static void runOSInstall(const platform::Services& services);

    // The arguments for the run: "--agreetolicense" first, "--pidtosignal" and the process id
    // last, "--erase" and "--forcequitapps" as the settings ask.
    static std::vector<std::string> installArguments(bool osWipe, bool forceQuitApps, long pid);
    // The process description of a run from the installer at `installerPath`.
    static platform::ProcessSpec processSpec(const std::string& installerPath, bool osWipe,
                                             bool forceQuitApps, long pid);

    // Chunk handlers, on the main thread.
    static void handleInstallOutput(const std::string& text);
    static void handleInstallErrors(const std::string& text);

  private:
    static void launchOSInstall(const platform::Services& services, platform::ProcessSpec spec);
};

}  // namespace vantrel
