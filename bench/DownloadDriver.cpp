// The download phase as the program runs it: SessionRequestManager::downloadPackages on a
// simulated Mac, from the call until "downloadsDone" arrives on the main thread.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "bench/DriverModes.h"
#include "bench/DriverSupport.h"
#include "caching/SessionRequestManager.h"

namespace vantrel::bench {

namespace fs = std::filesystem;

namespace {

// The run's download session, made as the program makes it; never destroyed, as the driver
// ends the process from another thread.
SessionRequestManager& downloads() {
    static auto* manager = new SessionRequestManager(services(), downloadConfiguration());
    return *manager;
}

struct ProgressSample {
    double at;
    double percentage;
};

// Bytes in the download folder as the files stand on disk (their logical sizes).
std::pair<long, long long> folderContents(const fs::path& folder) {
    long files = 0;
    long long bytes = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            ++files;
            bytes += static_cast<long long>(entry.file_size());
        }
    }
    return {files, bytes};
}

}  // namespace

int runDownload(const DownloadOptions& options) {
    useSimulatedMac(options.mac);
    // What the catalog says of each file, checked as it arrives.
    const auto [urls, expected] = readDownloadList(options.urls);
    if (!prepareDownloadDirectory(services())) {
        throw std::runtime_error("the download folder could not be prepared");
    }
    // Every timed run fetches every byte, as its peer does: nothing is continued.
    downloads().clearResumeStore();
    const fs::path folder = services().root.host(*SharedData::shared().tmpDir);

    static std::mutex samplesLock;
    static std::vector<ProgressSample> samples;
    samples.reserve(4096);
    const auto start = std::chrono::steady_clock::now();
    const CpuTime cpuBefore = cpuTime();

    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(notificationnames::taskProgress(), [start](const Notification& note) {
        if (!note.userInfo) {
            return;
        }
        const auto found = note.userInfo->find("Download");
        if (found == note.userInfo->end() || !found->second) {
            return;
        }
        std::lock_guard<std::mutex> guard(samplesLock);
        samples.push_back({secondsSince(start), *found->second});
    });
    center.addObserver(notificationnames::downloadsDone(), [&, start](const Notification&) {
        const double seconds = secondsSince(start);
        const CpuTime cpuAfter = cpuTime();
        const auto [files, bytes] = folderContents(folder);
        std::vector<ProgressSample> seen;
        {
            std::lock_guard<std::mutex> guard(samplesLock);
            seen = samples;
        }
        // The most reports the window was sent within any one second.
        std::size_t busiest = 0;
        for (std::size_t first = 0, last = 0; last < seen.size(); ++last) {
            while (seen[last].at - seen[first].at >= 1.0) {
                ++first;
            }
            busiest = std::max(busiest, last - first + 1);
        }
        Result()
            .number("seconds", seconds)
            .number("phase_user", cpuAfter.user - cpuBefore.user)
            .number("phase_system", cpuAfter.system - cpuBefore.system)
            .number("peak_rss", static_cast<double>(peakResidentBytes()))
            .number("transfers", static_cast<double>(urls.size()))
            .number("files", static_cast<double>(files))
            .number("bytes", static_cast<double>(bytes))
            .number("reports", static_cast<double>(seen.size()))
            .number("busiest_second_reports", static_cast<double>(busiest))
            .number("last_percentage", seen.empty() ? -1 : seen.back().percentage)
            .text("folder", folder.string())
            .write(options.result);
        services().console.exitProcess(0);
    });

    // A transfer that never ends must not hold the benchmark up for good.
    std::thread([timeout = options.timeout, result = options.result] {
        std::this_thread::sleep_for(timeout);
        Result().text("error", "the downloads did not finish in time").write(result);
        services().console.exitProcess(1);
    }).detach();

    downloads().downloadPackages(urls, expected);
    services().mainQueue.runLoop();
}

}  // namespace vantrel::bench
