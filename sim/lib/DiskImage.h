#pragma once

#include <filesystem>
#include <string>

namespace vantrel::sim {

// A simulated disk image: an archive (libarchive, tar format) of a folder's contents. The
// stand-in hdiutil "attaches" one by extracting it under the mount point.
bool writeDiskImage(const std::filesystem::path& folder, const std::filesystem::path& image,
                    std::string* error);
bool extractDiskImage(const std::filesystem::path& image, const std::filesystem::path& destination,
                      std::string* error);

}  // namespace vantrel::sim
