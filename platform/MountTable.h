#pragma once

#include <string>
#include <vector>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// The simulated Mac's table of mounted volumes. The stand-in hdiutil adds entries when it
// attaches an image (whose files then appear under the mount point); the program lists
// them and detaches them as a Mac's workspace would. Updates hold an exclusive file lock,
// so the program and the stand-in tools can change the table at the same time.
class MountTable {
  public:
    struct Volume {
        std::string mountPoint;  // Mac path
        std::string image;       // Mac path of the attached image, empty for a plain volume
        bool busy = false;       // a volume in use cannot be detached
    };
    enum class DetachResult { Detached, NotMounted, Busy };

    explicit MountTable(MacRoot root);

    std::vector<Volume> list() const;
    // Records a volume; a volume already at that mount point is replaced.
    void add(const Volume& volume);
    // Removes the volume's files (the mount point folder itself stays) and its entry.
    DetachResult detach(const std::string& mountPoint);

  private:
    MacRoot root_;
};

}  // namespace vantrel::platform
