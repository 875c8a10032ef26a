#include "app/InterruptedRun.h"

#include <signal.h>

#include <chrono>

#include "base/CleanUp.h"
#include "base/Logging.h"
#include "platform/Process.h"
#include "platform/TerminationSignals.h"

namespace vantrel {

namespace {

// How long the tools get to stop before the clean-up goes on without them.
constexpr std::chrono::seconds kToolGrace{10};

const char* signalName(int signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

}  // namespace

void InterruptedRun::watch(platform::Volumes& volumes, platform::Console& console) {
    platform::keepJobSignalsIgnoredByCaller();
    platform::watchTerminationSignals(
        [&volumes, &console](int signal) { end(volumes, console, signal); });
}

void InterruptedRun::end(platform::Volumes& volumes, platform::Console& console, int signal) {
    // From here on this thread alone ends the process: a tool that ends because it was asked
    // to stop must not end the run as if it had failed on its own.
    if (!console.takeProcessEnd()) {
        console.exitProcess(128 + signal);  // waits for the end already under way
    }
    // The tools stop first, and no new one starts: an attach that finished after the clean-up
    // would leave its image attached, and an installation that the caller interrupted must not
    // go on with nobody reading its output.
    platform::stopChildProcesses(SIGTERM, kToolGrace);
    CleanUp::unmountInstallerVolumes(volumes);
    mainLog().notice("Run ended by %{public}s", signalName(signal));
    console.exitProcess(128 + signal);
}

}  // namespace vantrel
