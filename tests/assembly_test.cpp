#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/CacheOSInstaller.h"
#include "caching/InstallerOutput.h"
#include "caching/SessionRequestManager.h"
#include "tests/caching_fixture.h"
#include "tests/support/MacPaths.h"

namespace vantrel {
namespace {

using cachingtest::BareMac;
using cachingtest::StdoutCapture;
namespace fs = std::filesystem;
using Reports = std::vector<ProgressReport>;
using Lines = std::vector<std::string>;

const std::string kFolder = testsupport::macpaths::kDownloadFolder;

// Records every "taskProgress" report and the hand-off to the installation.
class AssemblyTest : public ::testing::Test {
  protected:
    BareMac mac;
    SessionRequestManager manager{testsupport::inProcessServices(),
                                  testsupport::downloadConfiguration()};
    std::mutex lock;
    Reports reports;
    int wonChallenge = 0;

    void SetUp() override {
        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(notificationnames::taskProgress(), [this](const Notification& note) {
            std::lock_guard<std::mutex> guard(lock);
            reports.push_back(*note.userInfo);
        });
        center.addObserver(notificationnames::wonChallenge(), [this](const Notification&) {
            std::lock_guard<std::mutex> guard(lock);
            ++wonChallenge;
        });
    }

    // A stand-in package installer: records its arguments and environment, then runs the
    // distribution file it was given as a shell script, so each test's file says what the
    // tool does.
    void installStandIn() {
        const fs::path tool = mac.host("/usr/sbin/installer");
        cachingtest::writeFile(tool,
                               "#!/bin/sh\n"
                               "ROOT=\"${0%/usr/sbin/installer}\"\n"
                               "printf '%s\\n' \"$@\" >> \"$ROOT/installer-arguments\"\n"
                               "/bin/cat /proc/$$/environ > \"$ROOT/installer-environment\"\n"
                               ". \"$ROOT$2\"\n");
        fs::permissions(tool, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
    void download(const std::string& name, const std::string& content) {
        cachingtest::writeFile(mac.host(kFolder + "/" + name), content);
    }
    // Runs the assembly as "downloadsDone" would, without ending the test process: the
    // run either hands over to the installation or, failed, leaves the window up.
    std::vector<std::string> assemble() {
        auto& shared = SharedData::shared();
        shared.tmpDir = kFolder;
        shared.install = true;
        shared.hasGUI = true;
        CacheOSInstaller installer(testsupport::inProcessServices(),
                                   testsupport::inProcessNetwork(), manager);
        StdoutCapture capture;
        installer.runInstaller();
        return capture.lines();
    }
    // A distribution file's script that makes an installer marked with `marker`.
    static std::string makeApp(const std::string& marker) {
        return "/bin/mkdir -p \"$ROOT/Applications/Install macOS Catalina.app/Contents\"\n"
               "echo " +
               marker + " > \"$ROOT/Applications/Install macOS Catalina.app/Contents/id\"\n";
    }
};

TEST(InstallerOutputText, FailedChunksAreEchoedAsAListOfPieces) {
    EXPECT_EQ(quotedPieces("installer: The install failed.\n"),
              "[\"installer: The install failed.\", \"\"]");
    EXPECT_EQ(quotedPieces("a\"b\"\n\nc"), "[\"a\", \"b\", \"\", \"\", \"c\"]");
    EXPECT_EQ(quotedPieces("tab\there \\ it's\r\x01"), "[\"tab\\there \\\\ it\\'s\\r\\u{1}\"]");
    EXPECT_EQ(quotedPieces(""), "[\"\"]");
    // The package's title, which the tool may echo, is the server's: no control goes through.
    EXPECT_EQ(quotedPieces("macOS\xC2\x9B"
                           "2K\x1B[0m failed"),
              "[\"macOS\\u{9B}2K\\u{1B}[0m failed\"]");
}

TEST_F(AssemblyTest, OutputChunksBecomeProgressAndFailureReports) {
    StdoutCapture capture;
    readInstallerOutput("installer:%12.5\n", testsupport::console());
    readInstallerOutput("installer: Preparing 42 of 100\n", testsupport::console());
    readInstallerOutput("installer:%10.0\ninstaller:%11.0\n", testsupport::console());
    readInstallerOutput("", testsupport::console());
    EXPECT_FALSE(SharedData::shared().installerFailed);
    readInstallerOutput("installer:%99.0\ninstaller: The install failed\n", testsupport::console());
    const auto lines = capture.lines();
    EXPECT_TRUE(SharedData::shared().installerFailed);
    EXPECT_EQ(reports, (Reports{{{"Installer", 12.5}},
                                {{"Installer", std::nullopt}},
                                {{"Installer", 99.0}},
                                {{"InstallerFailed", -1.0}}}));
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[\"installer:%99.0\", \"installer: The install failed\", \"\"]"});
    EXPECT_NE(mac.log().find("[installer] <Error> Installer failed"), std::string::npos);
}

TEST_F(AssemblyTest, TheDistributionFileIsInstalledWithExactArgumentsAndOneVariable) {
    installStandIn();
    download("A.pkg", "package");
    download("B.pkg", "package");
    download("Basic.DIST", "exit 9\n");  // only the exact extension counts
    download("dist", "exit 9\n");
    download("061-1.English.dist",
             "printf 'installer:%%12.5\\n'\nsleep 0.05\n"
             "echo 'some warning' >&2\n" +
                 makeApp("new"));
    // An earlier copy is replaced, and none is kept as a backup.
    cachingtest::writeFile(
        mac.host("/Library/Application Support/com.corvane.vantrel/Install macOS "
                 "Catalina.app/Contents/id"),
        "old\n");
    const auto lines = assemble();

    EXPECT_EQ(cachingtest::readFile(mac.root() / "installer-arguments"),
              "-pkg\n" + kFolder + "/061-1.English.dist\n-target\n/\n-verboseR\n");
    EXPECT_EQ(cachingtest::readFile(mac.root() / "installer-environment"),
              std::string("NSUnbufferedIO=YES\0", 19));
    // The chunk is echoed as it came, line end included, and a line end follows it.
    EXPECT_EQ(lines, (std::vector<std::string>{"some warning", ""}));
    EXPECT_EQ(reports, (Reports{{{"Installer", 12.5}}}));
    EXPECT_EQ(wonChallenge, 1);
    const std::string filedAway =
        "/Library/Application Support/com.corvane.vantrel/Install macOS Catalina.app";
    EXPECT_EQ(SharedData::shared().osInstallerAppBundlePath, filedAway);
    EXPECT_EQ(cachingtest::readFile(mac.host(filedAway + "/Contents/id")), "new\n");
    EXPECT_FALSE(fs::exists(mac.host("/Applications/Install macOS Catalina.app")));
    // No backup or second copy of the installer remains beside it.
    Lines installers;
    for (const auto& entry :
         fs::directory_iterator(mac.host("/Library/Application Support/com.corvane.vantrel"))) {
        if (entry.path().filename().string().rfind("Install macOS", 0) == 0) {
            installers.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(installers, Lines{"Install macOS Catalina.app"});
    const std::string log = mac.log();
    EXPECT_NE(log.find("[installer] <Debug> Installing componenets located in " + kFolder +
                       "/061-1.English.dist."),
              std::string::npos);
    EXPECT_NE(log.find("[installer] <Error> some warning"), std::string::npos);
}

TEST_F(AssemblyTest, AFailureReportedByTheToolEndsTheAssemblyWithoutPlacement) {
    installStandIn();
    download("1.dist", "echo 'installer: The install failed (The package is damaged.)'\n" +
                           makeApp("broken"));
    download("2.dist", "echo 'installer: The install failed (The package is damaged.)'\n" +
                           makeApp("broken"));
    const auto lines = assemble();
    EXPECT_TRUE(SharedData::shared().installerFailed);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[\"installer: The install failed (The package is damaged.)\", \"\"]"});
    EXPECT_EQ(reports, (Reports{{{"InstallerFailed", -1.0}}}));
    EXPECT_EQ(wonChallenge, 0);
    EXPECT_FALSE(SharedData::shared().osInstallerAppBundlePath);
    // Only one distribution file was run: the failure ends the assembly.
    const std::string arguments = cachingtest::readFile(mac.root() / "installer-arguments");
    EXPECT_EQ(std::count(arguments.begin(), arguments.end(), '\n'), 5);
    EXPECT_NE(mac.log().find("[installer] <Error> Exiting due to failed installer"),
              std::string::npos);
}

TEST_F(AssemblyTest, SeveralDistributionFilesRunInTurnAndHandOverOnce) {
    installStandIn();
    download("1.dist", makeApp("first"));
    download("2.dist", makeApp("second"));
    const auto lines = assemble();
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(wonChallenge, 1);
    const std::string filedAway = *SharedData::shared().osInstallerAppBundlePath;
    const std::string last = cachingtest::readFile(mac.host(filedAway + "/Contents/id"));
    EXPECT_TRUE(last == "first\n" || last == "second\n");
    EXPECT_FALSE(fs::exists(mac.host("/Applications/Install macOS Catalina.app")));
}

TEST_F(AssemblyTest, NothingToRunIsAFailedAssemblyWithALine) {
    installStandIn();
    download("A.pkg", "package");
    EXPECT_EQ(assemble(), Lines{"No distribution file (.dist) was downloaded to " + kFolder + "."});
    EXPECT_EQ(reports, (Reports{{{"InstallerFailed", -1.0}}}));
    EXPECT_TRUE(SharedData::shared().installerFailed);
    EXPECT_EQ(wonChallenge, 0);
}

TEST_F(AssemblyTest, AToolThatCannotBeStartedIsAFailedAssembly) {
    download("1.dist", "");
    const auto lines = assemble();  // no /usr/sbin/installer on this Mac
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Error running installer");
    EXPECT_EQ(reports, (Reports{{{"InstallerFailed", -1.0}}}));
    EXPECT_EQ(wonChallenge, 0);
}

TEST_F(AssemblyTest, AnUnreadableDownloadFolderIsAFailedAssembly) {
    EXPECT_EQ(assemble().size(), 1u);  // the folder was never made
    EXPECT_NE(mac.log().find("[installer] <Error> Could not find installer distribution file"),
              std::string::npos);
    EXPECT_EQ(reports, (Reports{{{"InstallerFailed", -1.0}}}));
}

}  // namespace
}  // namespace vantrel
