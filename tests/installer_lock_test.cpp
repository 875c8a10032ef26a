// The lock between caching runs and installations, run by the real program on simulated
// Macs: a caching run never pulls the installer away from a running startosinstall.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/background_fixture.h"
#include "tests/disk_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using namespace disktest;
using namespace std::chrono_literals;
using backgroundtest::Background;
using backgroundtest::waitUntil;
using testsupport::RunResult;

// A FIFO in the Mac's folder, read or written by the test with a bounded wait.
fs::path makeFifo(const TempMac& mac, const std::string& name) {
    const fs::path path = mac.root() / name;
    if (::mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo failed");
    }
    return path;
}

bool readLineFrom(const fs::path& fifo, std::chrono::milliseconds timeout) {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    pollfd ready{fd, POLLIN, 0};
    const bool got = fd >= 0 && ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1;
    if (fd >= 0) {
        ::close(fd);
    }
    return got;
}

bool writeLineTo(const fs::path& fifo, std::chrono::milliseconds timeout) {
    int fd = -1;
    waitUntil(
        [&] {
            fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // once a reader waits
            return fd >= 0;
        },
        timeout);
    const bool written = fd >= 0 && ::write(fd, "go\n", 3) == 3;
    if (fd >= 0) {
        ::close(fd);
    }
    return written;
}

TEST(InstallerLock, ACachingRunNeverReplacesTheInstallerOfARunningInstallation) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    // A startosinstall that says when it runs and waits for the test to let it end.
    const fs::path started = makeFifo(mac, "started");
    const fs::path release = makeFifo(mac, "release");
    const fs::path tool = mac.host(kFiledCatalina) / "Contents/Resources/startosinstall";
    fs::remove(tool);  // a link to the built stand-in: never write through it
    std::ofstream(tool) << "#!/bin/sh\necho started > " << started.string() << "\nread line < "
                        << release.string() << "\n";
    ::chmod(tool.c_str(), 0755);
    struct stat before {};
    ASSERT_EQ(::stat(mac.host(kFiledCatalina).c_str(), &before), 0);

    Background installation(mac, kInstall);
    ASSERT_TRUE(readLineFrom(started, 60s)) << installation.output();

    RunResult caching = mac.run(kCache);
    EXPECT_TRUE(caching.exited(3)) << caching.standardOutput;
    EXPECT_EQ(caching.outputLines(),
              Lines{"A macOS installation is running from the cached installer on this Mac; "
                    "nothing was changed. Try again when it has finished."});
    // An installer put in /Applications meanwhile is not filed away over it either.
    mac.addInstaller("Catalina", "19H16");
    caching = mac.run(kInstall);
    EXPECT_TRUE(caching.exited(3)) << caching.standardOutput;
    EXPECT_TRUE(fs::exists(mac.host(kInApplications)));

    struct stat after {};
    ASSERT_EQ(::stat(mac.host(kFiledCatalina).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_TRUE(fs::exists(tool));

    ASSERT_TRUE(writeLineTo(release, 60s));
    EXPECT_EQ(installation.waitForExit(60s), 3) << installation.output();
    // With the installation over, caching may replace the installer again.
    EXPECT_TRUE(mac.run(kInstall).signal == SIGUSR1);
}

TEST(InstallerLock, AnInstallationDoesNotStartWhileAnotherRunCachesAndTheLockIsRoots) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    const fs::path folder = mac.host(kLockFolder);
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    // The test stands for a caching run that holds the lock.
    const int fd = ::open((folder / "installer.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    RunResult run = mac.run(kInstall);
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    EXPECT_EQ(run.outputLines(),
              Lines{"Another Vantrel run is caching the macOS installer on this Mac; the "
                    "installation was not started. Try again when it has finished."});
    EXPECT_FALSE(mac.installation());
    // The lock's folder was made root's alone on the way.
    EXPECT_EQ(modeOf(folder) & 07777, 0700u);
    ::close(fd);

    // A lock folder in a folder of someone else's is no lock: nothing runs.
    const fs::path varRun = mac.host("/private/var/run");
    ASSERT_EQ(::chown(varRun.c_str(), kNobody, kNobody), 0);
    run = mac.run(kInstall);
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    EXPECT_EQ(run.outputLines(), Lines{"The caching lock could not be taken: /private/var/run is "
                                       "owned by uid 65534, not root"});
    ASSERT_EQ(::chown(varRun.c_str(), 0, 0), 0);

    // Nor is one someone could swap for a link.
    fs::remove_all(folder);
    const fs::path elsewhere = mac.host("/Users/elsewhere");
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, folder);
    run = mac.run(kInstall);
    EXPECT_TRUE(run.exited(3)) << run.standardOutput;
    EXPECT_EQ(run.outputLines(),
              Lines{"The caching lock could not be taken: " + std::string(kLockFolder) +
                    " is a symbolic link, not a folder"});
    EXPECT_FALSE(mac.installation());
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

}  // namespace
}  // namespace vantrel
