// A run asked to stop with SIGTERM, SIGINT or SIGHUP: the real program, held while one of its
// tools runs (the test tool in place of hdiutil or startosinstall), is signalled and must stop
// the tool, detach the base-system image, log one line and end with 128 + the signal's number.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "tests/background_fixture.h"
#include "tests/probe_fixture.h"

namespace vantrel {
namespace {

using backgroundtest::Background;
using backgroundtest::ServedMac;
using backgroundtest::waitUntil;
using probetest::askProbe;
using probetest::installProbe;
using probetest::probeFile;
using probetest::processEnded;
using testsupport::TempMac;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::vector<std::string> kCache{"--action", "cache", "--osname", "Catalina"};
const std::vector<std::string> kInstall{"--action", "install", "--osname", "Catalina"};

bool baseMountAttached(const TempMac& mac) {
    return mirrortest::readText(mac.host("/private/var/db/mounts/table.plist")).find("baseMount") !=
           std::string::npos;
}

std::size_t timesLogged(const TempMac& mac, const std::string& message) {
    const auto log = mac.log();
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const auto& entry) {
        return entry.category == "main" && entry.level == "Default" && entry.message == message;
    }));
}

// Runs of the real program that a signal ends. Under ThreadSanitizer the program's signal
// watcher is never woken (its runtime holds the handler back), so these count in the other
// builds only.
class InterruptedRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "signal delivery is not checked under ThreadSanitizer";
#endif
    }
};

// Puts the test tool in place of the installer's startosinstall, to hold the run.
void holdTheInstallation(const TempMac& mac) {
    const std::string installer = mac.addInstaller("Catalina", "19H15");
    installProbe(mac, installer + "/Contents/Resources/startosinstall");
    askProbe(mac, "hold");
}

// The id of the tool that is holding the run, once it holds it.
int holdingTool(const TempMac& mac) {
    EXPECT_TRUE(waitUntil([&] { return !probeFile(mac, "holding").empty(); }, 60s));
    const std::string id = probeFile(mac, "holding");
    return id.empty() ? -1 : std::stoi(id);
}

TEST_F(InterruptedRunTest, SigtermWhileTheImageIsAttachedDetachesItAndStopsTheTool) {
    ServedMac served({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    const TempMac& mac = served.mac;
    mac.addInstaller("Catalina", "19H2", "/Library/Application Support/com.corvane.vantrel");
    // hdiutil attaches the image, then holds the run until it is signalled.
    fs::rename(mac.host("/usr/bin/hdiutil"), mac.host("/usr/bin/hdiutil.real"));
    installProbe(mac, "/usr/bin/hdiutil");
    askProbe(mac, "hold");

    Background run(mac, kCache);
    const int tool = holdingTool(mac);
    ASSERT_GT(tool, 0) << run.output();
    ASSERT_TRUE(baseMountAttached(mac));

    run.signalProgram(SIGTERM);
    EXPECT_EQ(run.waitForExit(60s), 128 + SIGTERM) << run.output();
    EXPECT_FALSE(baseMountAttached(mac));
    EXPECT_TRUE(waitUntil([&] { return processEnded(tool); }, 30s));
    EXPECT_EQ(timesLogged(mac, "Run ended by SIGTERM"), 1u);

    // Nothing of the ended run is in the way: the lock is free and the image detached.
    fs::remove(mac.host("/probe/hold"));
    const auto again = served.cache();
    EXPECT_TRUE(again.exited(0)) << again.standardOutput << again.standardError;
    EXPECT_FALSE(baseMountAttached(mac));
}

TEST_F(InterruptedRunTest, SigintWhileADocumentIsFetchedDetachesLeftoverInstallerVolumes) {
    backgroundtest::TempFolder logs("access");
    const fs::path accessLog = logs.path() / "access.log";
    // The catalog is served; every distribution file is held back.
    ServedMac served({"--products", "2", "--release", "Catalina size=1M faults=dist-stall"},
                     {"--stall-seconds", "600", "--access-log", accessLog.string()});
    const TempMac& mac = served.mac;
    mac.sim("mount", {"/Volumes/InstallESD"});

    Background run(mac, kCache);
    // The run goes on to fetch a distribution file and is held there, with no tool running.
    ASSERT_TRUE(waitUntil(
        [&] { return mirrortest::readText(accessLog).find("sucatalog") != std::string::npos; },
        60s))
        << run.output();
    run.signalProgram(SIGINT);
    EXPECT_EQ(run.waitForExit(60s), 128 + SIGINT) << run.output();
    EXPECT_EQ(
        mirrortest::readText(mac.host("/private/var/db/mounts/table.plist")).find("InstallESD"),
        std::string::npos);
    EXPECT_EQ(timesLogged(mac, "Run ended by SIGINT"), 1u);
}

TEST_F(InterruptedRunTest, SighupDuringTheInstallationStopsStartosinstall) {
    TempMac mac;
    holdTheInstallation(mac);

    Background run(mac, kInstall);
    const int tool = holdingTool(mac);
    ASSERT_GT(tool, 0) << run.output();
    {
        // The clean-up waits for the mount table (held as a slow disk-image service would) while
        // the stopped tool's end reaches the runner, which must not end the run as a failed
        // installation meanwhile.
        fs::create_directories(mac.host("/private/var/db/mounts"));
        const int table = ::open(mac.host("/private/var/db/mounts/.lock").c_str(),
                                 O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(::flock(table, LOCK_EX), 0);
        run.signalProgram(SIGHUP);
        EXPECT_TRUE(waitUntil([&] { return processEnded(tool); }, 30s));
        ::close(table);
    }
    EXPECT_EQ(run.waitForExit(60s), 128 + SIGHUP) << run.output();
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(timesLogged(mac, "Run ended by SIGHUP"), 1u);
    EXPECT_FALSE(mac.installation());
}

// A caller that ignores hangups (nohup) means it for the whole job: the run and its tools. A
// second signal during the clean-up ends the run at once.
TEST_F(InterruptedRunTest, AnIgnoredHangupLeavesTheRunAloneAndASecondSignalEndsItAtOnce) {
    TempMac mac;
    holdTheInstallation(mac);
    askProbe(mac, "stubborn");  // the tool takes its time to stop

    Background run(mac, kInstall, [] { return ::signal(SIGHUP, SIG_IGN) != SIG_ERR; });
    ASSERT_GT(holdingTool(mac), 0) << run.output();
    // The hangup stays ignored in the tool; nothing else is (the program ignores SIGPIPE).
    EXPECT_EQ(probeFile(mac, "startosinstall.report"),
              "fds 0 1 2\nSigIgn 0000000000000001\nSigBlk 0000000000000000\n");
    run.signalProgram(SIGHUP);
    run.signalProgram(SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(mac.host("/probe/asked-to-stop")); }, 60s));
    run.signalProgram(SIGINT);
    // Not 143, which the first signal's clean-up ends with once the tool's time is up.
    EXPECT_EQ(run.waitForExit(60s), 128 + SIGINT) << run.output();
    EXPECT_EQ(timesLogged(mac, "Run ended by SIGHUP"), 0u);
    EXPECT_EQ(timesLogged(mac, "Run ended by SIGTERM"), 0u);
}

}  // namespace
}  // namespace vantrel
