#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace vantrel::sim {

struct ServerOptions {
    std::filesystem::path mirror;
    int port = -1;  // -1: the port of the mirror's base URL; 0: any free port
    std::filesystem::path certificateOut;  // where to put the certificate's PEM; empty: nowhere
    std::filesystem::path accessLog;       // one line per request; empty: none
    int stallSeconds = 600;                // how long a stalling answer holds out
};

// The stand-in software-update server: serves a mirror's content folder over HTTPS on
// loopback, files streamed from disk, connections kept alive, single byte ranges honoured.
// Packages and distribution files come with a Content-Disposition file name, and the
// mirror's rules (Mirror.plist) make some answers misbehave: other names, a stall, a cut.
class MirrorServer {
  public:
    explicit MirrorServer(ServerOptions options);
    ~MirrorServer();
    MirrorServer(const MirrorServer&) = delete;
    MirrorServer& operator=(const MirrorServer&) = delete;

    // Reads the mirror, binds the port, moves the mirror's documents to the served address
    // when it differs from the mirror's base URL, and writes the certificate. After it
    // returns, clients may connect (they wait until run() accepts). Throws std::runtime_error.
    void prepare();
    // "https://localhost:PORT": the address every URL of the mirror now starts with.
    const std::string& url() const;
    int port() const;
    // Serves until stop(); returns once every connection has ended.
    void run();
    // Safe from any thread; stalling answers end at once.
    void stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vantrel::sim
