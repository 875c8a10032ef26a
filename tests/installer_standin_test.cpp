// The stand-in /usr/sbin/installer refuses what a real one refuses, which the program's own runs
// cannot see: a damaged or missing package, and entries that reach outside the application.

#include <gtest/gtest.h>

#include <algorithm>

#include "sim/lib/CatalogDocuments.h"
#include "sim/lib/PackageWriter.h"
#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel::mirrortest {
namespace {

using testsupport::RunResult;
using testsupport::TempMac;

constexpr const char* kApp = "/Applications/Install macOS Catalina.app";

// The downloads of a release as the program leaves them: all in one folder of the Mac.
std::string copyDownloads(const MirrorFolder& mirror, const TempMac& mac,
                          const std::string& folder = "/private/tmp/downloads") {
    const auto release = mirror.manifest().releases.at(0);
    fs::create_directories(mac.host(folder));
    for (const auto& url : release.packageURLs) {
        fs::copy_file(mirror.file(url), mac.host(folder) / fs::path(url).filename());
    }
    const fs::path dist = mirror.file(release.distributionURLs.at(0));
    fs::copy_file(dist, mac.host(folder) / dist.filename());
    return folder + "/" + dist.filename().string();
}

RunResult runInstaller(const TempMac& mac, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"-i", "NSUnbufferedIO=YES",
                                        mac.host("/usr/sbin/installer").string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return testsupport::runProgram("/usr/bin/env", command, std::chrono::seconds(60));
}

std::vector<double> progressOf(const RunResult& run) {
    std::vector<double> percents;
    for (const auto& line : run.outputLines()) {
        if (line.rfind("installer:%", 0) == 0) {
            percents.push_back(std::stod(line.substr(11)));
        }
    }
    return percents;
}

bool mentionsFailure(const RunResult& run) {
    return run.standardOutput.find("failed") != std::string::npos;
}

bool stagingIsEmpty(const TempMac& mac) {
    std::error_code ec;
    return fs::is_empty(mac.host("/private/var/tmp"), ec) ||
           !fs::exists(mac.host("/private/var/tmp"));
}

TEST(InstallerStandInTest, ADamagedOrMissingPackageFailsAndChangesNothing) {
    MirrorFolder mirror({"--products", "0", "--release", "Catalina packages=4 size=2M"});
    TempMac mac;
    const std::string dist = copyDownloads(mirror, mac);
    const auto release = mirror.manifest().releases.at(0);
    const fs::path folder = mac.host(dist).parent_path();
    const fs::path last = folder / fs::path(release.packageURLs.back()).filename();
    fs::create_directories(mac.host(kApp));
    std::ofstream(mac.host(std::string(kApp) + "/older")) << "an older installer";

    // Same size, one byte changed deep inside the filler: only the digest can tell.
    {
        std::fstream file(last, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(fs::file_size(last) / 2));
        file.put('\x7f');
    }
    RunResult run = runInstaller(mac, {"-pkg", dist, "-target", "/", "-verboseR"});
    EXPECT_FALSE(run.exited(0));
    EXPECT_TRUE(mentionsFailure(run)) << run.standardOutput;
    EXPECT_NE(run.standardOutput.find(last.filename().string()), std::string::npos);
    EXPECT_FALSE(progressOf(run).empty());  // it got some way before it found out
    EXPECT_EQ(readText(mac.host(std::string(kApp) + "/older")), "an older installer");
    EXPECT_TRUE(stagingIsEmpty(mac));

    fs::resize_file(last, fs::file_size(last) - 512);
    run = runInstaller(mac, {"-pkg", dist, "-target", "/", "-verboseR"});
    EXPECT_TRUE(mentionsFailure(run));
    EXPECT_NE(run.standardOutput.find("damaged"), std::string::npos);

    fs::remove(last);
    run = runInstaller(mac, {"-pkg", dist, "-target", "/", "-verboseR"});
    EXPECT_TRUE(mentionsFailure(run));
    EXPECT_NE(run.standardOutput.find("missing"), std::string::npos);
    EXPECT_EQ(readText(mac.host(std::string(kApp) + "/older")), "an older installer");
}

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
        const RunResult run =
            runInstaller(mac, {"-pkg", "/private/tmp/evil/Evil.dist", "-target", "/", "-verboseR"});
        EXPECT_TRUE(run.exited(1));
        EXPECT_TRUE(mentionsFailure(run)) << run.standardOutput;
        EXPECT_TRUE(stagingIsEmpty(mac));
    };
    check("Applications/Install macOS Catalina.app/../../etc/evil", "Evil.pkg");
    check("/etc/evil", "Evil.pkg");
    check("Library/LaunchDaemons/evil.plist", "Evil.pkg");
    check("Applications/Install macOS Catalina.app/Contents/x", "../Evil.pkg");
    EXPECT_FALSE(fs::exists(mac.host("/etc/evil")));
    EXPECT_FALSE(fs::exists(mac.host("/Library/LaunchDaemons/evil.plist")));
    EXPECT_FALSE(fs::exists(mac.host(kApp)));
}

}  // namespace
}  // namespace vantrel::mirrortest
