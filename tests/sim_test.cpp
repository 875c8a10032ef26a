// The simulated Mac where the program's own tests cannot see it: what it refuses to write, that
// each Mac is its maker's alone, and the stand-in hdiutil's attach.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/simmac/MountTable.h"
#include "sim/lib/DiskImage.h"
#include "sim/lib/InstallerApp.h"
#include "sim/lib/SimulatedMac.h"
#include "tests/mirror_fixture.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testsupport::runProgram;
using testsupport::RunResult;
using testsupport::simTool;
using testsupport::TempMac;

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
    const mirrortest::TempFolder scratch("sim-test");
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

// The simulated Mac never reaches past its own folder: it is made only in an empty one, and an
// installer is added only inside it.
TEST(SimCommandTest, NeverWritesOutsideTheMacsOwnFolder) {
    const mirrortest::TempFolder scratch("sim-test");
    std::ofstream(scratch.path() / "precious") << "keep me";
    const RunResult run = runProgram(simTool(), {"create", scratch.path().string()});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("not empty"), std::string::npos);
    EXPECT_EQ(mirrortest::readText(scratch.path() / "precious"), "keep me");
    EXPECT_FALSE(fs::exists(scratch.path() / "SimulatedMac.plist"));

    TempMac mac;
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
    const mirrortest::TempFolder scratch("sim-test");
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

// What the base system holds is read by the program's own tests; an image already attached is
// refused, as the stale mounts that the fault tests leave must be.
TEST(HdiutilTest, AttachesTheBaseSystemImageOnceAtAMountPoint) {
    TempMac mac;
    const std::string installer = mac.addInstaller("Mojave", "18G103");
    const std::string image = installer + "/Contents/SharedSupport/BaseSystem.dmg";
    const std::string mountPoint = "/private/var/folders/0/T/com.corvane.vantrel/baseMount";
    const fs::path hdiutil = mac.host("/usr/bin/hdiutil");

    RunResult run = runProgram(
        hdiutil, {"attach", image, "-nobrowse", "-noverify", "-quiet", "-mountpoint", mountPoint});
    ASSERT_TRUE(run.exited(0)) << run.standardError;
    EXPECT_EQ(mac.sim("volumes"), mountPoint + "\t" + image + "\n");

    run = runProgram(hdiutil, {"attach", image, "-quiet", "-mountpoint", mountPoint});
    EXPECT_TRUE(run.exited(1));
    EXPECT_NE(run.standardError.find("Resource busy"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
