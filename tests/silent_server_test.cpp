// Transfers that fail on every try end the caching run instead of holding it (and the caching
// lock) for as long as the server likes. The program's own caching run runs in a child of the
// test with a stall window of one second and pauses between tries of milliseconds; the
// program's are a minute and seconds, too long to wait out in a test.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ProcessArgs.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/CacheOSInstaller.h"
#include "caching/SessionRequestManager.h"
#include "net/Http.h"
#include "tests/background_fixture.h"
#include "tests/network_fixture.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using backgroundtest::ServedMac;
using mirrortest::TempFolder;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
using networktest::countStartingWith;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The servers hold a stalled answer far longer than the window.
const std::vector<std::string> kHoldsOut{"--stall-seconds", "600"};

// A caching run of the program's own classes, in a child process with the stall window
// shortened, wired as the program wires them. Its output goes to a file of its own.
class ShortWindowRun {
  public:
    explicit ShortWindowRun(const TempMac& mac) {
        const std::string out = (folder_.path() / "out").string();
        const std::string err = (folder_.path() / "err").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::alarm(60);  // a run that never ends fails the test rather than hanging it
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            cache(mac);
        }
    }
    ~ShortWindowRun() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ShortWindowRun(const ShortWindowRun&) = delete;
    ShortWindowRun& operator=(const ShortWindowRun&) = delete;

    // Waits for the run's end; its exit status, or -1 when a signal ended it.
    int waitForExit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    Lines lines() const {
        return testsupport::splitLines(mirrortest::readText(folder_.path() / "out"));
    }
    std::string output() const {
        return mirrortest::readText(folder_.path() / "out") +
               mirrortest::readText(folder_.path() / "err");
    }

  private:
    [[noreturn]] static void cache(const TempMac& mac) {
        mac.useInProcess();
        ProcessArgs::evaluate({"--action", "cache", "--osname", "Catalina"}, SharedData::shared());
        // libcurl measures the rate over the last few seconds, so the half of the package that
        // arrived before the silence counts for a while: a higher minimum lets the window start
        // soon after the silence does.
        const net::NetworkLimits limits{.minimumBytesPerSecond = 4 << 20, .stallWindow = 1s};
        // Each try of the package ends the same way; the pauses between them are short too.
        net::DownloadSession::Configuration configuration =
            testsupport::downloadConfiguration(limits);
        configuration.retries.pauses.assign(3, 10ms);
        SessionRequestManager manager(mac.services(), configuration);
        CacheOSInstaller installer(mac.services(), mac.network(), manager, limits);
        NotificationCenter::defaultCenter().addObserver(
            notificationnames::downloadsDone(),
            [&installer](const Notification&) { installer.installProduct(); });
        installer.cacheOS();
        mac.services().mainQueue.runLoop();  // every ending of a run exits
    }

    TempFolder folder_{"short-window"};
    pid_t pid_ = -1;
    bool reaped_ = false;
};

TEST(SilentServer, ATransferThatStopsArrivingOrIsCutOnEveryTryEndsTheRun) {
    // One server holds the catalog back, one stops in the middle of the largest package, one
    // cuts a package off on every try.
    ServedMac silentCatalog(
        {"--products", "2", "--release", "Catalina size=32K", "--catalog-fault", "stall"},
        kHoldsOut);
    ServedMac silentPackage({"--products", "2", "--release", "Catalina size=32K faults=stall"},
                            kHoldsOut);
    ServedMac cutPackage({"--products", "2", "--release", "Catalina size=2M faults=truncate"});
    ShortWindowRun catalogRun(silentCatalog.mac);
    ShortWindowRun packageRun(silentPackage.mac);
    ShortWindowRun cutRun(cutPackage.mac);

    EXPECT_EQ(catalogRun.waitForExit(), 3) << catalogRun.output();
    const Lines catalogLines = catalogRun.lines();
    ASSERT_EQ(catalogLines.size(), 1u) << catalogRun.output();
    EXPECT_EQ(catalogLines[0].rfind(
                  "Could not fetch the software update catalog " + silentCatalog.server.url(), 0),
              0u)
        << catalogLines[0];
    EXPECT_FALSE(fs::exists(silentCatalog.mac.host(testsupport::macpaths::kDownloadFolder)));

    EXPECT_EQ(packageRun.waitForExit(), 3) << packageRun.output();
    const Lines packageLines = packageRun.lines();
    EXPECT_EQ(countStartingWith(packageLines, "Download failed: " + silentPackage.server.url()), 1u)
        << packageRun.output();
    EXPECT_TRUE(
        std::any_of(packageLines.begin(), packageLines.end(), mirrortest::echoesInstallerFailure))
        << packageRun.output();
    EXPECT_FALSE(fs::exists(silentPackage.mac.host(testsupport::macpaths::kFiledCatalina)));
    EXPECT_FALSE(fs::exists(silentPackage.mac.host("/Applications/Install macOS Catalina.app")));
    EXPECT_EQ(mirrortest::readText(silentPackage.mac.host("/private/var/db/mounts/table.plist"))
                  .find("baseMount"),
              std::string::npos);

    EXPECT_EQ(cutRun.waitForExit(), 3) << cutRun.output();
    const Lines lines = cutRun.lines();
    // The cut transfer is named once, after its last try and before the downloads end; then
    // the installer's failed chunk is echoed.
    const auto named = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind("Download failed: " + cutPackage.server.url(), 0) == 0;
    });
    const auto finished = std::find(lines.begin(), lines.end(), "Downloads finished");
    const auto failure =
        std::find_if(lines.begin(), lines.end(), mirrortest::echoesInstallerFailure);
    EXPECT_EQ(countStartingWith(lines, "Download failed: "), 1u) << cutRun.output();
    EXPECT_LT(named, finished) << cutRun.output();
    EXPECT_NE(failure, lines.end()) << cutRun.output();
    EXPECT_LT(finished, failure) << cutRun.output();
    EXPECT_TRUE(cutPackage.mac.logged("installer", "Error", "Installer failed"));
    EXPECT_TRUE(cutPackage.mac.logged("installer", "Error", "Exiting due to failed installer"));
    EXPECT_FALSE(fs::exists(cutPackage.mac.host(testsupport::macpaths::kFiledCatalina)));
    EXPECT_FALSE(cutPackage.mac.run({"--action", "status", "--osname", "Catalina"}).outputLines() ==
                 Lines{"true"});
}

}  // namespace
}  // namespace vantrel
