#pragma once

#include <filesystem>
#include <string>

#include "sim/lib/MirrorManifest.h"

namespace vantrel::sim {

// Moves a mirror to another address: every URL under the old base URL in its catalogs,
// distribution files and server metadata, and in Mirror.plist, is made to start with
// `baseURL` instead. Documents are rewritten streaming, each through a temporary file and a
// rename. Does nothing when the base URL is already `baseURL`. Throws std::runtime_error.
void rebaseMirror(const std::filesystem::path& mirror, MirrorManifest& manifest,
                  const std::string& baseURL);

// Copies `in` to `out` with every `from` replaced by `to`, a block at a time, so a match
// across two blocks is still found. `from` must not be empty.
void replaceStreaming(std::istream& in, std::ostream& out, const std::string& from,
                      const std::string& to);

}  // namespace vantrel::sim
