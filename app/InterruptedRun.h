#pragma once

#include "platform/Console.h"
#include "platform/Volumes.h"

namespace vantrel {

// Ends the run cleanly when it is asked to stop with SIGTERM, SIGINT or SIGHUP: the tools it
// started are asked to stop, the installer volumes are detached, one line is logged, and the
// process ends with 128 + the signal's number. A second signal meanwhile ends it at once.
class InterruptedRun {
  public:
    // Call once at start-up, before any other thread is started. What the caller started the
    // program with ignored (SIGHUP under nohup) stays ignored, here and in the tools.
    // `volumes` are those the clean-up detaches from, `console` is where the process ends;
    // both outlive the process.
    static void watch(platform::Volumes& volumes, platform::Console& console);
    // The clean-up and the end, on the watcher's thread.
    [[noreturn]] static void end(platform::Volumes& volumes, platform::Console& console,
                                 int signal);
};

}  // namespace vantrel
