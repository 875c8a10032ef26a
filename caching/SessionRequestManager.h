#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caching/DownloadProgress.h"
#include "net/DownloadSession.h"
#include "platform/Services.h"

namespace vantrel {

// Receives the download session's callbacks, on the session's delegate thread: moves each
// finished file into the download folder, reports the combined progress as "taskProgress"
// {"Download": percentage}, says which transfers failed (a full disk, a cut connection, a
// server error status), and posts "downloadsDone" on the main thread once the last pending
// task has completed.
class SessionRequestDelegate : public net::DownloadSessionDelegate {
  public:
    void didFinishDownloadingToURL(net::DownloadTask& task, const std::string& location) override;
    void didWriteData(net::DownloadTask& task, std::int64_t bytesWritten,
                      std::int64_t totalBytesWritten, std::int64_t totalBytesExpected) override;
    void didCompleteWithError(net::DownloadTask& task,
                              const std::optional<platform::Error>& error) override;
    void willRetry(net::DownloadTask& task, std::int64_t offset,
                   const std::string& reason) override;

    // Cancels every pending task; each then completes like a failed one. Safe from any thread
    // (the window's quit button calls it on the main thread).
    void cancelAllTasks();
    std::size_t pendingTaskCount() const;

  private:
    friend class SessionRequestManager;

    explicit SessionRequestDelegate(const platform::Services& services) : services_(services) {}
    // The Mac the files land on, the main queue "downloadsDone" is posted on, the console.
    const platform::Services services_;

    // Guards downloadTasks. downloadPackages holds it while it starts a whole batch, so no
    // completion of the batch is processed before every task of it is pending.
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<net::DownloadTask>> downloadTasks;
    // Set by cancelAllTasks under lock_: the operator asked for the ends, nothing to report.
    bool cancelled_ = false;
    // Only touched on the delegate thread.
    std::map<std::uint64_t, ProgressRecord> allDownloadTasks;
};

// The run's download session and its delegate.
class SessionRequestManager {
  public:
    // Transfers run under `configuration` (network, trust, limits, and the clock of `services`
    // unless it names one); files land on the Mac of `services`.
    SessionRequestManager(const platform::Services& services,
                          net::DownloadSession::Configuration configuration);
    ~SessionRequestManager();
    SessionRequestManager(const SessionRequestManager&) = delete;
    SessionRequestManager& operator=(const SessionRequestManager&) = delete;

    // Starts a download of every URL at once, into the download folder (SharedData tmpDir),
    // and returns without waiting for any transfer. A file is handed on only when it is what
    // `expected` says of its URL (the catalog's size and digest). The bytes go through the
    // resume store beside the download folder, first emptied of what is not one of `urls` or
    // is older than the configuration's limit, so a run that ends early is continued by the
    // next one.
    void downloadPackages(const std::vector<std::string>& urls,
                          const std::map<std::string, net::ExpectedFile>& expected = {});

    // Empties the resume store: its files are in place and needed no more.
    void clearResumeStore();

    SessionRequestDelegate& delegate() { return *sessionDelegate; }

  private:
    const platform::Services services;
    // The resume store's Mac path for the download folder `downloadFolder`.
    std::string resumeStorePath(const std::string& downloadFolder) const;

    net::DownloadSession::Configuration configuration_;
    std::unique_ptr<SessionRequestDelegate> sessionDelegate;  // outlives the session
    std::unique_ptr<net::DownloadSession> session;
};

// Empties and creates the download folder (the temporary directory plus the bundle
// identifier, private to root) and records it in SharedData tmpDir. Returns false, after a
// line on standard output, when it cannot be emptied or created: stale files there would be
// mistaken for this run's downloads.
bool prepareDownloadDirectory(const platform::Services& services);

}  // namespace vantrel
