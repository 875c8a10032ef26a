#pragma once

#include <string>
#include <vector>

namespace vantrel::platform {

// The mounted volumes, as a Mac's workspace lists, unmounts and ejects them.
class Volumes {
  public:
    struct Volume {
        std::string mountPoint;  // Mac path
        std::string image;       // Mac path of the attached image, empty for a plain volume
        bool busy = false;       // a volume in use cannot be detached
    };
    enum class DetachResult { Detached, NotMounted, Busy };

    virtual ~Volumes() = default;
    virtual std::vector<Volume> list() const = 0;
    // Unmounts and ejects the volume at `mountPoint`.
    virtual DetachResult detach(const std::string& mountPoint) = 0;
};

}  // namespace vantrel::platform
