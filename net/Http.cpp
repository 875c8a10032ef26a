#include "net/Http.h"

#include <mutex>

#include "net/NetworkLibrary.h"

namespace vantrel::net {

struct HttpClient::Impl {
    NetworkPlugIn& network;
    std::filesystem::path caFile;
    NetworkLimits limits;
    std::mutex lock;
    // Made with the first fetch: making a client must not load the network library.
    std::unique_ptr<DocumentFetcher> fetcher;
};

HttpClient::HttpClient(NetworkPlugIn& network, std::filesystem::path trustFile,
                       NetworkLimits limits)
    : impl_(new Impl{network, std::move(trustFile), limits, {}, {}}) {}

HttpClient::~HttpClient() = default;

template <typename Fetch>
bool HttpClient::withFetcher(const std::string& url, platform::Error* error, Fetch fetch) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::string failure;
    if (!impl_->fetcher) {
        std::string whyNot;
        if (NetworkLibrary* library = impl_->network.library(&whyNot)) {
            impl_->fetcher = library->makeDocumentFetcher();
        }
        if (!impl_->fetcher) {
            failure = "the network library could not be set up";
            if (!whyNot.empty()) {
                failure += " (" + whyNot + ")";
            }
        }
    }
    bool fetched = false;
    if (impl_->fetcher) {
        const TransferSettings settings{url, impl_->caFile, impl_->limits, TransferKind::Document,
                                        {},  false};
        fetched = fetch(*impl_->fetcher, settings, failure);
    }
    if (!fetched && error) {
        *error = platform::Error{std::move(failure)};
    }
    return fetched;
}

std::optional<std::string> HttpClient::fetch(const std::string& url, platform::Error* error,
                                             std::size_t maxBytes) {
    std::optional<std::string> body;
    withFetcher(
        url, error,
        [&](DocumentFetcher& fetcher, const TransferSettings& settings, std::string& failure) {
            body = fetcher.fetch(settings, maxBytes, failure);
            return body.has_value();
        });
    return body;
}

bool HttpClient::fetchPieces(const std::string& url,
                             const std::function<bool(std::string_view)>& receive,
                             platform::Error* error, std::size_t maxBytes) {
    return withFetcher(
        url, error,
        [&](DocumentFetcher& fetcher, const TransferSettings& settings, std::string& failure) {
            return fetcher.fetchPieces(settings, maxBytes, receive, failure);
        });
}

}  // namespace vantrel::net
