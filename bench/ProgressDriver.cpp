// How often each transfer reports progress: the download session with the program's
// configuration and a delegate that notes the time of every report per task.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

#include "base/SharedData.h"
#include "bench/DriverModes.h"
#include "bench/DriverSupport.h"
#include "caching/SessionRequestManager.h"
#include "net/DownloadSession.h"

namespace vantrel::bench {

namespace {

class CountingDelegate : public net::DownloadSessionDelegate {
  public:
    explicit CountingDelegate(std::size_t expected)
        : expected_(expected), start_(std::chrono::steady_clock::now()) {}

    void didFinishDownloadingToURL(net::DownloadTask&, const std::string&) override {}
    void didWriteData(net::DownloadTask& task, std::int64_t, std::int64_t, std::int64_t) override {
        std::lock_guard<std::mutex> guard(lock_);
        reports_[task.taskIdentifier()].push_back(secondsSince(start_));
    }
    void didCompleteWithError(net::DownloadTask& task,
                              const std::optional<platform::Error>& error) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (error) {
            failure_ = error->description;
        }
        durations_[task.taskIdentifier()] = secondsSince(start_);
        if (durations_.size() == expected_) {
            done_.notify_all();
        }
    }

    bool waitForAll(std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> guard(lock_);
        return done_.wait_for(guard, timeout, [&] { return durations_.size() == expected_; });
    }

    // The most reports one transfer made within any one second, over all transfers; the
    // transfer count that lasted at least a second.
    std::pair<std::size_t, std::size_t> busiestTransferSecond() const {
        std::size_t busiest = 0;
        for (const auto& [task, times] : reports_) {
            for (std::size_t first = 0, last = 0; last < times.size(); ++last) {
                while (times[last] - times[first] >= 1.0) {
                    ++first;
                }
                busiest = std::max(busiest, last - first + 1);
            }
        }
        std::size_t longOnes = 0;
        for (const auto& [task, seconds] : durations_) {
            longOnes += seconds >= 1.0 ? 1 : 0;
        }
        return {busiest, longOnes};
    }
    std::size_t reportCount() const {
        std::size_t count = 0;
        for (const auto& [task, times] : reports_) {
            count += times.size();
        }
        return count;
    }
    const std::string& failure() const { return failure_; }

  private:
    std::size_t expected_;
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex lock_;
    std::condition_variable done_;
    std::map<std::uint64_t, std::vector<double>> reports_;
    std::map<std::uint64_t, double> durations_;
    std::string failure_;
};

}  // namespace

int runProgress(const DownloadOptions& options) {
    useSimulatedMac(options.mac);
    const std::vector<std::string> urls = readDownloadList(options.urls).urls;
    if (!prepareDownloadDirectory(services())) {
        throw std::runtime_error("the download folder could not be prepared");
    }
    CountingDelegate delegate(urls.size());
    // The configuration the program makes its session with.
    net::DownloadSession session(downloadConfiguration(), &delegate);
    std::vector<std::shared_ptr<net::DownloadTask>> tasks;
    for (const auto& url : urls) {
        tasks.push_back(session.downloadTask(url, *SharedData::shared().tmpDir));
        tasks.back()->resume();
    }
    if (!delegate.waitForAll(options.timeout)) {
        Result().text("error", "the downloads did not finish in time").write(options.result);
        return 1;
    }
    if (!delegate.failure().empty()) {
        // A pace counted over transfers that failed at once says nothing.
        Result().text("error", delegate.failure()).write(options.result);
        return 1;
    }
    const auto [busiest, longTransfers] = delegate.busiestTransferSecond();
    Result()
        .number("transfers", static_cast<double>(urls.size()))
        .number("transfers_over_one_second", static_cast<double>(longTransfers))
        .number("reports", static_cast<double>(delegate.reportCount()))
        .number("busiest_transfer_second_reports", static_cast<double>(busiest))
        .text("failure", delegate.failure())
        .write(options.result);
    return 0;
}

}  // namespace vantrel::bench
