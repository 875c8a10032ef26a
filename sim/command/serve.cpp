// vantrel-sim serve: the stand-in software-update server for a mirror.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/ServerHttps.h"

namespace vantrel::sim {

namespace {

// Serves until SIGTERM, SIGINT or SIGHUP. Signals are taken by one thread that stops the
// server; every other thread blocks them.
int serve(const ServerOptions& options) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    MirrorServer server(options);
    server.prepare();
    std::atomic<bool> finished{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        // Repeated, in case the signal came before the server began to accept.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!finished) {
            server.stop();
            if (std::chrono::steady_clock::now() > deadline) {
                // Idle kept-alive connections only notice the end at their timeout; every
                // answer is complete or cut by now, so there is nothing left to lose.
                std::fflush(nullptr);
                std::_Exit(0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::printf("%s\n", server.url().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "vantrel-sim serve: serving %s at %s\n", options.mirror.string().c_str(),
                 server.url().c_str());
    server.run();
    finished = true;
    // The waiter returns only after a signal; give it one when the server ended by itself.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

int runServe(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Serves a mirror made by 'vantrel-sim mirror' over HTTPS on loopback, with a "
        "self-signed certificate for localhost and 127.0.0.1 (kept in DIR, so it "
        "stays the same across runs). Prints the server's URL on the first line of "
        "standard output once it accepts connections, and serves until SIGTERM or "
        "SIGINT. When the port differs from the mirror's base URL, the mirror's "
        "documents are rewritten to the served address first.",
        "serve"};
    ServerOptions options;
    std::string mirror;
    std::string certificateOut;
    std::string accessLog;
    app.add_option("DIR", mirror, "The mirror's folder")->required();
    app.add_option("--port", options.port,
                   "Port on 127.0.0.1; 0 picks a free one (default: the mirror's base URL's)");
    app.add_option("--cert-out", certificateOut,
                   "Write the certificate (PEM) here, for vantrel-sim create --trust-cert");
    app.add_option("--access-log", accessLog,
                   "Append a line per request: client port, method, path, status, body bytes sent");
    app.add_option("--stall-seconds", options.stallSeconds,
                   "How long a stalling answer of the mirror's rules holds out")
        ->capture_default_str();
    return runCommand(app, arguments, [&] {
        options.mirror = mirror;
        options.certificateOut = certificateOut;
        options.accessLog = accessLog;
        return serve(options);
    });
}

const CommandRegistration registration("serve",
                                       {"Serves a mirror over HTTPS on loopback until SIGTERM",
                                        runServe});

}  // namespace

}  // namespace vantrel::sim
