// The run settings: one instance for the whole process, with what it reads from the Mac.
#include <gtest/gtest.h>

#include <thread>

#include "base/SharedData.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

TEST(SharedDataTest, OneInstanceForEveryThreadHoldsTheMacsVersionAndTheWorkingFolder) {
    testsupport::TempMac mac({"--os-version", "10.13.6"});
    mac.useInProcess();

    SharedData* fromOtherThread = nullptr;
    std::thread([&] { fromOtherThread = &SharedData::shared(); }).join();
    const SharedData& s = SharedData::shared();
    EXPECT_EQ(fromOtherThread, &s);

    EXPECT_EQ(s.systemVersion, (platform::OSVersion{10, 13, 6}));
    // The 29-character prefix and the bundle identifier, with nothing between or after.
    EXPECT_EQ(s.workingDir, "/Library/Application Support/com.corvane.vantrel");
}

}  // namespace
}  // namespace vantrel
