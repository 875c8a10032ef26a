#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "platform/Console.h"
#include "platform/Host.h"
#include "platform/Machine.h"

using namespace vantrel;

int main(int argc, char** argv) {
    // Everything this root process and its tools create is writable by root alone, whatever
    // umask the caller left (a management agent may run it with 0).
    ::umask(022);
    const auto executable = platform::MacRoot::thisExecutable();
    auto root = platform::MacRoot::discoverFrom(executable);
    if (!root) {
        platform::printLine(
            "Vantrel runs only on a simulated Mac: no SimulatedMac.plist was found "
            "in any folder above " +
            executable.string() + ".");
        return 78;
    }
    // Vantrel.app/Contents/MacOS/Vantrel: the bundle is three levels up.
    platform::useMac(*root, executable.parent_path().parent_path().parent_path());
    if (!platform::bundleIdentifier()) {
        platform::printLine("Vantrel must run from its application bundle: " +
                            platform::appBundle().string() + " has no bundle identifier.");
        return 78;
    }
    // A reader that went away must not kill the run halfway through an installation.
    std::signal(SIGPIPE, SIG_IGN);

    AppDelegate delegate;
    delegate.applicationWillFinishLaunching(std::vector<std::string>(argv + 1, argv + argc));
    delegate.run();
}
