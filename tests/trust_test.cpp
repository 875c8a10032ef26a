// What root trusts on disk, run by the real program on simulated Macs: installers of root's
// alone, and a working folder of root's.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "install/StartOSInstall.h"
#include "tests/disk_fixture.h"
#include "tests/mirror_fixture.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace disktest;
using namespace std::chrono_literals;
using testsupport::RunResult;

// --- Installers root runs ----------------------------------------------------------------

// An installer with the release's bundle identifier that root must not use; `status` does
// not know it, `install` does not run it, and the log names it and why.
void expectRefused(const TempMac& mac, const std::string& installer, const std::string& why) {
    RunResult run = mac.run(kStatus);
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.outputLines(), Lines{"false"}) << why;
    EXPECT_TRUE(loggedContaining(mac, "main", "Not using " + installer + ": " + why))
        << why << "\n"
        << mirrortest::readText(mac.host("/private/var/log/vantrel.log"));

    run = mac.run(kInstall);
    EXPECT_TRUE(run.exited(0)) << run.standardOutput;
    EXPECT_EQ(run.outputLines(), Lines{"No OS found, exiting."});
    EXPECT_FALSE(mac.installation());
}

TEST(RootRunsOnlyWhatRootOwns, AnInstallerOnAnotherUsersWayIsNeverUsed) {
    TempMac mac;
    const std::string folder = "/Library/Application Support/Some Vendor";
    const std::string installer = mac.addInstaller("Catalina", "19H15", folder);
    const fs::path hostFolder = mac.host(folder);
    const fs::path bundle = mac.host(installer);

    ASSERT_EQ(::chown(hostFolder.c_str(), kNobody, kNobody), 0);
    expectRefused(mac, installer, folder + " is owned by uid 65534, not root");
    ASSERT_EQ(::chown(hostFolder.c_str(), 0, 0), 0);

    ::chmod(hostFolder.c_str(), 0775);
    expectRefused(mac, installer, folder + " is writable by its group");
    ::chmod(hostFolder.c_str(), 01777);  // sticky: others still add entries
    expectRefused(mac, installer, folder + " is writable by all users");
    ::chmod(hostFolder.c_str(), 0755);

    ::chmod(bundle.c_str(), 0757);
    expectRefused(mac, installer, installer + " is writable by all users");
    ::chmod(bundle.c_str(), 0755);

    // The files root reads and runs inside the bundle count too.
    const fs::path tool = ownCopyOfTool(bundle);
    const fs::path info = bundle / "Contents/Info.plist";
    ASSERT_EQ(::chown(info.c_str(), kNobody, 0), 0);
    expectRefused(mac, installer,
                  installer + "/Contents/Info.plist is owned by uid 65534, not root");
    ASSERT_EQ(::chown(info.c_str(), 0, 0), 0);
    ::chmod(tool.c_str(), 0775);
    expectRefused(mac, installer,
                  installer + "/Contents/Resources/startosinstall is writable by its group");
    ::chmod(tool.c_str(), 0755);
    // Gone, the folder it would appear in still counts.
    fs::remove(tool);
    ASSERT_EQ(::chown(tool.parent_path().c_str(), kNobody, 0), 0);
    expectRefused(mac, installer,
                  installer + "/Contents/Resources is owned by uid 65534, not root");

    // Once all of it is root's, the same installer is used.
    mac.addInstaller("Catalina", "19H15", folder);
    EXPECT_EQ(mac.run(kStatus).outputLines(), Lines{"true"});
    const RunResult run = mac.run(kInstall);
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    ASSERT_TRUE(mac.installation());
    EXPECT_EQ(mac.installation()->installer, installer);
}

TEST(RootRunsOnlyWhatRootOwns, AFolderReachedThroughALinkIsNeverUsed) {
    TempMac mac;
    // Another user's folder, linked into /Library/Application Support under a root-like name.
    const std::string theirs = "/Users/nobody/Apps";
    mac.addInstaller("Catalina", "19H15", theirs);
    ASSERT_EQ(::chown(mac.host(theirs).c_str(), kNobody, kNobody), 0);
    const std::string link = "/Library/Application Support/Linked";
    fs::create_directory_symlink(mac.host(theirs), mac.host(link));
    ASSERT_EQ(::lchown(mac.host(link).c_str(), kNobody, kNobody), 0);
    expectRefused(mac, link + "/Install macOS Catalina.app", link + " is a symbolic link");

    // A link of root's to a folder of root's is refused all the same.
    ASSERT_EQ(::chown(mac.host(theirs).c_str(), 0, 0), 0);
    ASSERT_EQ(::lchown(mac.host(link).c_str(), 0, 0), 0);
    expectRefused(mac, link + "/Install macOS Catalina.app", link + " is a symbolic link");
}

TEST(RootRunsOnlyWhatRootOwns, TheWorkingFoldersInstallerComesBeforeOtherFolders) {
    TempMac mac;
    // "Aaa" sorts before the working folder's name.
    mac.addInstaller("Catalina", "19H2", "/Library/Application Support/Aaa Tools");
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    const RunResult run = mac.run(kInstall);
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    ASSERT_TRUE(mac.installation());
    EXPECT_EQ(mac.installation()->installer, kFiledCatalina);
}

TEST(RootRunsOnlyWhatRootOwns, StartosinstallIsCheckedAgainJustBeforeItRuns) {
    TempMac mac;
    const std::string installer = mac.addInstaller("Catalina", "19H15");
    ::chmod(ownCopyOfTool(mac.host(installer)).c_str(), 0777);
    mac.useInProcess();
    std::vector<std::string> errors;
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::taskProgress(), [&errors](const Notification& n) {
            for (const auto& [key, value] : n.userInfo.value_or(ProgressReport{})) {
                if (value == -1.0) {
                    errors.push_back(key);
                }
            }
        });
    auto& shared = SharedData::shared();
    shared.hasGUI = true;  // the window shows the refusal; the test process goes on
    shared.osInstallerAppBundlePath = installer;
    startOSInstall::runOSInstall(testsupport::inProcessServices());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "startosinstall was not run: " + installer +
                             "/Contents/Resources/startosinstall is writable by all users");
    EXPECT_TRUE(testsupport::waitForNoChildProcesses());
    EXPECT_FALSE(mac.installation());
}

// --- The working folder ------------------------------------------------------------------

TEST(WorkingFolder, IsMadeRootsOrRefusedWhenALinkStandsThere) {
    TempMac mac;
    const fs::path working = mac.host(kWorkingDir);
    fs::create_directories(working);
    ASSERT_EQ(::chown(working.c_str(), kNobody, kNobody), 0);
    ::chmod(working.c_str(), 0777);
    EXPECT_TRUE(mac.run(kStatus).exited(0));
    EXPECT_EQ(modeOf(working) & 07777, 0755u);
    EXPECT_EQ(ownerOf(working), 0u);

    // A link, even to a folder of root's: one line, status 3, nothing else done.
    mac.addInstaller("Catalina", "19H15");
    fs::remove(working);
    const fs::path target = mac.host("/Users/elsewhere");
    fs::create_directories(target);
    fs::create_directory_symlink(target, working);
    for (const Lines& arguments : {kStatus, kInstall}) {
        const RunResult run = mac.run(arguments);
        EXPECT_TRUE(run.exited(3)) << run.standardOutput;
        EXPECT_EQ(run.outputLines(), Lines{"Refusing to run: " + std::string(kWorkingDir) +
                                           " is a symbolic link, not a folder."});
    }
    EXPECT_TRUE(fs::is_symlink(working));
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_TRUE(fs::exists(mac.host(kInApplications)));
    EXPECT_FALSE(mac.installation());
}

TEST(WorkingFolder, APlainFileThereStopsNeitherStatusNorCachingAndTheFailedMoveIsReported) {
    mirrortest::MirrorFolder mirror(
        {"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    mirrortest::ServeProcess server(mirror.path());
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    std::ofstream(mac.host(kWorkingDir)) << "not a folder";

    EXPECT_EQ(mac.run(kStatus).outputLines(), Lines{"false"});
    const RunResult run = mac.run(kCache);
    EXPECT_TRUE(run.exited(3)) << run.standardOutput << run.standardError;
    ASSERT_FALSE(run.outputLines().empty());
    const std::string last = run.outputLines().back();
    EXPECT_EQ(
        last.rfind("The macOS Installer could not be moved to " + std::string(kFiledCatalina), 0),
        0u)
        << run.standardOutput;
    // The assembled installer is whole where the package installer left it.
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_FALSE(
        loggedContaining(mac, "installer", "macOS Installer moved to our /Library/Application"));
    EXPECT_EQ(mirrortest::readText(mac.host(kWorkingDir)), "not a folder");
}

TEST(WorkingFolder, ACachingRunClearsWhatAKilledPlacementLeftEvenWithNothingToDownload) {
    mirrortest::MirrorFolder mirror(
        {"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    mirrortest::ServeProcess server(mirror.path());
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    const fs::path replaced = mac.host(kWorkingDir) / ".vantrel-replaced-a1b2c3";
    const fs::path removing = mac.host("/Applications/.vantrel-removing-d4e5f6");
    fs::create_directories(replaced / "Install macOS Catalina.app/Contents");
    fs::create_directories(removing / "Install macOS Catalina.app/Contents");

    const RunResult run = mac.run(kCache);
    EXPECT_TRUE(run.exited(0)) << run.standardOutput;
    EXPECT_EQ(run.outputLines().back(), "Latest build is cached: 19H15");
    EXPECT_FALSE(fs::exists(replaced));
    EXPECT_FALSE(fs::exists(removing));
    EXPECT_TRUE(fs::exists(mac.host(kFiledCatalina) / "Contents/Info.plist"));
}

}  // namespace
}  // namespace vantrel
