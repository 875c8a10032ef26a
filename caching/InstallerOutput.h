#pragma once

#include <string>
#include <string_view>

#include "platform/Console.h"

namespace vantrel {

// What the package installer's two output streams mean to the run. Each handler takes one
// chunk of text as it was read from the tool and may run on any thread; lines go to `console`.

// Standard output: a chunk holding "installer:%" posts "taskProgress" {"Installer": the
// digits and points of the whole chunk read as a number, or absent}; a chunk holding
// "failed" sets installerFailed, logs "Installer failed", echoes the chunk as a list and
// posts {"InstallerFailed": -1.0} (after the progress, when the chunk holds both).
void readInstallerOutput(std::string_view text, platform::Console& console);
// Standard error: every chunk is echoed to standard output and logged at error level; it
// is not by itself a failure.
void readInstallerErrors(std::string_view text, platform::Console& console);

// The chunk split at every double quote and line feed (empty pieces kept), written as a list
// of quoted literals: ["installer: The install failed.", ""].
std::string quotedPieces(std::string_view chunk);

}  // namespace vantrel
