#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// File operations on Mac paths, on the Mac whose "/" is `root`. Failures carry a description fit to
// be printed or logged, as a Mac's file manager gives one.
struct Error {
    std::string description;
};

bool fileExists(const MacRoot& root, const std::string& macPath);
// Creates a folder; with `intermediates`, missing parents too (and an existing folder is fine).
std::optional<Error> createDirectory(const MacRoot& root, const std::string& macPath,
                                     bool intermediates, mode_t mode);
// Moves an item; fails when something already stands at the destination.
std::optional<Error> moveItem(const MacRoot& root, const std::string& from, const std::string& to);
// Removes an item with all its contents.
std::optional<Error> removeItem(const MacRoot& root, const std::string& macPath);
// Names of the entries of a folder, in the order the file system gives them.
std::optional<std::vector<std::string>> listDirectory(const MacRoot& root,
                                                      const std::string& macPath, Error* error);
// The whole content of a small file (never used for packages).
std::optional<std::string> readSmallFile(const MacRoot& root, const std::string& macPath);

}  // namespace vantrel::platform
