#include "net/Http.h"

#include <mutex>

#include "net/NetworkLibrary.h"
#include "platform/Machine.h"

namespace vantrel::net {

struct HttpClient::Impl {
    std::optional<std::filesystem::path> caFile;
    NetworkLimits limits;
    std::mutex lock;
    // Made with the first fetch: making a client must not load the network library.
    std::unique_ptr<DocumentFetcher> fetcher;
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}

HttpClient::~HttpClient() = default;

void HttpClient::setTrustedCertificates(std::filesystem::path caFile) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->caFile = std::move(caFile);
}

void HttpClient::setLimits(const NetworkLimits& limits) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->limits = limits;
}

std::optional<std::string> HttpClient::fetch(const std::string& url, platform::Error* error,
                                             std::size_t maxBytes) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::string failure;
    if (!impl_->fetcher) {
        std::string whyNot;
        if (NetworkLibrary* library = networkLibrary(&whyNot)) {
            impl_->fetcher = library->makeDocumentFetcher();
        }
        if (!impl_->fetcher) {
            failure = "the network library could not be set up";
            if (!whyNot.empty()) {
                failure += " (" + whyNot + ")";
            }
        }
    }
    std::optional<std::string> body;
    if (impl_->fetcher) {
        const TransferSettings settings{url,
                                        impl_->caFile.value_or(platform::trustedCertificates()),
                                        impl_->limits,
                                        TransferKind::Document,
                                        {}};
        body = impl_->fetcher->fetch(settings, maxBytes, failure);
    }
    if (!body && error) {
        *error = platform::Error{std::move(failure)};
    }
    return body;
}

HttpClient& sharedHttpClient() {
    static HttpClient* client = new HttpClient();  // kept until the process ends
    return *client;
}

}  // namespace vantrel::net
