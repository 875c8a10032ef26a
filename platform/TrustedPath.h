#pragma once

#include <optional>
#include <string>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// What root may use from disk. An item is root's when the item and every folder from the
// Mac's "/" down to it are owned by root (uid 0) and writable by nobody else (no group or
// other write bit; a sticky world-writable folder such as /tmp still lets others add
// entries, so it counts as writable), and no step on the way is a symbolic link: a link
// that root follows could be swapped or point into another user's folder, and checking
// where links lead is a larger rule than the Mac's own layout needs.
//
// Once an item passes, only root can change the folders on its way, so the answer holds
// until root itself changes them.

// Absent when `macPath` is root's; otherwise why not, naming the step that fails
// ("/Library/Application Support/x is owned by uid 65534, not root").
std::optional<std::string> whyNotRootOnly(const MacRoot& root, const std::string& macPath);

// The same for an application bundle root reads and runs: the bundle itself, and inside it
// the files root acts on where present (Contents/Info.plist, Contents/Resources/startosinstall
// and Contents/SharedSupport/BaseSystem.dmg), or else the folder each would appear in. Other
// files inside the bundle are not examined.
std::optional<std::string> whyNotRootOnlyApplication(const MacRoot& root,
                                                     const std::string& bundleMacPath);

}  // namespace vantrel::platform
