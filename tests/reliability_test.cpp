// The real program on simulated Macs under faults: runs killed or left half done and started
// again, a full disk, a server that goes away, and what a root run leaves writable or hands its
// tools. (A run killed during its downloads is in download_recovery_test.)

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>

#include "tests/background_fixture.h"
#include "tests/mirror_fixture.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

using backgroundtest::Background;
using backgroundtest::kPreparationFailed;
using backgroundtest::mountSmallDisk;
using backgroundtest::ServedMac;
using backgroundtest::waitUntil;
using mirrortest::MirrorFolder;
using mirrortest::ServeProcess;
using mirrortest::TempFolder;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool loggedContaining(const TempMac& mac, const std::string& part) {
    for (const auto& entry : mac.log()) {
        if (entry.message.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The build of the installer filed away, as the next caching run reads it.
void expectCachedBuild(const ServedMac& served, const std::string& build) {
    const RunResult again = served.cache();
    ASSERT_TRUE(again.exited(0)) << again.standardOutput;
    ASSERT_FALSE(again.outputLines().empty());
    EXPECT_EQ(again.outputLines().back(), "Latest build is cached: " + build)
        << again.standardOutput;
}

bool baseMountAttached(const TempMac& mac) {
    return mirrortest::readText(mac.host("/private/var/db/mounts/table.plist")).find("baseMount") !=
           std::string::npos;
}

// A run killed during the assembly leaves the cached installer as it was, a whole application
// in /Applications or none, and perhaps the base-system image attached and a download folder;
// the next run clears them and replaces the old installer.
TEST(Faults, ARunKilledDuringAssemblyIsClearedAndCompletedByTheNextRun) {
    ServedMac served({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=24M"});
    served.mac.addInstaller("Catalina", "19H2", kWorkingDir);
    {
        Background killed(served.mac, {"--action", "cache", "--osname", "Catalina"});
        ASSERT_TRUE(waitUntil(
            [&] { return loggedContaining(served.mac, "Installing componenets located in"); }, 60s))
            << killed.output();
        killed.killProgram();
        // The package installer it started finishes on its own, or fails.
        EXPECT_TRUE(killed.waitForGroupToEnd(60s));
    }
    EXPECT_TRUE(fs::exists(
        served.mac.host(std::string(kFiledCatalina) + "/Contents/SharedSupport/BaseSystem.dmg")));
    const fs::path inApplications = served.mac.host("/Applications/Install macOS Catalina.app");
    if (fs::exists(inApplications)) {
        EXPECT_TRUE(fs::exists(inApplications / "Contents/SharedSupport/BaseSystem.dmg"));
    }
    if (!baseMountAttached(served.mac)) {
        served.mac.sim("mount", {kBaseMount});
    }
    const fs::path leftover = served.mac.host(std::string(kDownloadFolder) + "/half.pkg");
    fs::create_directories(leftover.parent_path());
    std::ofstream(leftover) << "partial";

    const RunResult rerun = served.cache();
    ASSERT_TRUE(rerun.exited(0)) << rerun.standardOutput << rerun.standardError;
    const Lines lines = rerun.outputLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Cached Build: 19H2"), lines.end())
        << rerun.standardOutput;
    EXPECT_FALSE(fs::exists(inApplications));
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_FALSE(baseMountAttached(served.mac));
    expectCachedBuild(served, "19H15");
}

std::size_t countStartingWith(const Lines& lines, const std::string& start) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
}

TEST(Faults, AFullDiskDuringTheDownloadsEndsTheRunCleanly) {
    // 8 MB of packages for a download folder on a 2 MB disk.
    ServedMac served({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=8M"});
    const fs::path temporary = served.mac.host("/private/var/folders/0/T");
    const char* const kTwoMiB = "size=2097152,mode=0755";
    fs::create_directories(temporary);
    std::string output;
    {
        Background run(served.mac, {"--action", "cache", "--osname", "Catalina"},
                       [&] { return mountSmallDisk(temporary.c_str(), kTwoMiB); });
        const int status = run.waitForExit(120s);
        if (status == kPreparationFailed) {
            GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
        }
        output = run.output();
        EXPECT_EQ(status, 3) << output;
    }
    const Lines lines = testsupport::splitLines(output);
    EXPECT_GE(countStartingWith(lines, "Download failed: " + served.server.url()), 1u);
    for (const auto& line : lines) {
        if (line.rfind("Download failed: ", 0) == 0) {
            EXPECT_NE(line.find("No space left on device"), std::string::npos) << line;
        }
    }
    // Which files the full disk takes is the transfers' race: the package installer refuses
    // what is missing, or, when the distribution file itself was lost, the assembly cannot start.
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), mirrortest::echoesInstallerFailure) ||
                countStartingWith(lines, "No distribution file (.dist) was downloaded to ") == 1)
        << output;
    EXPECT_TRUE(loggedContaining(served.mac, "Download failed: "));
    EXPECT_FALSE(fs::exists(served.mac.host(kFiledCatalina)));
    EXPECT_FALSE(fs::exists(served.mac.host("/Applications/Install macOS Catalina.app")));
    EXPECT_FALSE(baseMountAttached(served.mac));
    // With room again, the next run caches the installer.
    const RunResult rerun = served.cache();
    ASSERT_TRUE(rerun.exited(0)) << rerun.standardOutput << rerun.standardError;
    EXPECT_EQ(countStartingWith(rerun.outputLines(), "Download failed: "), 0u);
    expectCachedBuild(served, "19H15");
}

// Every item under `root` with its mode.
std::map<std::string, mode_t> modesUnder(const fs::path& root) {
    std::map<std::string, mode_t> modes;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) == 0) {
            modes[entry.path().string()] = info.st_mode;
        }
    }
    return modes;
}

TEST(Privileges, NothingARootRunMakesIsWritableByOthersAndToolsGetOnlyTheirEnvironment) {
    ServedMac served({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    const auto before = modesUnder(served.mac.root());

    // A careless caller: no umask, and variables that must not reach the tools.
    const mode_t savedMask = ::umask(0);
    ::setenv("VANTREL_TEST_SECRET", "leak", 1);
    ::setenv("DYLD_INSERT_LIBRARIES", "/tmp/evil.dylib", 1);
    const RunResult run = served.mac.run({"--action", "install", "cache", "--osname", "Catalina"});
    ::unsetenv("VANTREL_TEST_SECRET");
    ::unsetenv("DYLD_INSERT_LIBRARIES");
    ::umask(savedMask);
    ASSERT_TRUE(run.signal != 0 || run.exited(0)) << run.standardOutput << run.standardError;

    const auto installation = served.mac.installation();
    ASSERT_TRUE(installation) << run.standardOutput;
    const std::vector<std::pair<std::string, std::string>> onlyOurs{{"NSUnbufferedIO", "YES"}};
    EXPECT_EQ(installation->environment, onlyOurs);

    std::size_t checked = 0;
    for (const auto& [path, mode] : modesUnder(served.mac.root())) {
        const auto old = before.find(path);
        if ((old != before.end() && old->second == mode) || S_ISLNK(mode)) {
            continue;
        }
        ++checked;
        EXPECT_EQ(mode & 022, 0u) << path << " has mode " << std::oct << (mode & 07777);
    }
    EXPECT_GT(checked, 20u);
    struct stat info {};
    ASSERT_EQ(::stat(served.mac.host(kDownloadFolder).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(
        ::stat(served.mac.host("/Library/Application Support/com.corvane.vantrel").c_str(), &info),
        0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST(BrokenServer, AServerThatGoesAwayMidRunEndsEachRunWithOneClearLine) {
    MirrorFolder mirror(
        {"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M faults=dist-stall"});
    TempFolder logs("access");
    const fs::path accessLog = logs.path() / "access.log";
    std::optional<ServeProcess> server;
    server.emplace(mirror.path(), std::vector<std::string>{"--stall-seconds", "60", "--access-log",
                                                           accessLog.string()});
    const std::string url = server->url();
    TempMac mac({"--catalog-server", url, "--trust-cert", server->certificate().string()});
    {
        Background run(mac, {"--action", "cache", "--osname", "Catalina"});
        // The catalog has been served; the distribution file is being held back.
        ASSERT_TRUE(waitUntil(
            [&] { return mirrortest::readText(accessLog).find("sucatalog") != std::string::npos; },
            60s));
        std::this_thread::sleep_for(300ms);
        server.reset();
        EXPECT_EQ(run.waitForExit(60s), 0) << run.output();
        const std::string output = run.output();
        EXPECT_NE(output.find("could not fetch its distribution file"), std::string::npos)
            << output;
        EXPECT_NE(output.find("No OS found\n"), std::string::npos) << output;
    }
    EXPECT_FALSE(fs::exists(mac.host(kDownloadFolder)));

    // With the server gone for good, the next run says so and fails.
    const RunResult gone = mac.run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(gone.exited(3)) << gone.standardOutput;
    ASSERT_EQ(gone.outputLines().size(), 1u) << gone.standardOutput;
    EXPECT_EQ(gone.outputLines()[0].rfind("Could not fetch the software update catalog " + url, 0),
              0u)
        << gone.outputLines()[0];
}

}  // namespace
}  // namespace vantrel
