#pragma once

#include "platform/Volumes.h"

namespace vantrel {

// Detaches every mounted volume that belongs to an installer, whoever mounted it: those
// whose mount location's last component is "baseMount", "InstallESD" or "macOS Base System".
// Stops at the first volume that cannot be detached; reports nothing to the caller.
class CleanUp {
  public:
    static void unmountInstallerVolumes(platform::Volumes& volumes);
};

}  // namespace vantrel
