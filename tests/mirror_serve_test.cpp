// The stand-in update server over real HTTPS: verified certificate, kept-alive connections,
// file names, ranges, and the misbehaviours a mirror's rules ask for.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>

#include "tests/mirror_fixture.h"

namespace vantrel::mirrortest {
namespace {

using Clock = std::chrono::steady_clock;

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    long connects = 0;
    std::string body;
    std::string headers;
    std::string disposition() const {
        const auto at = headers.find("Content-Disposition: ");
        return at == std::string::npos ? std::string()
                                       : headers.substr(at + 21, headers.find('\r', at) - at - 21);
    }
};

// One easy handle, so consecutive fetches may reuse its connection.
class Client {
  public:
    explicit Client(const fs::path& certificate) : curl_(curl_easy_init()) {
        curl_easy_setopt(curl_, CURLOPT_CAINFO, certificate.c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Client::append);
        curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Client::append);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    }
    ~Client() { curl_easy_cleanup(curl_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Fetched get(const std::string& url, const char* range = nullptr, long stallLimit = 0) {
        Fetched result;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &result.body);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &result.headers);
        curl_easy_setopt(curl_, CURLOPT_RANGE, range);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, stallLimit > 0 ? 1L : 0L);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, stallLimit);
        result.code = curl_easy_perform(curl_);
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.status);
        curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &result.connects);
        return result;
    }

  private:
    static size_t append(char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    }
    CURL* curl_;
};

TEST(MirrorServeTest, ServesTheMirrorOverVerifiedHttpsOnKeptAliveConnections) {
    MirrorFolder mirror({"--release", "Catalina packages=3 size=2M", "--products", "30"});
    ServeProcess server(mirror.path());
    const auto manifest = mirror.manifest();  // rewritten for the served port
    ASSERT_EQ(manifest.baseURL, server.url());
    const auto& release = manifest.releases.at(0);
    ASSERT_EQ(release.packageURLs.at(0).rfind(server.url() + "/content/", 0), 0u);

    Client client(server.certificate());
    const auto catalog = client.get(server.url() + sim::catalogPaths().at(15));
    ASSERT_EQ(catalog.code, CURLE_OK) << curl_easy_strerror(catalog.code);
    EXPECT_EQ(catalog.status, 200);
    EXPECT_EQ(catalog.connects, 1);
    EXPECT_EQ(catalog.body, readText(mirror.catalog(15)));
    EXPECT_EQ(catalog.disposition(), "");

    // The same connection serves the documents and the packages, with their file names (the
    // program's own downloads check what they receive).
    const auto dist = client.get(release.distributionURLs[0]);
    EXPECT_EQ(dist.status, 200);
    EXPECT_EQ(dist.connects, 0);
    EXPECT_EQ(dist.disposition(), "attachment; filename=\"" +
                                      fs::path(release.distributionURLs[0]).filename().string() +
                                      "\"");

    const auto part = client.get(release.packageURLs[0], "100-199");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.connects, 0);
    EXPECT_EQ(part.body, readText(mirror.file(release.packageURLs[0])).substr(100, 100));

    // Nothing outside the content folder, and no way out of it.
    for (const char* path : {"/Mirror.plist", "/ServerIdentity.pem", "/content/../Mirror.plist",
                             "/content/%2e%2e/ServerIdentity.pem", "/content/catalogs/none"}) {
        const auto refused = client.get(server.url() + path);
        EXPECT_EQ(refused.status, 404) << path;
        EXPECT_EQ(refused.body.find("PRIVATE KEY"), std::string::npos) << path;
    }
}

TEST(MirrorServeTest, MisbehavesAsTheMirrorsRulesSay) {
    // 12 MiB: the last package, filled, stays the largest beside the stand-in programs that
    // another package carries (a few MiB in a sanitizer build).
    MirrorFolder mirror({"--products", "0", "--release",
                         "Catalina packages=3 size=12M faults=truncate+unsafe-names", "--release",
                         "Mojave packages=3 size=64K "
                         "faults=stall+dist-stall+no-disposition+package-missing"});
    ServeProcess server(mirror.path(), {"--stall-seconds", "30"});
    const auto manifest = mirror.manifest();
    const auto& cut = manifest.releases.at(0);
    const auto& stalled = manifest.releases.at(1);
    Client client(server.certificate());

    EXPECT_EQ(client.get(cut.distributionURLs[0]).disposition(),
              "attachment; filename=\"../" + fs::path(cut.distributionURLs[0]).filename().string() +
                  "\"");
    EXPECT_EQ(client.get(cut.packageURLs[0]).disposition(),
              "attachment; filename=\"../../etc/passwd\"");
    EXPECT_EQ(client.get(cut.packageURLs[1]).disposition(), "attachment; filename=\"/abs\"");
    EXPECT_EQ(client.get(stalled.packageURLs[1]).disposition(), "");
    EXPECT_EQ(client.get(stalled.packageURLs[2]).status, 404);

    // The largest package is cut off halfway and its connection closed.
    const auto truncated = client.get(cut.packageURLs[2]);
    EXPECT_EQ(truncated.code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(truncated.disposition(), "attachment; filename=\"..\"");
    EXPECT_EQ(truncated.body.size(), fs::file_size(mirror.file(cut.packageURLs[2])) / 2);

    // A stall in the middle of a package, and one before a distribution file's answer: a
    // client that gives up after a second of silence is left with part of the package.
    const auto started = Clock::now();
    const auto middle = client.get(stalled.packageURLs[0], nullptr, 1);
    EXPECT_EQ(middle.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(middle.body.size(), fs::file_size(mirror.file(stalled.packageURLs[0])) / 2);
    const auto before = client.get(stalled.distributionURLs[0], nullptr, 1);
    EXPECT_EQ(before.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(before.body.empty());
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(20));

    // Stalled answers do not hold the server up when it is told to end.
    const auto stopping = Clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5));
}

TEST(MirrorServeTest, EndsOnSigtermAndOwnsItsPort) {
    MirrorFolder mirror({"--products", "0", "--release", "HighSierra packages=1 size=64K"});
    ServeProcess server(mirror.path());
    const std::string certificate = readText(server.certificate());
    EXPECT_NE(certificate.find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_EQ(certificate.find("PRIVATE KEY"), std::string::npos);

    // A second server cannot take the same port, so tests running side by side never share one.
    const std::string port = server.url().substr(server.url().rfind(':') + 1);
    const auto second = testsupport::runProgram(testsupport::simTool(),
                                                {"serve", mirror.path().string(), "--port", port},
                                                std::chrono::seconds(30));
    EXPECT_TRUE(second.exited(1)) << second.standardOutput;
    EXPECT_NE(second.standardError.find("cannot listen"), std::string::npos);

    // An idle kept-alive connection does not keep it from ending promptly.
    Client client(server.certificate());
    EXPECT_EQ(client.get(server.url() + sim::catalogPaths().at(16)).status, 200);
    const auto stopping = Clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
}

}  // namespace
}  // namespace vantrel::mirrortest
