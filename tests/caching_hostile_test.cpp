// The cache action of the real program against an update server that misbehaves: documents
// of the wrong shape, missing files, transfers cut off, path-like file names, broken catalogs.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "tests/background_fixture.h"
#include "tests/caching_tls.h"
#include "tests/mirror_fixture.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

using mirrortest::echoesInstallerFailure;
using mirrortest::MirrorFolder;
using mirrortest::ServeProcess;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

using backgroundtest::ServedMac;

std::string keyOf(const ServedMac& served, const std::string& build) {
    for (const auto& release : served.mirror.manifest().releases) {
        if (release.build == build) {
            return release.productKey;
        }
    }
    return "?";
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Every item of a Mac with what tells a change: kind, size, inode, modification time.
using Items = std::map<std::string, std::tuple<mode_t, off_t, ino_t, long long>>;
Items itemsOf(const TempMac& mac) {
    Items items;
    for (const auto& entry : fs::recursive_directory_iterator(mac.root())) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) == 0) {
            const bool folder = S_ISDIR(info.st_mode);
            items[entry.path().string()] = {
                info.st_mode, folder ? 0 : info.st_size, info.st_ino,
                folder ? 0 : info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
        }
    }
    return items;
}

// What a run made, changed or removed outside the download folder, its resume store and the
// log, other than the folders leading to the download folder, the working directory and lock.
Lines changedOutsideTheDownloadFolder(const TempMac& mac, const Items& before) {
    const Items now = itemsOf(mac);
    const std::string downloads = mac.host(kDownloadFolder).string();
    const std::string store = downloads + ".resume";
    const std::string lock = mac.host("/private/var/run/com.corvane.vantrel").string();
    const std::set<std::string> expected{
        mac.host("/private/var/log/vantrel.log").string(), mac.host(kWorkingDir).string(),
        mac.host("/private/var/run").string(), lock, lock + "/installer.lock"};
    std::set<std::string> changed;
    for (const Items* items : {&before, &now}) {
        for (const auto& [path, item] : *items) {
            const auto old = before.find(path);
            const auto current = now.find(path);
            if (old != before.end() && current != now.end() && old->second == current->second) {
                continue;
            }
            if (!startsWith(downloads, path + "/") && path != downloads &&
                !startsWith(path, downloads + "/") && path != store &&
                !startsWith(path, store + "/") && !expected.count(path)) {
                changed.insert(path);
            }
        }
    }
    return {changed.begin(), changed.end()};
}

TEST(HostileServer, ProductsOfTheWrongShapeAreSkippedAndTheGoodOneIsCached) {
    // Each faulty product is a Catalina of its own build; all but the last two are named.
    std::vector<std::string> faults;
    std::istringstream list(
        "dist-missing dist-not-xml dist-huge dist-few-scripts dist-no-auxinfo dist-bad-version "
        "smd-missing smd-not-xml smd-no-title packages-not-array package-without-url "
        "bad-package-url distribution-not-text no-server-metadata-url bad-server-metadata-url "
        "distributions-not-dict");
    for (std::string fault; list >> fault;) {
        faults.push_back(fault);
    }
    std::vector<std::string> options{"--products", "6", "--odd-shapes", "--release",
                                     "Catalina:10.15.7:19H15 size=512K"};
    for (std::size_t i = 0; i < faults.size(); ++i) {
        options.push_back("--release");
        options.push_back("Catalina:10.15.7:19Z" + std::to_string(10 + i) +
                          " size=64K packages=2 faults=" + faults[i]);
    }
    ServedMac served(options);
    const RunResult run = served.cache();
    ASSERT_TRUE(run.exited(0)) << run.standardOutput << run.standardError;
    const Lines lines = run.outputLines();
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const std::string key = keyOf(served, "19Z" + std::to_string(10 + i));
        const auto reported = std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return startsWith(line, "Skipping product " + key + ": ");
        });
        EXPECT_EQ(reported, i + 2 < faults.size() ? 1 : 0) << faults[i] << "\n"
                                                           << run.standardOutput;
    }
    // The catalog's odd entries without an "OSInstall" text say "no".
    EXPECT_NE(std::find(lines.begin(), lines.end(), "no"), lines.end());
    EXPECT_EQ(lines.back(), "Downloads finished");
    EXPECT_TRUE(fs::exists(served.mac.host(std::string(kFiledCatalina) + "/Contents")));
    EXPECT_EQ(served.cache().outputLines().back(), "Latest build is cached: 19H15");
}

// A 404 is not tried again (answers that may pass are in silent_server_test and
// download_retry_test, with short pauses). The installer cached before stays as it was.
TEST(HostileServer, APackageTheServerDoesNotGiveFailsTheRunAndKeepsTheCachedInstaller) {
    ServedMac served({"--products", "2", "--release", "Catalina size=256K faults=package-missing"});
    served.mac.addInstaller("Catalina", "19H2", kWorkingDir);
    const Items before = itemsOf(served.mac);
    const RunResult run = served.cache();
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    // Reading the cached build attaches its image: the mount table changes, and ends empty.
    Lines changed = changedOutsideTheDownloadFolder(served.mac, before);
    std::erase_if(changed, [&](const std::string& path) {
        return startsWith(path, served.mac.host("/private/var/db/mounts").string());
    });
    EXPECT_EQ(changed, Lines{});
    EXPECT_EQ(mirrortest::readText(served.mac.host("/private/var/db/mounts/table.plist"))
                  .find("baseMount"),
              std::string::npos);
    const Lines lines = run.outputLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                                return startsWith(line,
                                                  "Download failed: " + served.server.url()) &&
                                       line.find("HTTP status 404") != std::string::npos;
                            }),
              1)
        << run.standardOutput;
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), echoesInstallerFailure))
        << run.standardOutput;
    EXPECT_TRUE(fs::exists(
        served.mac.host(std::string(kFiledCatalina) + "/Contents/SharedSupport/BaseSystem.dmg")));
    const Lines again = served.cache().outputLines();
    EXPECT_NE(std::find(again.begin(), again.end(), "Cached Build: 19H2"), again.end());
}

TEST(HostileServer, PathLikeFileNamesNeverLeaveTheDownloadFolder) {
    ServedMac served({"--products", "2", "--release", "Catalina size=256K faults=unsafe-names"});
    const Items before = itemsOf(served.mac);
    const RunResult run = served.cache();
    EXPECT_TRUE(run.exited(0) || run.exited(3)) << run.standardOutput;
    if (run.exited(3)) {
        EXPECT_EQ(changedOutsideTheDownloadFolder(served.mac, before), Lines{});
    }
    const fs::path downloads = served.mac.host(kDownloadFolder);
    for (const auto& entry : fs::recursive_directory_iterator(served.mac.root())) {
        const std::string name = entry.path().filename().string();
        if (name == "passwd" || name == "abs" || name == "dir.pkg" || name == "sub") {
            EXPECT_EQ(entry.path().parent_path(), downloads) << entry.path();
        }
    }
    for (const auto& entry : fs::directory_iterator(downloads)) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    }
    EXPECT_FALSE(fs::exists(served.mac.host("/etc/passwd")));
}

TEST(HostileServer, ABrokenCatalogEndsTheRunWithOneLineAndAFailureStatus) {
    const std::vector<std::pair<std::string, std::string>> faults{
        {"missing", "Could not fetch the software update catalog "},
        {"error", "Could not fetch the software update catalog "},
        {"truncate", "Could not fetch the software update catalog "},
        {"not-plist", "The software update catalog "},
        {"not-dict", "The software update catalog "},
        {"no-products", "The software update catalog "},
        {"products-not-dict", "The software update catalog "},
        {"too-deep", "The software update catalog "}};
    // Each fault on a Mac and server of its own, all at once: most of the time goes into
    // starting programs.
    std::vector<std::future<void>> runs;
    for (const auto& [fault, start] : faults) {
        runs.push_back(std::async(std::launch::async, [fault = fault, start = start] {
            ServedMac served(
                {"--products", "3", "--release", "Catalina size=64K", "--catalog-fault", fault});
            const Items before = itemsOf(served.mac);
            const RunResult run = served.cache();
            EXPECT_TRUE(run.exited(3)) << fault << run.standardOutput;
            EXPECT_EQ(changedOutsideTheDownloadFolder(served.mac, before), Lines{}) << fault;
            ASSERT_EQ(run.outputLines().size(), 1u) << fault << run.standardOutput;
            EXPECT_TRUE(startsWith(run.outputLines()[0], start + served.server.url())) << fault;
            EXPECT_FALSE(fs::exists(served.mac.host(kDownloadFolder))) << fault;
        }));
    }
    for (auto& run : runs) {
        run.get();
    }
}

TEST(HostileServer, AServerWithAnotherCertificateIsNotTrusted) {
    MirrorFolder mirror({"--products", "2", "--release", "Catalina size=64K"});
    ServeProcess server(mirror.path());
    mirrortest::TempFolder folder("trust");
    cachingtest::TestIdentity stranger;
    cachingtest::writeFile(folder.path() / "other.pem", stranger.pem());
    TempMac mac(
        {"--catalog-server", server.url(), "--trust-cert", (folder.path() / "other.pem").string()});
    const RunResult run = mac.run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(3));
    ASSERT_EQ(run.outputLines().size(), 1u);
    EXPECT_TRUE(startsWith(run.outputLines()[0], "Could not fetch the software update catalog "));
}

TEST(HostileServer, ACatalogWithoutInstallersEndsQuietly) {
    ServedMac served({"--products", "4", "--release", "Catalina osinstall=com.example.mpkg.Other"});
    const RunResult run = served.cache();
    EXPECT_TRUE(run.exited(0));
    EXPECT_TRUE(run.outputLines().empty()) << run.standardOutput;
    EXPECT_TRUE(served.mac.logged("caching", "Debug", "No Product dictionary available."));
}

}  // namespace
}  // namespace vantrel
