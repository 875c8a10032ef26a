#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Services.h"

namespace vantrel {

// Reads which build an installer application would install, from the base-system image it
// carries: attaches the image at a private mount point with "/usr/bin/hdiutil", reads the
// build from the system version file inside, and detaches it again. Installer volumes left
// mounted by anyone are detached before and after.
class dmgMounter {
  public:
    // "ProductBuildVersion" of the installer at `installerPath` (an application bundle),
    // verbatim; empty when no build can be read, which equals no catalog build. Blocks until
    // the disk-image tool has finished. Lines about trouble go to standard output.
    static std::string readCachedBuild(const platform::Services& platform,
                                       const std::string& installerPath);

    // The build named by the bytes of a system version file (absent when it could not be
    // read): "ProductBuildVersion" of a property list whose root is a dictionary of text to
    // text, verbatim; empty otherwise, after "no data" or "could not decode" through
    // `printLine`.
    static std::string decodeCachedBuild(const std::optional<std::string>& data,
                                         const std::function<void(std::string_view)>& printLine);

    // The seven arguments handed to the disk-image tool.
    static std::vector<std::string> attachArguments(const std::string& imagePath,
                                                    const std::string& mountPoint);
};

}  // namespace vantrel
