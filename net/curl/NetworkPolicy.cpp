#include "net/curl/NetworkPolicy.h"

#include <chrono>

namespace vantrel::net {

namespace {

// Removes the Accept-Encoding header that libcurl adds once decoding is enabled. Made once
// and kept for the life of the process: handles refer to it while they transfer.
curl_slist* withoutAcceptEncoding() {
    static curl_slist* const headers = curl_slist_append(nullptr, "Accept-Encoding:");
    return headers;
}

}  // namespace

std::optional<std::string> applyNetworkPolicy(CURL* easy, const TransferSettings& settings) {
    if (!easy) {
        return "the network library could not be set up";
    }
    curl_slist* const headers = withoutAcceptEncoding();
    if (!headers) {
        return "the network library could not be set up";
    }
    const net::NetworkLimits& limits = settings.limits;
    const std::string trust = settings.trustFile.string();
    const long deadlineMs =
        settings.kind == net::TransferKind::Document
            ? static_cast<long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(limits.documentDeadline)
                      .count())
            : 0L;
    // Every option is checked: one that libcurl does not take would leave its default, which
    // is weaker (any protocol, the host's certificates, the environment's proxy).
    const CURLcode results[] = {
        curl_easy_setopt(easy, CURLOPT_URL, settings.url.c_str()),
        // Binds the redirects too: a redirect may not lead to a protocol this denies.
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https"),
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L),
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, limits.maxRedirects),
        curl_easy_setopt(easy, CURLOPT_CAINFO, trust.c_str()),
        // libcurl's built-in certificate folder (the host's) would be trusted as well.
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr),
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L),
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L),
        // An empty proxy turns off the proxy variables (https_proxy, ALL_PROXY, ...).
        curl_easy_setopt(easy, CURLOPT_PROXY, ""),
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT,
                         static_cast<long>(limits.connectTimeout.count())),
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, limits.minimumBytesPerSecond),
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(limits.stallWindow.count())),
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, deadlineMs),
        // "" enables every decoding libcurl has; the header list then takes the request
        // header back out.
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ""),
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers),
    };
    for (const CURLcode result : results) {
        if (result != CURLE_OK) {
            return std::string("the network library refused its settings: ") +
                   curl_easy_strerror(result);
        }
    }
    return std::nullopt;
}

}  // namespace vantrel::net
