#pragma once

#include <filesystem>

namespace vantrel::sim {

// Copies `from` (a file or a whole folder tree) to `to`, which must not exist yet. Every file
// gets a copy of its own (blocks shared copy-on-write where the file system can, the bytes
// otherwise), so writing into the copy never changes the original or another copy of it.
// Modes are set, not inherited from the original or the umask: folders 0755, files 0755 when
// the original is executable and 0644 otherwise, so nobody but their owner can change what a
// simulated Mac runs. Symbolic links are copied as links. Throws std::filesystem::filesystem_error.
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vantrel::sim
