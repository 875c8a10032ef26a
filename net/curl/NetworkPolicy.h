#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>

#include "net/NetworkLibrary.h"

namespace vantrel::net {

using net::TransferSettings;

// Sets up `easy` for one transfer of `settings.url` under the program's one network policy:
// - HTTPS only, redirects included, and at most `settings.limits.maxRedirects` of them;
// - the peer's certificate and host name verified against `settings.trustFile` alone (the Mac's own
//   trust file), never against a certificate folder of the host;
// - nothing taken from the environment: no proxy, whatever proxy variables say;
// - `settings.limits`' connection time, minimum rate and, for documents, the overall deadline;
// - an answer the server compresses (Content-Encoding gzip or deflate) is decoded, while the
//   request carries no Accept-Encoding header: requests hold no header of the program's own.
// Answers a description of the failure when libcurl refuses any of it; the transfer must then
// not run, as it would run with a weaker policy.
std::optional<std::string> applyNetworkPolicy(CURL* easy, const TransferSettings& settings);

}  // namespace vantrel::net
