// The run settings as a fresh run sees them on a simulated Mac.
#include <gtest/gtest.h>

#include <thread>

#include "app/SharedData.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

TEST(SharedDataTest, AFreshInstanceHoldsTheCreationValues) {
    testsupport::TempMac mac({"--os-version", "10.13.6"});
    mac.useInProcess();

    SharedData* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = &SharedData::shared(); }).join();
    const SharedData& s = SharedData::shared();
    EXPECT_EQ(fromOtherThread, &s);

    EXPECT_TRUE(s.fileAway);
    EXPECT_TRUE(s.forceQuitApps);
    for (bool flag : {s.hasGUI, s.osWipe, s.showCancel, s.checkStatus, s.cache, s.finishedCaching,
                      s.install, s.installerFailed, s.presentChallenge, s.passedChallenge}) {
        EXPECT_FALSE(flag);
    }
    EXPECT_FALSE(s.tmpDir);
    EXPECT_FALSE(s.osInstallerAppBundlePath);
    EXPECT_EQ(s.osNamed, "Catalina");
    EXPECT_EQ(s.systemVersion, (platform::OSVersion{10, 13, 6}));
    // The 29-character prefix and the bundle identifier, with nothing between or after.
    EXPECT_EQ(s.workingDir, "/Library/Application Support/com.corvane.vantrel");
}

}  // namespace
}  // namespace vantrel
