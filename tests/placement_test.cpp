// Filing the installer away out of /Applications, and what follows a finished assembly.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/CacheOSInstaller.h"
#include "caching/SessionRequestManager.h"
#include "platform/Applications.h"
#include "platform/Placement.h"
#include "tests/support/InProcessMac.h"
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

// Exit status of a child that cannot have a mount namespace of its own.
constexpr int kCannotMount = 99;

LogEntry installerEntry(const char* level, std::string message) {
    return {"com.corvane.vantrel", "installer", level, std::move(message)};
}

class PlacementTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mac_.useInProcess();
        mac_.addInstaller("Catalina", "19H15");
        fs::create_directories(mac_.host(kWorkingDir));
        manager_.emplace(testsupport::inProcessServices(), testsupport::downloadConfiguration());
        cacher_.emplace(testsupport::inProcessServices(), testsupport::inProcessNetwork(),
                        *manager_);  // made on the Mac, as the delegate makes it at launch
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
    std::optional<SessionRequestManager> manager_;
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

TEST_F(PlacementTest, AFailedMoveIsReportedAndNeverLooksLikeSuccess) {
    std::vector<std::string> shown;
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::taskProgress(), [&shown](const Notification& n) {
            for (const auto& [key, value] : n.userInfo.value_or(ProgressReport{})) {
                if (value == -1.0) {
                    shown.push_back(key);
                }
            }
        });
    SharedData::shared().hasGUI = true;  // the window shows the failure; no exit in the test
    fs::remove_all(mac_.host(kWorkingDir));

    EXPECT_FALSE(cacher_->placeInstaller());
    // The path names where the installer really is, and nothing claims it was moved.
    EXPECT_EQ(SharedData::shared().osInstallerAppBundlePath, kInApplications);
    EXPECT_TRUE(fs::exists(mac_.host(kInApplications) / "Contents/Info.plist"));
    const auto log = mac_.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].category, "installer");
    EXPECT_EQ(log[0].level, "Error");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(
        shown[0].rfind("The macOS Installer could not be moved to " + std::string(kFiledAway), 0),
        0u)
        << shown[0];
}

TEST_F(PlacementTest, AnInstallerThatIsNotRootsAloneIsNotFiledAway) {
    SharedData::shared().hasGUI = true;  // the window shows the failure; no exit in the test
    ::chmod(mac_.host(kInApplications).c_str(), 0777);
    EXPECT_FALSE(cacher_->placeInstaller());
    EXPECT_TRUE(fs::exists(mac_.host(kInApplications)));
    EXPECT_TRUE(fs::is_empty(mac_.host(kWorkingDir)));
    EXPECT_TRUE(mac_.logged("installer", "Error",
                            std::string(kInApplications) + " is writable by all users"));
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

// Names in `folder` (a host path), sorted.
std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(PlacementTest, AKillAtAnyStepOfAReplacementLeavesTheNewInstallerForTheNextRun) {
    mark(kInApplications, "old");
    fs::rename(mac_.host(kInApplications), mac_.host(kFiledAway));
    mac_.addInstaller("Catalina", "19H16");
    mark(kInApplications, "new");

    // After each step the disk is what a kill there would leave. The next run looks the
    // installer up and files it away: it must find a whole one, and the new one.
    std::vector<std::string> steps;
    const auto error = platform::placeItem(
        testsupport::inProcessServices().root, kInApplications, kFiledAway,
        [&](std::string_view step) {
            steps.emplace_back(step);
            const auto found =
                testsupport::inProcessServices().applications.applicationPathForBundleIdentifier(
                    "com.apple.InstallAssistant.Catalina", kWorkingDir);
            ASSERT_TRUE(found) << step;
            EXPECT_TRUE(fs::exists(mac_.host(*found) / "Contents/SharedSupport/BaseSystem.dmg"))
                << step;
            EXPECT_EQ(marker(*found), "new") << step;
            // Whatever stands under the installer's own names is whole.
            for (const char* path : {kInApplications, kFiledAway}) {
                if (fs::exists(mac_.host(path))) {
                    EXPECT_TRUE(fs::exists(mac_.host(path) / "Contents/Info.plist")) << step;
                }
            }
        });
    ASSERT_FALSE(error) << error->description;
    EXPECT_EQ(steps, (std::vector<std::string>{"old item moved aside", "new item in place",
                                               "old item deleted"}));
    EXPECT_EQ(marker(kFiledAway), "new");
    EXPECT_EQ(namesIn(mac_.host(kWorkingDir)),
              std::vector<std::string>{"Install macOS Catalina.app"});
    EXPECT_TRUE(fs::is_empty(mac_.host("/Applications")));
}

TEST_F(PlacementTest, AcrossVolumesAKillAtAnyStepLeavesTheNewInstallerForTheNextRun) {
    // The old installer stays in /Applications' file system; the working folder becomes a
    // tmpfs in a child's own mount namespace, so the placement there has to copy.
    mac_.addInstaller("Catalina", "19H16");
    mark(kInApplications, "new");
    const fs::path old = mac_.root() / "old.app";
    fs::copy(mac_.host(kInApplications), old, fs::copy_options::recursive);
    std::ofstream(old / "Contents/marker") << "old";
    const fs::path report = mac_.root() / "report";
    const std::string working = mac_.host(kWorkingDir).string();

    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", working.c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
            ::_exit(kCannotMount);
        }
        std::ofstream out(report);
        fs::copy(old, mac_.host(kFiledAway), fs::copy_options::recursive);
        const auto error = platform::placeItem(
            testsupport::inProcessServices().root, kInApplications, kFiledAway,
            [&](std::string_view step) {
                out << step;
                const auto found = testsupport::inProcessServices()
                                       .applications.applicationPathForBundleIdentifier(
                                           "com.apple.InstallAssistant.Catalina", kWorkingDir);
                if (!found ||
                    !fs::exists(mac_.host(*found) / "Contents/SharedSupport/BaseSystem.dmg")) {
                    out << ": no whole installer";
                } else if (marker(*found) != "new") {
                    out << ": the next run would keep " << marker(*found);
                }
                if (fs::exists(mac_.host(kInApplications)) &&
                    !fs::exists(mac_.host(kInApplications) / "Contents/Info.plist")) {
                    out << ": half an installer in /Applications";
                }
                out << "\n";
            });
        out << (error ? error->description : "placed") << " " << marker(kFiledAway) << "\n";
        out.close();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotMount) {
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(report);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "old item moved aside",  // a rename is tried first, and fails
                  "copied to the destination's volume", "old item moved aside", "new item in place",
                  "old item deleted", "source out of sight", "source deleted", "placed new"}));
    EXPECT_TRUE(fs::is_empty(mac_.host("/Applications")));
}

TEST_F(PlacementTest, AReplacementThatFailsPutsTheOldInstallerBack) {
    mark(kInApplications, "old");
    fs::rename(mac_.host(kInApplications), mac_.host(kFiledAway));
    mac_.addInstaller("Catalina", "19H16");
    const fs::path elsewhere = mac_.root() / "taken-away.app";
    // The new installer vanishes just after the old one was moved aside: the rename fails.
    const auto error =
        platform::placeItem(testsupport::inProcessServices().root, kInApplications, kFiledAway,
                            [&](std::string_view step) {
                                if (step == "old item moved aside") {
                                    fs::rename(mac_.host(kInApplications), elsewhere);
                                }
                            });
    ASSERT_TRUE(error);
    EXPECT_EQ(marker(kFiledAway), "old");
    EXPECT_EQ(namesIn(mac_.host(kWorkingDir)),
              std::vector<std::string>{"Install macOS Catalina.app"});
}

TEST_F(PlacementTest, LeftoversOfAKilledPlacementAreClearedByTheNextOne) {
    const std::vector<std::pair<std::string, std::string>> leftovers{
        {kWorkingDir, ".vantrel-replaced-a1b2c3"},
        {kWorkingDir, ".vantrel-placing-d4e5f6"},
        {"/Applications", ".vantrel-removing-g7h8i9"}};
    for (const auto& [folder, name] : leftovers) {
        fs::create_directories(mac_.host(folder) / name / "Install macOS Catalina.app/Contents");
    }
    std::ofstream(mac_.host("/Applications") / ".placing-not-ours") << "an administrator's";

    ASSERT_TRUE(cacher_->placeInstaller());
    EXPECT_EQ(namesIn(mac_.host(kWorkingDir)),
              std::vector<std::string>{"Install macOS Catalina.app"});
    EXPECT_EQ(namesIn(mac_.host("/Applications")), std::vector<std::string>{".placing-not-ours"});
}

}  // namespace
}  // namespace vantrel
