// libcurl is opened when the first transfer or URL needs it: runs without network work never
// load it, and a Mac whose libcurl cannot be opened still answers "status" and ends a caching
// run with one clear line instead of the program refusing to start at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace vantrel
