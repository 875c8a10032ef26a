// Two caching runs of the real program on one Mac at once: the second refuses and leaves the
// first one's work alone. The mirror is served by a server of the test's own that holds the
// first run's download of its distribution file until the test has made its checks, so the
// first run is still caching for as long as the test needs, and not a moment longer.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "tests/background_fixture.h"
#include "tests/caching_tls.h"
#include "tests/mirror_fixture.h"
#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace testsupport::macpaths;

using backgroundtest::Background;
using backgroundtest::waitUntil;
using cachingtest::TlsServer;
using mirrortest::MirrorFolder;
using mirrortest::TempFolder;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kRefusal =
    "Another Vantrel run is caching the macOS installer on this Mac; nothing was changed. Try "
    "again when it has finished.";

// Serves a mirror's files as they are. The second request for a distribution file (the
// first is the product selection's, the second the downloads') is answered only once
// release() has been called.
class HoldingServer {
  public:
    HoldingServer() {
        server_.server().set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response&) {
                if (fs::path(request.path).extension() == ".dist") {
                    std::unique_lock<std::mutex> guard(lock_);
                    if (++distributionRequests_ == 2) {
                        released_.wait(guard, [this] { return release_; });
                    }
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        server_.start();
        server_.writeCertificate(certificate());
    }
    ~HoldingServer() {
        release();
        server_.stop();
    }
    void serve(const fs::path& mirror) { server_.server().set_mount_point("/", mirror.string()); }
    void release() {
        std::lock_guard<std::mutex> guard(lock_);
        release_ = true;
        released_.notify_all();
    }
    std::string url() const { return server_.url(""); }
    fs::path certificate() const { return folder_.path() / "server.pem"; }

  private:
    TempFolder folder_{"holding"};
    TlsServer server_;
    std::mutex lock_;
    std::condition_variable released_;
    int distributionRequests_ = 0;
    bool release_ = false;
};

// Every finished package with its inode, to be found again as the very same file.
std::vector<std::pair<fs::path, ino_t>> packages(const TempMac& mac) {
    std::vector<std::pair<fs::path, ino_t>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(mac.host(kDownloadFolder), ec)) {
        struct stat info {};
        if (entry.path().extension() == ".pkg" && ::stat(entry.path().c_str(), &info) == 0) {
            found.emplace_back(entry.path(), info.st_ino);
        }
    }
    return found;
}

TEST(TwoRuns, ASecondRunRefusesWhileTheFirstCachesAndLeavesItsWorkAlone) {
    HoldingServer server;
    const MirrorFolder mirror({"--products", "2", "--release", "Catalina:10.15.7:19H15 size=64K"},
                              server.url());
    server.serve(mirror.path());
    const TempMac mac(
        {"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    const Lines cache{"--action", "cache", "--osname", "Catalina"};

    Background first(mac, cache);
    std::vector<std::pair<fs::path, ino_t>> downloads;
    ASSERT_TRUE(waitUntil([&] { return !(downloads = packages(mac)).empty(); }, 60s))
        << first.output();

    const RunResult second = mac.run(cache);
    EXPECT_TRUE(second.exited(3)) << second.standardOutput << second.standardError;
    EXPECT_EQ(second.outputLines(), Lines{kRefusal});
    for (const auto& [path, inode] : downloads) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_ino, inode) << path;
    }
    // The status answer does not wait for the caching run.
    EXPECT_EQ(mac.run({"--action", "status", "--osname", "Catalina"}).outputLines(),
              Lines{"false"});

    server.release();
    EXPECT_EQ(first.waitForExit(120s), 0) << first.output();
    EXPECT_TRUE(fs::exists(mac.host(std::string(kFiledCatalina) + "/Contents/Info.plist")));
    // Once the first run has ended, the next one may cache again.
    const RunResult again = mac.run(cache);
    ASSERT_TRUE(again.exited(0)) << again.standardOutput;
    ASSERT_FALSE(again.outputLines().empty());
    EXPECT_EQ(again.outputLines().back(), "Latest build is cached: 19H15") << again.standardOutput;
}

}  // namespace
}  // namespace vantrel
