// What a root run trusts on disk, run by the real program on simulated Macs: installers of
// root's alone, a working folder of root's, the lock between caching and installation, and
// placement across volumes.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/Notifications.h"
#include "app/SharedData.h"
#include "install/StartOSInstall.h"
#include "tests/background_run.h"
#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using backgroundrun::Background;
using backgroundrun::kPreparationFailed;
using backgroundrun::mountSmallDisk;
using backgroundrun::waitUntil;
using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;
constexpr const char* kWorkingDir = "/Library/Application Support/com.corvane.vantrel";
constexpr const char* kFiledCatalina =
    "/Library/Application Support/com.corvane.vantrel/Install macOS Catalina.app";
constexpr const char* kInApplications = "/Applications/Install macOS Catalina.app";
constexpr const char* kLockFolder = "/private/var/run/com.corvane.vantrel";

const Lines kStatus{"--action", "status", "--osname", "Catalina"};
const Lines kInstall{"--action", "install", "--osname", "Catalina"};
const Lines kCache{"--action", "cache", "--osname", "Catalina"};

bool loggedContaining(const TempMac& mac, const std::string& category, const std::string& part) {
    for (const auto& entry : mac.log()) {
        if (entry.category == category && entry.message.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : kNobody;
}

// The installer's startosinstall is a link to the built stand-in: a test that changes its
// mode works on a copy of its own.
fs::path ownCopyOfTool(const fs::path& bundle) {
    const fs::path tool = bundle / "Contents/Resources/startosinstall";
    const fs::path copy = tool.string() + ".copy";
    fs::copy_file(tool, copy);
    fs::rename(copy, tool);
    return tool;
}

// --- Installers root runs ----------------------------------------------------------------

// An installer with the release's bundle identifier that root must not use; `status` does
// not know it, `install` does not run it, and the log names it and why.
void expectRefused(const TempMac& mac, const std::string& installer, const std::string& why) {
    RunResult run = mac.run(kStatus);
    EXPECT_TRUE(run.exited(0));
    EXPECT_EQ(run.outputLines(), Lines{"false"}) << why;
    EXPECT_TRUE(loggedContaining(mac, "main", "Not using " + installer + ": " + why))
        << why << "\n"
        << mirrortest::readText(mac.host("/private/var/log/vantrel.log"));

    run = mac.run(kInstall);
    EXPECT_TRUE(run.exited(0)) << run.standardOutput;
    EXPECT_EQ(run.outputLines(), Lines{"No OS found, exiting."});
    EXPECT_FALSE(mac.installation());
}

TEST(RootRunsOnlyWhatRootOwns, AnInstallerOnAnotherUsersWayIsNeverUsed) {
    TempMac mac;
    const std::string folder = "/Library/Application Support/Some Vendor";
    const std::string installer = mac.addInstaller("Catalina", "19H15", folder);
    const fs::path hostFolder = mac.host(folder);
    const fs::path bundle = mac.host(installer);

    ASSERT_EQ(::chown(hostFolder.c_str(), kNobody, kNobody), 0);
    expectRefused(mac, installer, folder + " is owned by uid 65534, not root");
    ASSERT_EQ(::chown(hostFolder.c_str(), 0, 0), 0);

    ::chmod(hostFolder.c_str(), 0775);
    expectRefused(mac, installer, folder + " is writable by its group");
    ::chmod(hostFolder.c_str(), 01777);  // sticky: others still add entries
    expectRefused(mac, installer, folder + " is writable by all users");
    ::chmod(hostFolder.c_str(), 0755);

    ::chmod(bundle.c_str(), 0757);
    expectRefused(mac, installer, installer + " is writable by all users");
    ::chmod(bundle.c_str(), 0755);

    // The files root reads and runs inside the bundle count too.
    const fs::path tool = ownCopyOfTool(bundle);
    const fs::path info = bundle / "Contents/Info.plist";
    ASSERT_EQ(::chown(info.c_str(), kNobody, 0), 0);
    expectRefused(mac, installer,
                  installer + "/Contents/Info.plist is owned by uid 65534, not root");
    ASSERT_EQ(::chown(info.c_str(), 0, 0), 0);
    ::chmod(tool.c_str(), 0775);
    expectRefused(mac, installer,
                  installer + "/Contents/Resources/startosinstall is writable by its group");
    ::chmod(tool.c_str(), 0755);
    // Gone, the folder it would appear in still counts.
    fs::remove(tool);
    ASSERT_EQ(::chown(tool.parent_path().c_str(), kNobody, 0), 0);
    expectRefused(mac, installer,
                  installer + "/Contents/Resources is owned by uid 65534, not root");

    // Once all of it is root's, the same installer is used.
    mac.addInstaller("Catalina", "19H15", folder);
    EXPECT_EQ(mac.run(kStatus).outputLines(), Lines{"true"});
    const RunResult run = mac.run(kInstall);
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    ASSERT_TRUE(mac.installation());
    EXPECT_EQ(mac.installation()->installer, installer);
}

TEST(RootRunsOnlyWhatRootOwns, AFolderReachedThroughALinkIsNeverUsed) {
    TempMac mac;
    // Another user's folder, linked into /Library/Application Support under a root-like name.
    const std::string theirs = "/Users/nobody/Apps";
    mac.addInstaller("Catalina", "19H15", theirs);
    ASSERT_EQ(::chown(mac.host(theirs).c_str(), kNobody, kNobody), 0);
    const std::string link = "/Library/Application Support/Linked";
    fs::create_directory_symlink(mac.host(theirs), mac.host(link));
    ASSERT_EQ(::lchown(mac.host(link).c_str(), kNobody, kNobody), 0);
    expectRefused(mac, link + "/Install macOS Catalina.app", link + " is a symbolic link");

    // A link of root's to a folder of root's is refused all the same.
    ASSERT_EQ(::chown(mac.host(theirs).c_str(), 0, 0), 0);
    ASSERT_EQ(::lchown(mac.host(link).c_str(), 0, 0), 0);
    expectRefused(mac, link + "/Install macOS Catalina.app", link + " is a symbolic link");
}

TEST(RootRunsOnlyWhatRootOwns, TheWorkingFoldersInstallerComesBeforeOtherFolders) {
    TempMac mac;
    // "Aaa" sorts before the working folder's name.
    mac.addInstaller("Catalina", "19H2", "/Library/Application Support/Aaa Tools");
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    const RunResult run = mac.run(kInstall);
    EXPECT_EQ(run.signal, SIGUSR1) << run.standardOutput;
    ASSERT_TRUE(mac.installation());
    EXPECT_EQ(mac.installation()->installer, kFiledCatalina);
}

TEST(RootRunsOnlyWhatRootOwns, StartosinstallIsCheckedAgainJustBeforeItRuns) {
    TempMac mac;
    const std::string installer = mac.addInstaller("Catalina", "19H15");
    ::chmod(ownCopyOfTool(mac.host(installer)).c_str(), 0777);
    mac.useInProcess();
    std::vector<std::string> errors;
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::taskProgress(), [&errors](const Notification& n) {
            for (const auto& [key, value] : n.userInfo.value_or(ProgressReport{})) {
                if (value == -1.0) {
                    errors.push_back(key);
                }
            }
        });
    auto& shared = SharedData::shared();
    shared.hasGUI = true;  // the window shows the refusal; the test process goes on
    shared.osInstallerAppBundlePath = installer;
    startOSInstall::runOSInstall();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "startosinstall was not run: " + installer +
                             "/Contents/Resources/startosinstall is writable by all users");
    EXPECT_TRUE(testsupport::waitForNoChildProcesses());
    EXPECT_FALSE(mac.installation());
}

// --- The working folder ------------------------------------------------------------------

TEST(WorkingFolder, IsMadeRootsOrRefusedWhenALinkStandsThere) {
    TempMac mac;
    const fs::path working = mac.host(kWorkingDir);
    fs::create_directories(working);
    ASSERT_EQ(::chown(working.c_str(), kNobody, kNobody), 0);
    ::chmod(working.c_str(), 0777);
    EXPECT_TRUE(mac.run(kStatus).exited(0));
    EXPECT_EQ(modeOf(working) & 07777, 0755u);
    EXPECT_EQ(ownerOf(working), 0u);

    // A link, even to a folder of root's: one line, status 3, nothing else done.
    mac.addInstaller("Catalina", "19H15");
    fs::remove(working);
    const fs::path target = mac.host("/Users/elsewhere");
    fs::create_directories(target);
    fs::create_directory_symlink(target, working);
    for (const Lines& arguments : {kStatus, kInstall}) {
        const RunResult run = mac.run(arguments);
        EXPECT_TRUE(run.exited(3)) << run.standardOutput;
        EXPECT_EQ(run.outputLines(), Lines{"Refusing to run: " + std::string(kWorkingDir) +
                                           " is a symbolic link, not a folder."});
    }
    EXPECT_TRUE(fs::is_symlink(working));
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_TRUE(fs::exists(mac.host(kInApplications)));
    EXPECT_FALSE(mac.installation());
}

TEST(WorkingFolder, APlainFileThereStopsNeitherStatusNorCachingAndTheFailedMoveIsReported) {
    mirrortest::MirrorFolder mirror(
        {"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    mirrortest::ServeProcess server(mirror.path());
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    std::ofstream(mac.host(kWorkingDir)) << "not a folder";

    EXPECT_EQ(mac.run(kStatus).outputLines(), Lines{"false"});
    const RunResult run = mac.run(kCache);
    EXPECT_TRUE(run.exited(3)) << run.standardOutput << run.standardError;
    ASSERT_FALSE(run.outputLines().empty());
    const std::string last = run.outputLines().back();
    EXPECT_EQ(
        last.rfind("The macOS Installer could not be moved to " + std::string(kFiledCatalina), 0),
        0u)
        << run.standardOutput;
    // The assembled installer is whole where the package installer left it.
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_FALSE(
        loggedContaining(mac, "installer", "macOS Installer moved to our /Library/Application"));
    EXPECT_EQ(mirrortest::readText(mac.host(kWorkingDir)), "not a folder");
}

TEST(WorkingFolder, ACachingRunClearsWhatAKilledPlacementLeftEvenWithNothingToDownload) {
    mirrortest::MirrorFolder mirror(
        {"--products", "2", "--release", "Catalina:10.15.7:19H15 size=1M"});
    mirrortest::ServeProcess server(mirror.path());
    TempMac mac({"--catalog-server", server.url(), "--trust-cert", server.certificate().string()});
    mac.addInstaller("Catalina", "19H15", kWorkingDir);
    const fs::path replaced = mac.host(kWorkingDir) / ".vantrel-replaced-a1b2c3";
    const fs::path removing = mac.host("/Applications/.vantrel-removing-d4e5f6");
    fs::create_directories(replaced / "Install macOS Catalina.app/Contents");
    fs::create_directories(removing / "Install macOS Catalina.app/Contents");

    const RunResult run = mac.run(kCache);
    EXPECT_TRUE(run.exited(0)) << run.standardOutput;
    EXPECT_EQ(run.outputLines().back(), "Latest build is cached: 19H15");
    EXPECT_FALSE(fs::exists(replaced));
    EXPECT_FALSE(fs::exists(removing));
    EXPECT_TRUE(fs::exists(mac.host(kFiledCatalina) / "Contents/Info.plist"));
}

// --- The lock between caching and installation -------------------------------------------

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

// --- Placement across volumes -------------------------------------------------------------

// Runs `install` with the working folder on a volume of its own (`mountIt` mounts it in the
// program's own mount namespace), so filing the installer away crosses volumes. Answers the
// exit status, or kPreparationFailed.
int installWithWorkingFolderMounted(const TempMac& mac,
                                    const std::function<bool(const char*)>& mountIt,
                                    std::string* output) {
    const fs::path working = mac.host(kWorkingDir);
    fs::create_directories(working);
    const std::string mountPoint = working.string();
    Background run(mac, kInstall, [&] { return mountIt(mountPoint.c_str()); });
    const int status = run.waitForExit(120s);
    *output = run.output();
    return status;
}

int installWithWorkingFolderOnATmpfs(const TempMac& mac, const char* options, std::string* output) {
    return installWithWorkingFolderMounted(
        mac, [options](const char* folder) { return mountSmallDisk(folder, options); }, output);
}

// A second mount of the same file system: the device is the same, yet rename says EXDEV.
// System calls only: it runs in the child between fork and exec.
bool bindOnto(const char* source, const char* folder) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(source, folder, nullptr, MS_BIND, nullptr) == 0;
}

// Hidden names left in /Applications (none may be, whatever happened).
Lines hiddenIn(const fs::path& folder) {
    Lines names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.') {
            names.push_back(entry.path().filename());
        }
    }
    return names;
}

TEST(PlacementAcrossVolumes, TheInstallerIsCopiedThenRemovedOrLeftWholeWithAFailure) {
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    std::string output;
    int status = installWithWorkingFolderOnATmpfs(mac, "size=64m,mode=0755", &output);
    if (status == kPreparationFailed) {
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs CAP_SYS_ADMIN)";
    }
    EXPECT_EQ(status, -1) << output;  // signalled by startosinstall, as at the restart
    const auto installation = mac.installation();
    ASSERT_TRUE(installation) << output;
    EXPECT_EQ(installation->installer, kFiledCatalina);  // ran from the whole copy
    EXPECT_FALSE(fs::exists(mac.host(kInApplications)));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});

    // A bind mount of the same file system: a rename fails all the same, and a copy is made.
    const fs::path bound = mac.host("/private/var/bound");
    fs::create_directories(bound);
    const std::string boundPath = bound.string();
    fs::remove(mac.host("/private/var/db/vantrel-sim/installation.plist"));
    mac.addInstaller("Catalina", "19H15");
    status = installWithWorkingFolderMounted(
        mac, [&](const char* folder) { return bindOnto(boundPath.c_str(), folder); }, &output);
    EXPECT_EQ(status, -1) << output;
    ASSERT_TRUE(mac.installation()) << output;
    EXPECT_EQ(mac.installation()->installer, kFiledCatalina);
    EXPECT_FALSE(fs::exists(mac.host(kInApplications)));
    EXPECT_TRUE(
        fs::exists(bound / "Install macOS Catalina.app/Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});
    EXPECT_EQ(hiddenIn(bound), Lines{});

    // A volume too small for the copy: one line, status 3, the installer whole where it was.
    fs::remove(mac.host("/private/var/db/vantrel-sim/installation.plist"));
    mac.addInstaller("Catalina", "19H15");
    status = installWithWorkingFolderOnATmpfs(mac, "size=16k,mode=0755", &output);
    EXPECT_EQ(status, 3) << output;
    const Lines lines = testsupport::splitLines(output);
    ASSERT_EQ(lines.size(), 1u) << output;
    EXPECT_EQ(lines[0].rfind(
                  "The macOS Installer could not be moved to " + std::string(kFiledCatalina), 0),
              0u)
        << output;
    EXPECT_NE(lines[0].find("No space left on device"), std::string::npos) << output;
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/SharedSupport/BaseSystem.dmg"));
    EXPECT_TRUE(fs::exists(mac.host(kInApplications) / "Contents/Resources/startosinstall"));
    EXPECT_EQ(hiddenIn(mac.host("/Applications")), Lines{});
    EXPECT_FALSE(mac.installation());
}

}  // namespace
}  // namespace vantrel
