// What the network trusts besides the Mac's own trust file: nothing. Neither the host's
// certificate folder, nor the caller's environment (proxies, a TLS key log file).

#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>

#include "tests/mirror_fixture.h"
#include "tests/network_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using cachingtest::BareMac;
using cachingtest::TestIdentity;
using cachingtest::TlsServer;
using networktest::CountingListener;
using networktest::kBothKinds;
using networktest::Kind;
using networktest::nameOf;
using networktest::transfer;
using testsupport::RunResult;
using testsupport::TempMac;
namespace fs = std::filesystem;

constexpr int kCannotIsolate = 77;

// The certificate folder libcurl trusts when a program does not say otherwise, as this
// libcurl was built: the host's store.
std::optional<std::string> libcurlDefaultCertificateFolder() {
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        return std::nullopt;
    }
    using VersionInfo = curl_version_info_data* (*)(CURLversion);
    const auto info = reinterpret_cast<VersionInfo>(::dlsym(library, "curl_version_info"));
    const curl_version_info_data* data = info ? info(CURLVERSION_NOW) : nullptr;
    if (!data || data->age < CURLVERSION_SEVENTH || !data->capath) {
        return std::nullopt;
    }
    return std::string(data->capath);
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// Runs in a child process of its own: a private mount namespace whose host certificate folder
// holds only the test server's certificate, so the host trusts it and the Mac does not.
// Writes one line per transfer; exits kCannotIsolate when no such namespace can be made here.
int probeWithTheServerKnownOnlyToTheHost(int out) {
    const auto folder = libcurlDefaultCertificateFolder();
    if (!folder || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return kCannotIsolate;
    }
    BareMac mac;
    TlsServer server;
    server.server().Get("/doc", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<doc/>", "text/xml");
    });
    server.start();
    const fs::path store = cachingtest::makeTempFolder("hoststore");
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "%08lx.0",
                  X509_subject_name_hash(server.identity().certificate));
    server.writeCertificate(store / hashed);
    if (::mount(store.c_str(), folder->c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return kCannotIsolate;
    }
    std::string lines;
    // The set-up is real: libcurl left to itself trusts the server through the host's folder.
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, server.url("/doc").c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    lines += curl_easy_perform(easy) == CURLE_OK ? "host trusts it\n" : "host refuses it\n";
    curl_easy_cleanup(easy);
    // The Mac's trust file holds another certificate, of another name: one of the same name
    // would be found first and hide the host's.
    const fs::path macTrust = mac.root() / "private/etc/ssl/cert.pem";
    cachingtest::writeFile(macTrust, TestIdentity("stranger.test", "DNS:stranger.test").pem());
    for (const Kind kind : kBothKinds) {
        const auto outcome = transfer(kind, server.url("/doc"), macTrust);
        lines += std::string(nameOf(kind)) + (outcome.delivered ? " delivered\n" : " refused\n");
    }
    server.stop();
    ::umount(folder->c_str());
    fs::remove_all(store);
    return ::write(out, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size()) ? 0 : 1;
}

TEST(HostTrust, ACertificateKnownOnlyToTheHostIsNotTrusted) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe[0]);
        ::_exit(probeWithTheServerKnownOnlyToTheHost(pipe[1]));
    }
    ::close(pipe[1]);
    std::string lines;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        lines.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == kCannotIsolate) {
        GTEST_SKIP() << "no private mount namespace here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(lines, "host trusts it\ndocument fetch refused\ndownload refused\n");
}

TEST(CallersEnvironment, ConfiguresNeitherAProxyNorATlsKeyLog) {
    mirrortest::MirrorFolder mirror({"--products", "2", "--release", "Catalina size=256K"});
    mirrortest::ServeProcess server(mirror.path());
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    CountingListener proxy;
    mirrortest::TempFolder keys("keylog");
    const fs::path keyLog = keys.path() / "keys.log";
    RunResult run;
    {
        networktest::ScopedEnvironment environment({{"SSLKEYLOGFILE", keyLog.string()},
                                                    {"https_proxy", proxy.url()},
                                                    {"HTTPS_PROXY", proxy.url()},
                                                    {"ALL_PROXY", proxy.url()},
                                                    {"all_proxy", proxy.url()}});
        run = mac.run({"--action", "cache", "--osname", "Catalina"}, std::chrono::minutes(3));
    }
    EXPECT_TRUE(run.exited(0)) << run.standardOutput << run.standardError;
    ASSERT_FALSE(run.outputLines().empty()) << run.standardOutput;
    EXPECT_EQ(run.outputLines().back(), "Downloads finished");
    EXPECT_EQ(mac.run({"--action", "status", "--osname", "Catalina"}).standardOutput, "true\n");
    EXPECT_FALSE(fs::exists(keyLog));
    EXPECT_EQ(proxy.connections(), 0);
}

}  // namespace
}  // namespace vantrel
