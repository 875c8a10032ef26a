// The startosinstall runner: its output handlers, a run against the stand-in tool inside the test
// process, and headless endings through the real program (its arguments are in launch_test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "install/StartOSInstall.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;
using testsupport::TempMac;
using testsupport::macpaths::kFiledCatalina;
using Lines = std::vector<std::string>;

// Runs in process on a simulated Mac and records every "taskProgress" with its thread.
class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mac_.useInProcess();
        signalled_ = 0;
        previous_ = std::signal(SIGUSR1, [](int) { signalled_ = 1; });
        NotificationCenter::defaultCenter().addObserver(
            notificationnames::taskProgress(), [this](const Notification& notification) {
                std::lock_guard<std::mutex> guard(lock_);
                reports_.push_back(notification.userInfo.value_or(ProgressReport{}));
                onMainThread_ = onMainThread_ && std::this_thread::get_id() == main_;
            });
        // With a window, a run that ends on its own leaves the process running.
        SharedData::shared().hasGUI = true;
    }
    void TearDown() override {
        // The worker must be done with this run before the next test changes the settings.
        EXPECT_TRUE(testsupport::waitForNoChildProcesses());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        testsupport::mainQueue().runQueuedWork();
        std::signal(SIGUSR1, previous_);
    }

    std::vector<ProgressReport> reports() {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }

    static volatile std::sig_atomic_t signalled_;
    TempMac mac_;
    std::mutex lock_;
    std::vector<ProgressReport> reports_;
    const std::thread::id main_ = std::this_thread::get_id();
    bool onMainThread_ = true;
    void (*previous_)(int) = SIG_DFL;
};
volatile std::sig_atomic_t RunnerTest::signalled_ = 0;

TEST_F(RunnerTest, ReportsPreparingProgressOnTheMainThreadUntilTheToolSignals) {
    auto& shared = SharedData::shared();
    shared.osInstallerAppBundlePath = mac_.addInstaller("Catalina", "19H15");
    shared.osWipe = true;
    shared.forceQuitApps = false;

    startOSInstall::runOSInstall(testsupport::inProcessServices());
    ASSERT_TRUE(testsupport::serveMainQueueUntil([] { return signalled_ == 1; }));
    testsupport::serveMainQueueUntil([&] { return reports().size() >= 4; });

    std::vector<ProgressReport> expected;
    for (double step : {10.0, 45.5, 80.0, 100.0}) {
        expected.push_back({{"startosinstall", step}});
    }
    EXPECT_EQ(reports(), expected);
    EXPECT_TRUE(onMainThread_);

    const auto installation = mac_.installation();
    ASSERT_TRUE(installation);
    EXPECT_EQ(installation->arguments,
              (Lines{"--agreetolicense", "--erase", "--pidtosignal", std::to_string(::getpid())}));
    EXPECT_TRUE(mac_.logged("startosinstall", "Default", "Starting osinstall"));
    EXPECT_TRUE(mac_.logged("startosinstall", "Debug", "Preparing: 45.500000"));
}

TEST_F(RunnerTest, AnErrorOfTheToolReachesTheWindowAsItsMessage) {
    SharedData::shared().osInstallerAppBundlePath = mac_.addInstaller("Mojave", "18G103");
    mac_.sim("refuse", {"--message", "The target volume is too small."});

    startOSInstall::runOSInstall(testsupport::inProcessServices());
    ASSERT_TRUE(testsupport::serveMainQueueUntil([&] { return !reports().empty(); }));
    // The message keeps the line end that followed it.
    EXPECT_EQ(reports(),
              (std::vector<ProgressReport>{{{"The target volume is too small.\n", -1.0}}}));
    EXPECT_TRUE(onMainThread_);
    EXPECT_FALSE(mac_.installation());
    EXPECT_EQ(signalled_, 0);
}

TEST_F(RunnerTest, WithoutAnInstallerPathNothingIsLaunched) {
    startOSInstall::runOSInstall(testsupport::inProcessServices());
    ASSERT_TRUE(testsupport::serveMainQueueUntil([&] {
        const auto log = mac_.log();
        return std::any_of(log.begin(), log.end(), [](const auto& entry) {
            return entry.category == "startosinstall" && entry.level == "Error";
        });
    }));
    EXPECT_TRUE(reports().empty());
    EXPECT_FALSE(mac_.installation());
}

TEST_F(RunnerTest, OutputHandlersKnowOnlyTheirOwnMarker) {
    const std::pair<std::string, std::optional<double>> outputs[] = {
        {"Preparing: 45.5%\n", 45.5},
        {"   Preparing: 45.5%   \r\n", 45.5},
        {"Preparing: Preparing: 12%", 12.0},  // both markers removed
        {"Preparing 45.5%\n", std::nullopt},
        {"Preparing: almost%\n", std::nullopt},
        {"Preparing: 10%\nPreparing: 20%\n", std::nullopt},  // two lines make no number
        {"Error: 45.5%\n", std::nullopt},
    };
    for (const auto& [text, value] : outputs) {
        SCOPED_TRACE(text);
        reports_.clear();
        startOSInstall::handleInstallOutput(text);
        if (value) {
            EXPECT_EQ(reports(), (std::vector<ProgressReport>{{{"startosinstall", *value}}}));
        } else {
            EXPECT_TRUE(reports().empty());
        }
    }
    reports_.clear();
    startOSInstall::handleInstallErrors("Preparing: 50%\n");
    startOSInstall::handleInstallErrors("something else\n");
    EXPECT_TRUE(reports().empty());
    startOSInstall::handleInstallErrors("Error: one Error: two");
    EXPECT_EQ(reports(), (std::vector<ProgressReport>{{{"one two", -1.0}}}));
}

// Headless, a run of startosinstall that does not end in the restart, or does not start, ends
// the program with status 3 instead of leaving it waiting for a window nobody can close.
TEST(HeadlessRunnerTest, ARefusalOrALaunchFailureEndsTheRunWithStatusThree) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    mac.sim("refuse", {"--message", "Not enough free disk space."});
    RunResult run = mac.run({"--action", "install", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(3)) << run.exitStatus << " signal " << run.signal;
    EXPECT_EQ(run.outputLines(),
              Lines{"startosinstall ended with status 1 without restarting the machine"});
    EXPECT_TRUE(mac.logged("startosinstall", "Default", "Starting osinstall"));
    EXPECT_FALSE(mac.installation());

    mac.sim("refuse", {"--clear"});
    fs::remove(mac.host(kFiledCatalina) / "Contents/Resources/startosinstall");
    run = mac.run({"--action", "install", "--osname", "Catalina", "--erase"});
    EXPECT_TRUE(run.exited(3)) << run.exitStatus << " signal " << run.signal;
    EXPECT_EQ(run.outputLines(),
              (Lines{"error running command", "The file “startosinstall” doesn’t exist.",
                     "startosinstall could not be started"}));
    EXPECT_TRUE(mac.logged("startosinstall", "Error", "The file “startosinstall” doesn’t exist."));
}

}  // namespace
}  // namespace vantrel
