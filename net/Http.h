#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/NetworkLibrary.h"
#include "net/NetworkLimits.h"
#include "platform/Files.h"

namespace vantrel::net {

// Largest document the blocking fetch takes in. Catalogs are a few MiB, distribution and
// metadata files a few KiB; a server that sends more is refused rather than allowed to fill
// the memory of a root process.
inline constexpr std::size_t kMaxDocumentBytes = 64 * 1024 * 1024;

// True when `text` is an absolute URL with a scheme and a host, as a Mac's URL type accepts
// one: no blanks, no control characters.
bool isValidURL(NetworkPlugIn& network, std::string_view text);

// The name under which a server offers a file: the file name of a Content-Disposition header
// value (`filename*=` before `filename=`) or else the last component of the URL's path,
// percent-decoded. Reduced to one safe file name: never a path ("a/b" gives "b"), never "."
// or "..", no NUL or other control characters. Empty when the response offers no name.
std::string suggestedFilename(NetworkPlugIn& network, std::string_view contentDisposition,
                              std::string_view url);

// Keeps the Content-Disposition value of the response being received, one header line at a
// time; a status line starts a new response (after a redirect) and forgets the old value.
void noteContentDisposition(std::string_view headerLine, std::string& contentDisposition);

// Blocking HTTPS reads of whole, small documents over one reused connection, under the
// network policy (the network plug-in's) with a deadline per document. Not for packages: the body
// is held in memory.
class HttpClient {
  public:
    // Trusts only the certificates in `trustFile` (a host path).
    HttpClient(NetworkPlugIn& network, std::filesystem::path trustFile, NetworkLimits limits = {});
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The body of a successful (2xx) answer; absent on any failure, with its description in
    // `error`: no connection, a certificate that is not trusted, an error status, a body
    // larger than `maxBytes`, a transfer too slow or past its deadline. A compressed answer
    // is decoded; `maxBytes` counts the decoded body.
    std::optional<std::string> fetch(const std::string& url, platform::Error* error,
                                     std::size_t maxBytes = kMaxDocumentBytes);

    // The same, the body handed to `receive` a piece at a time as it arrives, so that it can
    // be read while it comes in. False from `receive` ends the fetch as a failure. False on
    // any failure, with its description in `error`.
    bool fetchPieces(const std::string& url, const std::function<bool(std::string_view)>& receive,
                     platform::Error* error, std::size_t maxBytes = kMaxDocumentBytes);

  private:
    struct Impl;
    // The fetch, under the lock, with the settings for `url`; false and a failure when the
    // network library cannot be had.
    template <typename Fetch>
    bool withFetcher(const std::string& url, platform::Error* error, Fetch fetch);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::net
