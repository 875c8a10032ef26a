// Filing the installer away into a working folder on another volume, run by the real program
// with the working folder mounted in its own mount namespace.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/background_fixture.h"
#include "tests/disk_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace disktest;
using namespace std::chrono_literals;
using backgroundtest::Background;
using backgroundtest::kPreparationFailed;
using backgroundtest::mountSmallDisk;
using testsupport::RunResult;

// Runs `install` with the working folder on a volume of its own (`mountIt` mounts it in the
// program's own mount namespace), so filing the installer away crosses volumes. Answers the
// exit status, or kPreparationFailed.
int installWithWorkingFolderMounted(const TempMac& mac,
                                    const std::function<bool(const char*)>& mountIt,
                                    std::string* output) {
    const fs::path working = mac.host(kWorkingDir);
    fs::create_directories(working);
    const std::string mountPoint = working.string();
    Background run(mac, kInstall, [&] { return mountIt(mountPoint.c_str()); });
    const int status = run.waitForExit(120s);
    *output = run.output();
    return status;
}

int installWithWorkingFolderOnATmpfs(const TempMac& mac, const char* options, std::string* output) {
    return installWithWorkingFolderMounted(
        mac, [options](const char* folder) { return mountSmallDisk(folder, options); }, output);
}

// A second mount of the same file system: the device is the same, yet rename says EXDEV.
// System calls only: it runs in the child between fork and exec.
bool bindOnto(const char* source, const char* folder) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(source, folder, nullptr, MS_BIND, nullptr) == 0;
}

// Hidden names left in /Applications (none may be, whatever happened).
Lines hiddenIn(const fs::path& folder) {
    Lines names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.') {
            names.push_back(entry.path().filename());
        }
    }
    return names;
}

TEST(PlacementAcrossVolumes, TheInstallerIsCopiedThenRemovedOrLeftWholeWithAFailure) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    std::string output;
    int status = installWithWorkingFolderOnATmpfs(mac, "size=64m,mode=0755", &output);
    if (status == kPreparationFailed) {
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(status, -1) << output;  // signalled by startosinstall, as at the restart
    const auto installation = mac.installation();
    ASSERT_TRUE(installation) << output;
    EXPECT_EQ(installation->installer, kFiledCatalina);  // ran from the whole copy
    EXPECT_FALSE(fs::exists(mac.host(kInApplications)));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});

    // A bind mount of the same file system: a rename fails all the same, and a copy is made.
    const fs::path bound = mac.host("/private/var/bound");
    fs::create_directories(bound);
    const std::string boundPath = bound.string();
    fs::remove(mac.host("/private/var/db/vantrel-sim/installation.plist"));
    mac.addInstaller("Catalina", "19H15");
    status = installWithWorkingFolderMounted(
        mac, [&](const char* folder) { return bindOnto(boundPath.c_str(), folder); }, &output);
    EXPECT_EQ(status, -1) << output;
    ASSERT_TRUE(mac.installation()) << output;
    EXPECT_EQ(mac.installation()->installer, kFiledCatalina);
    EXPECT_FALSE(fs::exists(mac.host(kInApplications)));
    EXPECT_TRUE(
        fs::exists(bound / "Install macOS Catalina.app/Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});
    EXPECT_EQ(hiddenIn(bound), Lines{});

    // A volume too small for the copy: one line, status 3, the installer whole where it was.
    fs::remove(mac.host("/private/var/db/vantrel-sim/installation.plist"));
    mac.addInstaller("Catalina", "19H15");
    status = installWithWorkingFolderOnATmpfs(mac, "size=16k,mode=0755", &output);
    EXPECT_EQ(status, 3) << output;
    const Lines lines = testsupport::splitLines(output);
    ASSERT_EQ(lines.size(), 1u) << output;
    EXPECT_EQ(lines[0].rfind(
                  "The macOS Installer could not be moved to " + std::string(kFiledCatalina), 0),
              0u)
        << output;
    EXPECT_NE(lines[0].find("No space left on device"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/Resources/startosinstall"));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});
    EXPECT_FALSE(mac.installation());
}

}  // namespace
}  // namespace vantrel
