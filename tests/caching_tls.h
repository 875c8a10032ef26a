#pragma once

// An HTTPS server on loopback with a certificate made for the test.

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/caching_fixture.h"

namespace vantrel::cachingtest {

// A self-signed certificate, by default for localhost and 127.0.0.1, with its key.
struct TestIdentity {
    X509* certificate = nullptr;
    EVP_PKEY* key = nullptr;

    explicit TestIdentity(const std::string& commonName = "localhost",
                          const std::string& altNames = "DNS:localhost,IP:127.0.0.1") {
        key = EVP_EC_gen("P-256");
        certificate = X509_new();
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24 * 365);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate, name);
        if (!altNames.empty()) {  // without them, a client goes by (and quotes) the common name
            X509V3_CTX context;
            X509V3_set_ctx_nodb(&context);
            X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
            X509_EXTENSION* san =
                X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.c_str());
            X509_add_ext(certificate, san, -1);
            X509_EXTENSION_free(san);
        }
        X509_sign(certificate, key, EVP_sha256());
    }
    ~TestIdentity() {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    TestIdentity(const TestIdentity&) = delete;
    TestIdentity& operator=(const TestIdentity&) = delete;

    std::string pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, certificate);
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        std::string out(data, static_cast<std::size_t>(length));
        BIO_free(bio);
        return out;
    }
};

// An HTTPS server on 127.0.0.1 with a port of its own, running on a thread until it goes
// away. Handlers are added through server() before start().
class TlsServer {
  public:
    TlsServer() : server_(identity_.certificate, identity_.key) {}
    // A server whose certificate names other hosts.
    TlsServer(const std::string& commonName, const std::string& altNames)
        : identity_(commonName, altNames), server_(identity_.certificate, identity_.key) {}
    ~TlsServer() { stop(); }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    httplib::SSLServer& server() { return server_; }

    void start() {
        // Stopping waits for every connection a client keeps open to go idle for this long;
        // the program's shared document client keeps its connection for the whole process.
        server_.set_keep_alive_timeout(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            throw std::runtime_error("cannot bind the test server");
        }
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(stopLock_);
            stopping_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }
    // For a handler that holds its answer back: waits until the server stops, for at most
    // `limit`. When the limit runs out first, heldToLimit() says so from then on: the client
    // did not give up on its own.
    void holdUntilStopped(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(stopLock_);
        if (!stopped_.wait_for(lock, limit, [this] { return stopping_.load(); })) {
            heldToLimit_ = true;
        }
    }
    bool heldToLimit() const { return heldToLimit_; }
    // Waits up to `limit` for the server to stop; whether it did.
    bool stopsWithin(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(stopLock_);
        return stopped_.wait_for(lock, limit, [this] { return stopping_.load(); });
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "https://localhost:" + std::to_string(port_) + path;
    }
    // Writes the certificate where a client will look for its trusted certificates.
    void writeCertificate(const fs::path& file) const { writeFile(file, identity_.pem()); }
    const TestIdentity& identity() const { return identity_; }

  private:
    TestIdentity identity_;
    httplib::SSLServer server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> heldToLimit_{false};
    std::mutex stopLock_;
    std::condition_variable stopped_;
};

}  // namespace vantrel::cachingtest
