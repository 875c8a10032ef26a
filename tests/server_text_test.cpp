// Text that comes from the update server (product keys, builds, versions, URLs) reaches standard
// output and the log only escaped, so that it can neither end a line nor pose as a line of the
// program's own: the escaping itself, the log writer's guard, and the real program against a
// server whose products carry control characters.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "base/Logging.h"
#include "platform/PrintableText.h"
#include "tests/caching_tls.h"
#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using mirrortest::MirrorFolder;
using mirrortest::ServeProcess;
using platform::printableText;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(PrintableText, OrdinaryTextIsUnchangedAndEveryControlIsAVisibleEscape) {
    for (const char* ordinary :
         {"", "19H15", "10.15.7", "001-68446", "https://localhost:8443/content/a b.pkg",
          "Caf\xC3\xA9 \xE2\x80\x94 macOS \xF0\x9F\x8D\x8E", "quotes \" and ' stay"}) {
        EXPECT_EQ(printableText(ordinary), ordinary);
    }
    const std::pair<std::string, std::string> cases[] = {
        {"a\\b", "a\\\\b"},
        {"19H15\nLatest build is cached: 19H15", "19H15\\nLatest build is cached: 19H15"},
        {"a\rb\tc", "a\\rb\\tc"},
        {"\x1B[2K", "\\u{1B}[2K"},
        {std::string("nul\0end", 7), "nul\\u{0}end"},
        {"\x01\x1F\x7F", "\\u{1}\\u{1F}\\u{7F}"},
        {"C1 \xC2\x85 \xC2\x9B"
         "2K \xC2\x80",
         "C1 \\u{85} \\u{9B}2K \\u{80}"},
        {"line\xE2\x80\xA8para\xE2\x80\xA9", "line\\u{2028}para\\u{2029}"},
        {"\xE2\x80\xAE"
         "51H91",
         "\\u{202E}51H91"},
        {"\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8F", "\\u{2066}x\\u{2069}\\u{200F}"},
        // Bytes that are not UTF-8: a stray continuation, an overlong slash, a surrogate, a
        // code point past U+10FFFF, a sequence cut off, an invalid lead.
        {"\x80", "\\x80"},
        {"\xC0\xAF", "\\xC0\\xAF"},
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"ab\xE2\x82", "ab\\xE2\\x82"},
        {"\xFF"
         "A",
         "\\xFFA"},
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(printableText(raw), shown) << shown;
    }
    // Every backslash of the text is doubled, so no text can look like another's escape.
    EXPECT_NE(printableText("\\n"), printableText("\n"));
    EXPECT_NE(printableText("\\u{1B}"), printableText("\x1B"));
    EXPECT_NE(printableText("\\x80"), printableText("\x80"));

    // The writers' variant keeps backslashes, so escaped text passes through it unchanged.
    const std::string escaped = printableText("a\\b\n\x1B\xC2\x85\xFF");
    EXPECT_EQ(platform::printableKeepingBackslashes(escaped), escaped);
    EXPECT_EQ(platform::printableKeepingBackslashes("a\\b\n\x1B"), "a\\b\\n\\u{1B}");
}

// Whether `text` holds anything that moves the cursor or ends a line, other than line feeds.
bool holdsControls(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F) {
            return true;
        }
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            return true;
        }
    }
    return false;
}

TEST(LogWriter, AMessageIsOneLineWhateverItHolds) {
    TempMac mac;
    mac.useInProcess();
    const fs::path file = mac.host("/private/var/log/vantrel.log");
    const std::size_t before = mac.log().size();
    cachingLog().notice("Cached Build: %{public}s",
                        "19H15\nLatest build is cached: 19H15\r\x1B[0m");
    installerLog().error("%{public}s", "C:\\path\\n stays\xC2\x85");
    const auto entries = mac.log();
    ASSERT_EQ(entries.size(), before + 2);
    EXPECT_EQ(entries[before].message,
              "Cached Build: 19H15\\nLatest build is cached: 19H15\\r\\u{1B}[0m");
    EXPECT_EQ(entries[before + 1].message, "C:\\path\\n stays\\u{85}");  // backslashes kept
    EXPECT_FALSE(holdsControls(mirrortest::readText(file)));
}

// Product keys, builds and versions, as the mirror's "control-text" fault makes them and as
// the program must show them.
constexpr const char* kShownKeyTail = "\\nLatest build is cached: 19H15\\r\\u{7F}\\u{9B}2K\\\\n";
constexpr const char* kShownBuild = "19H15\\u{9B}2K\\u{7F}Latest build is cached: 19H15\\\\\\n";
constexpr const char* kShownVersion = "10.15.7.\\nLatest build is cached: 19H15\\u{9B}0m\\\\";
constexpr const char* kShownNameTail = "\\u{9B}2K\\xFF";

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Standard output and the whole log of a run: nothing but whole lines of printable text, and
// the log holds one well-formed entry per line.
void expectPrintable(const TempMac& mac, const RunResult& run) {
    EXPECT_FALSE(holdsControls(run.standardOutput)) << run.standardOutput;
    const std::string log = mirrortest::readText(mac.host("/private/var/log/vantrel.log"));
    EXPECT_FALSE(holdsControls(log)) << log;
    const std::regex entry(R"(^\S+ \S+ com\.corvane\.vantrel \[\w+\] <\w+> .*$)");
    for (const auto& line : testsupport::splitLines(log)) {
        EXPECT_TRUE(std::regex_match(line, entry)) << line;
    }
}

TEST(ServerText, KeysBuildsAndVersionsFromTheServerArePrintedEscaped) {
    // One good product whose build and version carry control characters, and one whose
    // catalog key does and whose distribution files are missing, so that it is named.
    MirrorFolder mirror(
        {"--products", "3", "--release", "Catalina size=128K packages=2 faults=control-text",
         "--release",
         "Catalina:10.15.7:19Z10 size=64K packages=2 faults=control-text+dist-missing"});
    ServeProcess server(mirror.path());
    std::string goodKey;
    std::string brokenKey;
    for (const auto& release : mirror.manifest().releases) {
        const std::string plainKey = release.productKey.substr(0, release.productKey.find('\n'));
        (startsWith(release.build, "19Z10") ? brokenKey : goodKey) = plainKey;
    }
    ASSERT_FALSE(goodKey.empty() || brokenKey.empty());
    const std::string skipped = "Skipping product " + brokenKey + kShownKeyTail +
                                ": could not fetch its distribution file ";
    const Lines cache{"--action", "cache", "--osname", "Catalina"};
    const auto countStarting = [](const Lines& lines, const std::string& prefix) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return startsWith(line, prefix); });
    };

    // With another build cached, the comparison shows both builds and the version escaped, and
    // nothing may claim that the latest build is cached; once it is, the answer names it escaped.
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    // (An XML property list cannot hold ESC, and one that does is unreadable: DEL and C1 it can.)
    mac.addInstaller("Catalina",
                     "19A1\x7F\xC2\x9B"
                     "1A\\");
    const RunResult first = mac.run(cache);
    ASSERT_TRUE(first.exited(0)) << first.standardOutput << first.standardError;
    const Lines lines = first.outputLines();
    const auto available =
        std::find(lines.begin(), lines.end(), std::string("Available Version: ") + kShownVersion);
    ASSERT_NE(available, lines.end()) << first.standardOutput;
    ASSERT_LT(available + 2, lines.end());
    EXPECT_EQ(available[1], "Cached Build: 19A1\\u{7F}\\u{9B}1A\\\\");
    EXPECT_TRUE(mac.logged("caching", "Debug", "Cached Build: 19A1\\u{7F}\\u{9B}1A\\\\"));
    EXPECT_EQ(available[2], std::string("A newer build is available: ") + kShownBuild);
    EXPECT_TRUE(mac.logged("caching", "Debug", std::string("Available Version: ") + kShownVersion));
    EXPECT_TRUE(mac.logged("caching", "Debug", std::string("Available Version: ") + kShownBuild));
    EXPECT_EQ(countStarting(lines, "Latest build is cached"), 0) << first.standardOutput;
    EXPECT_EQ(countStarting(lines, skipped), 1) << first.standardOutput;
    const std::string downloaded =
        "Downloading: " + goodKey + ".English" + kShownNameTail + ".dist";
    EXPECT_NE(std::find(lines.begin(), lines.end(), downloaded), lines.end())
        << first.standardOutput;
    EXPECT_TRUE(mac.logged("networking", "Debug", downloaded));
    expectPrintable(mac, first);

    const RunResult second = mac.run(cache);
    ASSERT_TRUE(second.exited(0)) << second.standardOutput << second.standardError;
    const Lines again = second.outputLines();
    EXPECT_EQ(countStarting(again, "Latest build is cached"), 1) << second.standardOutput;
    EXPECT_NE(std::find(again.begin(), again.end(),
                        std::string("Latest build is cached: ") + kShownBuild),
              again.end())
        << second.standardOutput;
    EXPECT_TRUE(
        mac.logged("caching", "Default", std::string("Latest build is cached: ") + kShownBuild));
    expectPrintable(mac, second);
}

// A name for a trusted server's certificate, which has no alternative names: the network
// library's description of a failed transfer quotes it.
constexpr const char* kHostileName = "evil\nLatest build is cached: 19H15\x1B[0m";
constexpr const char* kShownName = "evil\\nLatest build is cached: 19H15\\u{1B}[0m";

// Answers every request with a small document.
void serveSmallDocuments(cachingtest::TlsServer& server) {
    server.server().Get(".*", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<plist/>", "text/xml");
    });
    server.start();
}

// A Mac whose catalog server is `url` and which trusts the certificates `pem`.
TempMac trusting(const std::string& url, const mirrortest::TempFolder& folder,
                 const std::string& pem) {
    const fs::path trusted = folder.path() / "trusted.pem";
    std::ofstream(trusted) << pem;
    return TempMac({"--catalog-server", url, "--trust-cert", trusted.string()});
}

TEST(ServerText, ACertificateNameQuotedInACatalogFailureIsEscaped) {
    cachingtest::TlsServer server(kHostileName, "");
    serveSmallDocuments(server);
    mirrortest::TempFolder folder("named");
    const TempMac mac = trusting(server.url(""), folder, server.identity().pem());
    const RunResult run = mac.run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    const Lines lines = run.outputLines();
    ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
    EXPECT_TRUE(
        startsWith(lines[0], "Could not fetch the software update catalog " + server.url("")))
        << lines[0];
    EXPECT_NE(lines[0].find(kShownName), std::string::npos) << lines[0];
    expectPrintable(mac, run);
}

TEST(ServerText, ACertificateNameQuotedInADocumentOrDownloadFailureIsEscaped) {
    // The catalog sends one product's distribution files and another's first package to the
    // server with the hostile name.
    cachingtest::TlsServer named(kHostileName, "");
    serveSmallDocuments(named);
    MirrorFolder mirror({"--products", "2", "--release", "Catalina size=64K packages=2",
                         "--release", "Catalina:10.15.7:19Z10 size=64K packages=2"});
    std::string brokenKey;
    std::string sentAway;
    for (const auto& release : mirror.manifest().releases) {
        std::vector<std::pair<std::string, std::string>> moves;
        if (release.build == "19Z10") {
            brokenKey = release.productKey;
            for (const auto& url : release.distributionURLs) {
                moves.emplace_back(url, named.url(url.substr(url.find("/content/"))));
            }
        } else {
            sentAway = named.url("/content/away/OSInstallerCore.pkg");
            moves.emplace_back(release.packageURLs.at(0), sentAway);
        }
        for (int minor = 13; minor <= 16; ++minor) {
            std::string text = mirrortest::readText(mirror.catalog(minor));
            for (const auto& [from, to] : moves) {
                for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
                    text.replace(at, from.size(), to);
                    at += to.size();
                }
            }
            std::ofstream(mirror.catalog(minor), std::ios::trunc) << text;
        }
    }
    ServeProcess server(mirror.path());
    mirrortest::TempFolder folder("named");
    const TempMac mac = trusting(
        server.url(), folder, mirrortest::readText(server.certificate()) + named.identity().pem());
    const RunResult run = mac.run({"--action", "cache", "--osname", "Catalina"});
    EXPECT_TRUE(run.exited(0) || run.exited(3)) << run.standardOutput;

    const Lines lines = run.outputLines();
    const auto quotingTheName = [&](const std::string& prefix) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return startsWith(line, prefix) && line.find(kShownName) != std::string::npos;
        });
    };
    EXPECT_NE(quotingTheName("Skipping product " + brokenKey +
                             ": could not fetch its distribution file " + named.url("")),
              lines.end())
        << run.standardOutput;
    const auto failed = quotingTheName("Download failed: " + sentAway + ": ");
    ASSERT_NE(failed, lines.end()) << run.standardOutput;
    EXPECT_TRUE(mac.logged("networking", "Error", *failed));  // the same text in the log
    expectPrintable(mac, run);
}

}  // namespace
}  // namespace vantrel
