// CleanUp against the simulated Mac's mount table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/CleanUp.h"
#include "platform/simmac/MountTable.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::TempMac;
using Lines = std::vector<std::string>;

class CleanUpTest : public ::testing::Test {
  protected:
    void SetUp() override { mac_.useInProcess(); }

    void mount(const std::string& path, bool busy = false) {
        mac_.sim("mount", busy ? Lines{path, "--busy"} : Lines{path});
    }
    Lines mounted() const {
        Lines points;
        for (const auto& volume :
             simmac::MountTable(testsupport::inProcessServices().root).list()) {
            points.push_back(volume.mountPoint);
        }
        return points;
    }
    Lines unmountLog() const {
        Lines messages;
        for (const auto& entry : mac_.log()) {
            EXPECT_EQ(entry.category, "main");
            EXPECT_EQ(entry.level, "Debug");
            messages.push_back(entry.message);
        }
        return messages;
    }
    TempMac mac_;
};

TEST_F(CleanUpTest, DetachesInstallerVolumesByTheirExactLastComponent) {
    CleanUp::unmountInstallerVolumes(testsupport::inProcessServices().volumes);
    EXPECT_TRUE(mac_.log().empty());  // nothing to detach, nothing logged
    mount("/Volumes/Data");
    mount("/Volumes/InstallESD");
    mount("/Volumes/installesd");
    mount("/Volumes/InstallESD 1");
    mount("/private/var/folders/0/T/com.corvane.vantrel/baseMount");
    mount("/Volumes/macOS Base System");
    mount("/Volumes/baseMount.old");
    std::ofstream(mac_.host("/Volumes/InstallESD/file")) << "content";

    CleanUp::unmountInstallerVolumes(testsupport::inProcessServices().volumes);

    EXPECT_EQ(mounted(), (Lines{"/Volumes/Data", "/Volumes/installesd", "/Volumes/InstallESD 1",
                                "/Volumes/baseMount.old"}));
    EXPECT_FALSE(fs::exists(mac_.host("/Volumes/InstallESD/file")));
    EXPECT_EQ(unmountLog(),
              (Lines{"Unmounting volume: file:///Volumes/InstallESD/",
                     "Unmounting volume: file:///private/var/folders/0/T/com.corvane.vantrel/"
                     "baseMount/",
                     "Unmounting volume: file:///Volumes/macOS%20Base%20System/"}));
}

TEST_F(CleanUpTest, StopsSilentlyAtTheFirstVolumeThatCannotBeDetached) {
    mount("/Volumes/macOS Base System");
    mount("/Volumes/InstallESD", /*busy=*/true);
    mount("/tmp/baseMount");

    CleanUp::unmountInstallerVolumes(testsupport::inProcessServices().volumes);

    // The first was detached and logged; the busy one stopped the walk before the third.
    EXPECT_EQ(mounted(), (Lines{"/Volumes/InstallESD", "/tmp/baseMount"}));
    EXPECT_EQ(unmountLog(), Lines{"Unmounting volume: file:///Volumes/macOS%20Base%20System/"});
}

}  // namespace
}  // namespace vantrel
