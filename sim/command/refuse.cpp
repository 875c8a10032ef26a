#include <stdexcept>

#include "platform/MacRoot.h"
#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/SimState.h"
#include "sim/lib/SimulatedMac.h"

namespace vantrel::sim {

namespace {

int refuse(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Makes the stand-in startosinstall of a simulated Mac refuse: it prints "
        "\"Error: MESSAGE\" on standard error and fails without signalling anyone. "
        "--clear lets it run normally again.",
        "refuse"};
    std::string folder;
    std::string message;
    app.add_option("DIR", folder, "Folder of the simulated Mac")->required();
    auto* messageOption = app.add_option("--message", message, "What startosinstall says");
    bool clearing = false;
    auto* clear = app.add_flag("--clear", clearing, "Run normally again");
    messageOption->excludes(clear);
    return runCommand(app, arguments, [&] {
        const platform::MacRoot root(findSimulatedMac(folder));
        if (!messageOption->count() && !clear->count()) {
            throw std::runtime_error("give --message TEXT, or --clear");
        }
        const auto refusal = clearing ? std::nullopt : std::optional<std::string>(message);
        if (!setStartosinstallRefusal(root, refusal)) {
            throw std::runtime_error("cannot write the state of startosinstall");
        }
        return 0;
    });
}

const CommandRegistration registration{
    "refuse", {"make startosinstall refuse with an \"Error: \" message (--clear to undo)", refuse}};

}  // namespace

}  // namespace vantrel::sim
