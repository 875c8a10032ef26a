// libcurl lives in the network plug-in, loaded when the first transfer or URL needs it: runs
// without network work never load it, and a Mac whose libcurl cannot be opened still answers
// "status" and ends a caching run with one clear line instead of the program refusing to
// start at all. Root loads only a plug-in that is root's.
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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

// Sets a variable of the test's environment, which the programs it runs inherit, and puts
// the old value back at the end of the scope.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        ::setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// The libraries an ELF file names as needed (DT_NEEDED), read from its dynamic section. Only
// the headers and the two sections are read: the sanitized program is tens of MiB.
std::vector<std::string> neededLibraries(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const auto readAt = [&](std::uint64_t offset, void* into, std::size_t size) {
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
        if (!in) {
            throw std::runtime_error(file.string() + " is cut short");
        }
    };
    Elf64_Ehdr header{};
    readAt(0, &header, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error(file.string() + " is no 64-bit ELF file");
    }
    const auto section = [&](std::size_t index) {
        Elf64_Shdr entry{};
        readAt(header.e_shoff + index * header.e_shentsize, &entry, sizeof entry);
        return entry;
    };
    std::vector<std::string> needed;
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynamic = section(i);
        if (dynamic.sh_type != SHT_DYNAMIC) {
            continue;
        }
        const Elf64_Shdr stringsHeader = section(dynamic.sh_link);
        std::string strings(stringsHeader.sh_size, '\0');
        readAt(stringsHeader.sh_offset, strings.data(), strings.size());
        std::vector<Elf64_Dyn> entries(dynamic.sh_size / sizeof(Elf64_Dyn));
        readAt(dynamic.sh_offset, entries.data(), entries.size() * sizeof(Elf64_Dyn));
        for (const Elf64_Dyn& entry : entries) {
            if (entry.d_tag == DT_NEEDED && entry.d_un.d_val < strings.size()) {
                needed.emplace_back(strings.c_str() + entry.d_un.d_val);
            }
        }
    }
    return needed;
}

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

bool contains(const std::vector<std::string>& names, const std::string& prefix) {
    for (const auto& name : names) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(HttpLibraryTest, OnlyTheNetworkPlugInLinksLibcurl) {
    const fs::path bundle = fs::path(VANTREL_BUILD_DIR) / "Vantrel.app";
    const auto program = neededLibraries(bundle / "Contents/MacOS/Vantrel");
    EXPECT_TRUE(contains(program, "libplist")) << ::testing::PrintToString(program);
    EXPECT_FALSE(contains(program, "libcurl")) << ::testing::PrintToString(program);
    // Nor the TLS library, which the package digests come from.
    EXPECT_FALSE(contains(program, "libcrypto")) << ::testing::PrintToString(program);
    EXPECT_FALSE(contains(program, "libssl")) << ::testing::PrintToString(program);
    const auto plugIn = neededLibraries(VANTREL_NETWORK_PLUGIN);
    EXPECT_TRUE(contains(plugIn, "libcurl.so.4")) << ::testing::PrintToString(plugIn);
}

TEST(HttpLibraryTest, StatusNeverLoadsTheNetworkLibrary) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    RunResult run;
    {
        ScopedEnvironment trace("LD_DEBUG", "libs");  // the loader names every library it opens
        run = mac.run({"--action", "status", "--osname", "Catalina"});
    }
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.standardOutput, "true\n");
    EXPECT_NE(run.standardError.find("libplist"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libcurl"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("libcrypto"), std::string::npos) << run.standardError;
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
        networktest::OneDownload delegate;
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
        ScopedEnvironment path("LD_LIBRARY_PATH", libraries.string());
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
