// The simulated Mac itself: disk images, vantrel-sim's commands and the stand-in hdiutil.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Applications.h"
#include "platform/Machine.h"
#include "platform/simmac/MountTable.h"
#include "plist/Plist.h"
#include "sim/lib/CopyTree.h"
#include "sim/lib/DiskImage.h"
#include "sim/lib/InstallerApp.h"
#include "sim/lib/SimulatedMac.h"
#include "tests/support/InProcessMac.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::runProgram;
using testsupport::RunResult;
using testsupport::simTool;
using testsupport::TempMac;
using Lines = std::vector<std::string>;

// A private folder for one test.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "vantrel-sim-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DiskImageTest, KeepsFilesFoldersModesAndLinks) {
    Scratch scratch;
    const fs::path source = scratch.path() / "source";
    fs::create_directories(source / "System/Library/CoreServices");
    fs::create_directories(source / "empty folder");
    std::ofstream(source / "System/Library/CoreServices/SystemVersion.plist") << "<plist/>";
    std::ofstream(source / "empty");
    std::ofstream(source / "tool") << "#!/bin/sh\n";
    fs::permissions(source / "tool", fs::perms(0755));
    const std::string big(3 * 1024 * 1024 + 17, 'x');
    std::ofstream(source / "big.bin", std::ios::binary) << big;
    fs::create_symlink("System/Library", source / "link");

    const fs::path image = scratch.path() / "Base System.dmg";
    std::string error;
    ASSERT_TRUE(sim::writeDiskImage(source, image, &error)) << error;
    const fs::path out = scratch.path() / "out";
    ASSERT_TRUE(sim::extractDiskImage(image, out, &error)) << error;

    EXPECT_EQ(contentOf(out / "System/Library/CoreServices/SystemVersion.plist"), "<plist/>");
    EXPECT_EQ(contentOf(out / "big.bin"), big);
    EXPECT_TRUE(fs::is_regular_file(out / "empty"));
    EXPECT_EQ(fs::file_size(out / "empty"), 0u);
    EXPECT_TRUE(fs::is_directory(out / "empty folder"));
    EXPECT_EQ(fs::status(out / "tool").permissions() & fs::perms::all, fs::perms(0755));
    EXPECT_EQ(fs::read_symlink(out / "link"), "System/Library");

    EXPECT_FALSE(sim::writeDiskImage(scratch.path() / "missing", scratch.path() / "x.dmg", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(sim::extractDiskImage(scratch.path() / "missing.dmg", out, &error));
}

// Writes a tar with one entry of the given type.
void writeArchive(const fs::path& file, const std::string& name, const char* symlink) {
    archive* a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    archive_write_open_filename(a, file.c_str());
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    if (symlink) {
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink(entry, symlink);
        archive_entry_set_size(entry, 0);
    } else {
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, 4);
    }
    archive_entry_set_perm(entry, 0644);
    archive_write_header(a, entry);
    if (!symlink) {
        archive_write_data(a, "evil", 4);
    }
    archive_entry_free(entry);
    archive_write_close(a);
    archive_write_free(a);
}

TEST(DiskImageTest, RefusesEntriesThatWouldLandOutsideTheMountPoint) {
    Scratch scratch;
    const std::pair<std::string, const char*> entries[] = {
        {"../escaped", nullptr},
        {"a/../../escaped", nullptr},
        {"/tmp/escaped-absolute", nullptr},
        {"up", ".."},
        {"etc", "/etc"},
        {"sneaky", "x/../../.."},
    };
    for (const auto& [name, link] : entries) {
        SCOPED_TRACE(name);
        const fs::path image = scratch.path() / "bad.dmg";
        writeArchive(image, name, link);
        std::string error;
        EXPECT_FALSE(sim::extractDiskImage(image, scratch.path() / "mount" / "point", &error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(fs::exists(scratch.path() / "mount" / "escaped"));
        EXPECT_FALSE(fs::exists(scratch.path() / "escaped"));
    }
    EXPECT_FALSE(fs::exists("/tmp/escaped-absolute"));
}

TEST(CopyTreeTest, GivesEveryFileACopyOfItsOwnThatOnlyItsOwnerMayWrite) {
    Scratch scratch;
    const fs::path from = scratch.path() / "from";
    fs::create_directories(from / "Contents/MacOS");
    std::ofstream(from / "Contents/MacOS/tool") << "#!/bin/sh\n";
    std::ofstream(from / "Contents/Info.plist") << "<plist/>";
    fs::create_symlink("MacOS/tool", from / "Contents/link");
    fs::permissions(from / "Contents/MacOS/tool", static_cast<fs::perms>(0777));
    fs::permissions(from / "Contents/Info.plist", static_cast<fs::perms>(0666));
    fs::permissions(from / "Contents", static_cast<fs::perms>(0777));

    const fs::path to = scratch.path() / "to";
    sim::copyTree(from, to);
    EXPECT_EQ(contentOf(to / "Contents/MacOS/tool"), "#!/bin/sh\n");
    EXPECT_EQ(fs::read_symlink(to / "Contents/link"), "MacOS/tool");
    EXPECT_EQ(fs::status(to / "Contents/MacOS/tool").permissions(), static_cast<fs::perms>(0755));
    EXPECT_EQ(fs::status(to / "Contents/Info.plist").permissions(), static_cast<fs::perms>(0644));
    EXPECT_EQ(fs::status(to / "Contents").permissions(), static_cast<fs::perms>(0755));

    std::ofstream(to / "Contents/MacOS/tool", std::ios::app) << "exit 1\n";
    EXPECT_EQ(contentOf(from / "Contents/MacOS/tool"), "#!/bin/sh\n");
    EXPECT_THROW(sim::copyTree(from, to), fs::filesystem_error);  // never over what is there
}

TEST(SimCommandTest, CreateWritesWhatTheMacAnswers) {
    Scratch scratch;
    const fs::path pem = scratch.path() / "ca.pem";
    std::ofstream(pem) << "-----BEGIN CERTIFICATE-----\n";
    TempMac mac({"--os-version", "10.14.6", "--os-build", "18G103", "--board-id",
                 "Mac-0000000000000042", "--model", "iMac19,1", "--vm", "--console-user", "ada",
                 "--user-name", "grace", "--catalog-server", "https://localhost:9443",
                 "--trust-cert", pem.string()});
    EXPECT_EQ(mac.program(), mac.host("/usr/local/vantrel/Vantrel.app/Contents/MacOS/Vantrel"));
    EXPECT_TRUE(fs::is_regular_file(mac.host("/usr/bin/hdiutil")));
    EXPECT_TRUE(fs::is_directory(mac.host("/Library/Application Support")));
    EXPECT_EQ(contentOf(mac.host("/private/etc/ssl/cert.pem")), contentOf(pem));

    mac.useInProcess();
    EXPECT_EQ(testsupport::inProcessServices().machine.operatingSystemVersion(),
              (platform::OSVersion{10, 14, 6}));
    const std::string board = "Mac-0000000000000042";
    std::vector<std::uint8_t> boardBytes(board.begin(), board.end());
    boardBytes.push_back(0);  // as the firmware gives it
    EXPECT_EQ(testsupport::inProcessServices().machine.platformExpertProperty("board-id"),
              boardBytes);
    const auto model =
        testsupport::inProcessServices().machine.platformExpertProperty("compatible");
    EXPECT_EQ(std::string(model.begin(), model.end()), std::string("iMac19,1", 9));
    EXPECT_NE(
        (" " + testsupport::inProcessServices().machine.sysctlValue("machdep.cpu.features") + " ")
            .find(" VMM "),
        std::string::npos);
    EXPECT_EQ(testsupport::inProcessServices().machine.consoleUser(), "ada");
    EXPECT_EQ(testsupport::inProcessServices().machine.currentUserName(), "grace");
    EXPECT_EQ(testsupport::inProcessServices().machine.catalogServer(), "https://localhost:9443");
    EXPECT_EQ(testsupport::inProcessServices().machine.bundleIdentifier(), "com.corvane.vantrel");

    // The defaults: nobody at the console, not a virtual machine.
    TempMac plain;
    plain.useInProcess();
    EXPECT_FALSE(testsupport::inProcessServices().machine.consoleUser());
    EXPECT_EQ(
        testsupport::inProcessServices().machine.sysctlValue("machdep.cpu.features").find("VMM"),
        std::string::npos);
    EXPECT_EQ(testsupport::inProcessServices().machine.operatingSystemVersion(),
              (platform::OSVersion{10, 15, 7}));
}

TEST(SimCommandTest, CreateRefusesBadInputAndNeverTouchesAnExistingFolder) {
    Scratch scratch;
    std::ofstream(scratch.path() / "precious") << "keep me";
    RunResult run = runProgram(simTool(), {"create", scratch.path().string()});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("not empty"), std::string::npos);
    EXPECT_EQ(contentOf(scratch.path() / "precious"), "keep me");
    EXPECT_FALSE(fs::exists(scratch.path() / "SimulatedMac.plist"));

    const fs::path fresh = scratch.path() / "fresh";
    for (const Lines& options :
         {Lines{"--os-version", "ten"}, Lines{"--catalog-server", "localhost:8443"},
          Lines{"--trust-cert", "/no/such.pem"}}) {
        Lines arguments{"create", fresh.string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        run = runProgram(simTool(), arguments);
        EXPECT_TRUE(run.exited(1)) << options[0];
        EXPECT_FALSE(run.standardError.empty());
        EXPECT_FALSE(fs::exists(fresh / "SimulatedMac.plist"));
    }
    EXPECT_TRUE(runProgram(simTool(), {"create", "--bogus", fresh.string()}).exited(64));
    EXPECT_TRUE(runProgram(simTool(), {"create"}).exited(64));
    EXPECT_TRUE(runProgram(simTool(), {"nonsense"}).exited(64));
    EXPECT_TRUE(runProgram(simTool(), {}).exited(64));
    for (const char* command : {"create", "add-installer", "mount", "refuse", "volumes"}) {
        run = runProgram(simTool(), {command, "--help"});
        EXPECT_TRUE(run.exited(0)) << command;
        EXPECT_NE(run.standardOutput.find("Usage"), std::string::npos) << command;
    }
    run = runProgram(simTool(), {"add-installer", scratch.path().string(), "--release", "Catalina",
                                 "--build", "19H15"});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("not a simulated Mac"), std::string::npos);
}

TEST(SimCommandTest, AddInstallerMakesAnInstallerTheMacFindsAndReplacesItsNamesake) {
    TempMac mac;
    const std::string path = mac.addInstaller("Catalina", "19H15");
    EXPECT_EQ(path, "/Applications/Install macOS Catalina.app");
    const fs::path bundle = mac.host(path);
    const fs::path tool = bundle / "Contents/Resources/startosinstall";
    EXPECT_TRUE(fs::is_regular_file(tool));
    EXPECT_NE(fs::status(tool).permissions() & fs::perms::owner_exec, fs::perms::none);

    mac.useInProcess();
    EXPECT_EQ(testsupport::inProcessServices().applications.applicationPathForBundleIdentifier(
                  "com.apple.InstallAssistant.Catalina"),
              path);
    EXPECT_FALSE(testsupport::inProcessServices().applications.applicationPathForBundleIdentifier(
        "com.apple.InstallAssistant.Mojave"));

    std::ofstream(bundle / "Contents/stale") << "from the first one";
    mac.sim("add-installer", {"--release", "Catalina", "--build", "19H16"});
    EXPECT_FALSE(fs::exists(bundle / "Contents/stale"));
    std::vector<fs::path> applications;
    for (const auto& entry : fs::directory_iterator(mac.host("/Applications"))) {
        applications.push_back(entry.path().filename());
    }
    EXPECT_EQ(applications, std::vector<fs::path>{"Install macOS Catalina.app"});

    EXPECT_THROW(mac.sim("add-installer", {"--release", "Monterey", "--build", "21A1"}),
                 std::runtime_error);  // no version known for it
    EXPECT_THROW(mac.sim("add-installer", {"--release", "Catalina", "--build", "1", "--in", "x"}),
                 std::runtime_error);
    EXPECT_THROW(mac.sim("add-installer", {"--release", "Catalina", "--build", "1", "--in",
                                           "/Applications/../../outside"}),
                 std::runtime_error);
}

// Every file of `folder`, relative to it.
std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), folder));
        }
    }
    return files;
}

TEST(SimCommandTest, AMacIsItsMakersAloneAndWritingIntoItChangesNeitherTheBuildNorAnotherMac) {
    // Made with umask 0 in a folder someone else owns and anyone may write.
    Scratch scratch;
    const fs::path root = scratch.path() / "mac";
    fs::create_directory(root);
    fs::permissions(root, fs::perms::all);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(root.c_str(), 65534, 65534), 0);
    }
    const mode_t umaskBefore = ::umask(0);
    const RunResult created = runProgram(simTool(), {"create", root.string()});
    const RunResult added = runProgram(
        simTool(), {"add-installer", root.string(), "--release", "Catalina", "--build", "19H15"});
    ::umask(umaskBefore);
    ASSERT_TRUE(created.exited(0)) << created.standardError;
    ASSERT_TRUE(added.exited(0)) << added.standardError;

    std::size_t walked = 0;
    const auto expectMakersAlone = [&](const fs::path& path) {
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0) << path;
        ++walked;
        EXPECT_EQ(info.st_uid, ::geteuid()) << path;
        if (S_ISLNK(info.st_mode)) {
            return;
        }
        const mode_t mode = info.st_mode & 07777;
        if (path == root / "private/tmp") {
            EXPECT_EQ(mode, 01777u);
        } else {
            EXPECT_EQ(mode & 022, 0u) << path << " has mode " << std::oct << mode;
        }
    };
    expectMakersAlone(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        expectMakersAlone(entry.path());
    }
    EXPECT_GT(walked, 30u);

    // Each file the build gives a Mac is a copy of its own there.
    const platform::MacRoot mac(root);
    const std::string startosinstall =
        "/Applications/Install macOS Catalina.app/Contents/Resources/startosinstall";
    std::vector<std::pair<std::string, fs::path>> placed = {
        {"/usr/bin/hdiutil", sim::standInTool("hdiutil")},
        {"/usr/sbin/installer", sim::standInTool("installer")},
        {startosinstall, sim::standInTool("startosinstall")}};
    const fs::path bundle = VANTREL_BUNDLE_DIR;
    for (const fs::path& file : filesIn(bundle)) {
        placed.emplace_back((fs::path(sim::kAppInMac) / file).string(), bundle / file);
    }
    for (const std::string& executable :
         {std::string("/usr/bin/hdiutil"), std::string("/usr/sbin/installer"), startosinstall,
          mac.mac(sim::programInMac(root))}) {
        EXPECT_EQ(fs::status(mac.host(executable)).permissions(), static_cast<fs::perms>(0755))
            << executable;
    }
    TempMac other;
    other.addInstaller("Catalina", "19H15");
    const std::string written = "written inside one Mac";
    for (const auto& [macPath, built] : placed) {
        const auto size = fs::file_size(built);
        std::ofstream(mac.host(macPath), std::ios::app | std::ios::binary) << written;
        EXPECT_EQ(fs::file_size(mac.host(macPath)), size + written.size()) << macPath;
        EXPECT_EQ(fs::file_size(built), size) << built;
        EXPECT_EQ(fs::file_size(other.host(macPath)), size) << macPath;
    }
    EXPECT_GT(placed.size(), 5u);
}

TEST(HdiutilTest, AttachesTheBaseSystemImageAndDetachesIt) {
    TempMac mac;
    const std::string installer = mac.addInstaller("Mojave", "18G103");
    const std::string image = installer + "/Contents/SharedSupport/BaseSystem.dmg";
    const std::string mountPoint = "/private/var/folders/0/T/com.corvane.vantrel/baseMount";
    const fs::path hdiutil = mac.host("/usr/bin/hdiutil");

    RunResult run = runProgram(
        hdiutil, {"attach", image, "-nobrowse", "-noverify", "-quiet", "-mountpoint", mountPoint});
    ASSERT_TRUE(run.exited(0)) << run.standardError;
    EXPECT_EQ(run.standardOutput, "");
    plist::Plist version = plist::readPlistFile(
        mac.host(mountPoint + "/System/Library/CoreServices/SystemVersion.plist"));
    EXPECT_EQ(plist::stringForKey(version.get(), "ProductBuildVersion"), "18G103");
    EXPECT_EQ(plist::stringForKey(version.get(), "ProductVersion"), "10.14.6");
    EXPECT_EQ(mac.sim("volumes"), mountPoint + "\t" + image + "\n");

    run = runProgram(hdiutil, {"attach", image, "-quiet", "-mountpoint", mountPoint});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("Resource busy"), std::string::npos);

    EXPECT_TRUE(runProgram(hdiutil, {"detach", mountPoint, "-quiet"}).exited(0));
    EXPECT_TRUE(fs::is_directory(mac.host(mountPoint)));
    EXPECT_TRUE(fs::is_empty(mac.host(mountPoint)));
    EXPECT_EQ(mac.sim("volumes"), "");
    EXPECT_TRUE(runProgram(hdiutil, {"detach", mountPoint}).exited(1));

    mac.sim("mount", {"/Volumes/InstallESD", "--busy"});
    run = runProgram(hdiutil, {"detach", "/Volumes/InstallESD"});
    EXPECT_TRUE(run.exited(16));
    EXPECT_NE(run.standardError.find("Resource busy"), std::string::npos);

    EXPECT_TRUE(
        runProgram(hdiutil, {"attach", "/nothing.dmg", "-mountpoint", "/Volumes/x"}).exited(1));
    EXPECT_TRUE(runProgram(hdiutil, {"attach", image}).exited(1));  // no mount point
    EXPECT_TRUE(runProgram(hdiutil, {"resize", image}).exited(1));
}

}  // namespace
}  // namespace vantrel
