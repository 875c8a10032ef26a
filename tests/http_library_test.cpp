// libcurl lives in the network plug-in, loaded when the first transfer or URL needs it: runs
// without network work never load it, and a Mac whose libcurl cannot be opened still answers
// "status" and ends a caching run with one clear line instead of the program refusing to
// start at all. Root loads only a plug-in that is root's.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/network_fixture.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;
using testsupport::TempMac;

// Whether a library whose file name starts with `prefix` is loaded in this process.
bool loaded(const std::string& prefix) {
    struct Search {
        std::string prefix;
        bool found = false;
    } search{prefix};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            const std::string name = fs::path(info->dlpi_name ? info->dlpi_name : "").filename();
            search->found = search->found || name.rfind(search->prefix, 0) == 0;
            return 0;
        },
        &search);
    return search.found;
}

// The program itself links neither libcurl nor the TLS library: the loader, which names every
// library it opens, names neither for a run without network work.
TEST(HttpLibraryTest, StatusNeverLoadsTheNetworkLibrary) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    RunResult run;
    {
        networktest::ScopedEnvironment trace({{"LD_DEBUG", "libs"}});
        run = mac.run({"--action", "status", "--osname", "Catalina"});
    }
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.standardOutput, "true\n");
    EXPECT_NE(run.standardError.find("libplist"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libcurl"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libcrypto"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libssl"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libvantrel-network"), std::string::npos) << run.standardError;
}

// In this process, which does not link libcurl itself: making the clients loads nothing, the
// first transfer loads the plug-in and with it libcurl.
TEST(HttpLibraryTest, TheFirstTransferLoadsTheNetworkPlugIn) {
    ASSERT_FALSE(loaded("libcurl")) << "the test program must not link libcurl";
    cachingtest::BareMac mac;
    cachingtest::TlsServer server;
    server.server().Get("/doc", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<doc/>", "text/xml");
    });
    server.start();
    const fs::path trusted = mac.root() / "private/etc/ssl/cert.pem";
    server.writeCertificate(trusted);
    {
        net::HttpClient client = testsupport::documentClient();
        networktest::Recorder delegate;
        net::DownloadSession session(
            testsupport::downloadConfiguration({}, std::chrono::milliseconds(0), trusted),
            &delegate);
        EXPECT_FALSE(loaded("libvantrel-network"));
        EXPECT_FALSE(loaded("libcurl"));
    }
    const auto outcome =
        networktest::transfer(networktest::Kind::Document, server.url("/doc"), trusted);
    EXPECT_TRUE(outcome.delivered) << outcome.error;
    EXPECT_EQ(outcome.body, "<doc/>");
    EXPECT_TRUE(loaded("libvantrel-network"));
    EXPECT_TRUE(loaded("libcurl"));
}

TEST(HttpLibraryTest, WithoutAUsableNetworkLibraryStatusAnswersAndCachingEndsWithALine) {
    TempMac mac({"--catalog-server", "https://localhost:9"});
    // A file by libcurl's name that is no library, found before the system's.
    const fs::path libraries = mac.root().parent_path() / (mac.root().filename().string() + "-lib");
    fs::create_directories(libraries);
    std::ofstream(libraries / "libcurl.so.4") << "not a library\n";
    RunResult status;
    RunResult cache;
    {
        networktest::ScopedEnvironment path({{"LD_LIBRARY_PATH", libraries.string()}});
        status = mac.run({"--action", "status", "--osname", "Catalina"});
        cache = mac.run({"--action", "cache", "--osname", "Catalina"}, std::chrono::seconds(30));
    }
    fs::remove_all(libraries);

    EXPECT_TRUE(status.exited(0));
    EXPECT_EQ(status.standardOutput, "false\n");

    EXPECT_TRUE(cache.exited(3)) << cache.standardOutput << cache.standardError;
    const std::vector<std::string> lines = cache.outputLines();
    ASSERT_EQ(lines.size(), 1u) << cache.standardOutput;
    const std::string& line = lines[0];
    EXPECT_EQ(line.rfind("Could not fetch the software update catalog https://localhost:9/", 0), 0u)
        << line;
    EXPECT_NE(line.find("the network library could not be set up"), std::string::npos) << line;
}

// Root runs the plug-in's code: one that another user owns, or could replace through a
// folder on its way, is not loaded, and the run says why.
TEST(HttpLibraryTest, RootLoadsOnlyANetworkPlugInThatIsRoots) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the rule is root's";
    }
    TempMac mac({"--catalog-server", "https://localhost:9"});
    const fs::path plugIns = mac.host("/usr/local/vantrel/Vantrel.app/Contents/PlugIns");
    const fs::path plugIn = plugIns / "libvantrel-network.so";
    ASSERT_TRUE(fs::exists(plugIn));
    const auto cacheLine = [&] {
        const RunResult run =
            mac.run({"--action", "cache", "--osname", "Catalina"}, std::chrono::seconds(30));
        const auto lines = run.outputLines();
        return lines.size() == 1 ? lines[0] : run.standardOutput;
    };
    // As made, the plug-in is root's and a transfer is tried (and fails: nothing listens).
    const std::string trusted = cacheLine();
    EXPECT_EQ(trusted.find("the network library could not be set up"), std::string::npos)
        << trusted;

    fs::permissions(plugIns, fs::perms::group_write, fs::perm_options::add);
    const std::string writableFolder = cacheLine();
    EXPECT_NE(writableFolder.find("the network library could not be set up"), std::string::npos)
        << writableFolder;
    EXPECT_NE(writableFolder.find("PlugIns is writable by its group"), std::string::npos)
        << writableFolder;
    fs::permissions(plugIns, fs::perms::group_write, fs::perm_options::remove);

    ASSERT_EQ(::chown(plugIn.c_str(), 65534, 65534), 0);
    const std::string strangersFile = cacheLine();
    EXPECT_NE(strangersFile.find("libvantrel-network.so is owned by uid 65534, not root"),
              std::string::npos)
        << strangersFile;
}

}  // namespace
}  // namespace vantrel
