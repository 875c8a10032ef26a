#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "caching/DownloadProgress.h"
#include "net/DownloadSession.h"
#include "net/Http.h"
#include "tests/network_fixture.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using cachingtest::BareMac;
using cachingtest::TlsServer;
using networktest::Recorder;
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

TEST(DownloadPercentage, CombinesEveryTaskAndShowsTwoIntegerAndTwoFractionDigits) {
    EXPECT_DOUBLE_EQ(combinedPercentage({{1, {50, 100}}, {2, {25, 300}}}), 18.75);
    // An unknown size counts as -1, as it comes.
    EXPECT_DOUBLE_EQ(combinedPercentage({{1, {50, -1}}, {2, {50, 101}}}), 100.0);
    EXPECT_EQ(formattedPercentage(combinedPercentage({{1, {50, -1}}})), "-5000.00");
    // Rounded half to even.
    for (const auto& [figure, shown] :
         std::vector<std::pair<double, std::string>>{{5.256, "05.26"},
                                                     {100, "100.00"},
                                                     {0, "00.00"},
                                                     {0.125, "00.12"},
                                                     {0.375, "00.38"},
                                                     {-5, "-05.00"}}) {
        EXPECT_EQ(formattedPercentage(figure), shown) << figure;
    }
    EXPECT_EQ(reportedPercentage(18.75), 18.75);
    EXPECT_EQ(reportedPercentage(5.256), 5.26);
    EXPECT_EQ(reportedPercentage(99.999), 100.0);
    // No size known at all: nothing to show rather than a made-up number.
    EXPECT_FALSE(formattedPercentage(combinedPercentage({{1, {0, 0}}})));
    EXPECT_FALSE(reportedPercentage(combinedPercentage({{1, {5, 0}}})));
}

TEST(ServerFileNames, AreOneSafeNameInsideTheFolderAndOnlyAbsoluteURLsWithAHostAreValid) {
    const BareMac mac;  // URLs are read by the network plug-in of the Mac's bundle
    auto& network = testsupport::inProcessNetwork();
    const std::string url = "https://su.test/content/041-1/InstallAssistantAuto.pkg";
    // Content-Disposition, then the name it gives. Paths are cut to their last component;
    // ".", ".." and nothing fall back to the URL.
    for (const auto& [disposition, name] : std::vector<std::pair<std::string, std::string>>{
             {"", "InstallAssistantAuto.pkg"},
             {"attachment; filename=\"Basic.dist\"", "Basic.dist"},
             {"attachment; filename=plain.pkg", "plain.pkg"},
             {"attachment; filename=\"x.pkg\"; filename*=UTF-8''caf%C3%A9.pkg", "caf\xC3\xA9.pkg"},
             {"attachment; filename=\"a;b \\\"q\\\".pkg\"", "a;b \"q\".pkg"},
             {"attachment; filename=\"../../etc/passwd\"", "passwd"},
             {"attachment; filename=\"/abs/x.pkg\"", "x.pkg"},
             {"attachment; filename=\"..\\\\..\\\\w.pkg\"", "w.pkg"},
             {"attachment; filename=\"..\"", "InstallAssistantAuto.pkg"},
             {"attachment; filename=\"dir/\"", "InstallAssistantAuto.pkg"},
             {"inline", "InstallAssistantAuto.pkg"}}) {
        EXPECT_EQ(net::suggestedFilename(network, disposition, url), name) << disposition;
    }
    // The URL's last component, percent-decoded, then made safe the same way.
    for (const auto& [from, name] : std::vector<std::pair<std::string, std::string>>{
             {"https://su.test/a%20b.pkg?x=1", "a b.pkg"},
             {"https://su.test/x/..%2F..%2Fescape.pkg", "escape.pkg"},
             {"https://su.test/x/%2E%2E", ""},
             {"https://su.test/a%00b%0A.pkg", "ab.pkg"},
             {"https://su.test/dir/", "dir"},
             {"https://su.test/", ""},
             {"not a url", ""}}) {
        EXPECT_EQ(net::suggestedFilename(network, "", from), name) << from;
    }
    for (const char* good :
         {"https://su.test/a.pkg", "https://localhost:8443/x/y.dist?q=1", "http://su.test/a.pkg"}) {
        EXPECT_TRUE(net::isValidURL(network, good)) << good;
    }
    for (const std::string_view bad :
         {std::string_view(""), std::string_view("relative/a.pkg"),
          std::string_view("/absolute/path"), std::string_view("https://"),
          std::string_view("https://su.test/with space"), std::string_view("https://su.test/\n"),
          std::string_view("https://a\0b/", 12)}) {
        EXPECT_FALSE(net::isValidURL(network, bad)) << bad;
    }
}

class Network : public ::testing::Test {
  protected:
    BareMac mac;
    TlsServer server;

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

    EXPECT_FALSE(client.fetch("file:///etc/hostname", &error));
}

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

    // An error page is no file; http is not spoken.
    for (const auto* task : {&cut, &stall, &missing, &refused, &noFolder}) {
        const auto record = recorder.task((*task)->taskIdentifier());
        EXPECT_TRUE(record.error);
        EXPECT_FALSE(record.file);
    }
    EXPECT_TRUE(recorder.task(stall->taskIdentifier()).written.empty());
    const auto missingRecord = recorder.task(missing->taskIdentifier());
    EXPECT_EQ(missingRecord.error, "the server answered with HTTP status 404");
    EXPECT_TRUE(missingRecord.written.empty());

    const auto movedRecord = recorder.task(moved->taskIdentifier());
    EXPECT_EQ(movedRecord.file, "payload");
    EXPECT_EQ(movedRecord.response->suggestedFilename, "x");
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
