#include "platform/Http.h"

#include <curl/curl.h>

#include <mutex>

#include "platform/Machine.h"

namespace vantrel::platform {

void ensureCurlInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct HttpClient::Impl {
    CURL* easy = nullptr;
    std::optional<std::filesystem::path> caFile;
    NetworkLimits limits;
    std::mutex lock;

    // State of the fetch in progress.
    std::string body;
    std::size_t maxBytes = 0;
    bool tooLarge = false;

    // Room for the whole body when the server announces its length, so that a large body
    // is not copied as it grows: each copy would briefly hold it twice.
    void reserveAnnouncedLength() {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && static_cast<std::size_t>(announced) <= maxBytes) {
            body.reserve(static_cast<std::size_t>(announced));
        }
    }

    static std::size_t write(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Impl*>(user);
        const std::size_t length = size * count;
        if (self->body.size() + length > self->maxBytes) {
            self->tooLarge = true;
            return 0;  // ends the transfer with a write error
        }
        if (self->body.empty()) {
            self->reserveAnnouncedLength();
        }
        self->body.append(data, length);
        return length;
    }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {
    ensureCurlInitialised();
    // One handle for every fetch: libcurl keeps its connection open between them.
    impl_->easy = curl_easy_init();
}

HttpClient::~HttpClient() {
    if (impl_->easy) {
        curl_easy_cleanup(impl_->easy);
    }
}

void HttpClient::setTrustedCertificates(std::filesystem::path caFile) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->caFile = std::move(caFile);
}

void HttpClient::setLimits(const NetworkLimits& limits) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->limits = limits;
}

std::optional<std::string> HttpClient::fetch(const std::string& url, Error* error,
                                             std::size_t maxBytes) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    const auto fail = [&](std::string description) -> std::optional<std::string> {
        if (error) {
            *error = Error{std::move(description)};
        }
        impl_->body.clear();
        impl_->body.shrink_to_fit();
        return std::nullopt;
    };
    CURL* easy = impl_->easy;
    if (!easy) {
        return fail("the network library could not be set up");
    }
    const auto trustFile = impl_->caFile.value_or(trustedCertificates());
    char message[CURL_ERROR_SIZE] = {};
    impl_->body.clear();
    impl_->maxBytes = maxBytes;
    impl_->tooLarge = false;

    if (auto refused = applyNetworkPolicy(easy, trustFile, impl_->limits, TransferKind::Document)) {
        return fail(std::move(*refused));
    }
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, impl_.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, message);

    const CURLcode result = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    if (impl_->tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        return fail("the document is larger than " + std::to_string(maxBytes / (1024 * 1024)) +
                    " MiB");
    }
    if (result != CURLE_OK) {
        return fail(*message ? message : curl_easy_strerror(result));
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        return fail("the server answered with HTTP status " + std::to_string(status));
    }
    std::string body = std::move(impl_->body);
    impl_->body = std::string();
    return body;
}

HttpClient& sharedHttpClient() {
    static HttpClient* client = new HttpClient();  // kept until the process ends
    return *client;
}

}  // namespace vantrel::platform
