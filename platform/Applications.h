#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel::platform {

// An application bundle with the identifier asked for that root must not use.
struct SkippedApplication {
    std::string path;    // its Mac path
    std::string reason;  // why not (TrustedPath.h)
};

// The Mac's registry of installed applications.
class Applications {
  public:
    virtual ~Applications() = default;
    // The Mac path of an application bundle registered under `bundleIdentifier`: bundles
    // directly in /Applications and in the folders of /Library/Application Support, by the
    // CFBundleIdentifier of their Info.plist. Only bundles that are root's
    // (whyNotRootOnlyApplication) count; the others are added to `skipped`. Absent when none is
    // known. With several, /Applications wins, then `ownFolder` (the program's working folder,
    // whose installer it filed away itself), then the other folders of /Library/Application
    // Support by name.
    virtual std::optional<std::string> applicationPathForBundleIdentifier(
        const std::string& bundleIdentifier, const std::string& ownFolder = {},
        std::vector<SkippedApplication>* skipped = nullptr) const = 0;
};

}  // namespace vantrel::platform
