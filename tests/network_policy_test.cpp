// Every transfer runs under one network policy: the blocking document fetches (catalog,
// distribution files, server metadata) and the package downloads alike. Each case is tried
// through both against a real HTTPS server on loopback.

#include <gtest/gtest.h>
#include <zlib.h>

#include <future>
#include <mutex>

#include "tests/network_fixture.h"
#include "tests/support/InProcessMac.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using cachingtest::BareMac;
using cachingtest::TestIdentity;
using cachingtest::TlsServer;
using networktest::CountingListener;
using networktest::kBothKinds;
using networktest::Kind;
using networktest::nameOf;
using networktest::Outcome;
using networktest::transfer;
namespace fs = std::filesystem;

std::string compressed(const std::string& text, int windowBits) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

class NetworkPolicy : public ::testing::Test {
  protected:
    BareMac mac;
    TlsServer server;
    CountingListener plain;  // plain HTTP: neither a redirect nor a proxy may lead there
    fs::path trusted;        // the Mac's trust file, holding the server's certificate
    std::mutex lock;
    std::vector<bool> askedForEncoding;  // per request: whether it carried Accept-Encoding

    void SetUp() override {
        const std::string document = "<plist><dict><key>Products</key><dict/></dict></plist>\n";
        auto& http = server.server();
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard<std::mutex> guard(lock);
            askedForEncoding.push_back(req.has_header("Accept-Encoding"));
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http.Get("/doc", [=](const httplib::Request&, httplib::Response& res) {
            res.set_content(document, "text/xml");
        });
        http.Get("/hop/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            const int left = std::stoi(req.matches[1]);
            if (left == 0) {
                res.set_content("arrived", "text/plain");
            } else {
                res.set_redirect("/hop/" + std::to_string(left - 1));
            }
        });
        for (const auto& [path, windowBits, name] :
             {std::tuple{"/gzip", 15 + 16, "gzip"}, std::tuple{"/deflate", 15, "deflate"}}) {
            const std::string body = compressed(document, windowBits);
            const std::string encoding = name;
            http.Get(path, [=](const httplib::Request&, httplib::Response& res) {
                res.set_header("Content-Encoding", encoding);
                res.set_content(body, "text/xml");
            });
        }
        http.Get("/large", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(256 * 1024, 'l'), "application/octet-stream");
        });
        http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("no such document", "text/plain");
        });
        http.Get("/to-plain", [this](const httplib::Request&, httplib::Response& res) {
            res.set_redirect(plain.url() + "/doc");
        });
        // 64 bytes, one every 200 ms: the whole would arrive after some 13 s.
        serveSlowly("/drip", 64, 1, 200ms);
        // 64 KiB at 40 KiB a second, well above the minimum rate: some 1.6 s in all.
        serveSlowly("/steady", 16, 4096, 100ms);
        server.start();
        trusted = mac.root() / "private/etc/ssl/cert.pem";
        server.writeCertificate(trusted);
    }
    // The server's threads end before the fixture's record of their requests goes.
    void TearDown() override { server.stop(); }

    // `pieces` pieces of `pieceBytes` each, one every `every`: a transfer that would end
    // well, only slowly. Stops early when the server goes.
    void serveSlowly(const std::string& path, std::size_t pieces, std::size_t pieceBytes,
                     std::chrono::milliseconds every) {
        server.server().Get(path, [=, this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(pieces * pieceBytes, "application/octet-stream",
                                     [=, this](std::size_t, std::size_t, httplib::DataSink& sink) {
                                         if (server.stopsWithin(every)) {
                                             return false;
                                         }
                                         const std::string piece(pieceBytes, 'd');
                                         return sink.write(piece.data(), piece.size());
                                     });
        });
    }
};

TEST_F(NetworkPolicy, OnlyTheMacsTrustFileTheRightHostAndHttpsWithFewRedirectsAreAccepted) {
    const fs::path stranger = mac.root() / "stranger.pem";
    cachingtest::writeFile(stranger, TestIdentity().pem());
    // A trusted certificate for another host name, on a server that would answer.
    TlsServer elsewhere("elsewhere.test", "DNS:elsewhere.test");
    elsewhere.server().Get("/doc", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<doc/>", "text/xml");
    });
    elsewhere.start();
    const fs::path elsewhereTrust = mac.root() / "elsewhere.pem";
    elsewhere.writeCertificate(elsewhereTrust);
    for (const Kind kind : kBothKinds) {
        SCOPED_TRACE(nameOf(kind));
        const Outcome five = transfer(kind, server.url("/hop/5"), trusted);
        EXPECT_TRUE(five.delivered) << five.error;
        EXPECT_EQ(five.body, "arrived");
        for (const auto& [url, trust] :
             {std::pair{server.url("/doc"), stranger},
              std::pair{elsewhere.url("/doc"), elsewhereTrust},
              std::pair{plain.url() + "/doc", trusted}, std::pair{server.url("/to-plain"), trusted},
              std::pair{server.url("/hop/6"), trusted}}) {
            const Outcome refused = transfer(kind, url, trust);
            EXPECT_FALSE(refused.delivered) << url;
            EXPECT_FALSE(refused.error.empty()) << url;
        }
    }
    EXPECT_EQ(plain.connections(), 0);
}

// The program's own environment is scrubbed too; this holds for a transfer made with any.
TEST_F(NetworkPolicy, ProxyVariablesAreIgnored) {
    const networktest::ScopedEnvironment proxies({{"https_proxy", plain.url()},
                                                  {"HTTPS_PROXY", plain.url()},
                                                  {"ALL_PROXY", plain.url()},
                                                  {"all_proxy", plain.url()}});
    for (const Kind kind : kBothKinds) {
        const Outcome outcome = transfer(kind, server.url("/doc"), trusted);
        EXPECT_TRUE(outcome.delivered) << nameOf(kind) << ": " << outcome.error;
    }
    EXPECT_EQ(plain.connections(), 0);
}

TEST_F(NetworkPolicy, CompressedAnswersAreDecodedWithoutBeingAskedFor) {
    const std::string plain = transfer(Kind::Document, server.url("/doc"), trusted).body;
    ASSERT_FALSE(plain.empty());
    net::HttpClient client = testsupport::documentClient({}, trusted);
    for (const char* path : {"/gzip", "/deflate"}) {
        for (const Kind kind : kBothKinds) {
            SCOPED_TRACE(std::string(nameOf(kind)) + " " + path);
            const Outcome outcome = transfer(kind, server.url(path), trusted);
            EXPECT_TRUE(outcome.delivered) << outcome.error;
            EXPECT_EQ(outcome.body, plain);
        }
        // A document read as it arrives, as the catalog is.
        std::string pieces;
        platform::Error error;
        EXPECT_TRUE(client.fetchPieces(
            server.url(path),
            [&](std::string_view piece) {
                pieces.append(piece);
                return true;
            },
            &error))
            << error.description;
        EXPECT_EQ(pieces, plain) << path;
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(askedForEncoding, std::vector<bool>(7, false));
}

TEST_F(NetworkPolicy, ADocumentReadAsItArrivesComesWholeInPiecesAndOnlyFromASuccess) {
    net::HttpClient client = testsupport::documentClient({}, trusted);
    std::string body;
    int pieces = 0;
    const auto keep = [&](std::string_view piece) {
        body.append(piece);
        ++pieces;
        return true;
    };
    platform::Error error;
    EXPECT_TRUE(client.fetchPieces(server.url("/large"), keep, &error)) << error.description;
    EXPECT_EQ(body, std::string(256 * 1024, 'l'));
    EXPECT_GT(pieces, 1);

    // An error answer's page is not the document: nothing of it is handed on.
    body.clear();
    EXPECT_FALSE(client.fetchPieces(server.url("/missing"), keep, &error));
    EXPECT_EQ(body, "");
    EXPECT_NE(error.description.find("404"), std::string::npos) << error.description;

    // A reader that refuses what arrived ends the transfer as a failure.
    pieces = 0;
    error = {};
    EXPECT_FALSE(client.fetchPieces(
        server.url("/large"),
        [&](std::string_view) {
            ++pieces;
            return false;
        },
        &error));
    EXPECT_EQ(pieces, 1);
    EXPECT_FALSE(error.description.empty());

    // The bound on a document holds for one read in pieces too.
    body.clear();
    EXPECT_FALSE(client.fetchPieces(server.url("/large"), keep, &error, 64 * 1024));
    EXPECT_LE(body.size(), 64u * 1024);
    EXPECT_NE(error.description.find("larger"), std::string::npos) << error.description;

    // And the connection serves the next document as before.
    body.clear();
    EXPECT_TRUE(client.fetchPieces(server.url("/doc"), keep, &error)) << error.description;
    EXPECT_NE(body.find("Products"), std::string::npos);
}

TEST_F(NetworkPolicy, ATransferSlowerThanTheMinimumRateEnds) {
    // Both kinds at once: each waits out its window.
    std::vector<std::future<Outcome>> outcomes;
    for (const Kind kind : kBothKinds) {
        outcomes.push_back(std::async(std::launch::async, [&, kind] {
            return transfer(kind, server.url("/drip"), trusted, {.stallWindow = 1s});
        }));
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        SCOPED_TRACE(nameOf(kBothKinds[i]));
        const Outcome outcome = outcomes[i].get();
        EXPECT_FALSE(outcome.delivered);
        EXPECT_FALSE(outcome.error.empty());
    }
}

TEST_F(NetworkPolicy, ADocumentFetchHasADeadlineAndADownloadDoesNot) {
    const net::NetworkLimits limits{.documentDeadline = 1s};
    auto document = std::async(std::launch::async, [&] {
        return transfer(Kind::Document, server.url("/steady"), trusted, limits);
    });
    const Outcome download = transfer(Kind::Download, server.url("/steady"), trusted, limits);
    EXPECT_TRUE(download.delivered) << download.error;
    EXPECT_EQ(download.body.size(), 16u * 4096);
    const Outcome fetched = document.get();
    EXPECT_FALSE(fetched.delivered);
    EXPECT_FALSE(fetched.error.empty());
}

}  // namespace
}  // namespace vantrel
