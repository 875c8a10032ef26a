#pragma once

// What the tests of the program's trust in the disk share: the Mac paths they look at, the
// actions they run, and small views of the disk.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/MacPaths.h"
#include "tests/support/TempMac.h"

namespace vantrel::disktest {

namespace fs = std::filesystem;
using testsupport::TempMac;
using Lines = std::vector<std::string>;

inline constexpr uid_t kNobody = 65534;
using namespace testsupport::macpaths;
inline constexpr const char* kLockFolder = "/private/var/run/com.corvane.vantrel";

inline const Lines kStatus{"--action", "status", "--osname", "Catalina"};
inline const Lines kInstall{"--action", "install", "--osname", "Catalina"};
inline const Lines kCache{"--action", "cache", "--osname", "Catalina"};

inline bool loggedContaining(const TempMac& mac, const std::string& category,
                             const std::string& part) {
    for (const auto& entry : mac.log()) {
        if (entry.category == category && entry.message.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

inline mode_t modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

inline uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : kNobody;
}

// The installer's startosinstall is a link to the built stand-in: a test that changes its
// mode works on a copy of its own.
inline fs::path ownCopyOfTool(const fs::path& bundle) {
    const fs::path tool = bundle / "Contents/Resources/startosinstall";
    const fs::path copy = tool.string() + ".copy";
    fs::copy_file(tool, copy);
    fs::rename(copy, tool);
    return tool;
}

}  // namespace vantrel::disktest
