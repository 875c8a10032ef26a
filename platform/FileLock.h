#pragma once

#include <string>

#include "platform/Files.h"
#include "platform/MacRoot.h"

namespace vantrel::platform {

enum class LockMode { Shared, Exclusive };
enum class LockResult {
    Held,           // this process holds it now, in the mode asked for or a stronger one
    BusyShared,     // other processes hold it shared
    BusyExclusive,  // another process holds it exclusive
    Failed,         // the file cannot be opened or locked (`error` says why)
};

// Takes an advisory lock (flock) on the file at `macPath` (made 0600 if missing; a link is
// not followed) without waiting, and holds it until the process ends or releaseSharedLock;
// no child process inherits it. A process holds one lock per file: asking for Shared while it
// holds Exclusive keeps the exclusive one (giving it up even for a moment would let another
// process in between), and asking for Exclusive while it holds Shared tries to upgrade.
LockResult holdLock(const MacRoot& root, const std::string& macPath, LockMode mode, Error* error);

// Gives up the lock on `macPath` when this process holds it shared; an exclusive one is kept.
void releaseSharedLock(const MacRoot& root, const std::string& macPath);

}  // namespace vantrel::platform
