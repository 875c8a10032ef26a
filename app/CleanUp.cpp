#include "app/CleanUp.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/Logging.h"
#include "platform/Host.h"
#include "platform/MountTable.h"

namespace vantrel {

namespace {

bool isInstallerVolume(const std::string& mountPoint) {
    const std::string last = std::filesystem::path(mountPoint).filename().string();
    return last == "baseMount" || last == "InstallESD" || last == "macOS Base System";
}

// A volume's URL written as an absolute file URL string, as a Mac writes it.
std::string fileURLString(const std::string& macPath) {
    std::string url = "file://";
    for (unsigned char c : macPath) {
        if (std::isalnum(c) || std::string_view("/-._~").find(static_cast<char>(c)) !=
                                    std::string_view::npos) {
            url.push_back(static_cast<char>(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    if (url.back() != '/') {
        url.push_back('/');  // a volume is a folder
    }
    return url;
}

}  // namespace

void CleanUp::unmountInstallerVolumes() {
    platform::MountTable table(platform::mac());
    for (const auto& volume : table.list()) {
        if (!isInstallerVolume(volume.mountPoint)) {
            continue;
        }
        const auto result = table.detach(volume.mountPoint);
        if (result == platform::MountTable::DetachResult::Busy) {
            return;  // the first failure ends the clean-up, silently
        }
        if (result == platform::MountTable::DetachResult::NotMounted) {
            continue;  // detached by someone else meanwhile
        }
        mainLog().debug("Unmounting volume: %{public}s", fileURLString(volume.mountPoint));
    }
}

}  // namespace vantrel
