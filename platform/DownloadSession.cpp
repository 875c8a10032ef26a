#include "platform/DownloadSession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Host.h"
#include "platform/Machine.h"

namespace vantrel::platform {

namespace {

constexpr long kReadBufferBytes = 256 * 1024;
constexpr const char* kStagingPrefix = ".vantrel-download-";

enum class TaskState { Suspended, Running, Completed };

}  // namespace

// Everything the session's thread owns. Tasks reach it through a weak pointer, so a task
// that outlives its session does nothing when resumed or cancelled.
struct DownloadSessionState {
    struct Transfer {
        std::shared_ptr<DownloadTask> task;
        CURL* easy = nullptr;
        int fd = -1;
        std::filesystem::path stagingHostPath;
        std::string stagingMacPath;
        std::int64_t written = 0;
        std::int64_t reportedWritten = -1;
        std::chrono::steady_clock::time_point reportedAt;
        std::string contentDisposition;
        int writeErrno = 0;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        DownloadSessionState* state = nullptr;
    };

    DownloadSession::Configuration configuration;
    DownloadSessionDelegate* delegate;
    // Made under `lock` with the thread, before the thread starts; absent until then.
    CURLM* multi = nullptr;
    std::atomic<std::uint64_t> nextIdentifier{1};

    std::mutex lock;  // guards the fields below
    std::vector<std::function<void()>> commands;
    bool stopping = false;
    std::thread thread;

    // Only touched on the session's thread.
    std::map<CURL*, std::unique_ptr<Transfer>> transfers;
    std::map<std::uint64_t, TaskState> taskStates;

    // The network library is set up with the first transfer, not here: every run makes the
    // session, and a run that downloads nothing ("status") should not pay for TLS set-up.
    DownloadSessionState(DownloadSession::Configuration config, DownloadSessionDelegate* d)
        : configuration(std::move(config)), delegate(d) {}

    ~DownloadSessionState() {
        if (multi) {
            curl_multi_cleanup(multi);
        }
    }

    // Queues work for the session's thread, starting the thread on first use.
    void enqueue(std::function<void()> command) {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping) {
            return;
        }
        commands.push_back(std::move(command));
        if (!thread.joinable()) {
            ensureCurlInitialised();
            multi = curl_multi_init();
            curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
            thread = std::thread([this] { run(); });
        }
        curl_multi_wakeup(multi);
    }

    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
            if (multi) {
                curl_multi_wakeup(multi);
            }
        }
        if (thread.joinable()) {
            thread.join();
        }
    }

    void run() {
        while (true) {
            std::vector<std::function<void()>> pending;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping) {
                    break;
                }
                pending.swap(commands);
            }
            for (auto& command : pending) {
                command();
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            collectCompletions();
            const int waitMs = reportDueProgress(std::chrono::steady_clock::now());
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping || !commands.empty()) {
                    continue;
                }
            }
            if (multi) {
                curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
            } else {
                // No network library: each start completes with an error; nothing to wait on.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        // Ended without callbacks: the delegate may be going away with the session.
        for (auto& [easy, transfer] : transfers) {
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            discardStagingFile(*transfer);
        }
        transfers.clear();
    }

    void start(const std::shared_ptr<DownloadTask>& task) {
        auto& taskState = taskStates[task->identifier_];
        if (taskState != TaskState::Suspended) {
            return;
        }
        taskState = TaskState::Running;
        auto transfer = std::make_unique<Transfer>();
        transfer->task = task;
        transfer->state = this;
        std::string folder = mac().host(task->stagingFolder_).string();
        std::string pattern = folder + "/" + kStagingPrefix + "XXXXXX";
        transfer->fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (transfer->fd < 0) {
            complete(*task, Error{"The download could not be written to “" + task->stagingFolder_ +
                                  "”: " + std::strerror(errno)});
            return;
        }
        transfer->stagingHostPath = pattern;
        transfer->stagingMacPath = mac().mac(pattern);

        // Read when the transfer starts: the session may be made before the Mac is known.
        const auto trustFile = configuration.trustedCertificates.value_or(trustedCertificates());
        CURL* easy = multi ? curl_easy_init() : nullptr;
        if (!easy) {
            discardStagingFile(*transfer);
            complete(*task, Error{"The network library (libcurl) could not be set up."});
            return;
        }
        transfer->easy = easy;
        if (auto refused =
                applyNetworkPolicy(easy, trustFile, configuration.limits, TransferKind::Download)) {
            curl_easy_cleanup(easy);
            discardStagingFile(*transfer);
            complete(*task, Error{*refused});
            return;
        }
        curl_easy_setopt(easy, CURLOPT_URL, task->url_.c_str());
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadBufferBytes);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &DownloadSessionState::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &DownloadSessionState::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
        curl_multi_add_handle(multi, easy);
        transfers.emplace(easy, std::move(transfer));
    }

    void cancel(const std::shared_ptr<DownloadTask>& task) {
        auto& taskState = taskStates[task->identifier_];
        if (taskState == TaskState::Completed) {
            return;
        }
        for (auto it = transfers.begin(); it != transfers.end(); ++it) {
            if (it->second->task == task) {
                std::unique_ptr<Transfer> transfer = std::move(it->second);
                transfers.erase(it);
                curl_multi_remove_handle(multi, transfer->easy);
                curl_easy_cleanup(transfer->easy);
                discardStagingFile(*transfer);
                break;
            }
        }
        complete(*task, Error{"cancelled"});
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        noteContentDisposition(std::string_view(data, size * count), transfer->contentDisposition);
        return size * count;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const std::size_t length = size * count;
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(transfer->fd, data + done, length - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                transfer->writeErrno = n < 0 ? errno : ENOSPC;
                return 0;  // ends the transfer with a write error
            }
            done += static_cast<std::size_t>(n);
        }
        transfer->written += static_cast<std::int64_t>(length);
        if (!transfer->task->response_) {
            transfer->state->noteResponse(*transfer);  // refreshed once more at the end
        }
        const auto now = std::chrono::steady_clock::now();
        if (transfer->reportedWritten < 0 ||
            now - transfer->reportedAt >= transfer->state->configuration.progressInterval) {
            transfer->state->report(*transfer, now);
        }
        return length;
    }

    void noteResponse(Transfer& transfer) {
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        const char* effective = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
        auto& response = transfer.task->response_;
        if (!response) {
            response = DownloadTask::Response{0, std::string()};
        }
        response->statusCode = status;
        response->suggestedFilename = suggestedFilename(
            transfer.contentDisposition, effective ? effective : transfer.task->url_);
    }

    // Reports the bytes that arrived since a transfer's last report once its interval has
    // passed, so a transfer that pauses still counts what it has. Answers how long the
    // session's thread may wait before the next such report is due.
    int reportDueProgress(std::chrono::steady_clock::time_point now) {
        auto wait = std::chrono::milliseconds(1000);
        for (auto& [easy, transfer] : transfers) {
            if (transfer->written == 0 || transfer->written == transfer->reportedWritten) {
                continue;
            }
            const auto due = transfer->reportedAt + configuration.progressInterval;
            if (now >= due) {
                report(*transfer, now);
            } else {
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(due - now));
            }
        }
        return static_cast<int>(wait.count());
    }

    void report(Transfer& transfer, std::chrono::steady_clock::time_point now) {
        curl_off_t expected = -1;
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        const std::int64_t step =
            transfer.written - (transfer.reportedWritten < 0 ? 0 : transfer.reportedWritten);
        transfer.reportedWritten = transfer.written;
        transfer.reportedAt = now;
        delegate->didWriteData(*transfer.task, step, transfer.written,
                               static_cast<std::int64_t>(expected));
    }

    void collectCompletions() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            const auto found = transfers.find(message->easy_handle);
            if (found == transfers.end()) {
                continue;
            }
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            transfers.erase(found);
            finish(*transfer, message->data.result);
        }
    }

    void finish(Transfer& transfer, CURLcode result) {
        curl_multi_remove_handle(multi, transfer.easy);
        std::optional<Error> error;
        if (result == CURLE_OK) {
            noteResponse(transfer);
            if (transfer.written != transfer.reportedWritten && transfer.written > 0) {
                report(transfer, std::chrono::steady_clock::now());
            }
        } else if (transfer.writeErrno != 0) {
            error = Error{"The download could not be written: " +
                          std::string(std::strerror(transfer.writeErrno))};
        } else {
            error =
                Error{*transfer.errorBuffer ? transfer.errorBuffer : curl_easy_strerror(result)};
        }
        curl_easy_cleanup(transfer.easy);
        transfer.easy = nullptr;
        const bool closed = ::close(transfer.fd) == 0;
        transfer.fd = -1;
        if (!error && !closed) {
            error =
                Error{"The download could not be written: " + std::string(std::strerror(errno))};
        }
        if (!error) {
            delegate->didFinishDownloadingToURL(*transfer.task, transfer.stagingMacPath);
        }
        discardStagingFile(transfer);
        complete(*transfer.task, error);
    }

    void discardStagingFile(Transfer& transfer) {
        if (transfer.fd >= 0) {
            ::close(transfer.fd);
            transfer.fd = -1;
        }
        if (!transfer.stagingHostPath.empty()) {
            ::unlink(transfer.stagingHostPath.c_str());  // gone already when it was moved
        }
    }

    void complete(DownloadTask& task, const std::optional<Error>& error) {
        taskStates[task.identifier_] = TaskState::Completed;
        delegate->didCompleteWithError(task, error);
    }
};

DownloadTask::DownloadTask(std::weak_ptr<DownloadSessionState> session, std::uint64_t identifier,
                           std::string url, std::string stagingFolder)
    : session_(std::move(session)),
      identifier_(identifier),
      url_(std::move(url)),
      stagingFolder_(std::move(stagingFolder)) {}

void DownloadTask::resume() {
    if (auto session = session_.lock()) {
        std::shared_ptr<DownloadTask> self = shared_from_this();
        session->enqueue([state = session.get(), self] { state->start(self); });
    }
}

void DownloadTask::cancel() {
    if (auto session = session_.lock()) {
        std::shared_ptr<DownloadTask> self = shared_from_this();
        session->enqueue([state = session.get(), self] { state->cancel(self); });
    }
}

DownloadSession::DownloadSession(Configuration configuration, DownloadSessionDelegate* delegate)
    : state_(std::make_shared<DownloadSessionState>(std::move(configuration), delegate)) {}

DownloadSession::~DownloadSession() {
    state_->stop();
}

std::shared_ptr<DownloadTask> DownloadSession::downloadTask(const std::string& url,
                                                            const std::string& stagingFolder) {
    const std::uint64_t identifier = state_->nextIdentifier.fetch_add(1);
    return std::shared_ptr<DownloadTask>(new DownloadTask(state_, identifier, url, stagingFolder));
}

}  // namespace vantrel::platform
