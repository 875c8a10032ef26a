// What the program's tools inherit from it, and that a run follows a tool's life rather than
// its output pipes: a test tool in place of the package installer and startosinstall reports
// its descriptors and signals, and can leave a helper holding its output open.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "tests/background_fixture.h"
#include "tests/probe_fixture.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using backgroundtest::ServedMac;
using probetest::askProbe;
using probetest::HelperKiller;
using probetest::installProbe;
using probetest::kCleanStart;
using probetest::probeFile;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(ChildProcessTest, AToolGetsOnlyItsStandardStreamsAndDefaultSignals) {
    TempMac mac;
    mac.useInProcess();
    installProbe(mac, "/usr/bin/probe");
    // What this process holds, ignores and blocks.
    const int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 3);
    const auto previous = ::signal(SIGUSR2, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &saved);

    std::string output;
    int status = -1;
    const auto error = platform::runWithPipes(
        testsupport::inProcessServices().root, {"/usr/bin/probe", {}, std::nullopt},
        [&](std::string_view chunk) { output.append(chunk); }, {}, &status);

    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ::signal(SIGUSR2, previous);
    ::close(inheritable);
    ASSERT_FALSE(error) << error->description;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "probe done\n");
    EXPECT_EQ(probeFile(mac, "probe.report"), kCleanStart);

    // The disk-image tool, which shares the program's own streams, starts as clean.
    installProbe(mac, "/usr/bin/hdiutil");
    ::pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    const auto hdiutilError = platform::runInheritingStreams(
        testsupport::inProcessServices().root, {"/usr/bin/hdiutil", {}, std::nullopt});
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_FALSE(hdiutilError) << hdiutilError->description;
    EXPECT_EQ(probeFile(mac, "hdiutil.report"), kCleanStart);
}

TEST(ChildProcessTest, ARunEndsWhenTheToolExitsWithAllItWroteWhateverKeepsItsPipesOpen) {
    TempMac mac;
    mac.useInProcess();
    installProbe(mac, "/usr/bin/probe");
    askProbe(mac, "helper");
    askProbe(mac, "burst");
    HelperKiller killer(mac, "probe");

    // The first chunk is the tool's id; it is held until the tool has exited, so that the
    // 256 KiB the tool writes last are all still in the pipe when its exit is seen.
    std::string output;
    auto run = std::async(std::launch::async, [&] {
        return platform::runWithPipes(
            testsupport::inProcessServices().root, {"/usr/bin/probe", {}, std::nullopt},
            [&](std::string_view chunk) {
                if (output.empty()) {
                    siginfo_t info{};
                    ::waitid(P_PID, std::stoi(std::string(chunk)), &info, WEXITED | WNOWAIT);
                }
                output.append(chunk);
            },
            {});
    });
    const bool ended = run.wait_for(120s) == std::future_status::ready;
    if (!ended) {
        ::kill(std::stoi(probeFile(mac, "probe.helper")), SIGKILL);  // lets the run end
    }
    ASSERT_TRUE(ended) << "the run waited for the helper that holds the pipes";
    EXPECT_FALSE(run.get());
    const auto lines = testsupport::splitLines(output);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], std::string(256 * 1024, '.'));
    EXPECT_EQ(lines[2], "probe done");
}

TEST(ChildProcessTest, StartosinstallRunsCleanAndItsRunEndsWhenItExits) {
    TempMac mac;
    const std::string installer = mac.addInstaller("Catalina", "19H15");
    installProbe(mac, installer + "/Contents/Resources/startosinstall");
    askProbe(mac, "helper");
    HelperKiller killer(mac, "startosinstall");

    const RunResult run = mac.run({"--action", "install", "--osname", "Catalina"}, 120s);
    EXPECT_FALSE(run.timedOut) << "the run waited for the helper that holds the pipes";
    EXPECT_TRUE(run.exited(3)) << run.standardOutput << run.standardError;
    EXPECT_EQ(run.outputLines(),
              Lines{"startosinstall ended with status 0 without restarting the machine"});
    // The line the tool wrote just before it exited was still read.
    EXPECT_TRUE(mac.logged("startosinstall", "Debug", "Preparing: 42.000000"));
    EXPECT_EQ(probeFile(mac, "startosinstall.report"), kCleanStart);
}

TEST(ChildProcessTest, ThePackageInstallerRunsCleanAfterTheDownloadsAndItsRunEndsWhenItExits) {
    ServedMac served({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    const TempMac& mac = served.mac;
    installProbe(mac, "/usr/sbin/installer");
    askProbe(mac, "helper");
    HelperKiller killer(mac, "installer");

    const RunResult run = mac.run({"--action", "cache", "--osname", "Catalina"}, 120s);
    EXPECT_FALSE(run.timedOut) << "the run waited for the helper that holds the pipes";
    EXPECT_TRUE(run.exited(3)) << run.standardOutput << run.standardError;
    const Lines lines = run.outputLines();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "[\"installer: The install failed. (probe)\", \"\"]"),
        lines.end())
        << run.standardOutput;
    // No connection to the update server, no log or lock file reached the tool.
    EXPECT_EQ(probeFile(mac, "installer.report"), kCleanStart);
}

// At the end of the process the tools still running are asked to stop, and none starts after.
TEST(ChildProcessDeathTest, AtTheEndRunningToolsAreStoppedAndNoNewOneStarts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempMac mac;
    mac.useInProcess();
    installProbe(mac, "/usr/bin/probe");
    askProbe(mac, "hold");
    const platform::ProcessSpec probe{"/usr/bin/probe", {}, std::nullopt};
    EXPECT_EXIT(
        {
            int status = -1;
            std::thread runner([&] {
                platform::runWithPipes(testsupport::inProcessServices().root, probe, {}, {},
                                       &status);
            });
            backgroundtest::waitUntil([&] { return !probeFile(mac, "holding").empty(); }, 60s);
            const bool stopped = platform::stopChildProcesses(SIGTERM, 60s);
            runner.join();
            const bool refused =
                platform::runWithPipes(testsupport::inProcessServices().root, probe, {}, {})
                    .has_value();
            std::_Exit(stopped && status == 128 + SIGTERM && refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vantrel
