#include "base/SharedData.h"

namespace vantrel {

SharedData::SharedData() {
    resetForTesting();
}

SharedData& SharedData::shared() {
    static SharedData* instance = new SharedData();  // never destroyed: workers may outlive main
    return *instance;
}

void SharedData::resetForTesting() {
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
    systemVersion = platform::operatingSystemVersion();
    workingDir = "/Library/Application Support/" + platform::bundleIdentifier().value_or("");
    osInstallerAppBundlePath.reset();
    installerFailed = false;
    presentChallenge = false;
    passedChallenge = false;
}

}  // namespace vantrel
