#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/InterruptedRun.h"
#include "base/Logging.h"
#include "base/SharedData.h"
#include "net/NetworkLibrary.h"
#include "platform/Environment.h"
#include "platform/StandardProcessServices.h"
#include "platform/simmac/SimulatedMac.h"

using namespace vantrel;

// The composition root: the one place that knows which Mac this is. It builds the services
// once and hands them to the run; nothing below reaches the operating system another way.
int main(int argc, char** argv) {
    // Nothing of the caller's environment configures this root process or the libraries it
    // loads later (libcurl reads a TLS key log file and proxies from it).
    platform::restrictEnvironment();
    // Everything this root process and its tools create is writable by root alone, whatever
    // umask the caller left (a management agent may run it with 0).
    ::umask(022);
    // The process's queues, clock and output. Never destroyed, as the Mac below.
    const platform::ProcessServices process = (new platform::StandardProcessServices)->services();
    const auto executable = simmac::SimulatedMac::thisExecutable();
    auto root = simmac::SimulatedMac::discoverFrom(executable);
    if (!root) {
        process.console.printLine(
            "Vantrel runs only on a simulated Mac: no SimulatedMac.plist was found "
            "in any folder above " +
            executable.string() + ".");
        return 78;
    }
    // Vantrel.app/Contents/MacOS/Vantrel: the bundle is three levels up. Never destroyed:
    // the run ends with exitProcess while workers may still use it.
    auto* mac = new simmac::SimulatedMac(
        *root, executable.parent_path().parent_path().parent_path(), process);
    const platform::Services services = mac->services();
    if (!services.machine.bundleIdentifier()) {
        process.console.printLine("Vantrel must run from its application bundle: " +
                                  services.appBundle.string() + " has no bundle identifier.");
        return 78;
    }
    useLogSink(&services.log);
    SharedData::shared().describeMachine(services.machine);
    // A reader that went away must not kill the run halfway through an installation.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any other thread starts: SIGTERM, SIGINT and SIGHUP then end the run cleanly.
    InterruptedRun::watch(services.volumes, services.console);

    auto* network = new net::NetworkPlugIn(services.root, services.appBundle);
    auto* delegate = new AppDelegate(services, *network);
    delegate->applicationWillFinishLaunching(std::vector<std::string>(argv + 1, argv + argc));
    delegate->run();
}
