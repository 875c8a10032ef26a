#include "base/CleanUp.h"

#include <filesystem>
#include <string>

#include "base/Logging.h"
#include "platform/FileURL.h"
#include "platform/Host.h"
#include "platform/MountTable.h"

namespace vantrel {

namespace {

bool isInstallerVolume(const std::string& mountPoint) {
    const std::string last = std::filesystem::path(mountPoint).filename().string();
    return last == "baseMount" || last == "InstallESD" || last == "macOS Base System";
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
        mainLog().debug("Unmounting volume: %{public}s",
                        platform::directoryFileURL(volume.mountPoint));
    }
}

}  // namespace vantrel
