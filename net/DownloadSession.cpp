#include "net/DownloadSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "net/NetworkLibrary.h"

namespace vantrel::net {

namespace {

constexpr const char* kStagingPrefix = ".vantrel-download-";

enum class TaskState { Suspended, Running, Completed };

}  // namespace

// Everything the session's thread owns. Tasks reach it through a weak pointer, so a task
// that outlives its session does nothing when resumed or cancelled.
struct DownloadSessionState {
    struct Transfer : TransferReceiver {
        std::shared_ptr<DownloadTask> task;
        int fd = -1;
        std::filesystem::path stagingHostPath;
        std::string stagingMacPath;
        std::int64_t written = 0;
        std::int64_t reportedWritten = -1;
        std::chrono::steady_clock::time_point reportedAt;
        std::string contentDisposition;
        int writeErrno = 0;
        DownloadSessionState* state = nullptr;

        void headerLine(std::string_view line) override {
            noteContentDisposition(line, contentDisposition);
        }
        bool body(std::string_view bytes) override { return state->onBody(*this, bytes); }
    };

    DownloadSession::Configuration configuration;
    DownloadSessionDelegate* delegate;
    // Made under `lock` with the thread, before the thread starts; absent until then, and
    // for good when the network library cannot be loaded (`networkMissing` then says why).
    std::unique_ptr<TransferGroup> group;
    std::string networkMissing;
    std::atomic<std::uint64_t> nextIdentifier{1};

    std::mutex lock;                          // guards the fields below
    std::condition_variable commandsChanged;  // waited on when there is no group
    std::vector<std::function<void()>> commands;
    bool stopping = false;
    std::thread thread;

    // Only touched on the session's thread.
    std::map<TransferGroup::Id, std::unique_ptr<Transfer>> transfers;
    std::map<std::uint64_t, TaskState> taskStates;

    // The network library is set up with the first transfer, not here: every run makes the
    // session, and a run that downloads nothing ("status") should not pay for TLS set-up.
    DownloadSessionState(DownloadSession::Configuration config, DownloadSessionDelegate* d)
        : configuration(std::move(config)), delegate(d) {}

    // Queues work for the session's thread, starting the thread on first use.
    void enqueue(std::function<void()> command) {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping) {
            return;
        }
        commands.push_back(std::move(command));
        if (!thread.joinable()) {
            NetworkLibrary* library =
                configuration.network ? configuration.network->library(&networkMissing) : nullptr;
            if (library) {
                group = library->makeTransferGroup();
            }
            thread = std::thread([this] { run(); });
        }
        wakeUp();
    }

    // Called under `lock`.
    void wakeUp() {
        if (group) {
            group->wakeUp();
        }
        commandsChanged.notify_all();
    }

    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
            wakeUp();
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
            if (!group) {
                // No network library: each start completes with an error; nothing to wait on
                // but the next command.
                std::unique_lock<std::mutex> guard(lock);
                commandsChanged.wait(guard, [&] { return stopping || !commands.empty(); });
                continue;
            }
            group->perform();
            collectCompletions();
            const auto wait = reportDueProgress(std::chrono::steady_clock::now());
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping || !commands.empty()) {
                    continue;
                }
            }
            group->wait(wait);
        }
        // Ended without callbacks: the delegate may be going away with the session.
        for (auto& [id, transfer] : transfers) {
            group->remove(id);
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
        std::string folder = configuration.root.host(task->stagingFolder_).string();
        std::string pattern = folder + "/" + kStagingPrefix + "XXXXXX";
        transfer->fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (transfer->fd < 0) {
            complete(*task, platform::Error{"The download could not be written to “" +
                                            task->stagingFolder_ + "”: " + std::strerror(errno)});
            return;
        }
        transfer->stagingHostPath = pattern;
        transfer->stagingMacPath = configuration.root.mac(pattern);

        // Read when the transfer starts: the session may be made before the Mac is known.
        const TransferSettings settings{task->url_, configuration.trustedCertificates,
                                        configuration.limits, TransferKind::Download};
        if (!group) {
            discardStagingFile(*transfer);
            complete(*task, platform::Error{"The network library (libcurl) could not be set up (" +
                                            networkMissing + ")."});
            return;
        }
        if (auto refused = group->add(task->identifier_, settings, transfer.get())) {
            discardStagingFile(*transfer);
            complete(*task, platform::Error{*refused});
            return;
        }
        transfers.emplace(task->identifier_, std::move(transfer));
    }

    void cancel(const std::shared_ptr<DownloadTask>& task) {
        auto& taskState = taskStates[task->identifier_];
        if (taskState == TaskState::Completed) {
            return;
        }
        if (const auto found = transfers.find(task->identifier_); found != transfers.end()) {
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            transfers.erase(found);
            group->remove(task->identifier_);
            discardStagingFile(*transfer);
        }
        complete(*task, platform::Error{"cancelled"});
    }

    bool onBody(Transfer& transfer, std::string_view bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(transfer.fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                transfer.writeErrno = n < 0 ? errno : ENOSPC;
                return false;  // ends the transfer with a write error
            }
            done += static_cast<std::size_t>(n);
        }
        transfer.written += static_cast<std::int64_t>(bytes.size());
        if (!transfer.task->response_) {
            noteResponse(transfer, group->answer(transfer.task->identifier_));  // and at the end
        }
        const auto now = std::chrono::steady_clock::now();
        if (transfer.reportedWritten < 0 ||
            now - transfer.reportedAt >= configuration.progressInterval) {
            report(transfer, now, group->answer(transfer.task->identifier_).expectedBytes);
        }
        return true;
    }

    void noteResponse(Transfer& transfer, const TransferAnswer& answer) {
        auto& response = transfer.task->response_;
        if (!response) {
            response = DownloadTask::Response{0, std::string()};
        }
        response->statusCode = answer.statusCode;
        response->suggestedFilename = suggestedFilename(
            *configuration.network, transfer.contentDisposition,
            answer.effectiveURL.empty() ? transfer.task->url_ : answer.effectiveURL);
    }

    // Reports the bytes that arrived since a transfer's last report once its interval has
    // passed, so a transfer that pauses still counts what it has. Answers how long the
    // session's thread may wait before the next such report is due.
    std::chrono::milliseconds reportDueProgress(std::chrono::steady_clock::time_point now) {
        auto wait = std::chrono::milliseconds(1000);
        for (auto& [id, transfer] : transfers) {
            if (transfer->written == 0 || transfer->written == transfer->reportedWritten) {
                continue;
            }
            const auto due = transfer->reportedAt + configuration.progressInterval;
            if (now >= due) {
                report(*transfer, now, group->answer(id).expectedBytes);
            } else {
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(due - now));
            }
        }
        return wait;
    }

    void report(Transfer& transfer, std::chrono::steady_clock::time_point now,
                std::int64_t expected) {
        const std::int64_t step =
            transfer.written - (transfer.reportedWritten < 0 ? 0 : transfer.reportedWritten);
        transfer.reportedWritten = transfer.written;
        transfer.reportedAt = now;
        delegate->didWriteData(*transfer.task, step, transfer.written, expected);
    }

    void collectCompletions() {
        while (auto completion = group->nextCompletion()) {
            const auto found = transfers.find(completion->id);
            if (found == transfers.end()) {
                continue;
            }
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            transfers.erase(found);
            finish(*transfer, *completion);
        }
    }

    void finish(Transfer& transfer, const TransferGroup::Completion& completion) {
        std::optional<platform::Error> error;
        if (!completion.error) {
            noteResponse(transfer, completion.answer);
            if (transfer.written != transfer.reportedWritten && transfer.written > 0) {
                report(transfer, std::chrono::steady_clock::now(), completion.answer.expectedBytes);
            }
        } else if (transfer.writeErrno != 0) {
            error = platform::Error{"The download could not be written: " +
                                    std::string(std::strerror(transfer.writeErrno))};
        } else {
            error = platform::Error{*completion.error};
        }
        const bool closed = ::close(transfer.fd) == 0;
        transfer.fd = -1;
        if (!error && !closed) {
            error = platform::Error{"The download could not be written: " +
                                    std::string(std::strerror(errno))};
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

    void complete(DownloadTask& task, const std::optional<platform::Error>& error) {
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

}  // namespace vantrel::net
