#include <curl/curl.h>

#include <map>

#include "net/curl/CurlNetwork.h"
#include "net/curl/NetworkPolicy.h"

namespace vantrel::net {

namespace {

using net::TransferAnswer;
using net::TransferGroup;

constexpr long kReadBufferBytes = 256 * 1024;

class CurlTransferGroup final : public TransferGroup {
  public:
    explicit CurlTransferGroup(CURLM* multi) : multi_(multi) {
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    }
    ~CurlTransferGroup() override {
        for (auto& [id, transfer] : transfers_) {
            end(transfer);
        }
        curl_multi_cleanup(multi_);
    }
    CurlTransferGroup(const CurlTransferGroup&) = delete;
    CurlTransferGroup& operator=(const CurlTransferGroup&) = delete;

    std::optional<std::string> add(Id id, const net::TransferSettings& settings,
                                   net::TransferReceiver* receiver) override {
        CURL* easy = curl_easy_init();
        if (!easy) {
            return "The network library (libcurl) could not be set up.";
        }
        if (auto refused = applyNetworkPolicy(easy, settings)) {
            curl_easy_cleanup(easy);
            return refused;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->id = id;
        transfer->easy = easy;
        transfer->receiver = receiver;
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadBufferBytes);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransferGroup::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransferGroup::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        if (settings.freshConnection &&
            curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L) != CURLE_OK) {
            curl_easy_cleanup(easy);
            return "The network library (libcurl) could not start the transfer.";
        }
        if (!settings.requestHeaders.empty()) {
            // The policy's list (which takes Accept-Encoding out) with these added; kept by the
            // transfer while libcurl refers to it.
            curl_slist* headers = curl_slist_append(nullptr, "Accept-Encoding:");
            for (const auto& header : settings.requestHeaders) {
                curl_slist* longer = headers ? curl_slist_append(headers, header.c_str()) : nullptr;
                if (!longer) {
                    curl_slist_free_all(headers);
                    curl_easy_cleanup(easy);
                    return "The network library (libcurl) could not start the transfer.";
                }
                headers = longer;
            }
            transfer->headers = headers;
            if (curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers) != CURLE_OK) {
                curl_easy_cleanup(easy);
                return "The network library (libcurl) could not start the transfer.";
            }
        }
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
            curl_easy_cleanup(easy);
            return "The network library (libcurl) could not start the transfer.";
        }
        transfers_.emplace(id, std::move(transfer));
        return std::nullopt;
    }

    void remove(Id id) override {
        if (const auto found = transfers_.find(id); found != transfers_.end()) {
            end(found->second);
            transfers_.erase(found);
        }
    }

    TransferAnswer answer(Id id) override {
        const auto found = transfers_.find(id);
        return found == transfers_.end() ? TransferAnswer{} : answerOf(found->second->easy);
    }

    void perform() override {
        int running = 0;
        curl_multi_perform(multi_, &running);
    }

    std::optional<Completion> nextCompletion() override {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* done = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done);
            const auto found = done ? transfers_.find(done->id) : transfers_.end();
            if (found == transfers_.end()) {
                continue;
            }
            const CURLcode result = message->data.result;  // `message` ends with the handle
            Completion completion{done->id, answerOf(done->easy), std::nullopt};
            if (result != CURLE_OK) {
                completion.error =
                    *done->errorBuffer ? done->errorBuffer : curl_easy_strerror(result);
                completion.mayPass = mayPass(result);
            }
            end(found->second);
            transfers_.erase(found);
            return completion;
        }
        return std::nullopt;
    }

    void wait(std::chrono::milliseconds limit) override {
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(limit.count()), nullptr);
    }

    void wakeUp() override { curl_multi_wakeup(multi_); }

  private:
    struct Transfer {
        Id id = 0;
        CURL* easy = nullptr;
        net::TransferReceiver* receiver = nullptr;
        char errorBuffer[CURL_ERROR_SIZE] = {};
        curl_slist* headers = nullptr;  // the transfer's own request headers, if any
        ~Transfer() { curl_slist_free_all(headers); }
    };

    // Failures of the network between here and the server, which a later try may not meet.
    static bool mayPass(CURLcode result) {
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_CONNECT:
            case CURLE_PARTIAL_FILE:
            case CURLE_OPERATION_TIMEDOUT:
            case CURLE_GOT_NOTHING:
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
            case CURLE_HTTP2:
            case CURLE_HTTP2_STREAM:
                return true;
            default:
                return false;
        }
    }

    CURLM* const multi_;
    std::map<Id, std::unique_ptr<Transfer>> transfers_;

    void end(const std::unique_ptr<Transfer>& transfer) {
        curl_multi_remove_handle(multi_, transfer->easy);
        curl_easy_cleanup(transfer->easy);
    }

    static TransferAnswer answerOf(CURL* easy) {
        TransferAnswer answer;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &answer.statusCode);
        const char* effective = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
            answer.effectiveURL = effective;
        }
        curl_off_t expected = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        answer.expectedBytes = static_cast<std::int64_t>(expected);
        return answer;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
        static_cast<Transfer*>(user)->receiver->headerLine(std::string_view(data, size * count));
        return size * count;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        const std::size_t length = size * count;
        // 0 ends the transfer with a write error.
        return static_cast<Transfer*>(user)->receiver->body(std::string_view(data, length)) ? length
                                                                                            : 0;
    }
};

}  // namespace

std::unique_ptr<TransferGroup> makeCurlTransferGroup() {
    CURLM* multi = curl_multi_init();
    return multi ? std::make_unique<CurlTransferGroup>(multi) : nullptr;
}

}  // namespace vantrel::net
