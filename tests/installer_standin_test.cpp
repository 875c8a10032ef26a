// The stand-in /usr/sbin/installer never writes outside the application it installs: the
// program's tests hand it whatever they downloaded, and cannot see where it writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/lib/CatalogDocuments.h"
#include "sim/lib/PackageWriter.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::RunResult;
using testsupport::TempMac;

constexpr const char* kApp = "/Applications/Install macOS Catalina.app";

TEST(InstallerStandInTest, RefusesPackagesThatReachOutsideAnApplication) {
    TempMac mac;
    // A well-formed, correctly digested package whose entries escape: refused, nothing written.
    const fs::path folder = mac.host("/private/tmp/evil");
    fs::create_directories(folder);
    const auto check = [&](const std::string& entryPath, const std::string& packageName) {
        SCOPED_TRACE(entryPath + " in " + packageName);
        sim::DistributionDocument document;
        document.title = "macOS Catalina";
        const fs::path package = folder / fs::path(packageName).filename();
        const auto written =
            sim::writePackage(package, {{entryPath, {}, 64}}, sim::FillKind::Random, 3);
        document.packages.push_back(
            {packageName, "com.apple.pkg.Evil", written.bytes, written.sha256, 1, written.sha1});
        std::ofstream(folder / "Evil.dist") << sim::distributionXml(document);
        const RunResult run = testsupport::runProgram(
            mac.host("/usr/sbin/installer"),
            {"-pkg", "/private/tmp/evil/Evil.dist", "-target", "/", "-verboseR"},
            std::chrono::seconds(60));
        EXPECT_TRUE(run.exited(1));
        // Refused for where the entry goes, not for some later reason.
        EXPECT_NE(run.standardOutput.find("outside"), std::string::npos) << run.standardOutput;
        std::error_code ec;
        EXPECT_TRUE(fs::is_empty(mac.host("/private/var/tmp"), ec) ||
                    !fs::exists(mac.host("/private/var/tmp")));
    };
    check("Applications/Install macOS Catalina.app/../../etc/evil", "Evil.pkg");
    // An absolute entry, named by its place on this machine inside the test's Mac: a stand-in
    // that let it through writes there, never into this machine's own /etc.
    check(mac.host("/etc/evil").string(), "Evil.pkg");
    check("Library/LaunchDaemons/evil.plist", "Evil.pkg");
    check("Applications/Install macOS Catalina.app/Contents/x", "../Evil.pkg");
    EXPECT_FALSE(fs::exists(mac.host("/etc/evil")));
    EXPECT_FALSE(fs::exists(mac.host("/Library/LaunchDaemons/evil.plist")));
    EXPECT_FALSE(fs::exists(mac.host(kApp)));
}

}  // namespace
}  // namespace vantrel
