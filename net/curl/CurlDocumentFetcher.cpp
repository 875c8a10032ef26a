#include <curl/curl.h>

#include "net/curl/CurlNetwork.h"
#include "net/curl/NetworkPolicy.h"

namespace vantrel::net {

namespace {

class CurlDocumentFetcher final : public net::DocumentFetcher {
  public:
    // One handle for every fetch: libcurl keeps its connection open between them.
    CurlDocumentFetcher() : easy_(curl_easy_init()) {}
    ~CurlDocumentFetcher() override {
        if (easy_) {
            curl_easy_cleanup(easy_);
        }
    }
    CurlDocumentFetcher(const CurlDocumentFetcher&) = delete;
    CurlDocumentFetcher& operator=(const CurlDocumentFetcher&) = delete;

    std::optional<std::string> fetch(const net::TransferSettings& settings, std::size_t maxBytes,
                                     std::string& error) override {
        const auto fail = [&](std::string description) -> std::optional<std::string> {
            error = std::move(description);
            body_.clear();
            body_.shrink_to_fit();
            return std::nullopt;
        };
        if (!easy_) {
            return fail("the network library could not be set up");
        }
        char message[CURL_ERROR_SIZE] = {};
        body_.clear();
        maxBytes_ = maxBytes;
        tooLarge_ = false;

        if (auto refused = applyNetworkPolicy(easy_, settings)) {
            return fail(std::move(*refused));
        }
        curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlDocumentFetcher::write);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, message);

        const CURLcode result = curl_easy_perform(easy_);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
        if (tooLarge_ || result == CURLE_FILESIZE_EXCEEDED) {
            return fail("the document is larger than " + std::to_string(maxBytes / (1024 * 1024)) +
                        " MiB");
        }
        if (result != CURLE_OK) {
            return fail(*message ? message : curl_easy_strerror(result));
        }
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            return fail("the server answered with HTTP status " + std::to_string(status));
        }
        std::string body = std::move(body_);
        body_ = std::string();
        return body;
    }

  private:
    CURL* easy_;
    // State of the fetch in progress.
    std::string body_;
    std::size_t maxBytes_ = 0;
    bool tooLarge_ = false;

    // Room for the whole body when the server announces its length, so that a large body
    // is not copied as it grows: each copy would briefly hold it twice.
    void reserveAnnouncedLength() {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && static_cast<std::size_t>(announced) <= maxBytes_) {
            body_.reserve(static_cast<std::size_t>(announced));
        }
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<CurlDocumentFetcher*>(user);
        const std::size_t length = size * count;
        if (self->body_.size() + length > self->maxBytes_) {
            self->tooLarge_ = true;
            return 0;  // ends the transfer with a write error
        }
        if (self->body_.empty()) {
            self->reserveAnnouncedLength();
        }
        self->body_.append(data, length);
        return length;
    }
};

}  // namespace

std::unique_ptr<net::DocumentFetcher> makeCurlDocumentFetcher() {
    return std::make_unique<CurlDocumentFetcher>();
}

}  // namespace vantrel::net
