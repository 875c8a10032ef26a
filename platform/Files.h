#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vantrel::platform {

// File operations on Mac paths of the simulated Mac. Failures carry a description fit to be
// printed or logged, as a Mac's file manager gives one.
struct Error {
    std::string description;
};

bool fileExists(const std::string& macPath);
// Creates a folder; with `intermediates`, missing parents too (and an existing folder is fine).
std::optional<Error> createDirectory(const std::string& macPath, bool intermediates, mode_t mode);
// Moves an item; fails when something already stands at the destination.
std::optional<Error> moveItem(const std::string& from, const std::string& to);
// Puts `replacement` in the place of `original`, keeping no backup; afterwards nothing
// remains at `replacement`. If it fails, `original` is left as it was.
std::optional<Error> replaceItem(const std::string& original, const std::string& replacement);
// Removes an item with all its contents.
std::optional<Error> removeItem(const std::string& macPath);
// Names of the entries of a folder, in the order the file system gives them.
std::optional<std::vector<std::string>> listDirectory(const std::string& macPath, Error* error);
// Takes an exclusive advisory lock (flock) on the file at `macPath` (made 0600 if missing)
// without waiting, and holds it until the process ends; no child process inherits it. Held
// when this process holds it now (also when it already did); Busy when another process
// does; Failed when the file cannot be opened or locked (then `error` says why).
enum class LockResult { Held, Busy, Failed };
LockResult holdExclusiveLock(const std::string& macPath, Error* error);
// The whole content of a small file (never used for packages).
std::optional<std::string> readSmallFile(const std::string& macPath);

}  // namespace vantrel::platform
