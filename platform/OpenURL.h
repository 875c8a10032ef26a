#pragma once

#include <optional>
#include <string>

#include "platform/MacRoot.h"
#include "platform/Machine.h"

namespace vantrel::platform {

// Opens a web address in the browser of the user logged in at the console, as that user:
// the program runs as root and never starts a browser with root's rights. The opener is the
// Mac's "/usr/bin/open" (on a simulated Mac that has none, the host's xdg-open); it runs in
// a child that has given up root for the console user's identity and groups, with a clean
// environment, no open files but /dev/null and no parent to wait for it.
//
// Returns why nothing was opened: nobody at the console, a console user this system does not
// know or who is root, no opener, or a child that could not drop its rights.
std::optional<std::string> openURLAsConsoleUser(const MacRoot& root, const Machine& machine,
                                                const std::string& address);

}  // namespace vantrel::platform
