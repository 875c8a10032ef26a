#pragma once

#include <optional>
#include <string>

namespace vantrel::platform {

// The Mac path of an application bundle registered under `bundleIdentifier`, found as the
// Mac's application registry would: bundles directly in /Applications and in the folders of
// /Library/Application Support, by the CFBundleIdentifier of their Info.plist. Absent when
// none is known. With several, the first in /Applications wins, then by folder name.
std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier);

}  // namespace vantrel::platform
