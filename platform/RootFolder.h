#pragma once

#include <sys/types.h>

#include <string>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// A folder of root's own that the program keeps its state in.
struct RootFolderState {
    enum Kind {
        Ready,       // a real folder, owned by root with the mode asked for
        NotCreated,  // nothing was there and it could not be made (`reason` says why)
        NotAFolder,  // a file or other item that is not a folder or a link stands there
        Refused,     // a symbolic link stands there, or a folder that cannot be made root's
    };
    Kind kind = Ready;
    std::string reason;
};

// Makes sure `macPath` is a real folder owned by root (uid and gid 0) with exactly `mode`:
// made, with missing parents (0755), when nothing is there; given that owner and mode when a
// real folder is there. Anything else is left alone. The owner and mode are set on the opened
// folder itself, never through a name that could be swapped for a link meanwhile.
RootFolderState makeRootFolder(const MacRoot& root, const std::string& macPath, mode_t mode);

}  // namespace vantrel::platform
