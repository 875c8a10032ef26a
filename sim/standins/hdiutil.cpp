// Stand-in for the Mac's disk-image tool. "attach IMAGE ... -mountpoint MP" extracts the
// simulated image (an archive) under MP and records the volume in the Mac's mount table;
// "detach MP" removes it again, unless the volume is busy. Paths are Mac paths.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/MacRoot.h"
#include "platform/simmac/MountTable.h"
#include "platform/simmac/SimulatedMac.h"
#include "sim/lib/DiskImage.h"

namespace {

namespace fs = std::filesystem;
using vantrel::platform::MacRoot;
using vantrel::simmac::MountTable;

int usage() {
    std::fprintf(stderr,
                 "Usage: hdiutil attach IMAGE [-nobrowse] [-noverify] [-quiet] [-readonly] "
                 "-mountpoint PATH\n"
                 "       hdiutil detach PATH [-force] [-quiet]\n");
    return 1;
}

int failed(const char* verb, const std::string& reason) {
    std::fprintf(stderr, "hdiutil: %s failed - %s\n", verb, reason.c_str());
    return 1;
}

bool isMounted(const MountTable& table, const std::string& mountPoint) {
    for (const auto& volume : table.list()) {
        if (volume.mountPoint == mountPoint) {
            return true;
        }
    }
    return false;
}

int attach(const MacRoot& root, const std::vector<std::string>& arguments) {
    std::string image;
    std::string mountPoint;
    bool quiet = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-mountpoint") {
            if (i + 1 >= arguments.size()) {
                return usage();
            }
            mountPoint = arguments[++i];
        } else if (argument == "-quiet") {
            quiet = true;
        } else if (argument == "-nobrowse" || argument == "-noverify" || argument == "-readonly" ||
                   argument == "-noautoopen") {
            continue;
        } else if (!argument.empty() && argument.front() != '-' && image.empty()) {
            image = argument;
        } else {
            return usage();
        }
    }
    if (image.empty() || mountPoint.empty()) {
        return usage();
    }
    MountTable table(root);
    const fs::path hostImage = root.host(image);
    const fs::path hostMount = root.host(mountPoint);
    std::error_code ec;
    if (!fs::is_regular_file(hostImage, ec)) {
        return failed("attach", "No such file or directory");
    }
    // A volume over a folder with files of its own would take them with it when detached.
    if (isMounted(table, mountPoint) ||
        (fs::exists(hostMount, ec) && !fs::is_empty(hostMount, ec))) {
        return failed("attach", "Resource busy");
    }
    fs::create_directories(hostMount, ec);
    std::string error;
    if (!vantrel::sim::extractDiskImage(hostImage, hostMount, &error)) {
        for (const auto& entry : fs::directory_iterator(hostMount, ec)) {
            fs::remove_all(entry.path(), ec);
        }
        return failed("attach", "image not recognized (" + error + ")");
    }
    table.add({mountPoint, image, false});
    if (!quiet) {
        std::printf("/dev/disk%zu          \t%s\n", table.list().size() + 1, mountPoint.c_str());
    }
    return 0;
}

int detach(const MacRoot& root, const std::vector<std::string>& arguments) {
    std::string mountPoint;
    bool quiet = false;
    for (const auto& argument : arguments) {
        if (argument == "-quiet") {
            quiet = true;
        } else if (argument == "-force") {
            continue;
        } else if (!argument.empty() && argument.front() != '-' && mountPoint.empty()) {
            mountPoint = argument;
        } else {
            return usage();
        }
    }
    if (mountPoint.empty()) {
        return usage();
    }
    switch (MountTable(root).detach(mountPoint)) {
        case MountTable::DetachResult::Detached:
            if (!quiet) {
                std::printf("\"%s\" ejected.\n", mountPoint.c_str());
            }
            return 0;
        case MountTable::DetachResult::NotMounted:
            return failed("detach", "No such file or directory");
        case MountTable::DetachResult::Busy:
            std::fprintf(stderr, "hdiutil: couldn't unmount \"%s\" - Resource busy\n",
                         mountPoint.c_str());
            return 16;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto root = vantrel::simmac::SimulatedMac::discoverForThisProcess();
    if (!root) {
        std::fprintf(stderr, "hdiutil: must run inside a simulated Mac\n");
        return 1;
    }
    if (argc < 2) {
        return usage();
    }
    const std::string verb = argv[1];
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (verb == "attach") {
        return attach(*root, arguments);
    }
    if (verb == "detach") {
        return detach(*root, arguments);
    }
    return usage();
}
