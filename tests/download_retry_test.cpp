// The download phase against the stand-in update server, with the pauses between tries made
// short: which failures are tried again and how often, a figure that never goes backwards,
// and the resume store's rules (root's own folder, only this product's files, 30 days).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/SessionRequestManager.h"
#include "net/ContentDigest.h"
#include "tests/caching_fixture.h"
#include "tests/mirror_fixture.h"
#include "tests/network_fixture.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/MacPaths.h"
#include "tests/support/Sha1.h"
#include "tests/support/ShiftedClock.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using cachingtest::BareMac;
using cachingtest::StdoutCapture;
using Lines = std::vector<std::string>;
using networktest::countStartingWith;

const std::string kFolder = testsupport::macpaths::kDownloadFolder;
const std::string kStore = kFolder + ".resume";

// A mirror served with an access log, and a simulated Mac in this process that trusts it.
class RetryDownloads : public ::testing::Test {
  protected:
    BareMac mac;
    std::optional<mirrortest::MirrorFolder> mirror;
    std::optional<mirrortest::ServeProcess> server;
    mirrortest::TempFolder logs{"access"};
    std::mutex lock;
    std::vector<double> progress;
    std::atomic<int> downloadsDone{0};

    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "the simulated Mac's temporary folder is root's";
        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(notificationnames::taskProgress(), [this](const Notification& note) {
            std::lock_guard<std::mutex> guard(lock);
            progress.push_back(note.userInfo->at("Download").value_or(-1));
        });
        center.addObserver(notificationnames::downloadsDone(),
                           [this](const Notification&) { ++downloadsDone; });
    }

    void serve(const std::string& release) {
        server.reset();
        mirror.emplace(std::vector<std::string>{"--products", "2", "--release", release});
        accessLog = logs.path() / ("log" + std::to_string(++servers));
        server.emplace(mirror->path(),
                       std::vector<std::string>{"--access-log", accessLog.string()});
    }
    int servers = 0;
    fs::path accessLog;  // of the server that serves now

    net::DownloadSession::Configuration configuration() const {
        net::DownloadSession::Configuration configuration =
            testsupport::downloadConfiguration({}, 250ms, server->certificate());
        configuration.retries.pauses.assign(3, 1ms);
        return configuration;
    }

    std::string url(const std::string& mirrorURL) const {
        return server->url() + mirrorURL.substr(mirrorURL.find("/content/"));
    }
    std::vector<std::string> packages() const {
        std::vector<std::string> urls;
        const sim::MirrorManifest manifest = mirror->manifest();
        for (const auto& package : manifest.releases.at(0).packageURLs) {
            urls.push_back(url(package));
        }
        return urls;
    }
    std::string largest() const {
        const auto urls = packages();
        return *std::max_element(urls.begin(), urls.end(), [&](const auto& a, const auto& b) {
            return fs::file_size(mirror->file(a)) < fs::file_size(mirror->file(b));
        });
    }
    // What the catalog says of each package: its size and SHA-1.
    std::map<std::string, net::ExpectedFile> expected() const {
        std::map<std::string, net::ExpectedFile> files;
        for (const auto& package : packages()) {
            const std::string bytes = mirrortest::readText(mirror->file(package));
            files[package] = {static_cast<std::int64_t>(bytes.size()), testsupport::sha1Hex(bytes)};
        }
        return files;
    }

    // Runs one batch to its end with `manager`; the lines it printed.
    Lines download(SessionRequestManager& manager, const std::vector<std::string>& urls) {
        EXPECT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
        StdoutCapture capture;
        const int before = downloadsDone;
        manager.downloadPackages(urls, expected());
        EXPECT_TRUE(cachingtest::pumpMainQueueUntil([&] { return downloadsDone > before; }, 60s));
        return capture.lines();
    }

    // The requests the server logged for `url`: status and body bytes sent.
    std::vector<std::pair<int, std::uint64_t>> requestsFor(const std::string& url) const {
        std::vector<std::pair<int, std::uint64_t>> found;
        for (const auto& request : networktest::readAccessLog(accessLog)) {
            if (request.path == url.substr(url.find("/content/"))) {
                found.emplace_back(request.status, request.bytes);
            }
        }
        return found;
    }
    std::size_t retriesLogged(const std::string& url, const std::string& reason) const {
        const std::string log = mac.log();
        const std::string line =
            "[networking] <Default> Download retried: " + url + " from byte 0: " + reason + "\n";
        std::size_t count = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
            ++count;
        }
        return count;
    }
};

TEST_F(RetryDownloads, FailuresThatMayPassAreTriedThreeTimesMoreAndOthersNever) {
    // Busy twice, then served: every package arrives, each after two retries.
    serve("Catalina size=256K packages=3 faults=busy");
    {
        SessionRequestManager manager(testsupport::inProcessServices(), configuration());
        const Lines lines = download(manager, packages());
        EXPECT_EQ(countStartingWith(lines, "Download failed"), 0u);
        for (const auto& package : packages()) {
            const auto requests = requestsFor(package);
            ASSERT_EQ(requests.size(), 3u) << package;
            EXPECT_EQ(requests[0].first, 503);
            EXPECT_EQ(requests[2].first, 200);
            EXPECT_EQ(retriesLogged(package, "the server answered with HTTP status 503"), 2u);
            const std::string name = fs::path(package).filename().string();
            EXPECT_EQ(mirrortest::readText(mac.host(kFolder + "/" + name)),
                      mirrortest::readText(mirror->file(package)));
        }
    }
    // A 500 that lasts: the first try and three more, then one line. A 404 will not pass by
    // waiting: asked once.
    for (const auto& [fault, status, tries] :
         {std::tuple{"package-error", 500, 4u}, std::tuple{"package-missing", 404, 1u}}) {
        serve(std::string("Catalina size=256K packages=3 faults=") + fault);
        SessionRequestManager manager(testsupport::inProcessServices(), configuration());
        const std::string last = packages().back();
        const std::string reason = "the server answered with HTTP status " + std::to_string(status);
        const Lines lines = download(manager, packages());
        EXPECT_EQ(requestsFor(last).size(), tries) << fault;
        EXPECT_EQ(retriesLogged(last, reason), tries - 1) << fault;
        EXPECT_EQ(countStartingWith(lines, "Download failed: "), 1u) << fault;
        EXPECT_EQ(countStartingWith(lines, "Download failed: " + last + ": " + reason), 1u)
            << fault;
    }
}

TEST_F(RetryDownloads, AFileThatStartsOverArrivesWholeAndTheFigureNeverGoesBack) {
    // Cut at half, and the server answers the range for the rest with the whole file.
    serve("Catalina size=4M shape=large faults=cut-once+ignore-ranges");
    auto everyStep = configuration();
    everyStep.progressInterval = 0ms;  // a report for each piece that arrives
    SessionRequestManager manager(testsupport::inProcessServices(), everyStep);
    const Lines lines = download(manager, {largest()});
    EXPECT_EQ(countStartingWith(lines, "Download failed"), 0u);
    const auto requests = requestsFor(largest());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(
        requests[1],
        std::make_pair(200, static_cast<std::uint64_t>(fs::file_size(mirror->file(largest())))));
    EXPECT_EQ(
        mirrortest::readText(mac.host(kFolder + "/" + fs::path(largest()).filename().string())),
        mirrortest::readText(mirror->file(largest())));
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 100.0);
}

TEST_F(RetryDownloads, TheResumeStoreKeepsOnlyThisProductsRecentFilesInAFolderOfRootsOwn) {
    serve("Catalina size=1M packages=3");
    const std::string first = packages()[0];
    const std::string second = packages()[1];
    const fs::path store = mac.host(kStore);
    {
        SessionRequestManager manager(testsupport::inProcessServices(), configuration());
        download(manager, {first, second});
    }
    struct stat info {};
    ASSERT_EQ(::lstat(store.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, 0u);
    mirrortest::TempFolder elsewhere("elsewhere");
    std::ofstream(store / "stray.data") << "not ours";
    fs::create_symlink(elsewhere.path(), store / "link");

    // A later batch continues what is there: only the last byte of a whole file is asked for,
    // to learn that the server's file is still the same. The stray file and the link go.
    {
        SessionRequestManager manager(testsupport::inProcessServices(), configuration());
        download(manager, {first});
    }
    ASSERT_EQ(requestsFor(first).size(), 2u);
    EXPECT_EQ(requestsFor(first)[1], std::make_pair(206, std::uint64_t{1}));
    EXPECT_EQ(mirrortest::readText(mac.host(kFolder + "/" + fs::path(first).filename().string())),
              mirrortest::readText(mirror->file(first)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store / "link")));
    EXPECT_FALSE(fs::exists(store / "stray.data"));
    // Only the batch's files stay: the second package's went with the batch that left it out.
    EXPECT_EQ(std::distance(fs::directory_iterator(store), fs::directory_iterator()), 2);

    // Within thirty days what is there is still continued; thirty days on it is dropped and
    // fetched whole.
    testsupport::ShiftedClock laterClock(std::chrono::hours(24 * 29));
    auto later = configuration();
    later.clock = &laterClock;
    {
        SessionRequestManager manager(testsupport::inProcessServices(), later);
        download(manager, {first});
    }
    ASSERT_EQ(requestsFor(first).size(), 3u);
    EXPECT_EQ(requestsFor(first)[2], std::make_pair(206, std::uint64_t{1}));
    laterClock.setOffset(std::chrono::hours(24 * 31));
    {
        SessionRequestManager manager(testsupport::inProcessServices(), later);
        download(manager, {first});
    }
    ASSERT_EQ(requestsFor(first).size(), 4u);
    EXPECT_EQ(requestsFor(first)[3].first, 200);

    // Emptied once the files are in place.
    SessionRequestManager(testsupport::inProcessServices(), configuration()).clearResumeStore();
    EXPECT_TRUE(fs::is_empty(store));
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST_F(RetryDownloads, AResumeStoreThatIsALinkIsNotFollowed) {
    serve("Catalina size=256K packages=2");
    mirrortest::TempFolder elsewhere("elsewhere");
    fs::create_directories(mac.host(kStore).parent_path());
    fs::create_symlink(elsewhere.path(), mac.host(kStore));
    SessionRequestManager manager(testsupport::inProcessServices(), configuration());
    const Lines lines = download(manager, packages());
    // The downloads work; only a later run could not continue them.
    EXPECT_EQ(countStartingWith(lines, "Download failed"), 0u);
    for (const auto& package : packages()) {
        EXPECT_TRUE(fs::exists(mac.host(kFolder + "/" + fs::path(package).filename().string())));
    }
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    EXPECT_TRUE(fs::is_symlink(mac.host(kStore)));
    EXPECT_NE(mac.log().find("[networking] <Error> The resume store cannot be used: "),
              std::string::npos);
}

}  // namespace
}  // namespace vantrel
