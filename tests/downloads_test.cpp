#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "caching/DownloadProgress.h"
#include "net/DownloadSession.h"
#include "net/Http.h"
#include "tests/caching_tls.h"
#include "tests/support/InProcessMac.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using cachingtest::BareMac;
using cachingtest::TlsServer;
namespace fs = std::filesystem;

char patternByte(std::size_t offset) {
    return static_cast<char>((offset * 31 + 7) & 0xFF);
}

std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = patternByte(i);
    }
    return out;
}

// Streams `size` pattern bytes; `cutAt` ends the connection there, `stallAt` stops sending
// there until the server stops, so only the client's own stall limit ends such a transfer.
void servePattern(httplib::Response& res, std::size_t size, TlsServer* server,
                  std::size_t cutAt = SIZE_MAX, std::size_t stallAt = SIZE_MAX) {
    res.set_content_provider(
        size, "application/octet-stream",
        [=](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset >= stallAt) {
                server->holdUntilStopped();
                return false;
            }
            if (offset >= cutAt) {
                return false;
            }
            const std::size_t n = std::min<std::size_t>({length, 64 * 1024, cutAt - offset});
            std::string chunk(n, '\0');
            for (std::size_t i = 0; i < n; ++i) {
                chunk[i] = patternByte(offset + i);
            }
            sink.write(chunk.data(), n);
            return true;
        });
}

TEST(DownloadPercentage, CombinesEveryTaskThatReported) {
    EXPECT_DOUBLE_EQ(combinedPercentage({{1, {50, 100}}, {2, {25, 300}}}), 18.75);
    EXPECT_EQ(reportedPercentage(18.75), 18.75);
    // An unknown size counts as -1, as it comes.
    EXPECT_DOUBLE_EQ(combinedPercentage({{1, {50, -1}}, {2, {50, 101}}}), 100.0);
    EXPECT_EQ(formattedPercentage(combinedPercentage({{1, {50, -1}}})), "-5000.00");
}

TEST(DownloadPercentage, FormatsWithTwoIntegerAndTwoFractionDigitsRoundingHalfToEven) {
    EXPECT_EQ(formattedPercentage(5.256), "05.26");
    EXPECT_EQ(formattedPercentage(100), "100.00");
    EXPECT_EQ(formattedPercentage(0), "00.00");
    EXPECT_EQ(formattedPercentage(0.125), "00.12");
    EXPECT_EQ(formattedPercentage(0.375), "00.38");
    EXPECT_EQ(formattedPercentage(-5), "-05.00");
    EXPECT_EQ(reportedPercentage(5.256), 5.26);
    EXPECT_EQ(reportedPercentage(99.999), 100.0);
    // No size known at all: nothing to show rather than a made-up number.
    EXPECT_FALSE(formattedPercentage(combinedPercentage({{1, {0, 0}}})));
    EXPECT_FALSE(reportedPercentage(combinedPercentage({{1, {5, 0}}})));
}

TEST(ServerFileNames, AreOneSafeNameInsideTheFolder) {
    const BareMac mac;  // URLs are read by the network plug-in of the Mac's bundle
    const std::string url = "https://su.test/content/041-1/InstallAssistantAuto.pkg";
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "", url),
              "InstallAssistantAuto.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"Basic.dist\"", url),
              "Basic.dist");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=plain.pkg", url),
              "plain.pkg");
    EXPECT_EQ(net::suggestedFilename(
                  testsupport::inProcessNetwork(),
                  "attachment; filename=\"x.pkg\"; filename*=UTF-8''caf%C3%A9.pkg", url),
              "caf\xC3\xA9.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"a;b \\\"q\\\".pkg\"", url),
              "a;b \"q\".pkg");
    // Paths are cut to their last component; ".", ".." and nothing fall back to the URL.
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"../../etc/passwd\"", url),
              "passwd");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"/abs/x.pkg\"", url),
              "x.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"..\\\\..\\\\w.pkg\"", url),
              "w.pkg");
    EXPECT_EQ(
        net::suggestedFilename(testsupport::inProcessNetwork(), "attachment; filename=\"..\"", url),
        "InstallAssistantAuto.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(),
                                     "attachment; filename=\"dir/\"", url),
              "InstallAssistantAuto.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "inline", url),
              "InstallAssistantAuto.pkg");
    // The URL's last component, percent-decoded, then made safe the same way.
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "",
                                     "https://su.test/a%20b.pkg?x=1"),
              "a b.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "",
                                     "https://su.test/x/..%2F..%2Fescape.pkg"),
              "escape.pkg");
    EXPECT_EQ(
        net::suggestedFilename(testsupport::inProcessNetwork(), "", "https://su.test/x/%2E%2E"),
        "");
    EXPECT_EQ(
        net::suggestedFilename(testsupport::inProcessNetwork(), "", "https://su.test/a%00b%0A.pkg"),
        "ab.pkg");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "", "https://su.test/dir/"),
              "dir");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "", "https://su.test/"), "");
    EXPECT_EQ(net::suggestedFilename(testsupport::inProcessNetwork(), "", "not a url"), "");
}

TEST(ServerURLs, OnlyAbsoluteURLsWithAHostAreValid) {
    const BareMac mac;  // URLs are read by the network plug-in of the Mac's bundle
    EXPECT_TRUE(net::isValidURL(testsupport::inProcessNetwork(), "https://su.test/a.pkg"));
    EXPECT_TRUE(
        net::isValidURL(testsupport::inProcessNetwork(), "https://localhost:8443/x/y.dist?q=1"));
    EXPECT_TRUE(net::isValidURL(testsupport::inProcessNetwork(), "http://su.test/a.pkg"));
    for (const char* bad : {"", "relative/a.pkg", "/absolute/path", "https://",
                            "https://su.test/with space", "https://su.test/\n"}) {
        EXPECT_FALSE(net::isValidURL(testsupport::inProcessNetwork(), bad)) << bad;
    }
    EXPECT_FALSE(
        net::isValidURL(testsupport::inProcessNetwork(), std::string_view("https://a\0b/", 12)));
}

class Network : public ::testing::Test {
  protected:
    BareMac mac;
    TlsServer server;

    void SetUp() override {}
    void start() {
        server.start();
        server.writeCertificate(testsupport::inProcessServices().machine.trustedCertificates());
    }
};

TEST_F(Network, BlockingFetchesReuseOneVerifiedConnection) {
    std::vector<int> ports;
    std::mutex lock;
    server.server().Get("/doc/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> guard(lock);
            ports.push_back(req.remote_port);
        }
        res.set_content("<doc>" + std::string(req.matches[1]) + "</doc>", "text/xml");
    });
    server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("<html>not here</html>", "text/html");
    });
    server.server().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        servePattern(res, 300 * 1024, &server);
    });
    start();

    net::HttpClient client = testsupport::documentClient();
    platform::Error error;
    EXPECT_EQ(client.fetch(server.url("/doc/a"), &error), "<doc>a</doc>");
    EXPECT_EQ(client.fetch(server.url("/doc/b"), &error), "<doc>b</doc>");
    EXPECT_EQ(client.fetch(server.url("/doc/c"), &error), "<doc>c</doc>");
    // The server's threads wrote them; the answer over the socket is an ordering the thread
    // sanitizer cannot see, so read them under the same lock.
    const std::vector<int> seen = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return ports;
    }();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[1], seen[2]);

    EXPECT_FALSE(client.fetch(server.url("/missing"), &error));
    EXPECT_EQ(error.description, "the server answered with HTTP status 404");

    EXPECT_FALSE(client.fetch(server.url("/big"), &error, 100 * 1024));
    EXPECT_NE(error.description.find("larger than"), std::string::npos);
    EXPECT_EQ(client.fetch(server.url("/big"), &error, 1024 * 1024), pattern(300 * 1024));

    EXPECT_FALSE(
        client.fetch("http://localhost:" + std::to_string(server.port()) + "/doc/a", &error));
    EXPECT_FALSE(client.fetch("file:///etc/hostname", &error));
}

TEST_F(Network, AFetchThatStallsEnds) {
    server.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        servePattern(res, 1024 * 1024, &server, SIZE_MAX, 0);  // the headers, then silence
    });
    start();
    net::HttpClient client = testsupport::documentClient({.stallWindow = 1s});
    platform::Error error;
    EXPECT_FALSE(client.fetch(server.url("/stall"), &error));
    EXPECT_FALSE(error.description.empty());
    EXPECT_FALSE(server.heldToLimit());  // the client gave up, not the server
}

// Records every callback of a session; each must arrive on the one session thread.
class Recorder : public net::DownloadSessionDelegate {
  public:
    struct Task {
        std::vector<std::int64_t> written;
        std::vector<std::int64_t> expected;
        std::optional<std::string> file;
        std::optional<net::DownloadTask::Response> response;
        bool completed = false;
        int completions = 0;
        std::optional<std::string> error;
    };

    void didFinishDownloadingToURL(net::DownloadTask& task, const std::string& location) override {
        noteThread();
        std::lock_guard<std::mutex> guard(lock);
        tasks[task.taskIdentifier()].file =
            cachingtest::readFile(testsupport::inProcessServices().root.host(location));
        tasks[task.taskIdentifier()].response = task.response();
        locations.push_back(location);
    }
    void didWriteData(net::DownloadTask& task, std::int64_t, std::int64_t written,
                      std::int64_t expected) override {
        noteThread();
        std::lock_guard<std::mutex> guard(lock);
        tasks[task.taskIdentifier()].written.push_back(written);
        tasks[task.taskIdentifier()].expected.push_back(expected);
        changed.notify_all();
    }
    void didCompleteWithError(net::DownloadTask& task,
                              const std::optional<platform::Error>& error) override {
        noteThread();
        std::lock_guard<std::mutex> guard(lock);
        auto& record = tasks[task.taskIdentifier()];
        record.completed = true;
        ++record.completions;
        if (error) {
            record.error = error->description;
        }
        ++completions;
        changed.notify_all();
    }

    bool waitForCompletions(int count, std::chrono::seconds timeout = 30s) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, timeout, [&] { return completions >= count; });
    }
    bool waitForBytes(std::uint64_t id, std::chrono::seconds timeout = 30s) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, timeout, [&] { return !tasks[id].written.empty(); });
    }
    Task task(std::uint64_t id) {
        std::lock_guard<std::mutex> guard(lock);
        return tasks[id];
    }

    std::mutex lock;
    std::condition_variable changed;
    std::map<std::uint64_t, Task> tasks;
    std::vector<std::string> locations;
    int completions = 0;
    std::optional<std::thread::id> thread;
    bool oneThread = true;

  private:
    void noteThread() {
        std::lock_guard<std::mutex> guard(lock);
        if (!thread) {
            thread = std::this_thread::get_id();
        }
        oneThread = oneThread && *thread == std::this_thread::get_id() &&
                    std::this_thread::get_id() != mainThread;
    }
    std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(Network, DownloadsRunAtOnceAndStreamIntoTheStagingFolder) {
    constexpr int kFiles = 4;
    std::mutex lock;
    std::condition_variable arrived;
    int active = 0;
    int mostAtOnce = 0;
    server.server().Get("/pkg/(\\d+)", [&](const httplib::Request& req, httplib::Response& res) {
        {
            // Holds each answer until every request has arrived (or a while has passed).
            std::unique_lock<std::mutex> guard(lock);
            ++active;
            mostAtOnce = std::max(mostAtOnce, active);
            arrived.notify_all();
            arrived.wait_for(guard, 5s, [&] { return active >= kFiles; });
        }
        servePattern(res, std::stoul(req.matches[1]), &server);
    });
    start();

    Recorder recorder;
    std::vector<std::size_t> sizes{3 * 1024 * 1024 + 17, 1024 * 1024, 5, 2 * 1024 * 1024};
    {
        net::DownloadSession session(testsupport::downloadConfiguration({}, std::chrono::hours(1)),
                                     &recorder);
        std::vector<std::shared_ptr<net::DownloadTask>> tasks;
        for (std::size_t size : sizes) {
            tasks.push_back(
                session.downloadTask(server.url("/pkg/" + std::to_string(size)), "/private/tmp"));
        }
        fs::create_directories(mac.host("/private/tmp"));
        for (auto& task : tasks) {
            task->resume();
        }
        ASSERT_TRUE(recorder.waitForCompletions(kFiles));
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            const auto record = recorder.task(tasks[i]->taskIdentifier());
            EXPECT_EQ(record.completions, 1);
            EXPECT_FALSE(record.error) << *record.error;
            ASSERT_TRUE(record.file);
            EXPECT_EQ(*record.file, pattern(sizes[i]));
            ASSERT_TRUE(record.response);
            EXPECT_EQ(record.response->statusCode, 200);
            EXPECT_EQ(record.response->suggestedFilename, std::to_string(sizes[i]));
            // Paced to the first report and the final count.
            ASSERT_FALSE(record.written.empty());
            EXPECT_LE(record.written.size(), 2u);
            EXPECT_EQ(record.written.back(), static_cast<std::int64_t>(sizes[i]));
            EXPECT_EQ(record.expected.back(), static_cast<std::int64_t>(sizes[i]));
        }
    }
    // The server's threads end before the lock and the count they share with this test.
    server.stop();
    EXPECT_EQ(mostAtOnce, kFiles);
    EXPECT_TRUE(recorder.oneThread);
    // Staging files are private and gone once their callbacks have returned.
    for (const auto& location : recorder.locations) {
        EXPECT_NE(location.find("/private/tmp/.vantrel-download-"), std::string::npos);
        EXPECT_FALSE(fs::exists(mac.host(location)));
    }
}

TEST_F(Network, FailedTransfersAndErrorStatusesCompleteWithoutAFile) {
    server.server().Get("/cut", [&](const httplib::Request&, httplib::Response& res) {
        servePattern(res, 2 * 1024 * 1024, &server, 512 * 1024);
    });
    server.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        // Silent from the start of the body: once bytes have come, the client's speed figure
        // keeps them for some seconds, and its stall limit only starts counting after that.
        servePattern(res, 2 * 1024 * 1024, &server, SIZE_MAX, 0);
    });
    server.server().Get("/missing.pkg", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("no such package", "text/plain");
    });
    server.server().Get("/named", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"../../../etc/cron.d/x\"");
        res.set_content("payload", "application/octet-stream");
    });
    server.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/named");
    });
    start();
    fs::create_directories(mac.host("/private/tmp"));

    Recorder recorder;
    net::DownloadSession::Configuration configuration =
        testsupport::downloadConfiguration({.stallWindow = 2s}, 0ms);
    configuration.retries.pauses.clear();  // each failure is the last
    net::DownloadSession session(configuration, &recorder);
    auto cut = session.downloadTask(server.url("/cut"), "/private/tmp");
    auto stall = session.downloadTask(server.url("/stall"), "/private/tmp");
    auto missing = session.downloadTask(server.url("/missing.pkg"), "/private/tmp");
    auto moved = session.downloadTask(server.url("/moved"), "/private/tmp");
    auto refused = session.downloadTask("http://localhost:1/x.pkg", "/private/tmp");
    auto noFolder = session.downloadTask(server.url("/named"), "/no/such/folder");
    for (auto* task : {&cut, &stall, &missing, &moved, &refused, &noFolder}) {
        (*task)->resume();
        (*task)->resume();  // a second resume changes nothing
    }
    ASSERT_TRUE(recorder.waitForCompletions(6));
    EXPECT_FALSE(server.heldToLimit());  // the stalled transfer was ended by the client

    const auto cutRecord = recorder.task(cut->taskIdentifier());
    EXPECT_TRUE(cutRecord.error);
    EXPECT_FALSE(cutRecord.file);
    const auto stallRecord = recorder.task(stall->taskIdentifier());
    EXPECT_TRUE(stallRecord.error);
    EXPECT_FALSE(stallRecord.file);
    EXPECT_TRUE(stallRecord.written.empty());

    // An error page is no file.
    const auto missingRecord = recorder.task(missing->taskIdentifier());
    ASSERT_TRUE(missingRecord.error);
    EXPECT_EQ(*missingRecord.error, "the server answered with HTTP status 404");
    EXPECT_FALSE(missingRecord.file);
    EXPECT_TRUE(missingRecord.written.empty());

    const auto movedRecord = recorder.task(moved->taskIdentifier());
    EXPECT_EQ(movedRecord.file, "payload");
    EXPECT_EQ(movedRecord.response->suggestedFilename, "x");

    EXPECT_TRUE(recorder.task(refused->taskIdentifier()).error);  // http is not spoken
    EXPECT_TRUE(recorder.task(noFolder->taskIdentifier()).error);
    for (const auto& record : recorder.tasks) {
        EXPECT_EQ(record.second.completions, 1);
    }
    // Nothing of a failed transfer is left behind.
    EXPECT_TRUE(fs::is_empty(mac.host("/private/tmp")));
}

TEST_F(Network, CancelEndsATransferAtOnceAndOnlyOnce) {
    server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        servePattern(res, 1024 * 1024, &server, SIZE_MAX, 64 * 1024);
    });
    server.server().Get("/quick", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("quick", "application/octet-stream");
    });
    start();
    fs::create_directories(mac.host("/private/tmp"));
    Recorder recorder;
    net::DownloadSession session(testsupport::downloadConfiguration({}, 0ms), &recorder);
    auto running = session.downloadTask(server.url("/slow"), "/private/tmp");
    auto suspended = session.downloadTask(server.url("/slow"), "/private/tmp");
    running->resume();
    ASSERT_TRUE(recorder.waitForBytes(running->taskIdentifier()));
    running->cancel();
    suspended->cancel();
    ASSERT_TRUE(recorder.waitForCompletions(2, 10s));
    running->cancel();
    suspended->resume();
    // A transfer started after those calls has ended once the session has dealt with them.
    auto later = session.downloadTask(server.url("/quick"), "/private/tmp");
    later->resume();
    ASSERT_TRUE(recorder.waitForCompletions(3, 10s));
    EXPECT_EQ(recorder.task(later->taskIdentifier()).file, "quick");
    EXPECT_EQ(recorder.task(running->taskIdentifier()).completions, 1);
    EXPECT_EQ(recorder.task(suspended->taskIdentifier()).completions, 1);
    EXPECT_EQ(recorder.task(running->taskIdentifier()).error, "cancelled");
    EXPECT_FALSE(recorder.task(running->taskIdentifier()).file);
    EXPECT_TRUE(fs::is_empty(mac.host("/private/tmp")));
}

}  // namespace
}  // namespace vantrel
