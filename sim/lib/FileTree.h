#pragma once

#include <filesystem>

namespace vantrel::sim {

// Places `from` (a file or a whole folder tree) at `to`, which must not exist yet. Large files
// are hard-linked where the file system allows it and copied otherwise; small files are always
// copied, so editing a small file (a property list) in the copy never changes the original.
// Modes are kept; symbolic links are copied as links. Throws std::filesystem::filesystem_error.
void linkOrCopy(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vantrel::sim
