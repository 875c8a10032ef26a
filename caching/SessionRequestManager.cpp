#include "caching/SessionRequestManager.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"

namespace vantrel {

namespace {

// The download folder holds what root will install: nobody else may read or change it.
constexpr mode_t kDownloadFolderMode = 0700;
// The resume store sits beside the download folder, which every run empties.
constexpr const char* kResumeStoreSuffix = ".resume";

// "<url>: <reason>" for a transfer that failed or that the server answered with an error
// status, printable; nothing for one that delivered its file.
std::optional<std::string> transferFailure(const net::DownloadTask& task,
                                           const std::optional<platform::Error>& error) {
    if (error) {
        return platform::printableText(task.originalURL()) + ": " +
               platform::printableText(error->description);
    }
    if (task.response() && task.response()->statusCode >= 400) {
        return platform::printableText(task.originalURL()) +
               ": the server answered with HTTP status " +
               std::to_string(task.response()->statusCode);
    }
    return std::nullopt;
}

// The configuration, on the clock of the services unless it names one of its own.
net::DownloadSession::Configuration withClock(net::DownloadSession::Configuration configuration,
                                              const platform::Clock& clock) {
    if (!configuration.clock) {
        configuration.clock = &clock;
    }
    return configuration;
}

}  // namespace

void SessionRequestDelegate::didFinishDownloadingToURL(net::DownloadTask& task,
                                                       const std::string& location) {
    std::string name = "untitled";
    if (task.response() && !task.response()->suggestedFilename.empty()) {
        name = task.response()->suggestedFilename;
    }
    const std::string shownName = platform::printableText(name);
    networkingLog().debug("Downloading: %{public}s", shownName);
    services_.console.printLine("Downloading: " + shownName);
    const auto& folder = SharedData::shared().tmpDir;
    if (!folder) {
        return;
    }
    // The name is one file name (no separator, never "." or ".."), so it stays in the folder.
    // A name already taken keeps the first file; the move fails and is ignored.
    (void)platform::moveItem(services_.root, location, *folder + "/" + name);
}

void SessionRequestDelegate::didWriteData(net::DownloadTask& task, std::int64_t,
                                          std::int64_t totalBytesWritten,
                                          std::int64_t totalBytesExpected) {
    allDownloadTasks[task.taskIdentifier()] = ProgressRecord{totalBytesWritten, totalBytesExpected};
    const auto percentage = reportedPercentage(combinedPercentage(allDownloadTasks));
    if (!percentage) {
        return;
    }
    networkingLog().debug("Download: %f", *percentage);
    NotificationCenter::defaultCenter().post(notificationnames::taskProgress(),
                                             progressReport("Download", *percentage));
}

void SessionRequestDelegate::didCompleteWithError(net::DownloadTask& task,
                                                  const std::optional<platform::Error>& error) {
    bool lastOne = false;
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto found =
            std::find_if(downloadTasks.begin(), downloadTasks.end(),
                         [&](const auto& pending) { return pending.get() == &task; });
        if (found == downloadTasks.end()) {
            return;
        }
        downloadTasks.erase(found);
        lastOne = downloadTasks.empty();
        cancelled = cancelled_;
    }
    // The run goes on with whatever arrived and the package installer refuses what is
    // missing; this line tells the operator why a package is missing.
    if (const auto failure = transferFailure(task, error); failure && !cancelled) {
        networkingLog().error("Download failed: %{public}s", *failure);
        services_.console.printLine("Download failed: " + *failure);
    }
    if (lastOne) {
        services_.mainQueue.async(
            [] { NotificationCenter::defaultCenter().post(notificationnames::downloadsDone()); });
        services_.console.printLine("Downloads finished");
    }
}

void SessionRequestDelegate::willRetry(net::DownloadTask& task, std::int64_t offset,
                                       const std::string& reason) {
    networkingLog().notice("Download retried: %{public}s",
                           platform::printableText(task.originalURL()) + " from byte " +
                               std::to_string(offset) + ": " + platform::printableText(reason));
}

void SessionRequestDelegate::cancelAllTasks() {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
    for (const auto& task : downloadTasks) {
        task->cancel();  // only queues the cancellation: never waits for the delegate thread
    }
}

std::size_t SessionRequestDelegate::pendingTaskCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return downloadTasks.size();
}

SessionRequestManager::SessionRequestManager(const platform::Services& services,
                                             net::DownloadSession::Configuration configuration)
    : services(services),
      configuration_(withClock(std::move(configuration), services.clock)),
      sessionDelegate(new SessionRequestDelegate(services)),
      session(std::make_unique<net::DownloadSession>(configuration_, sessionDelegate.get())) {}

SessionRequestManager::~SessionRequestManager() {
    session.reset();
}

std::string SessionRequestManager::resumeStorePath(const std::string& downloadFolder) const {
    return configuration_.resumeStore.value_or(downloadFolder + kResumeStoreSuffix);
}

void SessionRequestManager::downloadPackages(
    const std::vector<std::string>& urls,
    const std::map<std::string, net::ExpectedFile>& expected) {
    const auto& downloadFolder = SharedData::shared().tmpDir;
    const std::string folder = downloadFolder.value_or(services.machine.temporaryDirectory());
    std::shared_ptr<net::ResumeStore> store;
    if (downloadFolder && platform::fileExists(services.root, *downloadFolder)) {
        std::string whyNot;
        store = net::ResumeStore::open(services.root, resumeStorePath(*downloadFolder), &whyNot);
        if (store) {
            store->prune(std::set<std::string>(urls.begin(), urls.end()),
                         configuration_.clock->now() - configuration_.resumeMaxAge);
        } else {
            // Downloads still work, only a later run cannot continue them.
            networkingLog().error("The resume store cannot be used: %{public}s",
                                  platform::printableText(whyNot));
        }
    }
    std::lock_guard<std::mutex> guard(sessionDelegate->lock_);
    for (const auto& url : urls) {
        const auto promised = expected.find(url);
        auto task = session->downloadTask(
            url, folder, promised == expected.end() ? net::ExpectedFile{} : promised->second,
            store);
        task->resume();
        sessionDelegate->downloadTasks.push_back(std::move(task));
    }
}

void SessionRequestManager::clearResumeStore() {
    const auto identifier = services.machine.bundleIdentifier();
    const std::string downloadFolder = SharedData::shared().tmpDir.value_or(
        services.machine.temporaryDirectory() + identifier.value_or(""));
    const std::string path = resumeStorePath(downloadFolder);
    if (!identifier || !platform::fileExists(services.root, path)) {
        return;
    }
    if (auto store = net::ResumeStore::open(services.root, path, nullptr)) {
        store->clear();
    }
}

bool prepareDownloadDirectory(const platform::Services& services) {
    const auto identifier = services.machine.bundleIdentifier();
    if (!identifier) {
        // Without it the path would be the temporary directory itself.
        services.console.printLine(
            "The download folder cannot be named: the application has no "
            "bundle identifier.");
        return false;
    }
    const std::string path = services.machine.temporaryDirectory() + *identifier;
    if (platform::fileExists(services.root, path)) {
        if (const auto error = platform::removeItem(services.root, path)) {
            services.console.printLine(error->description);
            return false;
        }
    }
    if (const auto error =
            platform::createDirectory(services.root, path, true, kDownloadFolderMode)) {
        services.console.printLine(error->description);
        return false;
    }
    SharedData::shared().tmpDir = path;
    networkingLog().debug("Downloading To: %{public}s", platform::directoryFileURL(path));
    return true;
}

}  // namespace vantrel
