#include "base/CleanUp.h"

#include <filesystem>
#include <string>

#include "base/Logging.h"
#include "platform/FileURL.h"

namespace vantrel {

namespace {

bool isInstallerVolume(const std::string& mountPoint) {
    const std::string last = std::filesystem::path(mountPoint).filename().string();
    return last == "baseMount" || last == "InstallESD" || last == "macOS Base System";
}

}  // namespace

void CleanUp::unmountInstallerVolumes(platform::Volumes& volumes) {
    for (const auto& volume : volumes.list()) {
        if (!isInstallerVolume(volume.mountPoint)) {
            continue;
        }
        const auto result = volumes.detach(volume.mountPoint);
        if (result == platform::Volumes::DetachResult::Busy) {
            return;  // the first failure ends the clean-up, silently
        }
        if (result == platform::Volumes::DetachResult::NotMounted) {
            continue;  // detached by someone else meanwhile
        }
        mainLog().debug("Unmounting volume: %{public}s",
                        platform::directoryFileURL(volume.mountPoint));
    }
}

}  // namespace vantrel
