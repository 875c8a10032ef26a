#include "net/DownloadSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "net/ContentDigest.h"
#include "net/NetworkLibrary.h"
#include "net/ResumeHeaders.h"

namespace vantrel::net {

namespace {

constexpr const char* kStagingPrefix = ".vantrel-download-";

enum class TaskState { Suspended, Running, Completed };

}  // namespace

// Everything the session's thread owns. Tasks reach it through a weak pointer, so a task
// that outlives its session does nothing when resumed or cancelled.
struct DownloadSessionState {
    // One task's file and its tries. Lives from the start to the completion of the task; is
    // in the transfer group only while a try runs.
    struct Transfer : TransferReceiver {
        std::shared_ptr<DownloadTask> task;
        DownloadSessionState* state = nullptr;
        int fd = -1;
        std::filesystem::path stagingHostPath;  // without a store: the file being written
        std::string stagingMacPath;
        std::unique_ptr<Digest> digest;  // when a digest is expected
        std::int64_t onDisk = 0;         // bytes of the file, all hashed
        std::string validator;           // the server's, for continuing the file
        std::size_t retriesUsed = 0;
        int mismatches = 0;
        bool rangesRefused = false;  // the server answered a range with the wrong bytes
        std::optional<std::chrono::steady_clock::time_point> retryAt;  // waiting for a try

        // The try that runs.
        std::int64_t tryOffset = 0;
        bool answerChecked = false;
        long errorStatus = 0;  // an error status: its body is not written
        bool oversize = false;
        bool wrongRange = false;
        int writeErrno = 0;
        std::string contentDisposition;
        ResumeHeaders headers;

        // Progress reports, which never go backwards.
        std::int64_t reportedWritten = -1;
        std::int64_t expectedTotal = -1;
        std::chrono::steady_clock::time_point reportedAt;

        void headerLine(std::string_view line) override {
            noteContentDisposition(line, contentDisposition);
            headers.note(line);
        }
        bool body(std::string_view bytes) override { return state->onBody(*this, bytes); }
        const std::string& url() const { return task->url_; }
        ResumeStore* store() const { return task->store_.get(); }
        std::int64_t shownWritten() const { return std::max(onDisk, reportedWritten); }
    };

    DownloadSession::Configuration configuration;
    DownloadSessionDelegate* delegate;
    // Made under `lock` with the thread, before the thread starts; absent until then, and
    // for good when the network library cannot be loaded (`networkMissing` then says why).
    std::unique_ptr<TransferGroup> group;
    NetworkLibrary* library = nullptr;  // with the group
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
            library =
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
            const auto now = configuration.clock->steadyNow();
            const auto wait = std::min(reportDueProgress(now), startDueRetries(now));
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
            if (!transfer->retryAt) {
                group->remove(id);
            }
            closeFile(*transfer);
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
        if (!task->expected_.digest.empty() && library) {
            if (const auto algorithm = ContentDigest::algorithmOf(task->expected_.digest)) {
                transfer->digest = library->makeDigest(*algorithm);
            }
        }
        if (auto refused = openFile(*transfer)) {
            closeFile(*transfer);
            complete(*task, platform::Error{*refused});
            return;
        }
        if (!group) {
            closeFile(*transfer);
            complete(*task, platform::Error{"The network library (libcurl) could not be set up (" +
                                            networkMissing + ")."});
            return;
        }
        Transfer& added = *transfer;
        transfers.emplace(task->identifier_, std::move(transfer));
        beginTry(added);
    }

    // Opens the file the task writes: in the store, continuing what is there when it was
    // fetched as the same URL and size (the server then says whether its validator holds),
    // or a new one in the staging folder. Answers why not.
    std::optional<std::string> openFile(Transfer& transfer) {
        DownloadTask& task = *transfer.task;
        if (ResumeStore* store = transfer.store()) {
            transfer.fd = store->openData(task.url_);
            if (transfer.fd < 0) {
                return "The download could not be written to the resume store: " +
                       std::string(std::strerror(errno));
            }
            const auto entry = store->find(task.url_);
            struct stat info {};
            std::int64_t kept = 0;
            if (entry && entry->expectedSize == task.expected_.size && !entry->validator.empty() &&
                ::fstat(transfer.fd, &info) == 0) {
                kept = static_cast<std::int64_t>(info.st_size);
                // At least the last byte is asked for, so the server still vouches for a
                // file that was whole.
                if (task.expected_.size >= 0) {
                    kept = std::min(kept, task.expected_.size - 1);
                }
                kept = std::max<std::int64_t>(kept, 0);
            }
            if (kept > 0 && hashKeptBytes(transfer, kept)) {
                transfer.onDisk = kept;
                transfer.validator = entry->validator;
            } else {
                startOver(transfer);
            }
            if (::ftruncate(transfer.fd, transfer.onDisk) != 0) {
                return "The download could not be written to the resume store: " +
                       std::string(std::strerror(errno));
            }
            return std::nullopt;
        }
        std::string folder = configuration.root.host(task.stagingFolder_).string();
        std::string pattern = folder + "/" + kStagingPrefix + "XXXXXX";
        transfer.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (transfer.fd < 0) {
            return "The download could not be written to “" + task.stagingFolder_ +
                   "”: " + std::strerror(errno);
        }
        transfer.stagingHostPath = pattern;
        transfer.stagingMacPath = configuration.root.mac(pattern);
        return std::nullopt;
    }

    // Feeds the first `count` bytes of the file to the digest; false when they cannot be read.
    bool hashKeptBytes(Transfer& transfer, std::int64_t count) {
        if (!transfer.digest) {
            return true;
        }
        std::vector<char> buffer(1 << 20);
        std::int64_t done = 0;
        while (done < count) {
            const auto want = static_cast<std::size_t>(
                std::min<std::int64_t>(count - done, static_cast<std::int64_t>(buffer.size())));
            const ssize_t n = ::pread(transfer.fd, buffer.data(), want, done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                transfer.digest->reset();
                return false;
            }
            transfer.digest->update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            done += n;
        }
        return true;
    }

    void startOver(Transfer& transfer) {
        transfer.onDisk = 0;
        transfer.validator.clear();
        if (transfer.digest) {
            transfer.digest->reset();
        }
        if (transfer.fd >= 0) {
            (void)::ftruncate(transfer.fd, 0);
        }
    }

    // Starts a try from the bytes on disk: a range request guarded by the validator when
    // there are bytes to continue, the whole file otherwise.
    void beginTry(Transfer& transfer) {
        transfer.retryAt.reset();
        if (transfer.onDisk > 0 && (transfer.validator.empty() || transfer.rangesRefused)) {
            startOver(transfer);
        }
        transfer.tryOffset = transfer.onDisk;
        transfer.answerChecked = false;
        transfer.errorStatus = 0;
        transfer.oversize = false;
        transfer.wrongRange = false;
        transfer.writeErrno = 0;
        transfer.contentDisposition.clear();
        transfer.headers = ResumeHeaders();
        // Read when the transfer starts: the session may be made before the Mac is known.
        TransferSettings settings{transfer.url(),
                                  configuration.trustedCertificates,
                                  configuration.limits,
                                  TransferKind::Download,
                                  {},
                                  transfer.retriesUsed > 0 || transfer.mismatches > 0};
        if (transfer.tryOffset > 0) {
            settings.requestHeaders = {rangeHeader(transfer.tryOffset),
                                       ifRangeHeader(transfer.validator)};
        }
        if (auto refused = group->add(transfer.task->identifier_, settings, &transfer)) {
            fail(transfer, *refused);
        }
    }

    // What the first bytes of a try's answer say: an error status writes nothing; a range
    // answered with the whole file starts the file over; a range that starts elsewhere than
    // asked ends the try (the next one asks for the whole file).
    bool checkAnswer(Transfer& transfer, const TransferAnswer& answer) {
        transfer.answerChecked = true;
        if (answer.statusCode >= 400) {
            transfer.errorStatus = answer.statusCode;
            return true;
        }
        if (transfer.tryOffset > 0) {
            if (answer.statusCode == 206 && transfer.headers.rangeStart == transfer.tryOffset) {
                // Continues the file.
            } else if (answer.statusCode == 200) {
                startOver(transfer);
                transfer.tryOffset = 0;
            } else {
                transfer.wrongRange = true;
                return false;
            }
        }
        transfer.expectedTotal =
            answer.expectedBytes >= 0 ? transfer.tryOffset + answer.expectedBytes : -1;
        const std::string validator = transfer.headers.validator();
        if (validator != transfer.validator || transfer.tryOffset == 0) {
            transfer.validator = validator;
            if (ResumeStore* store = transfer.store()) {
                (void)store->record(
                    {transfer.url(), transfer.task->expected_.size, transfer.validator});
            }
        }
        return true;
    }

    bool onBody(Transfer& transfer, std::string_view bytes) {
        if (!transfer.answerChecked &&
            !checkAnswer(transfer, group->answer(transfer.task->identifier_))) {
            return false;
        }
        if (transfer.errorStatus != 0) {
            return true;  // an error page: read and dropped
        }
        const std::int64_t expectedSize = transfer.task->expected_.size;
        if (expectedSize >= 0 &&
            transfer.onDisk + static_cast<std::int64_t>(bytes.size()) > expectedSize) {
            transfer.oversize = true;  // more than the catalog says: never written
            return false;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::pwrite(transfer.fd, bytes.data() + done, bytes.size() - done,
                                       transfer.onDisk + static_cast<std::int64_t>(done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                transfer.writeErrno = n < 0 ? errno : ENOSPC;
                return false;  // ends the transfer with a write error
            }
            done += static_cast<std::size_t>(n);
        }
        if (transfer.digest) {
            transfer.digest->update(bytes);
        }
        transfer.onDisk += static_cast<std::int64_t>(bytes.size());
        if (!transfer.task->response_) {
            noteResponse(transfer, group->answer(transfer.task->identifier_));  // and at the end
        }
        const auto now = configuration.clock->steadyNow();
        if (transfer.reportedWritten < 0 ||
            now - transfer.reportedAt >= configuration.progressInterval) {
            report(transfer, now);
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
            if (transfer->onDisk == 0 || transfer->shownWritten() == transfer->reportedWritten) {
                continue;
            }
            const auto due = transfer->reportedAt + configuration.progressInterval;
            if (now >= due) {
                report(*transfer, now);
            } else {
                wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(due - now));
            }
        }
        return wait;
    }

    // Starts the tries whose pause has passed; answers how long until the next one is due.
    std::chrono::milliseconds startDueRetries(std::chrono::steady_clock::time_point now) {
        auto wait = std::chrono::milliseconds(1000);
        std::vector<Transfer*> due;
        for (auto& [id, transfer] : transfers) {
            if (!transfer->retryAt) {
                continue;
            }
            if (now >= *transfer->retryAt) {
                due.push_back(transfer.get());
            } else {
                wait = std::min(
                    wait, std::chrono::ceil<std::chrono::milliseconds>(*transfer->retryAt - now));
            }
        }
        for (Transfer* transfer : due) {
            beginTry(*transfer);
        }
        return due.empty() ? wait : std::chrono::milliseconds(0);
    }

    void report(Transfer& transfer, std::chrono::steady_clock::time_point now) {
        const std::int64_t shown = transfer.shownWritten();
        const std::int64_t step =
            shown - (transfer.reportedWritten < 0 ? 0 : transfer.reportedWritten);
        transfer.reportedWritten = shown;
        transfer.reportedAt = now;
        delegate->didWriteData(*transfer.task, step, shown, transfer.expectedTotal);
    }

    void collectCompletions() {
        while (auto completion = group->nextCompletion()) {
            const auto found = transfers.find(completion->id);
            if (found == transfers.end()) {
                continue;
            }
            finishTry(*found->second, *completion);
        }
    }

    // Takes the transfer out of the session for good and completes its task.
    void fail(Transfer& transfer, const std::string& description) {
        finishTask(transfer, platform::Error{description});
    }

    void finishTask(Transfer& transfer, const std::optional<platform::Error>& error) {
        const auto found = transfers.find(transfer.task->identifier_);
        std::unique_ptr<Transfer> owned = std::move(found->second);
        transfers.erase(found);
        std::optional<platform::Error> outcome = error;
        if (!outcome) {
            outcome = deliver(*owned);
        }
        closeFile(*owned);
        complete(*owned->task, outcome);
    }

    // Tries again after the next pause of the policy, or fails the task when none is left.
    void retryOrFail(Transfer& transfer, const std::string& reason) {
        const auto& pauses = configuration.retries.pauses;
        if (transfer.retriesUsed >= pauses.size()) {
            fail(transfer, reason);
            return;
        }
        const auto pause = pauses[transfer.retriesUsed++];
        delegate->willRetry(*transfer.task, transfer.onDisk, reason);
        transfer.retryAt = configuration.clock->steadyNow() + pause;
    }

    void finishTry(Transfer& transfer, const TransferGroup::Completion& completion) {
        if (transfer.writeErrno != 0) {
            fail(transfer, "The download could not be written: " +
                               std::string(std::strerror(transfer.writeErrno)));
            return;
        }
        if (transfer.oversize) {
            mismatch(transfer, "size");
            return;
        }
        if (transfer.wrongRange) {
            // Asked for once more, whole; no pause, as nothing failed on the way.
            transfer.rangesRefused = true;
            beginTry(transfer);
            return;
        }
        if (!transfer.answerChecked && !completion.error &&
            !checkAnswer(transfer, completion.answer)) {
            transfer.rangesRefused = true;
            beginTry(transfer);
            return;
        }
        const long status = transfer.errorStatus;
        if (status == 416 && transfer.tryOffset > 0) {
            transfer.rangesRefused = true;  // the file is shorter now: fetched whole
            beginTry(transfer);
            return;
        }
        if (status != 0) {
            if (statusMayPass(status)) {
                retryOrFail(transfer, statusFailure(status));
            } else {
                fail(transfer, statusFailure(status));
            }
            return;
        }
        if (completion.error) {
            if (completion.mayPass) {
                retryOrFail(transfer, *completion.error);
            } else {
                fail(transfer, *completion.error);
            }
            return;
        }
        noteResponse(transfer, completion.answer);
        const ExpectedFile& expected = transfer.task->expected_;
        if (expected.size >= 0 && transfer.onDisk != expected.size) {
            mismatch(transfer, "size");
            return;
        }
        if (transfer.digest && transfer.digest->hex() != lowerHex(expected.digest)) {
            mismatch(transfer, "digest");
            return;
        }
        if (transfer.shownWritten() != transfer.reportedWritten && transfer.onDisk > 0) {
            report(transfer, configuration.clock->steadyNow());
        }
        finishTask(transfer, std::nullopt);
    }

    // A file that is not what the catalog promised is never handed on: it is fetched once
    // more from byte 0, and a second difference fails the task.
    void mismatch(Transfer& transfer, const char* what) {
        const std::string reason = std::string("the file differs from the catalog (") + what + ")";
        startOver(transfer);
        if (++transfer.mismatches > 1) {
            if (ResumeStore* store = transfer.store()) {
                store->remove(transfer.url());
            }
            fail(transfer, reason);
            return;
        }
        delegate->willRetry(*transfer.task, 0, reason);
        transfer.rangesRefused = false;
        beginTry(transfer);
    }

    // Hands the whole file to the delegate, in the staging folder; answers why not.
    std::optional<platform::Error> deliver(Transfer& transfer) {
        std::string location = transfer.stagingMacPath;
        std::filesystem::path linked;
        if (ResumeStore* store = transfer.store()) {
            // A link in the staging folder: the store keeps the bytes until it is emptied.
            linked = configuration.root.host(transfer.task->stagingFolder_) /
                     (std::string(kStagingPrefix) + std::to_string(transfer.task->identifier_) +
                      "-" + std::to_string(::getpid()));
            ::unlink(linked.c_str());
            if (!store->linkData(transfer.url(), linked) &&
                !store->moveData(transfer.url(), linked)) {
                return platform::Error{"The download could not be written to “" +
                                       transfer.task->stagingFolder_ +
                                       "”: " + std::strerror(errno)};
            }
            location = configuration.root.mac(linked);
        }
        delegate->didFinishDownloadingToURL(*transfer.task, location);
        if (!linked.empty()) {
            ::unlink(linked.c_str());  // gone already when it was moved
        }
        return std::nullopt;
    }

    // Closes the file; one of the staging folder goes (the store's stay for a later run).
    void closeFile(Transfer& transfer) {
        if (transfer.fd >= 0) {
            ::close(transfer.fd);
            transfer.fd = -1;
        }
        if (!transfer.stagingHostPath.empty()) {
            ::unlink(transfer.stagingHostPath.c_str());  // gone already when it was moved
        }
    }

    void cancel(const std::shared_ptr<DownloadTask>& task) {
        auto& taskState = taskStates[task->identifier_];
        if (taskState == TaskState::Completed) {
            return;
        }
        if (const auto found = transfers.find(task->identifier_); found != transfers.end()) {
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            transfers.erase(found);
            if (!transfer->retryAt) {
                group->remove(task->identifier_);
            }
            closeFile(*transfer);
        }
        complete(*task, platform::Error{"cancelled"});
    }

    void complete(DownloadTask& task, const std::optional<platform::Error>& error) {
        taskStates[task.identifier_] = TaskState::Completed;
        delegate->didCompleteWithError(task, error);
    }
};

DownloadTask::DownloadTask(std::weak_ptr<DownloadSessionState> session, std::uint64_t identifier,
                           std::string url, std::string stagingFolder, ExpectedFile expected,
                           std::shared_ptr<ResumeStore> store)
    : session_(std::move(session)),
      identifier_(identifier),
      url_(std::move(url)),
      stagingFolder_(std::move(stagingFolder)),
      expected_(std::move(expected)),
      store_(std::move(store)) {}

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
    : state_(std::make_shared<DownloadSessionState>(std::move(configuration), delegate)) {
    if (!state_->configuration.clock) {
        std::fputs("A download session was made without a clock.\n", stderr);
        std::abort();
    }
}

DownloadSession::~DownloadSession() {
    state_->stop();
}

std::shared_ptr<DownloadTask> DownloadSession::downloadTask(const std::string& url,
                                                            const std::string& stagingFolder,
                                                            ExpectedFile expected,
                                                            std::shared_ptr<ResumeStore> store) {
    const std::uint64_t identifier = state_->nextIdentifier.fetch_add(1);
    return std::shared_ptr<DownloadTask>(new DownloadTask(state_, identifier, url, stagingFolder,
                                                          std::move(expected), std::move(store)));
}

}  // namespace vantrel::net
