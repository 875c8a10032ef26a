#pragma once

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Queues.h"

namespace vantrel::platform {

// The services of the process rather than of the Mac it runs on: its queues, its clock, its
// standard output and end. Built once by the entry point (or by a test) and handed down with
// the Mac's services (Services.h). The objects behind the references outlive every user.
struct ProcessServices {
    MainQueue& mainQueue;
    BackgroundQueue& backgroundQueue;
    const Clock& clock;
    Console& console;
};

}  // namespace vantrel::platform
