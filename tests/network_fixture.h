#pragma once

// One transfer made the way the program makes it, as a blocking document fetch or as a
// download; a record of a download session's callbacks; a plain TCP listener that counts who
// connects to it; variables of the environment that the programs a test runs inherit; the
// stand-in server's access log; the lines of a run's output.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// Records every callback of a session; each must arrive on the one session thread.
class Recorder : public net::DownloadSessionDelegate {
  public:
    struct Task {
        std::vector<std::int64_t> written;
        std::vector<std::int64_t> expected;
        std::optional<std::string> file;
        std::optional<net::DownloadTask::Response> response;
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
    Recorder recorder;
    net::DownloadSession::Configuration configuration =
        testsupport::downloadConfiguration(limits, 0ms, trustFile);
    configuration.retries.pauses.clear();  // one try: the limit under test ends it
    net::DownloadSession session(configuration, &recorder);
    const auto task = session.downloadTask(url, "/private/tmp");
    task->resume();
    if (!recorder.waitForCompletions(1, 300s)) {
        return {false, "", "the download never completed"};
    }
    const Recorder::Task record = recorder.task(task->taskIdentifier());
    const long status = record.response ? record.response->statusCode : 0;
    return {!record.error && record.file && status >= 200 && status <= 299,
            record.file.value_or(""), record.error.value_or("")};
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

// Sets variables of the test's environment and puts the old values back at the end of the scope.
class ScopedEnvironment {
  public:
    explicit ScopedEnvironment(
        std::initializer_list<std::pair<std::string, std::string>> variables) {
        for (const auto& [name, value] : variables) {
            const char* old = std::getenv(name.c_str());
            old_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, old] : old_) {
            old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> old_;
};

// One line of the stand-in server's access log (port, method, path, status, body bytes), which
// it writes once an answer has been sent.
struct LoggedRequest {
    std::string path;
    int status = 0;
    std::uint64_t bytes = 0;
};

// The requests logged in `file` from its byte `from` on.
inline std::vector<LoggedRequest> readAccessLog(const fs::path& file, std::size_t from = 0) {
    std::ifstream in(file);
    in.seekg(static_cast<std::streamoff>(from));
    std::vector<LoggedRequest> requests;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string port;
        std::string method;
        LoggedRequest request;
        if (fields >> port >> method >> request.path >> request.status >> request.bytes) {
            requests.push_back(request);
        }
    }
    return requests;
}

inline std::size_t countStartingWith(const std::vector<std::string>& lines,
                                     const std::string& start) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& line) { return line.rfind(start, 0) == 0; }));
}

}  // namespace vantrel::networktest
