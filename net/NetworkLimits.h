#pragma once

#include <chrono>

namespace vantrel::net {

// The limits every transfer runs under. The defaults are the program's; tests pass shorter
// ones so that a limit can be shown to end a transfer without waiting it out.
struct NetworkLimits {
    // Setting up a connection, TCP and TLS handshake together.
    std::chrono::seconds connectTimeout{30};
    // A transfer that averages less than `minimumBytesPerSecond` over a whole `stallWindow`
    // ends. 1 KiB/s is far below any link that could bring a multi-GiB installer within a day,
    // so an honest slow link keeps going, while a server dripping a few bytes a second (or
    // none) cannot hold the run, and with it the caching lock, for longer than the window.
    long minimumBytesPerSecond = 1024;
    std::chrono::seconds stallWindow{60};
    // The whole of one blocking document fetch (catalog, distribution file, server metadata),
    // connection included. A catalog of a few MiB arrives in well under a minute on any
    // usable link, and in under ten at 16 KiB/s; the distribution and metadata files are
    // a few KiB. Package downloads have no such deadline: their size is the server's to set
    // and only the rate above bounds them.
    std::chrono::seconds documentDeadline{600};
    // Redirects followed by one transfer; each must stay on HTTPS.
    long maxRedirects = 5;
};

// What kind of transfer a handle is set up for.
enum class TransferKind { Document, Download };

}  // namespace vantrel::net
