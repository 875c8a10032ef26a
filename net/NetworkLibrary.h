#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/NetworkLimits.h"
#include "platform/MacRoot.h"

namespace vantrel::net {

// The seam between the program and the network plug-in (Contents/PlugIns of the bundle),
// which holds libcurl and the network policy. The program loads it on the first transfer
// or URL it parses, so runs without network work never load libcurl and the TLS, Kerberos
// and LDAP libraries it brings.

// Everything one transfer runs under. The plug-in applies the network policy to it.
struct TransferSettings {
    std::string url;
    std::filesystem::path trustFile;  // host path of the only certificates trusted
    NetworkLimits limits;
    TransferKind kind = TransferKind::Document;
    // Request headers beyond the policy's, whole lines without their end ("Range: bytes=5-"):
    // only for continuing a package (Range, If-Range).
    std::vector<std::string> requestHeaders;
    // A new connection, not one kept from earlier transfers: a try after a failure does not
    // meet the connection that failed, or one the server closed during the pause.
    bool freshConnection = false;
};

// Blocking reads of whole documents over one connection kept open between them. One fetch
// at a time.
class DocumentFetcher {
  public:
    virtual ~DocumentFetcher() = default;
    // The body of a 2xx answer, decoded when the server compressed it; absent on any
    // failure, with its description in `error`. A body over `maxBytes` is a failure.
    virtual std::optional<std::string> fetch(const TransferSettings& settings, std::size_t maxBytes,
                                             std::string& error) = 0;
    // The same, the body handed to `receive` a piece at a time as it arrives (only once the
    // answer is known to be a 2xx), so that its reading overlaps its transfer. False from
    // `receive` ends the transfer as a failure. False on any failure.
    virtual bool fetchPieces(const TransferSettings& settings, std::size_t maxBytes,
                             const std::function<bool(std::string_view)>& receive,
                             std::string& error) = 0;
};

// Receives one download as it arrives, on the thread that drives its group.
class TransferReceiver {
  public:
    virtual ~TransferReceiver() = default;
    // Each header line of each response (a redirect starts a new response).
    virtual void headerLine(std::string_view line) = 0;
    // False ends the transfer with an error.
    virtual bool body(std::string_view bytes) = 0;
};

// What a transfer knows of its answer.
struct TransferAnswer {
    long statusCode = 0;
    std::string effectiveURL;  // after redirects; empty when not known
    std::int64_t expectedBytes = -1;
};

// Concurrent downloads, all driven by one thread: every call but wakeUp() comes from it.
class TransferGroup {
  public:
    using Id = std::uint64_t;
    struct Completion {
        Id id = 0;
        TransferAnswer answer;
        std::optional<std::string> error;  // absent for a transfer that ended normally
        // For an error: whether it may pass by trying again (the connection was reset, closed
        // early or could not be made, a timeout or the low-rate rule ended it); false for a
        // certificate or TLS failure, a refused setting, a write the receiver ended.
        bool mayPass = false;
    };

    virtual ~TransferGroup() = default;
    // Starts `settings.url` under an `id` not in use; `receiver` must stay valid until the
    // transfer completes or is removed. Answers why when it cannot start (nothing started).
    virtual std::optional<std::string> add(Id id, const TransferSettings& settings,
                                           TransferReceiver* receiver) = 0;
    // Ends a transfer without a completion.
    virtual void remove(Id id) = 0;
    virtual TransferAnswer answer(Id id) = 0;
    // Moves every transfer on as far as it can without waiting, calling their receivers.
    virtual void perform() = 0;
    // A transfer that ended since, which is then out of the group; absent when none did.
    virtual std::optional<Completion> nextCompletion() = 0;
    // Waits until a transfer can move on, wakeUp() is called or `limit` passes.
    virtual void wait(std::chrono::milliseconds limit) = 0;
    // Ends a wait() at once, or the next one. Safe from any thread.
    virtual void wakeUp() = 0;
};

// A digest of bytes as they stream past, computed by the plug-in's TLS library (which holds
// the fast, hardware-backed implementations), so the program itself links no such library.
class Digest {
  public:
    enum class Algorithm { SHA1, SHA256 };
    virtual ~Digest() = default;
    virtual void update(std::string_view bytes) = 0;
    // Starts over, as for no bytes.
    virtual void reset() = 0;
    // Lower-case hex of the bytes so far; the digest goes on taking bytes after it.
    virtual std::string hex() const = 0;
};

class NetworkLibrary {
  public:
    virtual ~NetworkLibrary() = default;
    virtual std::unique_ptr<Digest> makeDigest(Digest::Algorithm algorithm) = 0;
    virtual std::unique_ptr<DocumentFetcher> makeDocumentFetcher() = 0;
    virtual std::unique_ptr<TransferGroup> makeTransferGroup() = 0;
    // The host of an absolute URL of any scheme; absent when the text is no such URL.
    virtual std::optional<std::string> urlHost(const std::string& url) = 0;
    // The path of a URL as it is written (still percent-encoded); absent when no URL.
    virtual std::optional<std::string> urlPath(const std::string& url) = 0;
};

// The network plug-in of an application bundle, loaded on first use and kept for good.
class NetworkPlugIn {
  public:
    // `appBundle` is the host path of the bundle on the Mac whose "/" is `root`.
    NetworkPlugIn(const platform::MacRoot& root, std::filesystem::path appBundle);
    NetworkPlugIn(const NetworkPlugIn&) = delete;
    NetworkPlugIn& operator=(const NetworkPlugIn&) = delete;

    // The library, loaded on the first call; null when the plug-in cannot be loaded, and then
    // `whyNot`, when given, says why. Safe from any thread.
    NetworkLibrary* library(std::string* whyNot = nullptr);

  private:
    const platform::MacRoot& root_;
    std::filesystem::path appBundle_;
    std::once_flag once_;
    std::unique_ptr<NetworkLibrary> library_;  // the plug-in itself stays loaded for good
    std::string failure_;
};

// The plug-in's file in the bundle's Contents/PlugIns, and what it exports: makes the one
// library of the process. The plug-in needs nothing of the program's own code.
inline constexpr const char* kNetworkPlugInFile = "libvantrel-network.so";
extern "C" using MakeNetworkLibrary = NetworkLibrary * ();
inline constexpr const char* kMakeNetworkLibrarySymbol = "vantrelMakeNetworkLibrary";

}  // namespace vantrel::net
