#pragma once

#include <optional>
#include <string>

#include "platform/Services.h"

namespace vantrel::installerlock {

// One lock per Mac keeps the runs of this program from pulling the installer away from each
// other: a caching run (which empties the download folder, detaches the base-system image and
// replaces the installer) holds it exclusive until the process ends; an installation holds it
// shared while startosinstall runs, so several may run but no caching run meanwhile. A
// process that caches and then installs keeps its exclusive hold.
//
// It lives in a folder of root's alone (/private/var/run/<bundle identifier>, 0700), not in
// the working folder, whose absence must not stop a run.

// Absent when held; otherwise the one line that tells why the caching run must not go on.
std::optional<std::string> holdForCaching(const platform::Services& services);
// Absent when held; otherwise the one line that tells why the installation must not start.
std::optional<std::string> holdForInstallation(const platform::Services& services);
// After startosinstall has ended: gives up a hold taken for the installation alone.
void releaseAfterInstallation(const platform::Services& services);

// The lock file's Mac path.
std::string lockPath(const platform::Machine& machine);

}  // namespace vantrel::installerlock
