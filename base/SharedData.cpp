#include "base/SharedData.h"

namespace vantrel {

SharedData::SharedData() {
    restoreDefaults();
}

SharedData& SharedData::shared() {
    static SharedData* instance = new SharedData();  // never destroyed: workers may outlive main
    return *instance;
}

void SharedData::describeMachine(const platform::Machine& machine) {
    systemVersion = machine.operatingSystemVersion();
    workingDir = "/Library/Application Support/" + machine.bundleIdentifier().value_or("");
}

void SharedData::restoreDefaults() {
    hasGUI = false;
    osWipe = false;
    showCancel = false;
    fileAway = true;
    checkStatus = false;
    forceQuitApps = true;
    tmpDir.reset();
    cache = false;
    finishedCaching = false;
    install = false;
    osNamed = "Catalina";
    systemVersion = {};
    workingDir.clear();
    osInstallerAppBundlePath.reset();
    installerFailed = false;
    presentChallenge = false;
    passedChallenge = false;
}

}  // namespace vantrel
