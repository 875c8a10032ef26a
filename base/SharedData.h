#pragma once

#include <optional>
#include <string>

#include "platform/Machine.h"

namespace vantrel {

// The process-wide run settings and run state. One instance, made on first use; it has no
// lock: each field is written before the notification or call that hands the run to the
// phase that reads it.
class SharedData {
  public:
    static SharedData& shared();

    bool hasGUI = false;
    bool osWipe = false;
    bool showCancel = false;
    bool fileAway = true;
    bool checkStatus = false;
    bool forceQuitApps = true;
    std::optional<std::string> tmpDir;  // Mac path of the download folder, once it exists
    bool cache = false;
    bool finishedCaching = false;
    bool install = false;
    std::string osNamed = "Catalina";
    platform::OSVersion systemVersion;
    std::string workingDir;  // "/Library/Application Support/" + bundle identifier
    std::optional<std::string> osInstallerAppBundlePath;
    bool installerFailed = false;
    bool presentChallenge = false;
    bool passedChallenge = false;

    // Takes the running system's version and the working folder from the machine; the entry
    // point does so once, before the launch flow.
    void describeMachine(const platform::Machine& machine);
    // A fresh instance's values (the machine's facts too are forgotten).
    void restoreDefaults();

  private:
    SharedData();
};

}  // namespace vantrel
