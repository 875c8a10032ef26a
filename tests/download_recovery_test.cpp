// The program run against a server that cuts, stalls, ignores ranges, changes its files or
// sends wrong bytes: the run recovers what can be recovered, continues what an earlier run
// left, and never hands the installer a package that differs from the catalog.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "net/ContentDigest.h"
#include "net/ResumeStore.h"
#include "tests/background_fixture.h"
#include "tests/mirror_fixture.h"
#include "tests/network_fixture.h"
#include "tests/support/MacPaths.h"
#include "tests/support/Sha1.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

namespace fs = std::filesystem;
using backgroundtest::Background;
using backgroundtest::ServedMac;
using backgroundtest::TempFolder;
using backgroundtest::waitUntil;
using testsupport::RunResult;
using Lines = std::vector<std::string>;
using networktest::countStartingWith;
using networktest::readAccessLog;
using Request = networktest::LoggedRequest;
using namespace std::chrono_literals;

// The product the killed run downloads. The benchmark runs the same with 1 GiB (bench/);
// here it is small enough for a sanitizer build, and large enough that 1% of it is far more
// than the requests around the packages.
constexpr const char* kKilledProductSize = "64M";

// A Mac served by a mirror whose server keeps an access log.
struct LoggedServer {
    TempFolder logs{"access"};
    fs::path accessLog = logs.path() / "access.log";
    ServedMac served;

    LoggedServer(const std::vector<std::string>& mirrorOptions,
                 std::vector<std::string> serveOptions = {})
        : served(mirrorOptions, withLog(serveOptions, logs.path() / "access.log")) {}

    static std::vector<std::string> withLog(std::vector<std::string> options, const fs::path& log) {
        options.push_back("--access-log");
        options.push_back(log.string());
        return options;
    }
    std::string path(const std::string& url) const { return url.substr(url.find("/content/")); }
    // The largest package: the one the mirror's faults act on.
    std::string largest() const {
        const auto urls = served.mirror.manifest().releases.at(0).packageURLs;
        return *std::max_element(urls.begin(), urls.end(), [&](const auto& a, const auto& b) {
            return fs::file_size(served.mirror.file(a)) < fs::file_size(served.mirror.file(b));
        });
    }
    std::string lastPackage() const {
        return served.mirror.manifest().releases.at(0).packageURLs.back();
    }
    std::uint64_t size(const std::string& url) const {
        return fs::file_size(served.mirror.file(url));
    }
    std::string servedURL(const std::string& url) const { return served.server.url() + path(url); }
    std::vector<Request> requestsFor(const std::string& url, std::size_t from = 0) const {
        std::vector<Request> found;
        for (const auto& request : readAccessLog(accessLog, from)) {
            if (request.path == path(url)) {
                found.push_back(request);
            }
        }
        return found;
    }
    std::uint64_t packageBytes(std::size_t from) const {
        std::uint64_t total = 0;
        for (const auto& request : readAccessLog(accessLog, from)) {
            if (request.path.size() > 4 && request.path.substr(request.path.size() - 4) == ".pkg") {
                total += request.bytes;
            }
        }
        return total;
    }
    std::size_t logSize() const { return mirrortest::readText(accessLog).size(); }
    // Where the store keeps a URL's bytes.
    fs::path storedBytes(const std::string& url) const {
        return served.mac.host(std::string(kResumeStore) + "/" +
                               net::ResumeStore::keyOf(servedURL(url)) + ".data");
    }
};

Lines sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Every file of the filed-away installer with its digest.
std::map<std::string, std::string> installerFiles(const testsupport::TempMac& mac) {
    std::map<std::string, std::string> files;
    const fs::path root = mac.host(kFiledCatalina);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), root).string()] =
                testsupport::sha1Hex(mirrortest::readText(entry.path()));
        }
    }
    return files;
}

bool storeIsEmpty(const testsupport::TempMac& mac) {
    const fs::path store = mac.host(kResumeStore);
    return !fs::exists(store) || fs::is_empty(store);
}

TEST(Recovery, ACutWithinARunIsContinuedAndGivesTheSameInstallerAsAnUncutRun) {
    LoggedServer healthy({"--products", "2", "--release", "Catalina size=2M"});
    LoggedServer cut({"--products", "2", "--release", "Catalina size=2M faults=cut-once"});
    const RunResult uncut = healthy.served.cache();
    const RunResult recovered = cut.served.cache();
    ASSERT_TRUE(uncut.exited(0)) << uncut.standardOutput;
    ASSERT_TRUE(recovered.exited(0)) << recovered.standardOutput << recovered.standardError;
    // The same lines, only perhaps in another order of arrival.
    EXPECT_EQ(sorted(recovered.outputLines()), sorted(uncut.outputLines()));
    EXPECT_EQ(countStartingWith(recovered.outputLines(), "Download failed"), 0u);
    EXPECT_EQ(installerFiles(cut.served.mac), installerFiles(healthy.served.mac));

    // The second try asked for the rest of the file only.
    const std::string largest = cut.largest();
    // The server logs a request once it has sent the answer, which may be after the run ended.
    std::vector<Request> requests;
    EXPECT_TRUE(waitUntil(
        [&] {
            requests = cut.requestsFor(largest);
            return requests.size() >= 2;
        },
        30s));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].bytes, cut.size(largest) / 2);
    EXPECT_EQ(requests[1].status, 206);
    EXPECT_EQ(requests[1].bytes, cut.size(largest) - cut.size(largest) / 2);
    bool retryLogged = false;
    for (const auto& entry : cut.served.mac.log()) {
        retryLogged =
            retryLogged ||
            (entry.category == "networking" && entry.level == "Default" &&
             entry.message.rfind("Download retried: " + cut.servedURL(largest) + " from byte " +
                                     std::to_string(cut.size(largest) / 2) + ": ",
                                 0) == 0);
    }
    EXPECT_TRUE(retryLogged);
    // Once the installer is in place, nothing is kept for a later run.
    EXPECT_TRUE(storeIsEmpty(cut.served.mac));
    EXPECT_TRUE(storeIsEmpty(healthy.served.mac));
}

// Runs the program until the server has sent half of the largest package (where the server
// holds it), then kills it, as a lost network or a restart would end a run.
void killAtHalf(const LoggedServer& server) {
    Background run(server.served.mac, {"--action", "cache", "--osname", "Catalina"});
    const std::string largest = server.largest();
    const auto half = static_cast<std::uintmax_t>(server.size(largest) / 2);
    ASSERT_TRUE(waitUntil(
        [&] {
            std::error_code ec;
            return fs::file_size(server.storedBytes(largest), ec) == half && !ec;
        },
        120s))
        << run.output();
    run.signalProgram(SIGKILL);
    run.waitForExit(60s);
    EXPECT_EQ(run.endingSignal(), SIGKILL);
}

TEST(Recovery, ARunKilledHalfwayIsContinuedByTheNextFetchingOnlyWhatIsLeft) {
    LoggedServer server(
        {"--products", "2", "--release",
         std::string("Catalina shape=large faults=stall-once size=") + kKilledProductSize},
        {"--stall-seconds", "600"});
    killAtHalf(server);
    const std::uint64_t total = server.served.mirror.manifest().releases.at(0).totalBytes;
    const std::uint64_t left = server.size(server.largest()) - server.size(server.largest()) / 2;

    const std::size_t mark = server.logSize();
    const RunResult again = server.served.cache();
    ASSERT_TRUE(again.exited(0)) << again.standardOutput << again.standardError;
    EXPECT_EQ(countStartingWith(again.outputLines(), "Download failed"), 0u);
    const std::uint64_t fetched = server.packageBytes(mark);
    EXPECT_GE(fetched, left);
    EXPECT_LE(fetched, left + total / 100) << "of " << total;
    EXPECT_TRUE(fs::exists(server.served.mac.host(std::string(kFiledCatalina) + "/Contents")));
    EXPECT_TRUE(storeIsEmpty(server.served.mac));
}

TEST(Recovery, AFileChangedOnTheServerSinceTheKilledRunIsFetchedWhole) {
    LoggedServer server({"--products", "2", "--release",
                         "Catalina shape=large size=8M faults=stall-once+validator-changes"},
                        {"--stall-seconds", "600"});
    killAtHalf(server);
    const std::size_t mark = server.logSize();
    const RunResult again = server.served.cache();
    ASSERT_TRUE(again.exited(0)) << again.standardOutput << again.standardError;
    const auto requests = server.requestsFor(server.largest(), mark);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[0].bytes, server.size(server.largest()));
}

TEST(Recovery, APackageThatArrivesDamagedIsCaughtAndFetchedAgain) {
    LoggedServer server({"--products", "2", "--release", "Catalina size=2M faults=corrupt-once"});
    const RunResult run = server.served.cache();
    ASSERT_TRUE(run.exited(0)) << run.standardOutput << run.standardError;
    EXPECT_EQ(countStartingWith(run.outputLines(), "Download failed"), 0u);
    const std::string largest = server.largest();
    const auto requests = server.requestsFor(largest);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].bytes, server.size(largest));
    EXPECT_TRUE(
        server.served.mac.logged("networking", "Default",
                                 "Download retried: " + server.servedURL(largest) +
                                     " from byte 0: the file differs from the catalog (digest)"));
    EXPECT_TRUE(fs::exists(server.served.mac.host(std::string(kFiledCatalina) + "/Contents")));
}

TEST(Recovery, APackageThatDiffersTwiceFromTheCatalogEndsTheRun) {
    for (const auto& [fault, what] : std::vector<std::pair<std::string, std::string>>{
             {"package-corrupt", "digest"}, {"size-differs", "size"}}) {
        LoggedServer server({"--products", "2", "--release", "Catalina size=256K faults=" + fault});
        const RunResult run = server.served.cache();
        EXPECT_TRUE(run.exited(3)) << fault << run.standardOutput;
        const std::string package = server.lastPackage();
        const Lines lines = run.outputLines();
        EXPECT_EQ(countStartingWith(lines, "Download failed: "), 1u) << fault << run.standardOutput;
        EXPECT_EQ(
            countStartingWith(lines, "Download failed: " + server.servedURL(package) +
                                         ": the file differs from the catalog (" + what + ")"),
            1u)
            << fault << run.standardOutput;
        EXPECT_EQ(server.requestsFor(package).size(), 2u) << fault;
        // Never handed on, nor kept for a later run.
        const std::string name = fs::path(server.path(package)).filename().string();
        EXPECT_FALSE(fs::exists(
            server.served.mac.host("/private/var/folders/0/T/com.corvane.vantrel/" + name)))
            << fault;
        EXPECT_FALSE(fs::exists(server.storedBytes(package))) << fault;
        EXPECT_FALSE(fs::exists(server.served.mac.host(kFiledCatalina))) << fault;
    }
}

}  // namespace
}  // namespace vantrel
