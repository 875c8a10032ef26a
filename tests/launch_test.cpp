// The launch flow, run by the real program on simulated Macs: root check, status answer,
// installer lookup and move, and the headless installation up to the machine's restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "sim/lib/SimulatedMac.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

namespace fs = std::filesystem;
using testsupport::LogEntry;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;

LogEntry entry(const char* category, const char* level, std::string message) {
    return {"com.corvane.vantrel", category, level, std::move(message)};
}

TEST(LaunchTest, WithoutRootOnlyTheCommandLineRunsFirst) {
    TempMac mac({"--user-name", "alice"});
    mac.addInstaller("Catalina", "19H15");

    RunResult run = mac.run({"--action", "install", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.outputLines(), Lines{"Requires sudo, exiting."});

    run = mac.run({"--osname", "Catalina"});  // the command line is checked before the user
    EXPECT_TRUE(run.exited(2));
    EXPECT_EQ(run.outputLines(), Lines{"Required --action; use --help to list available options"});

    EXPECT_FALSE(fs::exists(mac.host(kWorkingDir)));
    EXPECT_TRUE(fs::exists(mac.host("/Applications/Install macOS Catalina.app")));
    EXPECT_FALSE(mac.installation());
}

TEST(LaunchTest, StatusAnswersWhetherAnInstallerIsKnownAndDoesNothingElse) {
    TempMac mac;
    RunResult run = mac.run({"--action", "status", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.standardOutput, "false\n");

    // The working directory is made on the way, private to root for writing.
    struct stat info {};
    ASSERT_EQ(::stat(mac.host(kWorkingDir).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    mac.addInstaller("Mojave", "18G103");
    run = mac.run({"--action", "status", "--osname", "Catalina"});
    EXPECT_EQ(run.standardOutput, "false\n");  // another release does not count
    run = mac.run({"--action", "install", "--osname", "Catalina", "--erase"});
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.outputLines(), Lines{"No OS found, exiting."});
    EXPECT_TRUE(mac.logged("main", "Error", "No OS found, exiting"));
    EXPECT_FALSE(mac.logged("startosinstall", "Default", "Starting osinstall"));

    mac.addInstaller("Catalina", "19H15");
    for (const Lines& actions :
         {Lines{"status"}, Lines{"install", "status"}, Lines{"status", "cache", "install"}}) {
        Lines arguments{"--action"};
        arguments.insert(arguments.end(), actions.begin(), actions.end());
        arguments.insert(arguments.end(), {"--osname", "catalina", "--erase"});
        run = mac.run(arguments);
        EXPECT_TRUE(run.exited(0));
        EXPECT_EQ(run.standardOutput, "true\n");
    }
    // Nothing was moved and nothing installed.
    EXPECT_TRUE(fs::exists(mac.host("/Applications/Install macOS Catalina.app")));
    EXPECT_FALSE(fs::exists(mac.host(kFiledCatalina)));
    EXPECT_FALSE(mac.installation());
}

TEST(LaunchTest, HeadlessEraseMovesTheInstallerAndRunsStartosinstallUntilTheRestart) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    const RunResult run = mac.run({"--action", "install", "--osname", "Catalina", "--erase"});

    // The stand-in signals the program as the machine restarts; nothing else ends it.
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_FALSE(fs::exists(mac.host("/Applications/Install macOS Catalina.app")));
    EXPECT_TRUE(fs::exists(mac.host(kFiledCatalina) / "Contents/Resources/startosinstall"));

    const auto installation = mac.installation();
    ASSERT_TRUE(installation);
    EXPECT_EQ(installation->installer, kFiledCatalina);
    EXPECT_EQ(installation->arguments, (Lines{"--agreetolicense", "--erase", "--forcequitapps",
                                              "--pidtosignal", std::to_string(run.pid)}));
    using Environment = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(installation->environment, (Environment{{"NSUnbufferedIO", "YES"}}));
    EXPECT_TRUE(installation->signalled);

    std::vector<LogEntry> expected{
        entry("main", "Default", "Vantrel launched"),
        entry("main", "Debug",
              "No user logged in, disabling GUI until we can figure out AuthBundle"),
        entry("installer", "Debug",
              "macOS Installer moved to our /Library/Application Support folder"),
        entry("startosinstall", "Default", "Starting osinstall"),
    };
    for (const char* step : {"10.000000", "45.500000", "80.000000", "100.000000"}) {
        expected.push_back(entry("startosinstall", "Debug", std::string("Preparing: ") + step));
    }
    EXPECT_EQ(mac.log(), expected);
}

TEST(LaunchTest, UpgradeWithoutEraseGetsThreeArguments) {
    TempMac mac;
    mac.addInstaller("HighSierra", "17G66");
    // Applications are force-quit only for an erase.
    const RunResult run = mac.run({"-a", "install", "-n", "highsierra", "--noverify"});
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    const auto installation = mac.installation();
    ASSERT_TRUE(installation);
    EXPECT_EQ(installation->arguments,
              (Lines{"--agreetolicense", "--pidtosignal", std::to_string(run.pid)}));
    EXPECT_FALSE(installation->erase);
}

TEST(LaunchTest, AnInstallerOutsideApplicationsIsUsedWhereItIs) {
    TempMac mac;
    const std::string elsewhere =
        mac.addInstaller("Mojave", "18G103", "/Library/Application Support/Corp Tools");
    EXPECT_EQ(elsewhere, "/Library/Application Support/Corp Tools/Install macOS Mojave.app");

    const RunResult run =
        mac.run({"--action", "install", "--osname", "Mojave", "--erase", "--noforcequit"});
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    const auto installation = mac.installation();
    ASSERT_TRUE(installation);
    EXPECT_EQ(installation->installer, elsewhere);
    EXPECT_EQ(installation->arguments,
              (Lines{"--agreetolicense", "--erase", "--pidtosignal", std::to_string(run.pid)}));
    EXPECT_TRUE(fs::exists(mac.host(elsewhere)));
    EXPECT_TRUE(fs::is_empty(mac.host(kWorkingDir)));
    for (const auto& logged : mac.log()) {
        EXPECT_EQ(logged.message.find("moved"), std::string::npos) << logged.message;
    }
}

TEST(LaunchTest, RefusesToRunOutsideASimulatedMac) {
    // The build's own bundle lies in no simulated Mac.
    const fs::path program = testsupport::buildDir() / "Vantrel.app/Contents/MacOS/Vantrel";
    const RunResult run =
        testsupport::runProgram(program, {"--action", "status", "--osname", "Catalina"});
    EXPECT_FALSE(run.exited(0));
    EXPECT_EQ(run.signal, 0);
    const Lines lines = run.outputLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("SimulatedMac.plist"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
