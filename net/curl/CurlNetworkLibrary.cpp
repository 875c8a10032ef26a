// The network plug-in: libcurl, linked here and nowhere else, behind the program's network
// interfaces. The program loads it on first use (platform/NetworkLibrary.h).

#include <curl/curl.h>

#include <memory>

#include "net/curl/CurlNetwork.h"

namespace vantrel::net {

namespace {

struct UrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlStringFree {
    void operator()(char* text) const { curl_free(text); }
};

// One part of a URL as libcurl reads it; absent when the text is no URL or lacks the part.
std::optional<std::string> urlPart(const std::string& url, CURLUPart part, unsigned int flags) {
    std::unique_ptr<CURLU, UrlFree> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) {
        return std::nullopt;
    }
    char* raw = nullptr;
    if (curl_url_get(handle.get(), part, &raw, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    std::unique_ptr<char, CurlStringFree> text(raw);
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

class CurlNetworkLibrary final : public net::NetworkLibrary {
  public:
    std::unique_ptr<net::Digest> makeDigest(net::Digest::Algorithm algorithm) override {
        return makeEvpDigest(algorithm);
    }
    std::unique_ptr<net::DocumentFetcher> makeDocumentFetcher() override {
        return makeCurlDocumentFetcher();
    }
    std::unique_ptr<net::TransferGroup> makeTransferGroup() override {
        return makeCurlTransferGroup();
    }
    std::optional<std::string> urlHost(const std::string& url) override {
        return urlPart(url, CURLUPART_HOST, CURLU_NON_SUPPORT_SCHEME);
    }
    std::optional<std::string> urlPath(const std::string& url) override {
        return urlPart(url, CURLUPART_PATH, 0);
    }
};

}  // namespace

}  // namespace vantrel::net

// Called once per process, before any other thread uses the library.
extern "C" __attribute__((visibility("default"))) vantrel::net::NetworkLibrary*
vantrelMakeNetworkLibrary() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        return nullptr;
    }
    return new vantrel::net::CurlNetworkLibrary();  // kept until the process ends
}
