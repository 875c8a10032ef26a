#pragma once

#include <filesystem>

#include "platform/Applications.h"
#include "platform/Log.h"
#include "platform/MacRoot.h"
#include "platform/Machine.h"
#include "platform/ProcessServices.h"
#include "platform/Volumes.h"

namespace vantrel::platform {

// The operating-system services the program's logic runs on: the Mac's and the process's
// (ProcessServices.h), built once by the entry point (or by a test) and handed down through
// constructors. The objects behind the references outlive every user.
struct Services {
    // Where the Mac's file system is: the logic speaks Mac paths, the file, process and trust
    // functions take this root to reach the host.
    const MacRoot& root;
    // Host path of the application bundle the process runs as (".../Vantrel.app").
    const std::filesystem::path& appBundle;
    const Machine& machine;
    Volumes& volumes;
    const Applications& applications;
    LogSink& log;
    // The process's, as in ProcessServices.
    MainQueue& mainQueue;
    BackgroundQueue& backgroundQueue;
    const Clock& clock;
    Console& console;
};

}  // namespace vantrel::platform
