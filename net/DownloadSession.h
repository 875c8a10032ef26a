#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "net/Http.h"
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
                 std::string url, std::string stagingFolder);

    std::weak_ptr<DownloadSessionState> session_;
    std::uint64_t identifier_;
    std::string url_;
    std::string stagingFolder_;  // Mac path: where the file is written while it arrives
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
};

// Concurrent HTTPS downloads that stream to disk, run by one thread of their own (the
// session's serial delegate queue), which starts with the first transfer. All started
// transfers run at once: HTTP/2 streams on one connection or parallel connections, as the
// server allows. Every transfer runs under the network policy (the network plug-in's).
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
    };

    // The delegate must outlive the session.
    DownloadSession(Configuration configuration, DownloadSessionDelegate* delegate);
    // Ends every transfer without further callbacks and stops the thread.
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    // A new, suspended task for `url`, which will write its file into `stagingFolder` (a Mac
    // path) while it arrives. Identifiers are unique within the session.
    std::shared_ptr<DownloadTask> downloadTask(const std::string& url,
                                               const std::string& stagingFolder);

  private:
    std::shared_ptr<DownloadSessionState> state_;
};

}  // namespace vantrel::net
