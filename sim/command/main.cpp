#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/command/Command.h"

namespace vantrel::sim {
std::map<std::string, Command>& commands() {
    static std::map<std::string, Command> registry;
    return registry;
}
}  // namespace vantrel::sim

using vantrel::sim::commands;

static void printOverview() {
    std::printf(
        "vantrel-sim: makes and shapes simulated Macs and a local software-update server.\n\n"
        "Usage: vantrel-sim COMMAND [OPTIONS]   (vantrel-sim COMMAND --help for its options)\n\n"
        "Commands:\n");
    for (const auto& [name, command] : commands()) {
        std::printf("  %-16s %s\n", name.c_str(), command.summary.c_str());
    }
}

int main(int argc, char** argv) {
    // What a Mac's administrator makes is writable by its owner alone, whatever the caller's
    // umask: the program running as root trusts nothing that others could have changed.
    ::umask(022);
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        printOverview();
        return argc < 2 ? 64 : 0;
    }
    const auto found = commands().find(argv[1]);
    if (found == commands().end()) {
        std::fprintf(stderr, "vantrel-sim: unknown command '%s'\n", argv[1]);
        printOverview();
        return 64;
    }
    return found->second.run(std::vector<std::string>(argv + 2, argv + argc));
}
