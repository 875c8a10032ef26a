#pragma once

#include <string>
#include <vector>

#include "platform/MacRoot.h"
#include "platform/Volumes.h"

namespace vantrel::simmac {

// The simulated Mac's table of mounted volumes. The stand-in hdiutil adds entries when it
// attaches an image (whose files then appear under the mount point); the program lists
// them and detaches them as a Mac's workspace would. Updates hold an exclusive file lock,
// so the program and the stand-in tools can change the table at the same time.
class MountTable : public platform::Volumes {
  public:
    explicit MountTable(platform::MacRoot root);

    std::vector<Volume> list() const override;
    // Records a volume; a volume already at that mount point is replaced.
    void add(const Volume& volume);
    // Removes the volume's files (the mount point folder itself stays) and its entry.
    DetachResult detach(const std::string& mountPoint) override;

  private:
    platform::MacRoot root_;
};

}  // namespace vantrel::simmac
