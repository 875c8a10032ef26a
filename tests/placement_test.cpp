// Filing the installer away out of /Applications, and what follows a finished assembly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "app/Notifications.h"
#include "app/SharedData.h"
#include "caching/CacheOSInstaller.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::LogEntry;
using testsupport::TempMac;

constexpr const char* kInApplications = "/Applications/Install macOS Catalina.app";
constexpr const char* kWorkingDir = "/Library/Application Support/com.corvane.vantrel";
constexpr const char* kFiledAway =
    "/Library/Application Support/com.corvane.vantrel/Install macOS Catalina.app";
constexpr const char* kMoved = "macOS Installer moved to our /Library/Application Support folder";

LogEntry installerEntry(const char* level, std::string message) {
    return {"com.corvane.vantrel", "installer", level, std::move(message)};
}

class PlacementTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mac_.useInProcess();
        mac_.addInstaller("Catalina", "19H15");
        fs::create_directories(mac_.host(kWorkingDir));
        cacher_.emplace();  // made on the Mac, as the delegate makes it at launch
    }
    void mark(const std::string& macBundle, const std::string& text) {
        std::ofstream(mac_.host(macBundle) / "Contents/marker") << text;
    }
    std::string marker(const std::string& macBundle) {
        std::ifstream in(mac_.host(macBundle) / "Contents/marker");
        std::string text;
        std::getline(in, text);
        return text;
    }
    TempMac mac_;
    std::optional<CacheOSInstaller> cacher_;
};

TEST_F(PlacementTest, MovesTheInstallerIntoTheWorkingDirectory) {
    cacher_->placeInstaller();
    EXPECT_EQ(SharedData::shared().osInstallerAppBundlePath, kFiledAway);
    EXPECT_FALSE(fs::exists(mac_.host(kInApplications)));
    EXPECT_TRUE(fs::exists(mac_.host(kFiledAway) / "Contents/Info.plist"));
    EXPECT_EQ(mac_.log(), std::vector<LogEntry>{installerEntry("Debug", kMoved)});
}

TEST_F(PlacementTest, ReplacesAnEarlierInstallerAndKeepsNoBackup) {
    mark(kInApplications, "new");
    fs::rename(mac_.host(kInApplications), mac_.host(kFiledAway));
    mark(kFiledAway, "old");
    mac_.addInstaller("Catalina", "19H16");
    mark(kInApplications, "new");

    cacher_->placeInstaller();
    EXPECT_EQ(marker(kFiledAway), "new");
    EXPECT_FALSE(fs::exists(mac_.host(kInApplications)));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(mac_.host(kWorkingDir))) {
        left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::string>{"Install macOS Catalina.app"});
    EXPECT_TRUE(fs::is_empty(mac_.host("/Applications")));
    EXPECT_EQ(mac_.log(), std::vector<LogEntry>{installerEntry("Debug", kMoved)});
}

TEST_F(PlacementTest, LeavesTheInstallerInApplicationsWhenNotFilingAway) {
    SharedData::shared().fileAway = false;
    cacher_->placeInstaller();
    EXPECT_EQ(SharedData::shared().osInstallerAppBundlePath, kInApplications);
    EXPECT_TRUE(fs::exists(mac_.host(kInApplications)));
    EXPECT_TRUE(fs::is_empty(mac_.host(kWorkingDir)));
    EXPECT_EQ(mac_.log(),
              std::vector<LogEntry>{installerEntry(
                  "Debug",
                  "Installed to /Applications. Use --appsupport to move the installer to our "
                  "/Library/Application Support directory")});
}

TEST_F(PlacementTest, AFailedMoveIsLoggedAndThePathStillNamesTheWorkingDirectory) {
    fs::remove_all(mac_.host(kWorkingDir));
    cacher_->placeInstaller();
    EXPECT_EQ(SharedData::shared().osInstallerAppBundlePath, kFiledAway);
    EXPECT_TRUE(fs::exists(mac_.host(kInApplications)));
    const auto log = mac_.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].category, "installer");
    EXPECT_EQ(log[0].level, "Error");
    EXPECT_FALSE(log[0].message.empty());
    EXPECT_EQ(log[1], installerEntry("Debug", kMoved));
}

TEST_F(PlacementTest, AFinishedAssemblyHandsOverToTheInstallation) {
    std::vector<std::string> posted;
    for (const auto& name :
         {notificationnames::willPresentChallenge(), notificationnames::wonChallenge()}) {
        NotificationCenter::defaultCenter().addObserver(
            name, [&posted](const Notification& n) { posted.push_back(n.name); });
    }
    auto& shared = SharedData::shared();
    shared.install = true;
    shared.presentChallenge = true;
    cacher_->installerDidTerminate();
    EXPECT_EQ(posted, std::vector<std::string>{"willPresentChallenge"});
    EXPECT_TRUE(fs::exists(mac_.host(kFiledAway)));
    EXPECT_TRUE(mac_.logged("installer", "Debug", "Posting notification for startosinstall"));

    shared.presentChallenge = false;
    mac_.addInstaller("Catalina", "19H16");
    cacher_->installerDidTerminate();
    EXPECT_EQ(posted, (std::vector<std::string>{"willPresentChallenge", "wonChallenge"}));

    // A failed assembly with a window: nothing placed, nothing posted, the run goes on.
    shared.installerFailed = true;
    shared.hasGUI = true;
    mac_.addInstaller("Catalina", "19H17");
    cacher_->installerDidTerminate();
    EXPECT_EQ(posted.size(), 2u);
    EXPECT_TRUE(fs::exists(mac_.host(kInApplications)));
    EXPECT_TRUE(mac_.logged("installer", "Error", "Exiting due to failed installer"));
}

}  // namespace
}  // namespace vantrel
