#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <set>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "caching/DownloadProgress.h"
#include "caching/SessionRequestManager.h"
#include "platform/Machine.h"
#include "tests/caching_tls.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/MacPaths.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using cachingtest::BareMac;
using cachingtest::StdoutCapture;
using cachingtest::TlsServer;
namespace fs = std::filesystem;

const std::string kFolder = testsupport::macpaths::kDownloadFolder;

std::set<std::string> entries(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class Downloads : public ::testing::Test {
  protected:
    BareMac mac;
    TlsServer server;
    std::mutex lock;
    std::vector<double> progress;
    std::vector<std::thread::id> progressThreads;
    std::atomic<int> downloadsDone{0};
    std::atomic<std::size_t> pendingWhenDone{99};
    std::condition_variable progressChanged;
    // A transfer of kPausedSize bytes sends its first half, then waits for this.
    static constexpr std::size_t kPausedSize = 2 << 20;
    std::mutex pauseLock;
    std::condition_variable pauseChanged;
    bool resumePaused = false;
    std::atomic<int> holding{0};  // answers of /hold/ begun and held back
    std::optional<SessionRequestManager> manager;
    SessionRequestDelegate* sessionDelegate = nullptr;  // cleared when the manager goes

    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "the simulated Mac's temporary folder is root's";
        server.server().Get(
            "/files/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
                const std::string name = req.matches[1];
                const std::size_t size = name == "A.pkg"   ? 1024 * 1024
                                         : name == "B.pkg" ? 2 << 20
                                                           : 300;
                res.set_content(std::string(size, name[0]), "application/octet-stream");
            });
        server.server().Get("/named", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Disposition", "attachment; filename=\"../../evil.pkg\"");
            res.set_content("evil", "application/octet-stream");
        });
        server.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("index", "text/plain");
        });
        server.server().Get("/hold/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream",
                                             [this](std::size_t offset, httplib::DataSink& sink) {
                                                 if (offset == 0) {
                                                     sink.write("x", 1);
                                                     ++holding;
                                                     return true;
                                                 }
                                                 server.holdUntilStopped();
                                                 return false;
                                             });
        });
        server.server().Get("/pause/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(
                kPausedSize, "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset >= kPausedSize / 2) {
                        std::unique_lock<std::mutex> guard(pauseLock);
                        pauseChanged.wait(guard, [this] { return resumePaused; });
                    }
                    const std::string half(kPausedSize / 2, 'p');
                    return sink.write(half.data(), half.size());
                });
        });
        server.start();
        server.writeCertificate(testsupport::inProcessServices().machine.trustedCertificates());

        auto& center = NotificationCenter::defaultCenter();
        center.addObserver(notificationnames::taskProgress(), [this](const Notification& note) {
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_TRUE(note.userInfo);
            ASSERT_EQ(note.userInfo->count("Download"), 1u);
            ASSERT_TRUE(note.userInfo->at("Download"));
            progress.push_back(*note.userInfo->at("Download"));
            progressThreads.push_back(std::this_thread::get_id());
            progressChanged.notify_all();
        });
        center.addObserver(notificationnames::downloadsDone(), [this](const Notification&) {
            pendingWhenDone = sessionDelegate ? sessionDelegate->pendingTaskCount() : 0;
            ++downloadsDone;
        });
        net::DownloadSession::Configuration configuration = testsupport::downloadConfiguration();
        configuration.retries.pauses.assign(3, std::chrono::milliseconds(1));
        manager.emplace(testsupport::inProcessServices(), configuration);
        sessionDelegate = &manager->delegate();
    }
    void resumePausedTransfers() {
        std::lock_guard<std::mutex> guard(pauseLock);
        resumePaused = true;
        pauseChanged.notify_all();
    }
    // Ends the download thread, so every callback it made has returned.
    void endSession() {
        manager.reset();
        sessionDelegate = nullptr;
    }
    void TearDown() override {
        resumePausedTransfers();
        endSession();  // stops the download thread before the server goes
    }
    // Once the download thread has stopped, whatever it posted has reached the main queue.
    void finishDownloads() {
        endSession();
        testsupport::mainQueue().runQueuedWork();
    }
};

TEST(DownloadFolder, IsEmptiedAndMadePrivate) {
    BareMac mac;
    cachingtest::writeFile(mac.host(kFolder + "/stale.dist"), "old");
    ASSERT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
    EXPECT_EQ(SharedData::shared().tmpDir, kFolder);
    EXPECT_TRUE(fs::is_empty(mac.host(kFolder)));
    struct stat info {};
    ASSERT_EQ(::stat(mac.host(kFolder).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_NE(mac.log().find("[networking] <Debug> Downloading To: "
                             "file:///private/var/folders/0/T/com.corvane.vantrel/"),
              std::string::npos);
}

TEST_F(Downloads, EveryFileLandsUnderItsSafeNameAndTheEndIsAnnouncedOnce) {
    ASSERT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
    const std::vector<std::string> urls{server.url("/files/Basic.dist"),
                                        server.url("/files/A.pkg"),
                                        server.url("/files/B.pkg"),
                                        server.url("/named"),
                                        server.url("/"),
                                        server.url("/files/A.pkg"),
                                        "https://localhost:1/refused.pkg"};
    std::vector<std::string> lines;
    {
        StdoutCapture capture;
        manager->downloadPackages(urls);
        cachingtest::pumpMainQueueUntil([&] { return downloadsDone > 0; });
        finishDownloads();
        lines = capture.lines();
    }
    EXPECT_EQ(downloadsDone, 1);
    EXPECT_EQ(pendingWhenDone, 0u);
    EXPECT_EQ(entries(mac.host(kFolder)),
              (std::set<std::string>{"Basic.dist", "A.pkg", "B.pkg", "evil.pkg", "untitled"}));
    EXPECT_EQ(cachingtest::readFile(mac.host(kFolder + "/B.pkg")), std::string(2 << 20, 'B'));
    // Beside the download folder, only the resume store.
    EXPECT_EQ(entries(mac.host("/private/var/folders/0/T")),
              (std::set<std::string>{"com.corvane.vantrel", "com.corvane.vantrel.resume"}));

    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Downloads finished");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Downloads finished"), 1);
    for (const char* name : {"Basic.dist", "B.pkg", "evil.pkg", "untitled"}) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Downloading: ") + name), 1)
            << name;
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Downloading: A.pkg"), 2);
    // The one transfer that failed is named, once, with its reason.
    const std::string refused = "Download failed: https://localhost:1/refused.pkg: ";
    const auto failures = [&](const std::string& start) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind(start, 0) == 0 && line.size() > start.size();
        });
    };
    EXPECT_EQ(failures("Download failed: "), 1);
    EXPECT_EQ(failures(refused), 1);
    EXPECT_NE(mac.log().find("[networking] <Error> " + refused), std::string::npos);

    std::lock_guard<std::mutex> guard(lock);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100.0);
    EXPECT_TRUE(std::none_of(progressThreads.begin(), progressThreads.end(),
                             [](auto id) { return id == std::this_thread::get_id(); }));
    EXPECT_NE(mac.log().find("[networking] <Debug> Download: 100.000000"), std::string::npos);
    EXPECT_NE(mac.log().find("[networking] <Debug> Downloading: evil.pkg"), std::string::npos);
}

TEST_F(Downloads, TheWholeBatchIsPendingBeforeAnyOfItsCompletionsCounts) {
    ASSERT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
    // The download thread and the starting thread share one processor, and the starting
    // thread runs only when nothing else wants to: each start lets the download thread run
    // at once, as a starting thread descheduled mid-batch would.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    manager->downloadPackages({server.url("/files/Basic.dist")});  // starts the thread
    ASSERT_TRUE(cachingtest::pumpMainQueueUntil([&] { return downloadsDone == 1; }));

    // Every task fails as soon as the download thread starts it: its folder is missing.
    SharedData::shared().tmpDir = "/no/such/folder";
    const std::vector<std::string> urls(20, server.url("/files/A.pkg"));
    std::vector<std::string> lines;
    {
        StdoutCapture capture;
        const sched_param none{};
        ASSERT_EQ(::sched_setscheduler(0, SCHED_IDLE, &none), 0);
        manager->downloadPackages(urls);
        ASSERT_EQ(::sched_setscheduler(0, SCHED_OTHER, &none), 0);
        ASSERT_TRUE(cachingtest::pumpMainQueueUntil(
            [&] { return sessionDelegate->pendingTaskCount() == 0 && downloadsDone > 1; }));
        endSession();
        testsupport::mainQueue().runQueuedWork();
        lines = capture.lines();
    }
    EXPECT_EQ(downloadsDone, 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Downloads finished"), 1);
    EXPECT_EQ(lines.size(), urls.size() + 1);  // a failure line per task, then the end
}

TEST_F(Downloads, TheFigureCountsWhatArrivedWhileATransferPauses) {
    ASSERT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
    const double small = 300;  // /files/Basic.dist
    const double paused = static_cast<double>(kPausedSize);
    const auto whileHalfArrived = reportedPercentage((small + paused / 2) / (small + paused) * 100);
    ASSERT_TRUE(whileHalfArrived);
    {
        StdoutCapture capture;
        manager->downloadPackages({server.url("/files/Basic.dist"), server.url("/pause/Big.pkg")});
        {
            std::unique_lock<std::mutex> guard(lock);
            EXPECT_TRUE(progressChanged.wait_for(guard, 60s, [&] {
                return std::find(progress.begin(), progress.end(), *whileHalfArrived) !=
                       progress.end();
            })) << "the paused transfer's first half is missing from the figure";
        }
        resumePausedTransfers();
        ASSERT_TRUE(cachingtest::pumpMainQueueUntil([&] { return downloadsDone > 0; }));
    }
    EXPECT_EQ(cachingtest::readFile(mac.host(kFolder + "/Big.pkg")), std::string(kPausedSize, 'p'));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(progress.back(), 100.0);
}

TEST_F(Downloads, CancellingEveryTaskEndsTheBatch) {
    ASSERT_TRUE(prepareDownloadDirectory(testsupport::inProcessServices()));
    std::vector<std::string> lines;
    {
        StdoutCapture capture;
        manager->downloadPackages(
            {server.url("/hold/1.pkg"), server.url("/hold/2.pkg"), server.url("/hold/3.dist")});
        EXPECT_EQ(manager->delegate().pendingTaskCount(), 3u);
        ASSERT_TRUE(cachingtest::pumpMainQueueUntil([&] { return holding == 3; }));
        manager->delegate().cancelAllTasks();
        cachingtest::pumpMainQueueUntil([&] { return downloadsDone > 0; }, 10s);
        lines = capture.lines();
    }
    EXPECT_EQ(downloadsDone, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"Downloads finished"});
    EXPECT_TRUE(fs::is_empty(mac.host(kFolder)));
    manager->delegate().cancelAllTasks();  // nothing left to cancel
}

}  // namespace
}  // namespace vantrel
