#pragma once

#include <filesystem>
#include <iosfwd>

#include "sim/lib/MirrorManifest.h"
#include "sim/lib/MirrorSpec.h"

namespace vantrel::sim {

// Writes a mirror of the software-update server into `folder`: the four catalogs, the
// releases' packages, distribution files and server metadata, the filler products'
// documents, and Mirror.plist. `folder` must be empty, missing, or an earlier mirror (whose
// content is then replaced). Progress lines go to `log`. Throws std::runtime_error.
MirrorManifest buildMirror(const std::filesystem::path& folder, const MirrorSpec& spec,
                           std::ostream& log);

}  // namespace vantrel::sim
