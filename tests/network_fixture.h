#pragma once

// One transfer made the way the program makes it, as a blocking document fetch or as a
// download, and a plain TCP listener that counts who connects to it.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/DownloadSession.h"
#include "net/Http.h"
#include "tests/caching_tls.h"
#include "tests/support/InProcessMac.h"

namespace vantrel::networktest {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

enum class Kind { Document, Download };
inline constexpr Kind kBothKinds[] = {Kind::Document, Kind::Download};
inline const char* nameOf(Kind kind) {
    return kind == Kind::Document ? "document fetch" : "download";
}

struct Outcome {
    bool delivered = false;  // a 2xx answer whose whole body arrived
    std::string body;
    std::string error;
};

// Waits for the one completion of a download.
class OneDownload : public net::DownloadSessionDelegate {
  public:
    void didFinishDownloadingToURL(net::DownloadTask& task, const std::string& location) override {
        std::lock_guard<std::mutex> guard(lock_);
        file_ = cachingtest::readFile(testsupport::inProcessServices().root.host(location));
        status_ = task.response() ? task.response()->statusCode : 0;
    }
    void didWriteData(net::DownloadTask&, std::int64_t, std::int64_t, std::int64_t) override {}
    void didCompleteWithError(net::DownloadTask&,
                              const std::optional<platform::Error>& error) override {
        std::lock_guard<std::mutex> guard(lock_);
        error_ = error ? error->description : "";
        done_ = true;
        changed_.notify_all();
    }
    Outcome wait() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return done_; });
        const bool delivered = error_.empty() && file_ && status_ >= 200 && status_ <= 299;
        return {delivered, file_.value_or(""), error_};
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    std::optional<std::string> file_;
    long status_ = 0;
    std::string error_;
};

// One transfer of `url` the way the program makes it, trusting `trustFile` alone.
inline Outcome transfer(Kind kind, const std::string& url, const fs::path& trustFile,
                        const net::NetworkLimits& limits = {}) {
    if (kind == Kind::Document) {
        net::HttpClient client = testsupport::documentClient(limits, trustFile);
        platform::Error error;
        auto body = client.fetch(url, &error);
        return {body.has_value(), body.value_or(""), error.description};
    }
    fs::create_directories(testsupport::inProcessServices().root.host("/private/tmp"));
    OneDownload delegate;
    net::DownloadSession::Configuration configuration =
        testsupport::downloadConfiguration(limits, 0ms, trustFile);
    configuration.retries.pauses.clear();  // one try: the limit under test ends it
    net::DownloadSession session(configuration, &delegate);
    session.downloadTask(url, "/private/tmp")->resume();
    return delegate.wait();
}

// A plain TCP listener that counts the connections made to it and closes each at once.
class CountingListener {
  public:
    CountingListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 50) > 0) {
                    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (client >= 0) {
                        ++connections_;
                        ::close(client);
                    }
                }
            }
        });
    }
    ~CountingListener() {
        stopping_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int connections() const { return connections_; }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace vantrel::networktest
