#include <curl/curl.h>

#include "net/curl/CurlNetwork.h"
#include "net/curl/NetworkPolicy.h"

namespace vantrel::net {

namespace {

// libcurl hands the body on in pieces of at most one TLS record; larger receive buffers only
// save calls into the socket.
constexpr long kReceiveBufferBytes = 256 * 1024;

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
        std::string body;
        const auto keep = [&](std::string_view piece) {
            if (body.empty()) {
                reserveAnnouncedLength(body, maxBytes);
            }
            body.append(piece);
            return true;
        };
        if (!fetchPieces(settings, maxBytes, keep, error)) {
            return std::nullopt;
        }
        return body;
    }

    bool fetchPieces(const net::TransferSettings& settings, std::size_t maxBytes,
                     const std::function<bool(std::string_view)>& receive,
                     std::string& error) override {
        if (!easy_) {
            error = "the network library could not be set up";
            return false;
        }
        char message[CURL_ERROR_SIZE] = {};
        received_ = 0;
        maxBytes_ = maxBytes;
        tooLarge_ = false;
        refused_ = false;
        receive_ = &receive;

        if (auto refused = applyNetworkPolicy(easy_, settings)) {
            error = std::move(*refused);
            return false;
        }
        curl_easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
        curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlDocumentFetcher::write);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, message);

        const CURLcode result = curl_easy_perform(easy_);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
        receive_ = nullptr;
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (tooLarge_ || result == CURLE_FILESIZE_EXCEEDED) {
            error =
                "the document is larger than " + std::to_string(maxBytes / (1024 * 1024)) + " MiB";
            return false;
        }
        if (result != CURLE_OK && !refused_) {
            error = *message ? message : curl_easy_strerror(result);
            return false;
        }
        if (!isSuccess(status)) {
            error = "the server answered with HTTP status " + std::to_string(status);
            return false;
        }
        if (refused_) {
            error = "the document was refused as it arrived";
            return false;
        }
        return true;
    }

  private:
    CURL* easy_;
    // State of the fetch in progress.
    const std::function<bool(std::string_view)>* receive_ = nullptr;
    std::size_t received_ = 0;
    std::size_t maxBytes_ = 0;
    bool tooLarge_ = false;
    bool refused_ = false;  // by the receiver

    static bool isSuccess(long status) { return status >= 200 && status <= 299; }

    // Room for the whole body when the server announces its length, so that a large body
    // is not copied as it grows: each copy would briefly hold it twice.
    void reserveAnnouncedLength(std::string& body, std::size_t maxBytes) {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && static_cast<std::size_t>(announced) <= maxBytes) {
            body.reserve(static_cast<std::size_t>(announced));
        }
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<CurlDocumentFetcher*>(user);
        const std::size_t length = size * count;
        if (self->received_ + length > self->maxBytes_) {
            self->tooLarge_ = true;
            return 0;  // ends the transfer with a write error
        }
        self->received_ += length;
        long status = 0;
        curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &status);
        if (!isSuccess(status)) {
            return length;  // an error page: not the document, and its status says why
        }
        if (!(*self->receive_)(std::string_view(data, length))) {
            self->refused_ = true;
            return 0;
        }
        return length;
    }
};

}  // namespace

std::unique_ptr<net::DocumentFetcher> makeCurlDocumentFetcher() {
    return std::make_unique<CurlDocumentFetcher>();
}

}  // namespace vantrel::net
