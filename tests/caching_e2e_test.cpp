// The cache action of the real program on simulated Macs, against the stand-in update server.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>

#include "tests/mirror_fixture.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

using mirrortest::MirrorFolder;
using mirrortest::ServeProcess;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// One mirror and server for the whole suite: Catalina, Mojave, and a HighSierra that lists
// none of the default Mac's board ids.
class CacheAction : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        mirror = new MirrorFolder({"--products", "8", "--release", "Catalina size=1M", "--release",
                                   "Mojave size=512K", "--release",
                                   "HighSierra size=512K boards=Mac-00000000000000AA"});
        accessLog = new mirrortest::TempFolder("access");
        server = new ServeProcess(mirror->path(),
                                  {"--access-log", (accessLog->path() / "log").string()});
    }
    static void TearDownTestSuite() {
        delete server;
        delete accessLog;
        delete mirror;
    }

    // A Mac that uses the suite's server; `options` go to `vantrel-sim create`.
    static std::unique_ptr<TempMac> makeMac(std::vector<std::string> options = {}) {
        options.insert(options.end(), {"--catalog-server", server->url(), "--trust-cert",
                                       server->certificate().string()});
        return std::make_unique<TempMac>(options);
    }
    static Lines downloadLines(const mirrortest::MirrorFolder& from, const std::string& name) {
        Lines lines;
        for (const auto& release : from.manifest().releases) {
            if (release.name == name) {
                lines.push_back("Downloading: " +
                                fs::path(release.distributionURLs[0]).filename().string());
                for (const auto& url : release.packageURLs) {
                    lines.push_back("Downloading: " + fs::path(url).filename().string());
                }
            }
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    // The output without its "Downloading:" lines, which come in the order transfers end.
    static Lines withoutDownloads(const Lines& lines, Lines* downloads) {
        Lines rest;
        for (const auto& line : lines) {
            (line.rfind("Downloading: ", 0) == 0 ? *downloads : rest).push_back(line);
        }
        std::sort(downloads->begin(), downloads->end());
        return rest;
    }
    static std::string accessLogText() { return mirrortest::readText(accessLog->path() / "log"); }

    static MirrorFolder* mirror;
    static mirrortest::TempFolder* accessLog;
    static ServeProcess* server;
};

MirrorFolder* CacheAction::mirror = nullptr;
mirrortest::TempFolder* CacheAction::accessLog = nullptr;
ServeProcess* CacheAction::server = nullptr;

TEST_F(CacheAction, DownloadsAssemblesAndFilesAwayThenFindsTheBuildCached) {
    auto mac = makeMac();
    RunResult run = mac->run({"--action", "cache", "--osname", "Catalina"});
    ASSERT_TRUE(run.exited(0)) << run.standardOutput << run.standardError;
    Lines downloads;
    EXPECT_EQ(withoutDownloads(run.outputLines(), &downloads), Lines{"Downloads finished"});
    EXPECT_EQ(downloads, downloadLines(*mirror, "Catalina"));
    EXPECT_TRUE(fs::exists(mac->host(std::string(kFiledCatalina) + "/Contents/Info.plist")));
    EXPECT_FALSE(fs::exists(mac->host("/Applications/Install macOS Catalina.app")));
    EXPECT_TRUE(mac->logged("caching", "Debug", "Caching"));
    EXPECT_TRUE(
        mac->logged("networking", "Debug",
                    "Downloading To: file:///private/var/folders/0/T/com.corvane.vantrel/"));
    EXPECT_TRUE(mac->logged("networking", "Debug", "Download: 100.000000"));
    EXPECT_TRUE(mac->logged("installer", "Debug",
                            "macOS Installer moved to our /Library/Application Support folder"));
    EXPECT_TRUE(mac->logged("installer", "Debug", "Caching complete, not installing"));
    const auto log = mac->log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& entry) {
        const std::string& m = entry.message;
        return m.rfind("Installing componenets located in " + std::string(kDownloadFolder) + "/",
                       0) == 0 &&
               m.size() > 6 && m.substr(m.size() - 6) == ".dist.";
    }));

    run = mac->run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.outputLines(), Lines{"Latest build is cached: 19H15"});
    EXPECT_TRUE(mac->logged("caching", "Default", "Latest build is cached: 19H15"));
    EXPECT_TRUE(mac->logged("caching", "Debug",
                            "Not installing cached OS, did not pass --action install."));
    EXPECT_EQ(mac->run({"--action", "status", "--osname", "Catalina"}).outputLines(),
              Lines{"true"});
}

TEST_F(CacheAction, ANewerBuildOnTheServerReplacesTheCachedOne) {
    auto mac = makeMac();
    mac->addInstaller("Catalina", "19G73");
    RunResult run = mac->run({"--action", "cache", "--osname", "Catalina"});
    ASSERT_TRUE(run.exited(0)) << run.standardOutput << run.standardError;
    Lines downloads;
    EXPECT_EQ(withoutDownloads(run.outputLines(), &downloads),
              (Lines{"Available Version: 10.15.7", "Cached Build: 19G73",
                     "A newer build is available: 19H15", "Downloads finished"}));
    EXPECT_EQ(downloads, downloadLines(*mirror, "Catalina"));
    EXPECT_TRUE(mac->logged("caching", "Debug", "Cached Build: 19G73"));
    EXPECT_TRUE(mac->logged("caching", "Debug", "Available Version: 19H15"));
    // The old copy was replaced, with no backup or second copy left beside it.
    Lines installers;
    for (const auto& entry :
         fs::directory_iterator(mac->host("/Library/Application Support/com.corvane.vantrel"))) {
        if (entry.path().filename().string().rfind("Install macOS", 0) == 0) {
            installers.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(installers, Lines{"Install macOS Catalina.app"});
    EXPECT_EQ(mac->run({"--action", "cache", "--osname", "Catalina"}).outputLines(),
              Lines{"Latest build is cached: 19H15"});
}

TEST_F(CacheAction, InstallAndCacheHeadlessRunsToTheRestart) {
    auto mac = makeMac();
    const RunResult run =
        mac->run({"--action", "install", "cache", "--osname", "Catalina", "--erase"});
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput << run.standardError;
    EXPECT_EQ(run.outputLines().back(), "Downloads finished");
    const auto installation = mac->installation();
    ASSERT_TRUE(installation);
    EXPECT_EQ(installation->installer, kFiledCatalina);
    EXPECT_TRUE(installation->erase);
    EXPECT_TRUE(mac->logged("installer", "Debug", "Posting notification for startosinstall"));

    // With the build cached, the second run goes straight to the installation.
    const RunResult again =
        mac->run({"--action", "install", "cache", "--osname", "Catalina", "--erase"});
    EXPECT_EQ(again.signal, SIGUSR1);
    EXPECT_EQ(again.outputLines(), Lines{"Latest build is cached: 19H15"});
}

TEST_F(CacheAction, NothingIsDownloadedForAMacTheProductDoesNotFit) {
    struct Case {
        std::vector<std::string> mac;
        std::string release;
    };
    const std::vector<Case> cases{
        {{}, "Mojave"},      // older than the running 10.15.7
        {{}, "HighSierra"},  // the board id is not listed
        {{"--board-id", "Mac-FFFFFFFFFFFFFFFF"}, "Catalina"},
        {{"--model", "iMac8,1"}, "Catalina"},  // a model the product refuses
    };
    for (const auto& c : cases) {
        auto mac = makeMac(c.mac);
        const RunResult run = mac->run({"--action", "cache", "--osname", c.release});
        EXPECT_TRUE(run.exited(0)) << c.release;
        EXPECT_EQ(run.outputLines(), Lines{"No OS found"}) << c.release << run.standardOutput;
        EXPECT_TRUE(mac->logged("caching", "Debug", "No OS found."));
        EXPECT_FALSE(fs::exists(mac->host(kDownloadFolder)));
    }
    // On a virtual machine neither the board id nor the model matters.
    auto vm = makeMac({"--vm", "--board-id", "Mac-FFFFFFFFFFFFFFFF", "--model", "iMac8,1",
                       "--os-version", "10.13.6"});
    const RunResult run = vm->run({"--action", "cache", "--osname", "HighSierra"});
    EXPECT_TRUE(run.exited(0)) << run.standardOutput;
    EXPECT_TRUE(fs::exists(
        vm->host("/Library/Application Support/com.corvane.vantrel/Install macOS HighSierra.app")));
}

TEST_F(CacheAction, ADownloadFolderThatCannotBeMadeEndsTheRunWithAFailure) {
    auto mac = makeMac();
    // A file where the temporary folder should be.
    fs::create_directories(mac->host("/private/var/folders/0"));
    std::ofstream(mac->host("/private/var/folders/0/T")) << "in the way";
    const RunResult run = mac->run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    const Lines lines = run.outputLines();
    ASSERT_EQ(lines.size(), 2u) << run.standardOutput;
    EXPECT_NE(lines[0].find("com.corvane.vantrel"), std::string::npos);
    EXPECT_EQ(lines[1], "The download folder could not be prepared; nothing was downloaded.");
}

TEST_F(CacheAction, TheCatalogFollowsTheRunningMinorVersion) {
    for (const auto& [version, catalog] :
         std::vector<std::pair<std::string, std::string>>{{"10.13.6", "index-10.13-10.12-"},
                                                          {"10.14.0", "index-10.14-10.13-"},
                                                          {"10.16", "index-10.16-10.15-"}}) {
        auto mac = makeMac({"--os-version", version});
        const std::string before = accessLogText();
        const RunResult run = mac->run({"--action", "cache", "--osname", "Mojave", "--appfolder"});
        EXPECT_TRUE(run.exited(0)) << version << run.standardOutput;
        const std::string requests = accessLogText().substr(before.size());
        EXPECT_NE(requests.find("/content/catalogs/others/" + catalog), std::string::npos)
            << version << requests;
        if (version == "10.14.0") {  // cached, and left in /Applications as asked
            EXPECT_TRUE(fs::exists(mac->host("/Applications/Install macOS Mojave.app/Contents")));
            EXPECT_TRUE(mac->logged("installer", "Debug",
                                    "Installed to /Applications. Use --appsupport to move the "
                                    "installer to our /Library/Application Support directory"));
        }
    }
    // No catalog is known for 10.12: one clear line, a failure status, no request.
    auto old = makeMac({"--os-version", "10.12.6"});
    const std::string before = accessLogText();
    const RunResult run = old->run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(3));
    EXPECT_EQ(run.outputLines(),
              Lines{"No software update catalog is known for macOS 10.12.6; only 10.13 to 10.16 "
                    "are supported."});
    EXPECT_EQ(accessLogText(), before);
}

}  // namespace
}  // namespace vantrel
