#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/ExpectedFile.h"
#include "net/Http.h"
#include "net/ResumeStore.h"
#include "net/RetryPolicy.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace vantrel::net {

class DownloadSession;
struct DownloadSessionState;

// One file transfer of a DownloadSession. Made by the session; started with resume().
class DownloadTask : public std::enable_shared_from_this<DownloadTask> {
  public:
    // What the server answered; known once the transfer has a response.
    struct Response {
        long statusCode = 0;
        std::string suggestedFilename;  // empty when the response offers no name
    };

    std::uint64_t taskIdentifier() const { return identifier_; }
    const std::string& originalURL() const { return url_; }
    // Only read on the session's delegate thread.
    const std::optional<Response>& response() const { return response_; }

    // Starts the transfer. Safe from any thread; never waits for the transfer.
    void resume();
    // Ends the transfer; it then completes with an error like a failed one. Safe from any
    // thread, also after completion (then it does nothing); never waits.
    void cancel();

  private:
    friend class DownloadSession;
    friend struct DownloadSessionState;
    DownloadTask(std::weak_ptr<DownloadSessionState> session, std::uint64_t identifier,
                 std::string url, std::string stagingFolder, ExpectedFile expected,
                 std::shared_ptr<ResumeStore> store);

    std::weak_ptr<DownloadSessionState> session_;
    std::uint64_t identifier_;
    std::string url_;
    std::string stagingFolder_;  // Mac path: where the file is written while it arrives
    ExpectedFile expected_;
    std::shared_ptr<ResumeStore> store_;  // null: the file is written in the staging folder
    std::optional<Response> response_;
};

// Receives the session's callbacks, always on the session's one delegate thread, one at a
// time: for each task any number of progress reports, then (for a transfer that produced a
// file) the finished file, then the completion exactly once.
class DownloadSessionDelegate {
  public:
    virtual ~DownloadSessionDelegate() = default;

    // `location` is the Mac path of the finished temporary file; the delegate moves it where
    // it wants before returning, or the session removes it.
    virtual void didFinishDownloadingToURL(DownloadTask& task, const std::string& location) = 0;
    // Paced: at most one report per task in each `progressInterval`. Bytes that arrived are
    // reported within about one interval even when the transfer then pauses, and the final
    // count always is. `totalBytesExpected` is -1 when the size is unknown.
    virtual void didWriteData(DownloadTask& task, std::int64_t bytesWritten,
                              std::int64_t totalBytesWritten, std::int64_t totalBytesExpected) = 0;
    // `error` is absent for a transfer that ended normally, whatever the server's status.
    virtual void didCompleteWithError(DownloadTask& task,
                                      const std::optional<platform::Error>& error) = 0;
    // The transfer failed in a way that may pass, or its file differed from what was
    // expected, and is tried again: after the policy's pause from byte `offset` on (guarded by
    // the server's validator), or at once from byte 0. `reason` is printable.
    virtual void willRetry(DownloadTask& task, std::int64_t offset, const std::string& reason) {
        (void)task;
        (void)offset;
        (void)reason;
    }
};

// Concurrent HTTPS downloads that stream to disk, run by one thread of their own (the
// session's serial delegate queue), which starts with the first transfer. All started
// transfers run at once: HTTP/2 streams on one connection or parallel connections, as the
// server allows. Every transfer runs under the network policy (the network plug-in's).
//
// A task survives a bad network: a failure that may pass is tried again (RetryPolicy) from
// the bytes already on disk, with a range request guarded by the server's validator
// (If-Range), and a server that answers with the whole file starts it over; the progress
// reported never goes backwards. An answer with an error status writes nothing. A file is
// handed on only when it has the size and digest it is expected to have, hashed as it
// arrives; one that differs is fetched once more from byte 0, and a second difference fails
// the task ("the file differs from the catalog (size)" or "(digest)"). With a resume store
// the bytes are written there and stay there until the store is emptied, so a later run
// continues them.
class DownloadSession {
  public:
    struct Configuration {
        // Where the transfers come from; must outlive the session.
        NetworkPlugIn* network = nullptr;
        // The Mac whose paths the staging folders are.
        platform::MacRoot root{"/"};
        // Host path of the only certificates trusted.
        std::filesystem::path trustedCertificates;
        NetworkLimits limits;
        std::chrono::milliseconds progressInterval{250};
        RetryPolicy retries;
        // Where the resume store is (a Mac path); absent: beside the download folder, named
        // after it with ".resume" added. Read by the session's owner, which opens the store.
        std::optional<std::string> resumeStore;
        // The time the session paces its retries and progress reports by, and the store's
        // files are aged by: files last changed longer than `resumeMaxAge` before its wall
        // time are dropped when downloads start. Required; must outlive the session.
        const platform::Clock* clock = nullptr;
        std::chrono::hours resumeMaxAge{24 * 30};
    };

    // The delegate must outlive the session.
    DownloadSession(Configuration configuration, DownloadSessionDelegate* delegate);
    // Ends every transfer without further callbacks and stops the thread.
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    // A new, suspended task for `url`, which will write its file into `stagingFolder` (a Mac
    // path) while it arrives, or into `store` when given (and continue what is there when it
    // was fetched as the same URL and size and the server's validator still holds); the file
    // handed on is then a link to the store's in `stagingFolder`. Identifiers are unique
    // within the session.
    std::shared_ptr<DownloadTask> downloadTask(const std::string& url,
                                               const std::string& stagingFolder,
                                               ExpectedFile expected = {},
                                               std::shared_ptr<ResumeStore> store = nullptr);

  private:
    std::shared_ptr<DownloadSessionState> state_;
};

}  // namespace vantrel::net
